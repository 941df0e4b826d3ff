#include "app/preview_dialog.h"

#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QScreen>
#include <QVBoxLayout>

#include "app/artwork.h"

namespace pictavo::app {
namespace {

const QString kTitle = QStringLiteral("Preview");
// The dialog's size in dialog units: a quarter of the average character width across, an eighth
// of the character height down.
constexpr int kWidthUnits = 303;
constexpr int kHeightUnits = 206;

// No pane is ever larger than the screen, so a photo is decoded at most at the screen's size;
// decoders that can, decode at a reduced scale, which is much faster for large photos.
DecodeOptions ScreenSizedDecode(const QWidget* widget) {
  DecodeOptions options;
  const QScreen* screen = widget->screen() ? widget->screen() : QGuiApplication::primaryScreen();
  if (screen) {
    const QSize pixels = screen->availableGeometry().size() * screen->devicePixelRatio();
    options.fit_width = pixels.width();
    options.fit_height = pixels.height();
  }
  return options;
}

}  // namespace

PicturePane::PicturePane(const FoundFile& file, PreviewTempFile& temp_file, QWidget* parent)
    : QFrame(parent), temp_file_(temp_file) {
  setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
  setBackgroundRole(QPalette::Base);
  setAutoFillBackground(true);
  setCursor(Qt::ArrowCursor);
  PreviewPicture preview = LoadPreviewPicture(temp_file_, file.type, ScreenSizedDecode(this));
  picture_ = std::move(preview.picture);
  placeholder_ = preview.placeholder;
  decode_status_ = preview.status;
}

void PicturePane::paintEvent(QPaintEvent* event) {
  QFrame::paintEvent(event);
  // The picture is in memory: its temporary copy has served.
  temp_file_.Delete();
  if (picture_.Empty()) return;
  const QRect area = contentsRect();
  const PanePlacement place =
      PlaceInPane(picture_.width, picture_.height, area.width(), area.height());
  const Picture* shown = &picture_;
  if (place.resample) {
    if (resampled_.width != place.width || resampled_.height != place.height) {
      resampled_ = picture_;
      if (!ResamplePicture(resampled_, place.width, place.height)) resampled_ = Picture();
    }
    if (resampled_.Empty()) return;
    shown = &resampled_;
  }
  const QImage image(reinterpret_cast<const uchar*>(shown->pixels.data()), shown->width,
                     shown->height, static_cast<qsizetype>(shown->width) * 4,
                     QImage::Format_ARGB32);
  shown_size_ = QSize(shown->width, shown->height);
  shown_at_ = QPoint(place.x, place.y);
  QPainter painter(this);
  painter.drawImage(area.topLeft() + shown_at_, image);
}

CMainFrame::CMainFrame(const FoundFile& file, PreviewTempFile& temp_file, QWidget* parent)
    : QFrame(parent) {
  setFrameStyle(QFrame::NoFrame);
  QPalette grey = palette();
  grey.setColor(QPalette::Window, QColor(0xD3, 0xD3, 0xD3));
  setPalette(grey);
  setAutoFillBackground(true);
  pane_ = new PicturePane(file, temp_file, this);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(pane_);
  setFocusProxy(pane_);
}

CDlgPreview::CDlgPreview(const FoundFile& file, PreviewTempFile& temp_file, QWidget* parent)
    : QDialog(parent), temp_file_(temp_file) {
  setWindowTitle(kTitle);
  setWindowIcon(ArtworkIcon(QStringLiteral("pictavo")));
  setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);
  setModal(true);
  frame_ = new CMainFrame(file, temp_file, this);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(frame_);
  const QFontMetrics metrics(font());
  resize(kWidthUnits * metrics.averageCharWidth() / 4, kHeightUnits * metrics.height() / 8);
}

void CDlgPreview::done(int result) {
  temp_file_.Delete();
  QDialog::done(result);
}

}  // namespace pictavo::app
