#include "app/drive_scan_dialog.h"

#include <QCloseEvent>
#include <QProgressBar>
#include <QThread>
#include <QVBoxLayout>

namespace pictavo::app {

CDlgScanDrives::CDlgScanDrives(bool list_drives, QWidget* parent, Lister lister)
    : QDialog(parent), list_drives_(list_drives), lister_(std::move(lister)) {
  setWindowTitle(QStringLiteral("Wait...Analysing drives"));
  setModal(true);
  // No buttons, and no close box: the dialog ends by itself.
  setWindowFlags((windowFlags() | Qt::CustomizeWindowHint | Qt::WindowTitleHint) &
                 ~(Qt::WindowCloseButtonHint | Qt::WindowContextHelpButtonHint));
  progress_bar_ = new QProgressBar(this);
  progress_bar_->setRange(0, 0);  // a marquee
  progress_bar_->setTextVisible(false);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(progress_bar_);
  setMinimumWidth(360);
  if (!lister_) lister_ = &ListDrives;
}

CDlgScanDrives::~CDlgScanDrives() {
  if (worker_) worker_->wait();
}

void CDlgScanDrives::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (worker_) return;
  worker_ = QThread::create([this] {
    if (list_drives_) listing_ = lister_();
  });
  worker_->setParent(this);
  connect(worker_, &QThread::finished, this, &CDlgScanDrives::OnWorkerFinished);
  worker_->start(QThread::NormalPriority);
}

void CDlgScanDrives::OnWorkerFinished() {
  worker_->wait();
  done_ = true;
  accept();
}

void CDlgScanDrives::reject() {
  if (done_) QDialog::reject();
}

void CDlgScanDrives::closeEvent(QCloseEvent* event) {
  if (!done_) {
    event->ignore();
    return;
  }
  QDialog::closeEvent(event);
}

}  // namespace pictavo::app
