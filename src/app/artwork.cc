#include "app/artwork.h"

#include <QPainter>
#include <QSvgRenderer>

namespace pictavo::app {

QPixmap ArtworkPixmap(const QString& name, QSize size) {
  QSvgRenderer renderer(QStringLiteral(":/pictavo/%1.svg").arg(name));
  if (!renderer.isValid()) return QPixmap();
  if (size.isEmpty()) size = renderer.defaultSize();
  QPixmap pixmap(size);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  renderer.render(&painter);
  return pixmap;
}

QIcon ArtworkIcon(const QString& name) {
  QIcon icon;
  for (int side : {12, 16, 24, 32, 48, 64, 128}) {
    const QPixmap pixmap = ArtworkPixmap(name, QSize(side, side));
    if (pixmap.isNull()) return QIcon();
    icon.addPixmap(pixmap);
  }
  return icon;
}

}  // namespace pictavo::app
