#include "app/recovered_files_page.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QStackedWidget>
#include <QStyle>
#include <QStyleOptionViewItem>
#include <QTimer>
#include <QToolButton>
#include <QTreeView>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <ctime>
#include <memory>
#include <numeric>
#include <utility>

#include "app/pictavo_sheet.h"
#include "app/preview_dialog.h"
#include "app/prompts.h"
#include "app/saving_dialog.h"
#include "app/scanning_dialog.h"
#include "app/thumbnail_cache.h"
#include "app/thumbnail_grid.h"
#include "filesystems/isolated_listing.h"
#include "filesystems/named_content.h"
#include "platform/sector_source.h"
#include "platform/system_error.h"
#include "results/recovery.h"
#include "results/scan_checkpoint.h"
#include "results/size_text.h"
#include "results/snapshot.h"

namespace pictavo::app {
namespace {

const QString kTitle = QStringLiteral("Recovered Files");
const QString kSubTitle = QStringLiteral(
    "Mark the photos to recover and press Recover. Double-click a photo to preview it.");
const QString kGroupTitle = QStringLiteral("Select Photos to recover");
const QString kTotalFoundCaption = QStringLiteral("Total Size of Photos Recovered :");
const QString kSelectedCaption = QStringLiteral("Size of selected Photos :");
const QString kPreviewText = QStringLiteral("Preview");
const QString kRecoverText = QStringLiteral("Recover");
const QString kNextText = QStringLiteral("Next >");
const QString kRootLabel = QStringLiteral("Recovered Files (%1)");
const QString kNoSelectionText = QStringLiteral("Please select a photo to preview");
// The caption is spelt this way on purpose: it is the text users of the program know.
const QString kNoSelectionCaption = QStringLiteral("Inoformation");
const QString kInvitationText = QStringLiteral(
    "It\u2019s recommended to save the recovery results to open or load the scan results "
    "later.\nSave recovery results information by pressing \u201cSave Recovery Snap\u201d "
    "button. \n\nDo you want to save Recovery Result Information?");
const QString kConfirmationCaption = QStringLiteral("Confirmation");
const QString kSnapshotFilter = QStringLiteral("Save Recovery Snap (*.dat)");
const QString kSnapshotLoadFailed =
    QStringLiteral("The recovery snapshot could not be loaded:\n%1\n\n%2");

const QString kFileSystemNameHeader = QStringLiteral("Name in the file system");
const QString kFileSystemPathTip = QStringLiteral("Named by the file system: %1");
const QString kPassFailedText =
    QStringLiteral("The file systems of this medium could not be read: %1");
const QString kNoteText = QStringLiteral("File systems: %1");
const QString kMoreNotesText = QStringLiteral(" (and %1 more)");
const QString kNothingShownMarked =
    QStringLiteral("None of the marked files is shown with the filters set: nothing to save.");
const QString kSourceNotOpened = QStringLiteral("%1 could not be opened: %2");
const QString kStoppedScanSaved =
    QStringLiteral("\n\nThe scan stopped at %1 %: Load Recovery can continue it later.");
const QString kContinueScanQuestion = QStringLiteral(
    "The scan of %1 was stopped at %2 %. Do you want to continue it?\n\nAnswer No to see the "
    "files it had found.");
// A checkpoint's size: its header lines, and at most one "record TYPE OFFSET LENGTH" line a find.
constexpr uint64_t kCheckpointFixedBytes = 4096;
constexpr uint64_t kCheckpointRecordBytes = 52;

int StoppedPercent(const ScanCheckpoint& checkpoint) {
  return checkpoint.source_size == 0
             ? 100
             : static_cast<int>(checkpoint.position * 100 / checkpoint.source_size);
}

constexpr int kTypeRole = Qt::UserRole;
// How often the tree's counts follow a reading under way, in milliseconds.
constexpr int64_t kCountsInterval = 500;
// Records the fill worker walks between two looks at its cancel flag.
constexpr size_t kFillStride = 1 << 16;

QString Text(const std::string& text) { return QString::fromStdString(text); }
QString SizeQText(uint64_t bytes) { return Text(SizeText(bytes)); }
std::string PathOf(const QString& name) { return QFile::encodeName(name).toStdString(); }

// The mark a branch shows for the marks of its files.
Qt::CheckState MarkOf(uint64_t marked, uint64_t files) {
  if (marked == 0) return Qt::Unchecked;
  return marked == files ? Qt::Checked : Qt::PartiallyChecked;
}

// Copies `file` for the preview: straight from the source, or through `named`'s map.
bool CopyForPreview(PreviewTempFile& copy, SectorSource& source, const FoundFile& file,
                    const NamedFile* named, std::string* error) {
  if (!named) return copy.CopyFrom(source, file, error);
  NamedFileSource through(source, *named);
  return copy.CopyFrom(through, file, error);
}

class WaitCursor {
 public:
  WaitCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
  ~WaitCursor() { QApplication::restoreOverrideCursor(); }
  WaitCursor(const WaitCursor&) = delete;
  WaitCursor& operator=(const WaitCursor&) = delete;
};

}  // namespace

// ---- FoundFileModel ----

FoundFileModel::FoundFileModel(const ScanResults& results, QObject* parent)
    : QAbstractTableModel(parent), results_(results) {}

int FoundFileModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int FoundFileModel::columnCount(const QModelIndex& parent) const {
  if (parent.isValid()) return 0;
  return file_system_names_ ? 3 : 2;
}

void FoundFileModel::SetFileSystemNames(const std::vector<std::string>* names) {
  beginResetModel();
  file_system_names_ = names;
  endResetModel();
}

QString FoundFileModel::FileSystemPathAt(int row) const {
  if (!file_system_names_ || row < 0 || row >= rowCount()) return {};
  const uint32_t record = rows_[row].record;
  return record < file_system_names_->size() ? Text((*file_system_names_)[record]) : QString();
}

QString FoundFileModel::NameAt(int row) const {
  const FileListRow& entry = rows_[row];
  return Text(RecoveredFileName(results_.records[entry.record].type, entry.index_in_type));
}

QVariant FoundFileModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= rowCount()) return {};
  const FoundFile& file = FileAt(index.row());
  if (index.column() == kNameColumn) {
    if (role == Qt::DisplayRole) return NameAt(index.row());
    if (role == Qt::CheckStateRole) return file.selected ? Qt::Checked : Qt::Unchecked;
    if (role == Qt::ToolTipRole && file_system_names_) {
      const QString path = FileSystemPathAt(index.row());
      if (!path.isEmpty()) return kFileSystemPathTip.arg(path);
    }
  } else if (index.column() == kSizeColumn) {
    if (role == Qt::DisplayRole) return SizeQText(file.length);
    if (role == Qt::TextAlignmentRole) return int(Qt::AlignRight | Qt::AlignVCenter);
  } else if (index.column() == kFileSystemNameColumn) {
    const QString path = FileSystemPathAt(index.row());
    if (role == Qt::DisplayRole) return path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
    if (role == Qt::ToolTipRole && !path.isEmpty()) return path;
  }
  return {};
}

QVariant FoundFileModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal) return {};
  if (role == Qt::DisplayRole) {
    if (section == kFileSystemNameColumn) return kFileSystemNameHeader;
    return section == kNameColumn ? QStringLiteral("File Name") : QStringLiteral("Size");
  }
  if (role == Qt::TextAlignmentRole) {
    return int((section == kSizeColumn ? Qt::AlignRight : Qt::AlignLeft) | Qt::AlignVCenter);
  }
  return {};
}

Qt::ItemFlags FoundFileModel::flags(const QModelIndex& index) const {
  if (!index.isValid()) return Qt::NoItemFlags;
  Qt::ItemFlags flags = Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren;
  if (index.column() == kNameColumn) flags |= Qt::ItemIsUserCheckable;
  return flags;
}

bool FoundFileModel::setData(const QModelIndex& index, const QVariant&, int role) {
  if (role != Qt::CheckStateRole || !index.isValid() || index.column() != kNameColumn ||
      index.row() >= rowCount() || !check_handler_) {
    return false;
  }
  check_handler_(index.row());
  return true;
}

void FoundFileModel::SetRows(std::vector<FileListRow> rows) {
  beginResetModel();
  rows_ = std::move(rows);
  endResetModel();
}

void FoundFileModel::SortBySize(bool descending) {
  if (rows_.size() < 2) return;
  emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
  // Sorting (length, position) pairs keeps the keys next to each other in memory, several times
  // faster than looking each length up in the results on a million rows.
  std::vector<std::pair<uint64_t, uint32_t>> keys(rows_.size());
  for (size_t k = 0; k < rows_.size(); ++k) {
    keys[k] = {results_.records[rows_[k].record].length, static_cast<uint32_t>(k)};
  }
  if (descending) {
    std::stable_sort(keys.begin(), keys.end(),
                     [](const auto& a, const auto& b) { return a.first > b.first; });
  } else {
    std::stable_sort(keys.begin(), keys.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
  }
  std::vector<uint32_t> order(rows_.size());
  for (size_t k = 0; k < keys.size(); ++k) order[k] = keys[k].second;
  std::vector<FileListRow> sorted(rows_.size());
  std::vector<uint32_t> new_position(rows_.size());
  for (size_t k = 0; k < order.size(); ++k) {
    sorted[k] = rows_[order[k]];
    new_position[order[k]] = static_cast<uint32_t>(k);
  }
  rows_ = std::move(sorted);
  // The view's current and selected rows follow their files.
  const QModelIndexList before = persistentIndexList();
  QModelIndexList after;
  after.reserve(before.size());
  for (const QModelIndex& old_index : before) {
    after.append(index(static_cast<int>(new_position[old_index.row()]), old_index.column()));
  }
  changePersistentIndexList(before, after);
  emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}

void FoundFileModel::RefreshCheckMarks(int first, int last) {
  first = std::max(first, 0);
  last = std::min(last, rowCount() - 1);
  if (first > last) return;
  emit dataChanged(index(first, kNameColumn), index(last, kNameColumn), {Qt::CheckStateRole});
}

// ---- CRecoverdFileDlg ----

CRecoverdFileDlg::CRecoverdFileDlg(WizardState& state, QWidget* parent)
    : PictavoPage(state, parent) {
  setTitle(kTitle);
  setSubTitle(kSubTitle);

  group_ = new QGroupBox(kGroupTitle, this);
  tree_ = new QTreeWidget(group_);
  tree_->setHeaderHidden(true);
  tree_->setColumnCount(1);
  tree_->setRootIsDecorated(true);
  tree_->setSelectionMode(QAbstractItemView::SingleSelection);

  model_ = new FoundFileModel(state_.results, this);
  model_->set_check_handler([this](int row) { OnListCheckToggled(row); });
  list_ = new QTreeView(group_);
  list_->setModel(model_);
  list_->setRootIsDecorated(false);
  list_->setItemsExpandable(false);
  list_->setUniformRowHeights(true);
  list_->setAllColumnsShowFocus(true);
  list_->setSelectionMode(QAbstractItemView::SingleSelection);
  list_->setSelectionBehavior(QAbstractItemView::SelectRows);
  list_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  list_->header()->setStretchLastSection(false);
  list_->header()->setSectionsMovable(false);
  list_->header()->setSectionsClickable(true);
  list_->header()->resizeSection(FoundFileModel::kNameColumn, 160);
  list_->header()->resizeSection(FoundFileModel::kSizeColumn, 200);

  // Above the files: the choice of view and the filters, shown on demand.
  thumbnails_ = new ThumbnailCache(2, this);
  grid_ = new ThumbnailGrid(model_, thumbnails_, group_);
  grid_->setSelectionModel(list_->selectionModel());
  grid_->setSelectionBehavior(QAbstractItemView::SelectRows);
  views_ = new QStackedWidget(group_);
  views_->addWidget(list_);
  views_->addWidget(grid_);
  auto make_button = [this](const QString& text) {
    auto* button = new QToolButton(group_);
    button->setText(text);
    button->setCheckable(true);
    button->setAutoRaise(true);
    return button;
  };
  list_button_ = make_button(QStringLiteral("List"));
  grid_button_ = make_button(QStringLiteral("Thumbnails"));
  filters_button_ = make_button(QStringLiteral("Filters"));
  saving_button_ = make_button(QStringLiteral("Saving options"));
  saving_bar_ = new SavingOptionsBar(group_);
  saving_bar_->hide();
  list_button_->setChecked(true);
  filter_bar_ = new FindFilterBar(group_);
  filter_bar_->hide();
  auto* view_bar = new QHBoxLayout;
  view_bar->setContentsMargins(0, 0, 0, 0);
  view_bar->addWidget(list_button_);
  view_bar->addWidget(grid_button_);
  view_bar->addStretch(1);
  view_bar->addWidget(filters_button_);
  view_bar->addWidget(saving_button_);
  // The tree and the files side by side; the bars span both.
  auto* lists = new QHBoxLayout;
  lists->setContentsMargins(0, 0, 0, 0);
  lists->addWidget(tree_, 2);
  lists->addWidget(views_, 3);
  // What the file systems' reading could not do: one line under the views, all of it in the
  // tooltip; hidden when there is nothing to tell.
  notes_text_ = new QLabel(group_);
  notes_text_->setTextFormat(Qt::PlainText);
  notes_text_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
  notes_text_->hide();
  auto* files = new QVBoxLayout(group_);
  files->addLayout(view_bar);
  files->addWidget(filter_bar_);
  files->addLayout(lists, 1);
  files->addWidget(notes_text_);
  files->addWidget(saving_bar_);

  QFont bold = font();
  bold.setWeight(QFont::Bold);
  total_found_caption_ = new QLabel(kTotalFoundCaption, this);
  total_found_caption_->setFont(bold);
  total_found_text_ = new QLabel(this);
  selected_caption_ = new QLabel(kSelectedCaption, this);
  selected_caption_->setFont(bold);
  selected_total_text_ = new QLabel(this);
  list_->header()->setFont(bold);
  preview_button_ = new QPushButton(kPreviewText, this);
  preview_button_->setAutoDefault(false);

  auto* totals = new QGridLayout;
  totals->addWidget(total_found_caption_, 0, 0);
  totals->addWidget(total_found_text_, 0, 1);
  totals->addWidget(selected_caption_, 1, 0);
  totals->addWidget(selected_total_text_, 1, 1);
  totals->setColumnStretch(2, 1);
  totals->addWidget(preview_button_, 0, 3, 2, 1, Qt::AlignRight | Qt::AlignVCenter);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(group_, 1);
  layout->addLayout(totals);

  tree_->viewport()->installEventFilter(this);
  tree_->installEventFilter(this);
  list_->installEventFilter(this);
  grid_->installEventFilter(this);
  connect(list_button_, &QToolButton::clicked, this, [this] { ShowThumbnails(false); });
  connect(grid_button_, &QToolButton::clicked, this, [this] { ShowThumbnails(true); });
  connect(filters_button_, &QToolButton::toggled, filter_bar_, &QWidget::setVisible);
  connect(saving_button_, &QToolButton::toggled, saving_bar_, &QWidget::setVisible);
  connect(filter_bar_, &FindFilterBar::Changed, this, &CRecoverdFileDlg::OnFilterChanged);
  connect(grid_, &QListView::doubleClicked, this,
          [this](const QModelIndex& index) { PreviewRow(index.row()); });
  connect(thumbnails_, &ThumbnailCache::SurveyProgress, this, &CRecoverdFileDlg::OnSurveyProgress);
  connect(thumbnails_, &ThumbnailCache::SurveyDone, this, &CRecoverdFileDlg::OnSurveyDone);
  connect(tree_, &QTreeWidget::itemClicked, this,
          [this](QTreeWidgetItem* item) { OnTreeItemClicked(item); });
  connect(tree_, &QTreeWidget::currentItemChanged, this,
          [this](QTreeWidgetItem* current) { OnTreeCurrentChanged(current); });
  connect(tree_, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem* item) {
    if (NamedFilesTree::FileOf(item) >= 0) {
      PreviewNamedFile(static_cast<size_t>(NamedFilesTree::FileOf(item)));
    }
  });
  connect(tree_, &QTreeWidget::itemChanged, this,
          [this](QTreeWidgetItem* item) { OnTreeItemChanged(item); });
  connect(list_, &QTreeView::doubleClicked, this,
          [this](const QModelIndex& index) { PreviewRow(index.row()); });
  connect(list_->header(), &QHeaderView::sectionClicked, this, &CRecoverdFileDlg::OnHeaderClicked);
  connect(preview_button_, &QPushButton::clicked, this, &CRecoverdFileDlg::OnPreviewClicked);
}

CRecoverdFileDlg::~CRecoverdFileDlg() {
  CancelFill();
  thumbnails_->Detach();
}

void CRecoverdFileDlg::OnInitDialog() {
  if (CPictavoSheet* owner = sheet()) {
    connect(owner, &QWizard::customButtonClicked, this, &CRecoverdFileDlg::OnCustomButtonClicked);
  }
}

void CRecoverdFileDlg::OnSetActive() {
  setButtonText(QWizard::NextButton, kRecoverText);
  asked_to_save_ = false;
  CancelFill();
  // The results may be replaced below: the thumbnail workers let go of them first.
  thumbnails_->Detach();
  if (state_.road == Road::kLoadRecovery && state_.snapshot_pending) LoadPendingSnapshot();
  BuildTree();
  emit completeChanged();
}

bool CRecoverdFileDlg::isComplete() const { return state_.selected_total != 0; }

int CRecoverdFileDlg::nextId() const { return kRecoveredFilesPageId; }

// After a saving run the wizard stays here with the marks as they were, so that the user can
// save more files, or the same ones to another place, or close the wizard.
bool CRecoverdFileDlg::validatePage() {
  if (state_.selected_total == 0) return false;
  // Files with names and carved finds marked together go into one folder in one run.
  const std::vector<size_t> named = named_tree_.MarkedFiles();
  if (marks_.marked_bytes() == 0) {
    RunNamedSavingRun(this, state_, named);
    return false;
  }
  const SavingChoice choice = saving_bar_->choice();
  SavingLayout layout = choice.layout;
  if (choice.file_system_names && !find_names_.empty()) layout.file_system_names = &find_names_;
  if (!choice.only_shown || !filter_.Active()) {
    RunMixedSavingRun(this, state_, named, true, layout);
    return false;
  }
  // The marked files the filters hide are left out of a copy of the results, which keeps every
  // find where it was so that the names stay those of the list.
  ScanResults shown = state_.results;
  const std::vector<FindFacts>& facts = thumbnails_->facts();
  const std::span<FoundFile> found = shown.Found();
  for (size_t i = 0; i < found.size(); ++i) {
    if (found[i].selected && !filter_.Shows(found[i], i < facts.size() ? facts[i] : FindFacts{})) {
      found[i].selected = 0;
    }
  }
  if (SelectedTotal(shown) == 0) {
    // The files with names are not filtered: they are saved alone.
    if (named.empty()) {
      ShowInformation(this, kNothingShownMarked);
    } else {
      RunNamedSavingRun(this, state_, named);
    }
    return false;
  }
  RunMixedSavingRun(this, state_, named, true, layout, &shown);
  return false;
}

void CRecoverdFileDlg::cleanupPage() {
  // The wizard also cleans its pages up as it closes; the question on closing has been asked
  // then, and the invitation would come after the answer.
  const CPictavoSheet* owner = sheet();
  if (!asked_to_save_ && !(owner && owner->closing())) InviteToSave();
  CancelFill();
  thumbnails_->Detach();
  // The marks go with the total, so that the flags and the total never disagree when the page
  // is shown again.
  ClearAllMarks();
  setButtonText(QWizard::NextButton, kNextText);
  emit completeChanged();
}

void CRecoverdFileDlg::OnCustomButtonClicked(int which) {
  if (which == QWizard::CustomButton1 && wizard() && wizard()->currentPage() == this) {
    SaveSnapshot();
  }
}

// ---- Snapshots ----

bool CRecoverdFileDlg::LoadPendingSnapshot() {
  state_.snapshot_pending = false;
  if (state_.destination_path.isEmpty()) return false;
  if (IsScanCheckpointFile(PathOf(state_.destination_path))) return LoadStoppedScan();
  WaitCursor wait;
  RecoverySnapshot snapshot;
  const SnapshotStatus status = ReadSnapshot(PathOf(state_.destination_path), &snapshot);
  if (!status.ok) {
    ShowInformation(this, kSnapshotLoadFailed.arg(state_.destination_path, Text(status.message)));
    return false;
  }
  state_.stopped_scan.reset();
  state_.source_name = QFile::decodeName(QByteArray::fromStdString(snapshot.source_name));
  state_.source_label = Text(snapshot.source_label);
  state_.source_size = snapshot.source_size;
  const std::string warning = SnapshotCountWarning(snapshot);
  state_.results = std::move(snapshot.results);
  state_.named_files = std::move(snapshot.named);
  state_.selected_total = SelectedTotal(state_.results);
  if (!warning.empty()) ShowInformation(this, Text(warning));
  state_.results_saved = true;
  return true;
}

// A scan saved when it was stopped: its finds as they stood, and the offer to go on with it on
// the same source.
bool CRecoverdFileDlg::LoadStoppedScan() {
  auto checkpoint = std::make_shared<ScanCheckpoint>();
  std::string error;
  {
    WaitCursor wait;
    if (!ReadScanCheckpoint(PathOf(state_.destination_path), checkpoint.get(), &error)) {
      ShowInformation(this, kSnapshotLoadFailed.arg(state_.destination_path, Text(error)));
      return false;
    }
  }
  state_.source_name = QFile::decodeName(QByteArray::fromStdString(checkpoint->source_name));
  state_.source_label = QFileInfo(state_.source_name).fileName();
  state_.source_size = checkpoint->source_size;
  state_.results = checkpoint->results;
  state_.stopped_scan = checkpoint;
  state_.results_saved = true;
  if (checkpoint->position < checkpoint->source_size &&
      AskYesNo(this,
               kContinueScanQuestion.arg(state_.source_name).arg(StoppedPercent(*checkpoint)))) {
    // The scanning dialog goes on from where the scan stopped, with its types and mode; when
    // it cannot, it says why and the saved finds stay as they were.
    state_.resume_from = checkpoint;
    CScanningDlg scanning(state_, this);
    scanning.exec();
    state_.resume_from.reset();
    // New finds are not saved yet; a scan that did not get going changed nothing.
    state_.results_saved = !state_.last_scan.ok;
  }
  state_.selected_total = SelectedTotal(state_.results);
  return true;
}

bool CRecoverdFileDlg::SaveSnapshot() {
  const QString path =
      ChooseFileToSave(this, kSnapshotFilter, Text(DefaultSnapshotFileName(std::time(nullptr))));
  if (path.isEmpty()) return false;
  WaitCursor wait;
  RecoverySnapshot snapshot;
  snapshot.source_name = PathOf(state_.source_name);
  snapshot.source_label = state_.source_label.toStdString();
  snapshot.source_size = state_.source_size;
  const std::string problem = SnapshotTextProblem(snapshot.source_name, snapshot.source_label);
  if (!problem.empty()) {
    ShowInformation(this, Text(problem));
    return false;
  }
  // The room needed is the snapshot's own size, not that of the marked files. A stopped scan is
  // kept as a checkpoint, a line of text a record.
  const std::shared_ptr<const ScanCheckpoint> stopped = state_.stopped_scan;
  if (!stopped) {
    // The snapshot owns its results, so it gets a copy (24 MB for a million finds, for the
    // moment of writing); the list's fill worker may be reading the page's own records meanwhile.
    snapshot.results = state_.results;
    snapshot.named = state_.named_files;
  }
  const uint64_t snapshot_bytes = stopped
                                      ? kCheckpointFixedBytes + stopped->source_name.size() +
                                            kCheckpointRecordBytes * stopped->results.records.size()
                                      : SnapshotByteSize(snapshot);
  // A snapshot holds no file contents, so beside an image file it cannot harm what is
  // recovered; on a device being recovered from it is refused like any other file.
  DestinationCheckOptions options;
  options.allow_same_file_system = true;
  const DestinationCheck check =
      CheckDestination(PathOf(path), snapshot.source_name, snapshot_bytes, options);
  if (!check.accepted()) {
    ShowInformation(this, Text(check.message));
    return false;
  }
  // The file dialog has asked before replacing a file; the source itself, a device or anything
  // but a file is never replaced, whatever the answer.
  if (const std::string refused = OutputFileProblem(PathOf(path), snapshot.source_name);
      !refused.empty()) {
    ShowInformation(this, Text(refused));
    return false;
  }
  if (stopped) {
    // It remembers where the scan stopped, so that Load Recovery can continue it.
    int error = 0;
    if (!WriteScanCheckpoint(PathOf(path), *stopped, &error)) {
      ShowInformation(this, Text("The recovery snapshot could not be saved to " + PathOf(path) +
                                 ": " + SystemErrorText(error)));
      return false;
    }
    state_.results_saved = true;
    ShowInformation(this, QString::fromLatin1(kSnapshotSavedMessage) +
                              kStoppedScanSaved.arg(StoppedPercent(*stopped)));
    return true;
  }
  const SnapshotStatus status = WriteSnapshot(PathOf(path), snapshot);
  if (status.ok) state_.results_saved = true;
  ShowInformation(this, Text(status.message));
  return status.ok;
}

void CRecoverdFileDlg::InviteToSave() {
  asked_to_save_ = true;
  if (ShowMessage(this, kInvitationText, kConfirmationCaption, QMessageBox::Question,
                  QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes) {
    SaveSnapshot();
  }
}

// ---- The tree ----

QTreeWidgetItem* CRecoverdFileDlg::type_item(FileTypeId type) const {
  return type < kTypeCount ? type_items_[type] : nullptr;
}

void CRecoverdFileDlg::BuildTree() {
  syncing_ = true;
  tree_->clear();
  model_->Clear();
  root_item_ = nullptr;
  current_branch_ = nullptr;
  type_items_.fill(nullptr);

  // The counts of the labels are the scan's own tallies; the marks are judged from the records.
  const ScanResults& results = state_.results;
  marks_.Attach(&state_.results);
  state_.selected_total = marks_.marked_bytes();
  thumbnails_->Attach(&state_.results, state_.source_name);

  QStyle* style = tree_->style();
  QIcon branch_icon;
  branch_icon.addPixmap(style->standardPixmap(QStyle::SP_DirClosedIcon), QIcon::Normal);
  branch_icon.addPixmap(style->standardPixmap(QStyle::SP_DirOpenIcon), QIcon::Selected);

  const Qt::ItemFlags item_flags =
      Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable;
  root_item_ = new QTreeWidgetItem(tree_, {kRootLabel.arg(results.found_count)});
  root_item_->setData(0, kTypeRole, 0u);
  root_item_->setFlags(item_flags);
  root_item_->setIcon(0, branch_icon);
  total_found_size_ = 0;
  for (const FileTypeId type : TreeOrder()) {
    const TypeTally& tally = results.tallies[type];
    if (!tally.present) continue;
    total_found_size_ += tally.total_bytes;
    const std::string_view label = TreeLabelOf(type);
    auto* item = new QTreeWidgetItem(
        root_item_, {QString::fromLatin1(label.data(), static_cast<int>(label.size())) +
                     QString::number(static_cast<uint32_t>(tally.count)) + QLatin1Char(')')});
    item->setData(0, kTypeRole, type);
    item->setFlags(item_flags);
    item->setIcon(0, branch_icon);
    type_items_[type] = item;
  }
  root_item_->setExpanded(true);
  named_tree_.Build(tree_, state_.named_files);
  syncing_ = false;
  // The names the file systems give the finds, once for these results.
  find_names_.clear();
  if (!state_.named_files.files.empty()) {
    find_names_ = NamesOfFinds(state_.named_files, state_.results);
    if (std::all_of(find_names_.begin(), find_names_.end(),
                    [](const std::string& name) { return name.empty(); })) {
      find_names_.clear();
    }
  }
  model_->SetFileSystemNames(find_names_.empty() ? nullptr : &find_names_);
  // The other columns give up room so that the names are in view at the window's usual width.
  QHeaderView* header = list_->header();
  header->resizeSection(FoundFileModel::kNameColumn, find_names_.empty() ? 160 : 110);
  header->resizeSection(FoundFileModel::kSizeColumn, find_names_.empty() ? 200 : 90);
  if (!find_names_.empty()) header->resizeSection(FoundFileModel::kFileSystemNameColumn, 170);
  // Offered only when it would name something.
  saving_bar_->ShowFileSystemNamesChoice(!find_names_.empty());
  ShowFileSystemNotes();
  if (filter_.Active()) {
    if (filter_.NeedsContent()) StartReading();
    ShowTreeCounts();
  }
  SyncTreeMarks();
  UpdateTotals();
}

void CRecoverdFileDlg::ShowFileSystemNotes() {
  const FileSystemListing& listing = state_.named_files;
  if (listing.notes.empty() && !listing.pass_failed) {
    notes_text_->clear();
    notes_text_->setToolTip({});
    notes_text_->hide();
    return;
  }
  QStringList notes;
  for (const std::string& note : listing.notes) notes.append(Text(note));
  if (notes.isEmpty()) notes.append(QString::fromLatin1(kFileSystemPassFailedNote));
  QString line;
  if (listing.pass_failed && listing.files.empty()) {
    line = kPassFailedText.arg(notes.join(QStringLiteral("; ")));
  } else {
    line = kNoteText.arg(notes.front());
    if (notes.size() > 1) line += kMoreNotesText.arg(notes.size() - 1);
  }
  notes_text_->setText(line);
  notes_text_->setToolTip(notes.join(QLatin1Char('\n')));
  notes_text_->show();
}

void CRecoverdFileDlg::SyncTreeMarks() {
  syncing_ = true;
  bool all_checked = true, all_unchecked = true;
  for (FileTypeId type = 1; type < kTypeCount; ++type) {
    QTreeWidgetItem* item = type_items_[type];
    if (!item) continue;
    const Qt::CheckState mark = MarkOf(marks_.MarkedCount(type), marks_.FileCount(type));
    shown_marks_[type] = mark;
    item->setCheckState(0, mark);
    all_checked = all_checked && mark == Qt::Checked;
    all_unchecked = all_unchecked && mark == Qt::Unchecked;
  }
  if (all_unchecked) {
    shown_root_mark_ = Qt::Unchecked;
  } else {
    shown_root_mark_ = all_checked ? Qt::Checked : Qt::PartiallyChecked;
  }
  if (root_item_) root_item_->setCheckState(0, shown_root_mark_);
  syncing_ = false;
}

// The marks are read from the flags whenever a row is drawn, so only the rows on screen need
// telling; a change over a million rows would otherwise cost the view a walk over all of them.
void CRecoverdFileDlg::RefreshListMarks() {
  const QModelIndex first = list_->indexAt(QPoint(0, 0));
  const QModelIndex last = list_->indexAt(QPoint(0, list_->viewport()->height() - 1));
  model_->RefreshCheckMarks(first.isValid() ? first.row() : 0,
                            last.isValid() ? last.row() : model_->rowCount() - 1);
  list_->viewport()->update();
  grid_->viewport()->update();
}

void CRecoverdFileDlg::UpdateTotals() {
  total_found_text_->setText(SizeQText(total_found_size_));
  selected_total_text_->setText(SizeQText(state_.selected_total));
  emit completeChanged();
}

bool CRecoverdFileDlg::eventFilter(QObject* watched, QEvent* event) {
  if (watched == tree_->viewport()) {
    if (event->type() == QEvent::MouseButtonPress) {
      mark_toggled_by_click_ = false;
      press_on_check_ = HitsCheckMark(static_cast<QMouseEvent*>(event)->position().toPoint());
    } else if (event->type() == QEvent::MouseButtonRelease) {
      press_on_check_ = false;
    }
  } else if ((watched == tree_ || watched == list_ || watched == grid_) &&
             event->type() == QEvent::KeyPress) {
    if (OnKeyPress(watched, static_cast<QKeyEvent*>(event)->key())) return true;
  }
  return PictavoPage::eventFilter(watched, event);
}

// Enter is not passed on to the wizard, whose default button is Recover: in the tree it takes
// the keyboard to the list of the chosen branch, in the list it previews the current file.
bool CRecoverdFileDlg::OnKeyPress(QObject* watched, int key) {
  if (key != Qt::Key_Return && key != Qt::Key_Enter) return false;
  QAbstractItemView* view = shown_view();
  if (watched == tree_ && NamedFilesTree::FileOf(tree_->currentItem()) >= 0) {
    PreviewNamedFile(static_cast<size_t>(NamedFilesTree::FileOf(tree_->currentItem())));
  } else if (watched == tree_) {
    view->setFocus(Qt::TabFocusReason);
    if (!view->currentIndex().isValid() && model_->rowCount() > 0) {
      view->setCurrentIndex(model_->index(0, FoundFileModel::kNameColumn));
    }
  } else if (view->currentIndex().isValid()) {
    PreviewRow(view->currentIndex().row());
  }
  return true;
}

bool CRecoverdFileDlg::HitsCheckMark(const QPoint& pos) const {
  const QModelIndex index = tree_->indexAt(pos);
  if (!index.isValid() || !(index.flags() & Qt::ItemIsUserCheckable)) return false;
  // The check box's place as the item's delegate lays it out: at the start of the item.
  QStyleOptionViewItem option;
  option.initFrom(tree_->viewport());
  option.rect = tree_->visualRect(index);
  option.features = QStyleOptionViewItem::HasCheckIndicator | QStyleOptionViewItem::HasDisplay;
  option.text = index.data().toString();
  option.checkState = static_cast<Qt::CheckState>(index.data(Qt::CheckStateRole).toInt());
  if (index.data(Qt::DecorationRole).isValid()) {
    option.features |= QStyleOptionViewItem::HasDecoration;
    option.decorationSize = tree_->iconSize().isValid()
                                ? tree_->iconSize()
                                : QSize(tree_->style()->pixelMetric(QStyle::PM_SmallIconSize),
                                        tree_->style()->pixelMetric(QStyle::PM_SmallIconSize));
  }
  return tree_->style()
      ->subElementRect(QStyle::SE_ItemViewItemCheckIndicator, &option, tree_)
      .contains(pos);
}

void CRecoverdFileDlg::OnTreeItemClicked(QTreeWidgetItem* item) {
  // The view reports a click on a check box as a click on the item as well.
  if (std::exchange(mark_toggled_by_click_, false) || !item) return;
  // The press has normally made the item current, and the list follows it already.
  if (item != current_branch_) ChooseBranch(item);
  if (!asked_to_save_) InviteToSave();
}

void CRecoverdFileDlg::OnTreeCurrentChanged(QTreeWidgetItem* current) {
  if (syncing_ || current == current_branch_) return;
  if (press_on_check_) {
    // Once the press is handled (it selects the item it hit), the highlight returns.
    QTimer::singleShot(0, this, [this] { ShowBranchAsCurrent(); });
    return;
  }
  if (current) ChooseBranch(current);
}

void CRecoverdFileDlg::ShowBranchAsCurrent() {
  if (!root_item_) return;
  syncing_ = true;
  if (current_branch_) {
    tree_->setCurrentItem(current_branch_);
  } else {
    tree_->setCurrentItem(nullptr);
    tree_->clearSelection();
  }
  syncing_ = false;
}

// A click on a check mark: the view has already set the item's new state, but the change is
// judged from the mark that was shown, so that a partial mark (which counts as marked) unmarks.
void CRecoverdFileDlg::OnTreeItemChanged(QTreeWidgetItem* item) {
  if (syncing_ || !item) return;
  if (NamedFilesTree::Owns(item)) {
    named_tree_.OnItemChanged(item);
    mark_toggled_by_click_ = true;
    state_.selected_total = MarkedBytes();
    UpdateTotals();
    if (!asked_to_save_) InviteToSave();
    return;
  }
  const FileTypeId type = item->data(0, kTypeRole).toUInt();
  const Qt::CheckState shown = item == root_item_ ? shown_root_mark_ : shown_marks_[type];
  const bool mark = shown == Qt::Unchecked;
  mark_toggled_by_click_ = true;
  if (filter_.Active()) {
    MarkShown(item == root_item_ ? kTypeNone : type, mark);
  } else if (item == root_item_) {
    marks_.SetAll(mark);
  } else {
    marks_.SetType(type, mark);
  }
  ShowMarks();
  if (!asked_to_save_) InviteToSave();
}

void CRecoverdFileDlg::ShowMarks() {
  state_.selected_total = MarkedBytes();
  if (!root_item_) return;
  SyncTreeMarks();
  RefreshListMarks();
  UpdateTotals();
}

void CRecoverdFileDlg::MarkShown(FileTypeId type, bool marked) {
  std::vector<uint32_t> shown = ShownFinds(state_.results, filter_, thumbnails_->facts());
  if (type != kTypeNone) {
    const std::span<const FoundFile> found = std::as_const(state_.results).Found();
    std::erase_if(shown, [&](uint32_t record) { return found[record].type != type; });
  }
  marks_.SetList(shown, marked);
}

// ---- Views and filters ----

QAbstractItemView* CRecoverdFileDlg::shown_view() const {
  return views_->currentWidget() == grid_ ? static_cast<QAbstractItemView*>(grid_)
                                          : static_cast<QAbstractItemView*>(list_);
}

void CRecoverdFileDlg::ShowThumbnails(bool thumbnails) {
  list_button_->setChecked(!thumbnails);
  grid_button_->setChecked(thumbnails);
  QAbstractItemView* view =
      thumbnails ? static_cast<QAbstractItemView*>(grid_) : static_cast<QAbstractItemView*>(list_);
  const bool had_focus = shown_view()->hasFocus();
  views_->setCurrentWidget(view);
  // The current file stays in sight in the other view.
  if (view->currentIndex().isValid()) view->scrollTo(view->currentIndex());
  if (had_focus) view->setFocus();
}

void CRecoverdFileDlg::OnFilterChanged() {
  const FindFilter filter = filter_bar_->filter();
  if (filter == filter_) return;
  filter_ = filter;
  if (!root_item_) return;
  if (filter_.NeedsContent()) StartReading();
  ShowTreeCounts();
  if (current_branch_) StartFill(current_branch_->data(0, kTypeRole).toUInt());
}

void CRecoverdFileDlg::StartReading() {
  if (filter_.once && !thumbnails_->wants_digests()) {
    survey_started_ms_ = QDateTime::currentMSecsSinceEpoch();
    filter_bar_->ShowProgress(0, thumbnails_->facts().size(), 0);
    thumbnails_->WantDigests();
    return;
  }
  if (thumbnails_->surveying() || thumbnails_->known_count() >= thumbnails_->facts().size()) {
    return;
  }
  survey_started_ms_ = QDateTime::currentMSecsSinceEpoch();
  filter_bar_->ShowProgress(thumbnails_->known_count(), thumbnails_->facts().size(), 0);
  thumbnails_->StartSurvey();
}

void CRecoverdFileDlg::OnSurveyProgress(uint64_t done, uint64_t total) {
  const double seconds = (QDateTime::currentMSecsSinceEpoch() - survey_started_ms_) / 1000.0;
  filter_bar_->ShowProgress(done, total, seconds > 0 ? done / seconds : 0);
  // The counts walk every find: twice a second is enough while the reading goes on.
  const int64_t now = QDateTime::currentMSecsSinceEpoch();
  if (filter_.NeedsContent() && now - counts_shown_ms_ >= kCountsInterval) {
    counts_shown_ms_ = now;
    ShowTreeCounts();
  }
}

// What the reading learnt hides and shows finds: the views and counts follow.
void CRecoverdFileDlg::OnSurveyDone() {
  filter_bar_->ShowReadingDone(thumbnails_->facts().size());
  if (!root_item_ || !filter_.NeedsContent()) return;
  ShowTreeCounts();
  if (current_branch_) StartFill(current_branch_->data(0, kTypeRole).toUInt());
}

void CRecoverdFileDlg::ShowTreeCounts() {
  if (!root_item_) return;
  const ScanResults& results = state_.results;
  std::array<uint64_t, kTypeCount> counts{};
  uint64_t total = 0;
  if (filter_.Active()) {
    const std::vector<FindFacts>& facts = thumbnails_->facts();
    const std::span<const FoundFile> found = results.Found();
    for (size_t i = 0; i < found.size(); ++i) {
      if (!filter_.Shows(found[i], i < facts.size() ? facts[i] : FindFacts{})) continue;
      ++total;
      if (found[i].type < kTypeCount) ++counts[found[i].type];
    }
  } else {
    // Without a filter the labels are the scan's own tallies.
    total = results.found_count;
    for (FileTypeId type = 0; type < kTypeCount; ++type) counts[type] = results.tallies[type].count;
  }
  syncing_ = true;
  root_item_->setText(0, kRootLabel.arg(total));
  for (FileTypeId type = 1; type < kTypeCount; ++type) {
    QTreeWidgetItem* item = type_items_[type];
    if (!item) continue;
    const std::string_view label = TreeLabelOf(type);
    item->setText(0, QString::fromLatin1(label.data(), static_cast<int>(label.size())) +
                         QString::number(static_cast<uint32_t>(counts[type])) + QLatin1Char(')'));
  }
  syncing_ = false;
}

void CRecoverdFileDlg::ClearAllMarks() {
  marks_.Attach(&state_.results);
  marks_.SetAll(false);
  syncing_ = true;
  named_tree_.SetAll(false);
  syncing_ = false;
  ShowMarks();
}

// ---- The list ----

void CRecoverdFileDlg::ChooseBranch(QTreeWidgetItem* item) {
  // The files with names are previewed and marked in the tree itself.
  if (NamedFilesTree::Owns(item)) return;
  current_branch_ = item;
  StartFill(item->data(0, kTypeRole).toUInt());
}

void CRecoverdFileDlg::CancelFill() {
  if (fill_cancel_) fill_cancel_->store(true);
  if (fill_thread_.joinable()) fill_thread_.join();
  fill_cancel_.reset();
  ++fill_generation_;  // rows already on their way are dropped
  filling_ = false;
}

// The root lists every found file; a type lists its own. Each file keeps the number it has
// among the files of its type, so a name is the same in every branch and on disk.
void CRecoverdFileDlg::StartFill(FileTypeId type) {
  CancelFill();
  model_->Clear();
  filling_ = true;
  const uint64_t generation = fill_generation_;
  auto cancel = std::make_shared<std::atomic<bool>>(false);
  fill_cancel_ = cancel;
  const std::span<const FoundFile> found = std::as_const(state_.results).Found();
  // The worker judges the finds by a copy of what is known of them now.
  const FindFilter filter = filter_;
  std::vector<FindFacts> facts;
  if (filter.NeedsContent()) facts = thumbnails_->facts();
  fill_thread_ =
      std::thread([this, type, found, cancel, generation, filter, facts = std::move(facts)] {
        const bool filtered = filter.Active();
        std::vector<FileListRow> rows;
        std::array<uint32_t, kTypeCount> next_index{};
        uint32_t next_other = 0;
        for (size_t i = 0; i < found.size(); ++i) {
          if (i % kFillStride == 0 && cancel->load(std::memory_order_relaxed)) return;
          // `type` is read here while the page may change `selected` of the same records: the two
          // are separate fields and the records themselves stay put until this thread is joined.
          const FileTypeId file_type = found[i].type;
          uint32_t& index = file_type < kTypeCount ? next_index[file_type] : next_other;
          if ((type == kTypeNone || file_type == type) &&
              (!filtered || filter.Shows(found[i], i < facts.size() ? facts[i] : FindFacts{}))) {
            rows.push_back({static_cast<uint32_t>(i), index});
          }
          ++index;
        }
        QMetaObject::invokeMethod(
            this,
            [this, generation, rows = std::move(rows)]() mutable {
              OnFillDone(generation, std::move(rows));
            },
            Qt::QueuedConnection);
      });
}

void CRecoverdFileDlg::OnFillDone(uint64_t generation, std::vector<FileListRow> rows) {
  if (generation != fill_generation_) return;
  if (fill_thread_.joinable()) fill_thread_.join();
  fill_cancel_.reset();
  model_->SetRows(std::move(rows));
  filling_ = false;
  emit ListFilled();
}

void CRecoverdFileDlg::OnListCheckToggled(int row) {
  marks_.Toggle(model_->RecordAt(row));
  state_.selected_total = MarkedBytes();
  SyncTreeMarks();
  const QModelIndex index = model_->index(row, FoundFileModel::kNameColumn);
  emit model_->dataChanged(index, index, {Qt::CheckStateRole});
  UpdateTotals();
}

void CRecoverdFileDlg::OnHeaderClicked(int section) {
  sort_descending_ = !sort_descending_;
  if (section != FoundFileModel::kSizeColumn || filling_) return;
  WaitCursor wait;
  model_->SortBySize(sort_descending_);
  list_->header()->setSortIndicatorShown(true);
  list_->header()->setSortIndicator(FoundFileModel::kSizeColumn,
                                    sort_descending_ ? Qt::DescendingOrder : Qt::AscendingOrder);
}

// ---- Preview ----

void CRecoverdFileDlg::OnPreviewClicked() {
  const QModelIndexList selected = list_->selectionModel()->selectedRows();
  if (selected.isEmpty() && NamedFilesTree::FileOf(tree_->currentItem()) >= 0) {
    PreviewNamedFile(static_cast<size_t>(NamedFilesTree::FileOf(tree_->currentItem())));
    return;
  }
  if (selected.isEmpty()) {
    ShowMessage(this, kNoSelectionText, kNoSelectionCaption, QMessageBox::Information,
                QMessageBox::Ok);
    return;
  }
  PreviewRow(selected.first().row());
}

void CRecoverdFileDlg::PreviewRow(int row) {
  if (filling_ || row < 0 || row >= model_->rowCount() || !tree_->currentItem()) return;
  ShowPreview(model_->FileAt(row), nullptr);
  QAbstractItemView* view = shown_view();
  view->setFocus();
  view->setCurrentIndex(model_->index(row, FoundFileModel::kNameColumn));
}

void CRecoverdFileDlg::PreviewNamedFile(size_t index) {
  if (index >= state_.named_files.files.size()) return;
  const NamedFile& named = state_.named_files.files[index];
  // The file's bytes as its map gives them, from its first byte on.
  FoundFile file;
  file.type = named.type;
  file.length = named.size;
  ShowPreview(file, &named);
}

void CRecoverdFileDlg::ShowPreview(const FoundFile& file, const NamedFile* named) {
  const PreviewRefusal refusal = CheckPreviewRequest(file.type, file.length);
  if (refusal != PreviewRefusal::kNone) {
    const std::string_view text = PreviewRefusalText(refusal);
    ShowInformation(this, QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())));
    return;
  }
  std::unique_ptr<CDlgPreview> dialog;
  QString reason;
  {
    WaitCursor wait;
    int error = 0;
    auto source = FileSectorSource::Open(PathOf(state_.source_name), OpenOptions{}, &error);
    std::string copy_error;
    if (!source) {
      reason = kSourceNotOpened.arg(state_.source_name, Text(SystemErrorText(error)));
    } else if (!CopyForPreview(preview_file_, *source, file, named, &copy_error)) {
      reason = Text(copy_error);
    } else {
      // Decoding happens here, still under the wait cursor.
      dialog = std::make_unique<CDlgPreview>(file, preview_file_, this);
    }
  }
  if (!dialog) {
    // The first line is the one users know; the second says why.
    ShowInformation(this,
                    QString::fromLatin1(kPreviewUnavailableText.data(),
                                        static_cast<qsizetype>(kPreviewUnavailableText.size())) +
                        QLatin1Char('\n') + reason);
    return;
  }
  dialog->exec();
  dialog.reset();
  preview_file_.Delete();
}

}  // namespace pictavo::app
