#pragma once

#include <QString>
#include <cstdint>
#include <vector>

#include "filesystems/named_file.h"

class QTreeWidget;
class QTreeWidgetItem;
class QWidget;

namespace pictavo::app {

struct WizardState;

// The files the medium's file systems describe, as a second root of the results tree: "Files
// with names (M)", their folders as the file system has them and each file a leaf with its own
// check mark. A folder's mark follows its files (Qt keeps it), and the tree keeps the marks of
// the files with the bytes they add up to.
class NamedFilesTree {
 public:
  // Adds the root to `tree` for the files of `listing`; nothing when it holds no file. The items
  // of an earlier build must be gone (the tree was cleared).
  void Build(QTreeWidget* tree, const FileSystemListing& listing);

  // Null when the listing held no file.
  QTreeWidgetItem* root() const { return root_; }
  // The leaf of file `index` of the listing.
  QTreeWidgetItem* file_item(size_t index) const {
    return index < leaves_.size() ? leaves_[index] : nullptr;
  }
  // Whether `item` belongs to this tree (root, folder or file).
  static bool Owns(const QTreeWidgetItem* item);
  // The listing's index of the file on `item`; -1 for the root, a folder or a foreign item.
  static int FileOf(const QTreeWidgetItem* item);

  // The check mark of `item` changed: the file's mark follows it.
  void OnItemChanged(QTreeWidgetItem* item);
  void SetAll(bool marked);
  uint64_t marked_bytes() const { return marked_bytes_; }
  // The listing's indices of the marked files, in listing order.
  std::vector<size_t> MarkedFiles() const;

 private:
  QTreeWidgetItem* root_ = nullptr;
  std::vector<QTreeWidgetItem*> leaves_;
  std::vector<uint64_t> sizes_;
  std::vector<uint8_t> marked_;
  uint64_t marked_bytes_ = 0;
};

// "live", "deleted, recoverable", "deleted, overwritten", and the size, as a file's tooltip.
QString NamedFileToolTip(const FileSystemListing& listing, const NamedFile& file);

// Saves the files `which` of the wizard's named files into a folder the user chooses, each in
// its folders with its own name, never over a file that is there. The folder passes the same
// checks as for carved files (never on the medium being recovered). False when the user
// cancelled or the folder or source was refused.
bool RunNamedSavingRun(QWidget* owner, const WizardState& state, const std::vector<size_t>& which);

}  // namespace pictavo::app
