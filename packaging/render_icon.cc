// Renders the program's SVG icon into the PNG sizes that desktops look up under
// share/icons/hicolor/<size>x<size>/apps. Run at build time; uses Qt's own SVG renderer, the one
// that draws the icon inside the program, so both look the same.
//
//   pictavo-render-icon ICON.svg OUT_DIR SIZE...   writes OUT_DIR/<size>x<size>/apps/<name>.png
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QSvgRenderer>
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s ICON.svg OUT_DIR SIZE...\n", argv[0]);
    return 2;
  }
  // No window is shown; the offscreen platform needs no display.
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QGuiApplication application(argc, argv);
  QSvgRenderer renderer(QString::fromLocal8Bit(argv[1]));
  if (!renderer.isValid()) {
    std::fprintf(stderr, "%s: not a picture Qt can read\n", argv[1]);
    return 1;
  }
  const QString name = QFileInfo(QString::fromLocal8Bit(argv[1])).completeBaseName();
  const QDir out_dir(QString::fromLocal8Bit(argv[2]));
  for (int i = 3; i < argc; ++i) {
    char* end = nullptr;
    const long size = std::strtol(argv[i], &end, 10);
    if (*end != '\0' || size < 8 || size > 1024) {
      std::fprintf(stderr, "%s: not an icon size\n", argv[i]);
      return 2;
    }
    const QString folder = QStringLiteral("%1x%1/apps").arg(size);
    if (!out_dir.mkpath(folder)) {
      std::fprintf(stderr, "cannot create %s\n", qPrintable(out_dir.filePath(folder)));
      return 1;
    }
    QImage image(static_cast<int>(size), static_cast<int>(size), QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    renderer.render(&painter);
    painter.end();
    const QString path =
        out_dir.filePath(folder + QLatin1Char('/') + name + QStringLiteral(".png"));
    if (!image.save(path, "PNG")) {
      std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
      return 1;
    }
  }
  return 0;
}
