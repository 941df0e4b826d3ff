#pragma once

#include <span>

#include "app/pictavo_page.h"
#include "engine/file_types.h"

class QCheckBox;
class QTreeWidget;
class QTreeWidgetItem;

namespace pictavo::app {

// One row of the file-type list.
struct FileTypeRow {
  const char* file_type;
  const char* description;
  const char* created_by;
  const char* category;
  FileTypeId id;
  int small_image;  // index into kFileTypeImages
};

// The rows in the order the list shows them (not the FileTypeId order).
std::span<const FileTypeRow> FileTypeRows();
// The small pictures of the rows, by index.
inline constexpr const char* kFileTypeImages[] = {"type_generic", "type_bmp", "type_gif",
                                                  "type_jpeg", "type_tiff"};

// The third page: the types a scan looks for, one checkable row per recognisable format. The
// check marks are the wizard's FileTypeSelection flags. Next runs the scan.
class CFileSelectionDlg : public PictavoPage {
  Q_OBJECT

 public:
  // Item data role holding a row's FileTypeId.
  static constexpr int kTypeIdRole = Qt::UserRole;

  explicit CFileSelectionDlg(WizardState& state, QWidget* parent = nullptr);

  bool validatePage() override;
  int nextId() const override;

  QTreeWidget* list() const { return list_; }
  QCheckBox* exact_ends_box() const { return exact_ends_box_; }
  QCheckBox* unallocated_box() const { return unallocated_box_; }

 protected:
  void OnInitDialog() override;
  void OnSetActive() override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void BuildRows();
  void SyncCheckMarks();
  void OnItemChanged(QTreeWidgetItem* item, int column);

  QTreeWidget* list_ = nullptr;
  QCheckBox* exact_ends_box_ = nullptr;
  QCheckBox* unallocated_box_ = nullptr;
  bool syncing_ = false;
};

}  // namespace pictavo::app
