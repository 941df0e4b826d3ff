#pragma once

#include <QIcon>
#include <QPixmap>
#include <QSize>
#include <QString>

namespace pictavo::app {

// The program's pictures, drawn as SVG and compiled into the program. `name` is the file name
// without its extension ("banner", "road_recover", "drive_removable", ...).

// Renders a picture at `size` (its own size when empty). A null pixmap when there is no such
// picture.
QPixmap ArtworkPixmap(const QString& name, QSize size = QSize());
// An icon with the picture rendered for the usual small and large sizes.
QIcon ArtworkIcon(const QString& name);

}  // namespace pictavo::app
