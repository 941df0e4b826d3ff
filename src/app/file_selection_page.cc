#include "app/file_selection_page.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QHeaderView>
#include <QKeyEvent>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <vector>

#include "app/artwork.h"
#include "app/scanning_dialog.h"

namespace pictavo::app {
namespace {

// The rows follow the file-type table; its texts are literals, so their data ends in a NUL.
std::vector<FileTypeRow> BuildTypeRows() {
  std::vector<FileTypeRow> rows;
  for (const FileTypeId id : PageRowOrder()) {
    const FileTypeInfo& info = *FindFileType(id);
    rows.push_back({info.row_label.data(), info.row_description.data(), info.row_maker.data(),
                    CategoryText(info.category).data(), id, info.row_image});
  }
  return rows;
}

const QString kGroupTitle = QStringLiteral("Select File Types");

}  // namespace

std::span<const FileTypeRow> FileTypeRows() {
  static const std::vector<FileTypeRow> rows = BuildTypeRows();
  return rows;
}

CFileSelectionDlg::CFileSelectionDlg(WizardState& state, QWidget* parent)
    : PictavoPage(state, parent) {
  setTitle(QStringLiteral("Select File Types"));
  setSubTitle(
      QStringLiteral("Choose the kinds of files to search for, then press Next to start "
                     "the scan."));
  auto* group = new QGroupBox(kGroupTitle, this);
  list_ = new QTreeWidget(group);
  list_->setRootIsDecorated(false);
  list_->setUniformRowHeights(true);
  list_->setSelectionBehavior(QAbstractItemView::SelectRows);
  list_->setIconSize(QSize(16, 16));
  list_->setHeaderLabels({QStringLiteral("File Type"), QStringLiteral("Description"),
                          QStringLiteral("Created by"), QStringLiteral("Category")});
  // Four columns of a quarter of the width each.
  list_->header()->setSectionResizeMode(QHeaderView::Stretch);
  list_->header()->setSectionsMovable(false);
  auto* group_layout = new QVBoxLayout(group);
  group_layout->addWidget(list_);
  exact_ends_box_ = new QCheckBox(QStringLiteral("Measure exact file ends"), this);
  exact_ends_box_->setToolTip(
      QStringLiteral("Measure each file by its format's own structure, so that files come out "
                     "whole: no cut-off videos, no overlong TIFFs."));
  unallocated_box_ = new QCheckBox(QStringLiteral("Search only the space no file uses"), this);
  unallocated_box_->setToolTip(
      QStringLiteral("Leave out the space the files still on the drive occupy, so that its live "
                     "photos are not found a second time. Without a file system Pictavo "
                     "recognises, the whole drive is searched."));
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(group);
  layout->addWidget(exact_ends_box_);
  layout->addWidget(unallocated_box_);
  connect(exact_ends_box_, &QCheckBox::toggled, this,
          [this](bool checked) { state_.exact_ends = checked; });
  connect(unallocated_box_, &QCheckBox::toggled, this,
          [this](bool checked) { state_.unallocated_only = checked; });
  connect(list_, &QTreeWidget::itemChanged, this, &CFileSelectionDlg::OnItemChanged);
  list_->installEventFilter(this);
}

// Space toggles the current row's check box wherever in the row the cursor stands.
bool CFileSelectionDlg::eventFilter(QObject* watched, QEvent* event) {
  if (watched == list_ && event->type() == QEvent::KeyPress &&
      static_cast<QKeyEvent*>(event)->key() == Qt::Key_Space) {
    if (QTreeWidgetItem* item = list_->currentItem()) {
      item->setCheckState(0, item->checkState(0) == Qt::Checked ? Qt::Unchecked : Qt::Checked);
      return true;
    }
  }
  return PictavoPage::eventFilter(watched, event);
}

void CFileSelectionDlg::OnInitDialog() { BuildRows(); }

void CFileSelectionDlg::OnSetActive() {
  SyncCheckMarks();
  exact_ends_box_->setChecked(state_.exact_ends);
  unallocated_box_->setChecked(state_.unallocated_only);
}

void CFileSelectionDlg::BuildRows() {
  syncing_ = true;
  list_->clear();
  for (const FileTypeRow& row : FileTypeRows()) {
    auto* item = new QTreeWidgetItem(list_);
    item->setText(0, QString::fromLatin1(row.file_type));
    item->setText(1, QString::fromLatin1(row.description));
    item->setText(2, QString::fromLatin1(row.created_by));
    item->setText(3, QString::fromLatin1(row.category));
    item->setIcon(0, ArtworkIcon(QString::fromLatin1(kFileTypeImages[row.small_image])));
    item->setData(0, kTypeIdRole, row.id);
    item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
  }
  syncing_ = false;
  SyncCheckMarks();
}

// The check marks always come from the flags, so that they show what the scan will use.
void CFileSelectionDlg::SyncCheckMarks() {
  syncing_ = true;
  for (int i = 0; i < list_->topLevelItemCount(); ++i) {
    QTreeWidgetItem* item = list_->topLevelItem(i);
    const FileTypeId id = item->data(0, kTypeIdRole).toUInt();
    item->setCheckState(0, state_.selection->IsSelected(id) ? Qt::Checked : Qt::Unchecked);
  }
  syncing_ = false;
}

void CFileSelectionDlg::OnItemChanged(QTreeWidgetItem* item, int column) {
  if (syncing_ || column != 0) return;
  bool known = false;
  const FileTypeId id = item->data(0, kTypeIdRole).toUInt(&known);
  if (!known) return;
  // Rows are matched to flags by their FileTypeId, never by their position.
  state_.selection->Set(id, item->checkState(0) == Qt::Checked);
  syncing_ = true;
  item->setCheckState(0, state_.selection->IsSelected(id) ? Qt::Checked : Qt::Unchecked);
  syncing_ = false;
}

bool CFileSelectionDlg::validatePage() {
  CScanningDlg dialog(state_, this);
  dialog.exec();
  // The wizard goes on to the results whatever the outcome: a stopped or failed scan still shows
  // what it found before it ended.
  return true;
}

int CFileSelectionDlg::nextId() const { return kRecoveredFilesPageId; }

}  // namespace pictavo::app
