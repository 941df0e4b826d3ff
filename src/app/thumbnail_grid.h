#pragma once

#include <QImage>
#include <QListView>
#include <QPixmap>
#include <QStyledItemDelegate>

namespace pictavo::app {

class FoundFileModel;
class ThumbnailCache;

// Draws a find of the grid: its thumbnail (or the placeholder when it could not be decoded, the
// type's picture for files that are no photos, an empty frame while it is being decoded), its
// check box in the top left corner and its name below.
class ThumbnailDelegate : public QStyledItemDelegate {
  Q_OBJECT

 public:
  ThumbnailDelegate(FoundFileModel* model, ThumbnailCache* cache, QObject* parent = nullptr);

  void paint(QPainter* painter, const QStyleOptionViewItem& option,
             const QModelIndex& index) const override;
  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
  bool editorEvent(QEvent* event, QAbstractItemModel* model, const QStyleOptionViewItem& option,
                   const QModelIndex& index) override;

  // The size of a cell, and where in a cell at `cell` the check box lies.
  static QSize CellSize();
  static QRect CheckRect(const QRect& cell);

 private:
  const QPixmap& Placeholder() const;
  const QPixmap& NotPicture() const;

  FoundFileModel* model_;
  ThumbnailCache* cache_;
  mutable QPixmap placeholder_;
  mutable QPixmap not_picture_;
};

// The finds of the chosen branch as a grid of thumbnails, on the same rows as the list: marks,
// the current file and the preview work as they do there.
class ThumbnailGrid : public QListView {
  Q_OBJECT

 public:
  ThumbnailGrid(FoundFileModel* model, ThumbnailCache* cache, QWidget* parent = nullptr);

  ThumbnailDelegate* delegate() const { return delegate_; }

 private:
  ThumbnailDelegate* delegate_;
};

}  // namespace pictavo::app
