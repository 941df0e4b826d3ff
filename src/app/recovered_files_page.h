#pragma once

#include <QAbstractTableModel>
#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "app/find_filter.h"
#include "app/named_files_tree.h"
#include "app/pictavo_page.h"
#include "app/saving_options.h"
#include "results/find_marks.h"
#include "results/preview.h"

class QGroupBox;
class QLabel;
class QAbstractItemView;
class QPushButton;
class QStackedWidget;
class QToolButton;
class QTreeView;
class QTreeWidget;
class QTreeWidgetItem;

namespace pictavo::app {

class ThumbnailCache;
class ThumbnailGrid;

// One row of the file list: the found file's index in the results and its number among the
// files of its type, which names it ("File3.jpeg") whatever order the list is sorted in.
struct FileListRow {
  uint32_t record = 0;
  uint32_t index_in_type = 0;
};

// The files of the chosen tree branch, read straight from the wizard's results: a row is two
// numbers, so a branch of a million files costs a few megabytes and the view asks only for the
// rows it shows. Column 0 is the name with the check mark, column 1 the size text; when the
// file systems name some finds, column 2 holds those names (and the name's tooltip the path).
class FoundFileModel : public QAbstractTableModel {
  Q_OBJECT

 public:
  enum Column { kNameColumn = 0, kSizeColumn = 1, kFileSystemNameColumn = 2 };

  FoundFileModel(const ScanResults& results, QObject* parent = nullptr);

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;
  // A change of a row's check mark is passed to the page, which flips the file's flag.
  bool setData(const QModelIndex& index, const QVariant& value, int role) override;

  void SetRows(std::vector<FileListRow> rows);
  // Per find, in list order, the path the file systems give it or "" (NamesOfFinds); null when
  // they name none. Not owned; must outlive its use here.
  void SetFileSystemNames(const std::vector<std::string>* names);
  // The path the file systems give the file of `row`, or "".
  QString FileSystemPathAt(int row) const;
  void Clear() { SetRows({}); }
  // Stable: files of equal size keep their order.
  void SortBySize(bool descending);
  // The selected flags of rows `first` to `last` changed outside the list.
  void RefreshCheckMarks(int first, int last);

  const FoundFile& FileAt(int row) const { return results_.records[rows_[row].record]; }
  uint32_t RecordAt(int row) const { return rows_[row].record; }
  QString NameAt(int row) const;

  void set_check_handler(std::function<void(int row)> handler) {
    check_handler_ = std::move(handler);
  }

 private:
  const ScanResults& results_;
  std::vector<FileListRow> rows_;
  const std::vector<std::string>* file_system_names_ = nullptr;
  std::function<void(int row)> check_handler_;
};

// The wizard's last page: what the scan found (or a loaded snapshot holds) as a tree of types
// with their counts and a list of the files of the chosen type. The user marks files in both,
// previews one, saves the results to a snapshot and, with "Recover", copies the marked files to
// a folder.
class CRecoverdFileDlg : public PictavoPage {
  Q_OBJECT

 public:
  explicit CRecoverdFileDlg(WizardState& state, QWidget* parent = nullptr);
  ~CRecoverdFileDlg() override;

  // Next ("Recover") is enabled exactly while something is marked.
  bool isComplete() const override;
  // "Recover": runs the saving of the marked files and stays on this page.
  bool validatePage() override;
  // Not -1, so that the wizard shows Next (as "Recover") rather than Finish; validatePage()
  // always keeps the wizard here.
  int nextId() const override;
  bool eventFilter(QObject* watched, QEvent* event) override;
  // Back: the invitation to save, then the marks are cleared.
  void cleanupPage() override;

  // Writes the current results to a snapshot file the user chooses. True when one was written.
  // After a stopped scan it writes where the scan stood (a scan checkpoint), so that Load
  // Recovery can continue it.
  bool SaveSnapshot();
  // Loads the snapshot chosen on the Load Recovery road into the wizard's results; for a stopped
  // scan's checkpoint it offers to continue the scan first. On failure the user is told why and
  // the wizard's results and source stay as they were.
  bool LoadPendingSnapshot();
  // Previews the file of list row `row` (double-click and the Preview button).
  void PreviewRow(int row);
  // Previews file `index` of the files with names (double-click and Enter on its leaf).
  void PreviewNamedFile(size_t index);

  QTreeWidget* tree() const { return tree_; }
  QTreeView* list() const { return list_; }
  ThumbnailGrid* grid() const { return grid_; }
  ThumbnailCache* thumbnails() const { return thumbnails_; }
  FindFilterBar* filter_bar() const { return filter_bar_; }
  QToolButton* list_button() const { return list_button_; }
  QToolButton* grid_button() const { return grid_button_; }
  QToolButton* filters_button() const { return filters_button_; }
  QToolButton* saving_button() const { return saving_button_; }
  SavingOptionsBar* saving_bar() const { return saving_bar_; }
  // The view the files are shown in: the list (the first view) or the grid.
  QAbstractItemView* shown_view() const;
  // Switches between the list and the grid of thumbnails.
  void ShowThumbnails(bool thumbnails);
  // The filter the views follow.
  const FindFilter& filter() const { return filter_; }
  FoundFileModel* model() const { return model_; }
  QLabel* total_found_text() const { return total_found_text_; }
  // What the file systems' reading could not do; hidden when it went without a note.
  QLabel* notes_text() const { return notes_text_; }
  // Per find, the path the file systems give it, or ""; empty when they name none.
  const std::vector<std::string>& find_names() const { return find_names_; }
  QLabel* selected_total_text() const { return selected_total_text_; }
  QPushButton* preview_button() const { return preview_button_; }
  QTreeWidgetItem* root_item() const { return root_item_; }
  // The root of the files with names and their marks; its root is null when there are none.
  const NamedFilesTree& named_tree() const { return named_tree_; }
  // The tree item of a type, or null when the type has no branch.
  QTreeWidgetItem* type_item(FileTypeId type) const;
  QTreeWidgetItem* current_branch() const { return current_branch_; }
  uint64_t total_found_size() const { return total_found_size_; }
  bool filling() const { return filling_; }
  bool sort_descending() const { return sort_descending_; }

 signals:
  // The list holds the files of the branch chosen last.
  void ListFilled();

 protected:
  void OnInitDialog() override;
  void OnSetActive() override;

 private:
  bool LoadStoppedScan();
  void BuildTree();
  void ChooseBranch(QTreeWidgetItem* item);
  void StartFill(FileTypeId type);
  void CancelFill();
  void OnFillDone(uint64_t generation, std::vector<FileListRow> rows);
  void OnTreeItemClicked(QTreeWidgetItem* item);
  // The list follows the tree's current item, whether the mouse or the keys moved it.
  void OnTreeCurrentChanged(QTreeWidgetItem* current);
  void ShowBranchAsCurrent();
  // True when `pos` (in the tree's viewport) lies on an item's check box.
  bool HitsCheckMark(const QPoint& pos) const;
  bool OnKeyPress(QObject* watched, int key);
  void OnTreeItemChanged(QTreeWidgetItem* item);
  void OnListCheckToggled(int row);
  void OnHeaderClicked(int section);
  void OnPreviewClicked();
  void OnCustomButtonClicked(int which);
  void ClearAllMarks();
  // Marks what the filter shows of `type` (kTypeNone: of every type).
  void MarkShown(FileTypeId type, bool marked);
  void OnFilterChanged();
  // Starts reading the finds for the content filters.
  void StartReading();
  // The labels of the tree count what the filter shows.
  void ShowTreeCounts();
  void OnSurveyProgress(uint64_t done, uint64_t total);
  void OnSurveyDone();
  // The marks changed: the tree, the rows on screen and the totals show them.
  void ShowMarks();
  void SyncTreeMarks();
  void RefreshListMarks();
  void UpdateTotals();
  // The notes of the file-system pass, in the line under the tree.
  void ShowFileSystemNotes();
  void InviteToSave();
  // The bytes marked, carved finds and files with names together.
  uint64_t MarkedBytes() const { return marks_.marked_bytes() + named_tree_.marked_bytes(); }
  // Shows `file` (read from the source, through `named`'s map when given) in the preview.
  void ShowPreview(const FoundFile& file, const NamedFile* named);

  QGroupBox* group_ = nullptr;
  QTreeWidget* tree_ = nullptr;
  QTreeView* list_ = nullptr;
  FoundFileModel* model_ = nullptr;
  QLabel* total_found_caption_ = nullptr;
  QLabel* total_found_text_ = nullptr;
  QLabel* notes_text_ = nullptr;
  QLabel* selected_caption_ = nullptr;
  QLabel* selected_total_text_ = nullptr;
  QPushButton* preview_button_ = nullptr;
  QStackedWidget* views_ = nullptr;
  ThumbnailGrid* grid_ = nullptr;
  ThumbnailCache* thumbnails_ = nullptr;
  QToolButton* list_button_ = nullptr;
  QToolButton* grid_button_ = nullptr;
  QToolButton* filters_button_ = nullptr;
  FindFilterBar* filter_bar_ = nullptr;
  QToolButton* saving_button_ = nullptr;
  SavingOptionsBar* saving_bar_ = nullptr;
  FindFilter filter_;
  // When the reading for the content filters began, for its rate.
  int64_t survey_started_ms_ = 0;
  int64_t counts_shown_ms_ = 0;

  QTreeWidgetItem* root_item_ = nullptr;
  std::array<QTreeWidgetItem*, kTypeCount> type_items_{};
  QTreeWidgetItem* current_branch_ = nullptr;
  // The marks the tree shows, kept here so that a click is judged by the mark it was made on
  // (a click on a partial mark unmarks everything below it).
  std::array<Qt::CheckState, kTypeCount> shown_marks_{};
  Qt::CheckState shown_root_mark_ = Qt::Unchecked;
  // The marks of the finds, with the files and marked files per type and the bytes marked.
  FindMarks marks_;
  NamedFilesTree named_tree_;
  // Per find, the path the file systems give it (for the list and for saving under those
  // names); worked out once for each set of results, empty when no find has one.
  std::vector<std::string> find_names_;
  uint64_t total_found_size_ = 0;
  bool syncing_ = false;
  // Set when a mouse press in the tree changed a check mark: the click that ends it toggles the
  // mark and chooses no branch.
  bool mark_toggled_by_click_ = false;
  // Set while a mouse button pressed on a check box is down: that press makes its item current in
  // the tree, but a check click chooses no branch, so the highlight goes back to the branch the
  // list shows.
  bool press_on_check_ = false;
  bool asked_to_save_ = false;
  bool sort_descending_ = false;

  // The list is filled on a worker. A new branch choice stops and joins the running fill before
  // it starts its own, and a fill's rows are taken only if no later fill was started, so that
  // two fills never overlap.
  bool filling_ = false;
  uint64_t fill_generation_ = 0;
  std::shared_ptr<std::atomic<bool>> fill_cancel_;
  std::thread fill_thread_;

  // The copy of the file being previewed; deleted when the preview ends.
  PreviewTempFile preview_file_;
};

}  // namespace pictavo::app
