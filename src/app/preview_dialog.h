#pragma once

#include <QDialog>
#include <QFrame>
#include <QPoint>
#include <QSize>

#include "imaging/picture.h"
#include "results/preview.h"

namespace pictavo::app {

// Shows one decoded photo, shrunk to fit (never enlarged) and centred, on the window colour
// inside a sunken edge. The photo is decoded from the preview's temporary file when the pane is
// made (the placeholder picture when it cannot be), and the temporary file is deleted once the
// picture has been drawn.
class PicturePane : public QFrame {
  Q_OBJECT

 public:
  PicturePane(const FoundFile& file, PreviewTempFile& temp_file, QWidget* parent = nullptr);

  // The placeholder is shown because the photo could not be decoded.
  bool placeholder() const { return placeholder_; }
  DecodeStatus decode_status() const { return decode_status_; }
  // The decoded picture's size, and the size and place (in the pane) it was drawn at last.
  QSize picture_size() const { return {picture_.width, picture_.height}; }
  QSize shown_size() const { return shown_size_; }
  QPoint shown_at() const { return shown_at_; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  PreviewTempFile& temp_file_;
  // As decoded; every size the pane takes is resampled from it, so growing the dialog after
  // shrinking it brings the detail back.
  Picture picture_;
  Picture resampled_;
  bool placeholder_ = false;
  DecodeStatus decode_status_ = DecodeStatus::kFailed;
  QSize shown_size_;
  QPoint shown_at_;
};

// The frame inside the preview dialog: light grey, holding the picture pane over its whole area.
class CMainFrame : public QFrame {
  Q_OBJECT

 public:
  CMainFrame(const FoundFile& file, PreviewTempFile& temp_file, QWidget* parent = nullptr);
  PicturePane* pane() const { return pane_; }

 private:
  PicturePane* pane_ = nullptr;
};

// "Preview": a modal dialog showing one found photo. The temporary file is deleted when the
// dialog closes, whether or not the picture was ever drawn.
class CDlgPreview : public QDialog {
  Q_OBJECT

 public:
  CDlgPreview(const FoundFile& file, PreviewTempFile& temp_file, QWidget* parent = nullptr);

  CMainFrame* frame() const { return frame_; }
  PicturePane* pane() const { return frame_->pane(); }

  void done(int result) override;

 private:
  PreviewTempFile& temp_file_;
  CMainFrame* frame_ = nullptr;
};

}  // namespace pictavo::app
