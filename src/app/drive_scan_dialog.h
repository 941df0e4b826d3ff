#pragma once

#include <QDialog>
#include <functional>

#include "app/drive_listing.h"

class QProgressBar;
class QThread;

namespace pictavo::app {

// "Wait...Analysing drives": a small modal dialog with a running marquee while the drives are
// listed on a worker thread. It cannot be closed until the listing is done; it then closes by
// itself and the listing is at hand in listing().
class CDlgScanDrives : public QDialog {
  Q_OBJECT

 public:
  using Lister = std::function<DriveListing()>;

  // `lister` runs on the worker; by default it lists the machine's drives. `list_drives` false
  // (the Open Image road) only clears: the worker then lists nothing.
  explicit CDlgScanDrives(bool list_drives, QWidget* parent = nullptr, Lister lister = {});
  ~CDlgScanDrives() override;

  const DriveListing& listing() const { return listing_; }
  bool done_flag() const { return done_; }
  QProgressBar* progress_bar() const { return progress_bar_; }

 public slots:
  void reject() override;

 protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  void OnWorkerFinished();

  bool list_drives_;
  Lister lister_;
  QProgressBar* progress_bar_ = nullptr;
  QThread* worker_ = nullptr;
  DriveListing listing_;
  bool done_ = false;
};

}  // namespace pictavo::app
