#include "app/recovered_files_placeholder.h"

#include <QApplication>
#include <QFile>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <ctime>

#include "app/pictavo_sheet.h"
#include "app/prompts.h"
#include "results/recovery.h"
#include "results/size_text.h"
#include "results/snapshot.h"

namespace pictavo::app {
namespace {

const QString kSnapshotFilter = QStringLiteral("Save Recovery Snap (*.dat)");

}  // namespace

RecoveredFilesPlaceholderPage::RecoveredFilesPlaceholderPage(WizardState& state, QWidget* parent)
    : PictavoPage(state, parent) {
  setTitle(QStringLiteral("Recovered Files"));
  setSubTitle(QStringLiteral("The files found on the selected source, by type."));
  summary_ = new QLabel(this);
  summary_->setWordWrap(true);
  tally_list_ = new QTreeWidget(this);
  tally_list_->setRootIsDecorated(false);
  tally_list_->setHeaderLabels(
      {QStringLiteral("File Type"), QStringLiteral("Files"), QStringLiteral("Total Size")});
  tally_list_->header()->setSectionResizeMode(QHeaderView::Stretch);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(summary_);
  layout->addWidget(tally_list_, 1);
}

void RecoveredFilesPlaceholderPage::OnInitDialog() {
  connect(sheet()->save_snapshot_button(), &QAbstractButton::clicked, this,
          &RecoveredFilesPlaceholderPage::OnSaveSnapshotClicked);
}

void RecoveredFilesPlaceholderPage::OnSetActive() {
  if (state_.road == Road::kLoadRecovery && state_.snapshot_pending) LoadPendingSnapshot();
  ShowResults();
}

void RecoveredFilesPlaceholderPage::LoadPendingSnapshot() {
  state_.snapshot_pending = false;
  RecoverySnapshot snapshot;
  QApplication::setOverrideCursor(Qt::WaitCursor);
  const SnapshotStatus status =
      ReadSnapshot(QFile::encodeName(state_.destination_path).toStdString(), &snapshot);
  QApplication::restoreOverrideCursor();
  if (!status.ok) {
    // The file had the snapshot's tag but not its contents; the results stay as they were.
    ShowInformation(this, QString::fromStdString(status.message));
    return;
  }
  state_.results = std::move(snapshot.results);
  state_.source_name = QFile::decodeName(QByteArray::fromStdString(snapshot.source_name));
  state_.source_label = QString::fromStdString(snapshot.source_label);
  state_.source_size = snapshot.source_size;
  state_.selected_total = SelectedTotal(state_.results);
}

void RecoveredFilesPlaceholderPage::OnSaveSnapshotClicked() {
  if (!isVisible()) return;
  const QString path = ChooseFileToSave(
      this, kSnapshotFilter, QString::fromStdString(DefaultSnapshotFileName(std::time(nullptr))));
  if (path.isEmpty()) return;
  const std::string native_path = QFile::encodeName(path).toStdString();
  // A snapshot holds no file contents: beside an image file it cannot harm what is recovered.
  DestinationCheckOptions options;
  options.allow_same_file_system = true;
  const DestinationCheck check =
      CheckDestination(native_path, QFile::encodeName(state_.source_name).toStdString(),
                       state_.selected_total, options);
  if (!check.accepted()) {
    ShowInformation(this, QString::fromStdString(check.message));
    return;
  }
  RecoverySnapshot snapshot;
  snapshot.source_name = QFile::encodeName(state_.source_name).toStdString();
  snapshot.source_label = state_.source_label.toStdString();
  snapshot.source_size = state_.source_size;
  snapshot.results = state_.results;
  QApplication::setOverrideCursor(Qt::WaitCursor);
  const SnapshotStatus status = WriteSnapshot(native_path, snapshot);
  QApplication::restoreOverrideCursor();
  ShowInformation(this, QString::fromStdString(status.message));
}

void RecoveredFilesPlaceholderPage::ShowResults() {
  tally_list_->clear();
  const ScanResults& results = state_.results;
  for (FileTypeId id = 1; id < kTypeCount; ++id) {
    const TypeTally& tally = results.tallies[id];
    if (!tally.present) continue;
    auto* item = new QTreeWidgetItem(tally_list_);
    QString label = QString::fromLatin1(TreeLabelOf(id).data(), TreeLabelOf(id).size());
    label.chop(2);  // the tree label's " (" opening
    item->setText(0, label);
    item->setText(1, QString::number(tally.count));
    item->setText(2, QString::fromStdString(SizeText(tally.total_bytes)));
  }
  summary_->setText(
      QStringLiteral("%1 files found on %2.")
          .arg(results.found_count)
          .arg(state_.source_label.isEmpty() ? QStringLiteral("the source") : state_.source_label));
}

}  // namespace pictavo::app
