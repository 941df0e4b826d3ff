#pragma once

#include <functional>
#include <optional>

#include "app/drive_listing.h"
#include "app/pictavo_page.h"

class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;

namespace pictavo::app {

// The second page: the tree of disks and partitions (or, on the Open Image road, of the chosen
// image files) from which the user picks the source. On the Create Image road it also takes the
// image file to create, and its Next button runs the image creation.
class CDriveSelectionDlg : public PictavoPage {
  Q_OBJECT

 public:
  // Item data of the tree's entries.
  static constexpr int kSourceNameRole = Qt::UserRole;
  static constexpr int kSourceSizeRole = Qt::UserRole + 1;
  // False for a device this user may not read.
  static constexpr int kReadableRole = Qt::UserRole + 2;
  // On the Open Image road the tree shows the image's path beside its label.
  static constexpr int kLabelColumn = 0;
  static constexpr int kPathColumn = 1;

  // Lists the drives; replaced by tests. Runs on the analysis worker.
  using Lister = std::function<DriveListing()>;

  explicit CDriveSelectionDlg(WizardState& state, QWidget* parent = nullptr);

  bool validatePage() override;
  int nextId() const override;

  void set_lister(Lister lister) { lister_ = std::move(lister); }

  QTreeWidget* tree() const { return tree_; }
  QLabel* help_text() const { return help_text_; }
  QPushButton* refresh_button() const { return refresh_button_; }
  QGroupBox* destination_group() const { return destination_group_; }
  QLineEdit* destination_edit() const { return destination_edit_; }
  QPushButton* browse_button() const { return browse_button_; }
  // How many times the drives were listed, for tests of when the page re-lists.
  int analysis_runs() const { return analysis_runs_; }

 protected:
  void OnInitDialog() override;
  void OnSetActive() override;

 private:
  void RunAnalysis();
  void FillTree(const DriveListing& listing);
  void ClearTree();
  // Lists an image: the one chosen on the main page, or one the user picks now ("Add another
  // image"). A second listing of the same image is refused, silently for the main page's.
  void AddImage(bool from_main_page);
  void OnSelectionChanged();
  void OnRefreshClicked();
  void OnBrowseClicked();

  QTreeWidget* tree_ = nullptr;
  QLabel* help_text_ = nullptr;
  QPushButton* refresh_button_ = nullptr;
  QGroupBox* destination_group_ = nullptr;
  QLineEdit* destination_edit_ = nullptr;
  QPushButton* browse_button_ = nullptr;

  Lister lister_;
  bool rebuilding_ = false;
  bool just_analysed_ = false;
  std::optional<Road> last_road_;
  int analysis_runs_ = 0;
  // Whether the source last selected can be read by this user.
  bool source_readable_ = true;
};

}  // namespace pictavo::app
