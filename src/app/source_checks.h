#pragma once

#include <QString>

namespace pictavo::app {

// The checks the main page runs before it lets the Open Image and Load Recovery roads go on.

// True when the file ends with the disk image trailer's magic.
bool CheckImageFile(const QString& path);
// True when the file starts with the recovery snapshot's tag.
bool CheckSnapshotFile(const QString& path);

}  // namespace pictavo::app
