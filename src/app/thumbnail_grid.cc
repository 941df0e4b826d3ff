#include "app/thumbnail_grid.h"

#include <QApplication>
#include <QFontMetrics>
#include <QMouseEvent>
#include <QPainter>
#include <QStyle>

#include "app/artwork.h"
#include "app/recovered_files_page.h"
#include "app/thumbnail_cache.h"
#include "imaging/placeholder.h"

namespace pictavo::app {
namespace {

constexpr int kMargin = 6;
constexpr int kCheckSize = 16;

QImage ImageOf(const Picture& picture) {
  if (picture.Empty()) return {};
  return QImage(reinterpret_cast<const uchar*>(picture.pixels.data()), picture.width,
                picture.height, picture.width * 4, QImage::Format_ARGB32)
      .copy();
}

}  // namespace

ThumbnailDelegate::ThumbnailDelegate(FoundFileModel* model, ThumbnailCache* cache, QObject* parent)
    : QStyledItemDelegate(parent), model_(model), cache_(cache) {}

QSize ThumbnailDelegate::CellSize() {
  const int text = QFontMetrics(QApplication::font()).height();
  return QSize(ThumbnailCache::kThumbnailSize + 2 * kMargin,
               ThumbnailCache::kThumbnailSize + 3 * kMargin + text);
}

QRect ThumbnailDelegate::CheckRect(const QRect& cell) {
  return QRect(cell.left() + 2, cell.top() + 2, kCheckSize, kCheckSize);
}

QSize ThumbnailDelegate::sizeHint(const QStyleOptionViewItem&, const QModelIndex&) const {
  return CellSize();
}

const QPixmap& ThumbnailDelegate::Placeholder() const {
  if (placeholder_.isNull()) {
    const QImage image = ImageOf(LoadPlaceholderPicture());
    placeholder_ = QPixmap::fromImage(image.scaled(ThumbnailCache::kThumbnailSize / 2,
                                                   ThumbnailCache::kThumbnailSize / 2,
                                                   Qt::KeepAspectRatio, Qt::SmoothTransformation));
  }
  return placeholder_;
}

const QPixmap& ThumbnailDelegate::NotPicture() const {
  if (not_picture_.isNull()) {
    const int side = ThumbnailCache::kThumbnailSize / 2;
    not_picture_ = ArtworkPixmap(QStringLiteral("type_generic"), QSize(side, side));
  }
  return not_picture_;
}

void ThumbnailDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                              const QModelIndex& index) const {
  if (!index.isValid() || index.row() >= model_->rowCount()) return;
  const QRect cell = option.rect;
  const bool selected = option.state & QStyle::State_Selected;
  const QPalette& palette = option.palette;
  painter->save();
  if (selected) painter->fillRect(cell.adjusted(1, 1, -1, -1), palette.highlight());

  const int edge = ThumbnailCache::kThumbnailSize;
  const QRect frame(cell.left() + (cell.width() - edge) / 2, cell.top() + kMargin, edge, edge);
  const uint32_t record = model_->RecordAt(index.row());
  // A photo that turned out not to decode shows the placeholder, even where its embedded
  // thumbnail was shown first.
  const bool failed = cache_->Facts(record).decode == FindDecode::kFailed;
  const QImage* thumbnail = failed ? nullptr : cache_->Thumbnail(record);
  if (thumbnail) {
    const QPoint at(frame.left() + (edge - thumbnail->width()) / 2,
                    frame.top() + (edge - thumbnail->height()) / 2);
    painter->drawImage(at, *thumbnail);
  } else {
    const FindDecode decode = cache_->Facts(record).decode;
    const QPixmap* picture = nullptr;
    if (decode == FindDecode::kFailed) picture = &Placeholder();
    if (decode == FindDecode::kNotPicture) picture = &NotPicture();
    if (picture && !picture->isNull()) {
      painter->drawPixmap(frame.left() + (edge - picture->width()) / 2,
                          frame.top() + (edge - picture->height()) / 2, *picture);
    } else {
      painter->setPen(palette.color(QPalette::Mid));
      painter->drawRect(frame.adjusted(8, 8, -9, -9));
    }
  }

  // The check box, as the list draws it.
  QStyleOptionViewItem check = option;
  check.rect = CheckRect(cell);
  check.state &= ~QStyle::State_HasFocus;
  check.state |=
      index.data(Qt::CheckStateRole).toInt() == Qt::Checked ? QStyle::State_On : QStyle::State_Off;
  const QWidget* widget = option.widget;
  QStyle* style = widget ? widget->style() : QApplication::style();
  style->drawPrimitive(QStyle::PE_IndicatorItemViewItemCheck, &check, painter, widget);

  const QRect text_rect(cell.left() + 2, frame.bottom() + kMargin, cell.width() - 4,
                        cell.bottom() - frame.bottom() - kMargin);
  painter->setPen(selected ? palette.color(QPalette::HighlightedText)
                           : palette.color(QPalette::Text));
  const QString name = model_->NameAt(index.row());
  painter->drawText(text_rect, Qt::AlignHCenter | Qt::AlignTop,
                    option.fontMetrics.elidedText(name, Qt::ElideMiddle, text_rect.width()));
  if (option.state & QStyle::State_HasFocus) {
    QStyleOptionFocusRect focus;
    focus.QStyleOption::operator=(option);
    focus.rect = cell.adjusted(1, 1, -1, -1);
    style->drawPrimitive(QStyle::PE_FrameFocusRect, &focus, painter, widget);
  }
  painter->restore();
}

// A click on the check box flips the mark, as in the list; everywhere else it selects.
bool ThumbnailDelegate::editorEvent(QEvent* event, QAbstractItemModel* model,
                                    const QStyleOptionViewItem& option, const QModelIndex& index) {
  if (event->type() != QEvent::MouseButtonRelease && event->type() != QEvent::MouseButtonDblClick &&
      event->type() != QEvent::MouseButtonPress) {
    return false;
  }
  const auto* mouse = static_cast<QMouseEvent*>(event);
  if (mouse->button() != Qt::LeftButton ||
      !CheckRect(option.rect).contains(mouse->position().toPoint())) {
    return false;
  }
  if (event->type() == QEvent::MouseButtonRelease) {
    const int state = index.data(Qt::CheckStateRole).toInt();
    model->setData(index, state == Qt::Checked ? Qt::Unchecked : Qt::Checked, Qt::CheckStateRole);
  }
  return true;  // the press and a double-click on the box neither select nor preview
}

ThumbnailGrid::ThumbnailGrid(FoundFileModel* model, ThumbnailCache* cache, QWidget* parent)
    : QListView(parent), delegate_(new ThumbnailDelegate(model, cache, this)) {
  setModel(model);
  setModelColumn(FoundFileModel::kNameColumn);
  setItemDelegate(delegate_);
  setViewMode(QListView::ListMode);
  setFlow(QListView::LeftToRight);
  setWrapping(true);
  setResizeMode(QListView::Adjust);
  setUniformItemSizes(true);
  setMovement(QListView::Static);
  setSelectionMode(QAbstractItemView::SingleSelection);
  setEditTriggers(QAbstractItemView::NoEditTriggers);
  setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
  setGridSize(ThumbnailDelegate::CellSize());
  // A thumbnail that arrives repaints the grid; Qt folds the updates of one pass together.
  connect(cache, &ThumbnailCache::ThumbnailReady, viewport(), [this] { viewport()->update(); });
}

}  // namespace pictavo::app
