#include "app/recovered_files_placeholder.h"

#include <QHeaderView>
#include <QLabel>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "results/size_text.h"

namespace pictavo::app {

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

void RecoveredFilesPlaceholderPage::OnSetActive() {
  if (state_.road == Road::kLoadRecovery && state_.snapshot_pending) LoadPendingSnapshot();
  ShowResults();
}

void RecoveredFilesPlaceholderPage::LoadPendingSnapshot() { state_.snapshot_pending = false; }

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
