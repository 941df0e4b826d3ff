#include "app/named_files_tree.h"

#include <QFont>
#include <QHash>
#include <QStyle>
#include <QTreeWidget>

#include "app/prompts.h"
#include "app/saving_dialog.h"
#include "app/wizard_state.h"
#include "filesystems/named_content.h"
#include "platform/sector_source.h"
#include "results/recovery.h"
#include "results/size_text.h"

namespace pictavo::app {
namespace {

const QString kRootLabel = QStringLiteral("Files with names (%1)");

// Set on every item of the tree; the file's index on a leaf.
constexpr int kNamedRole = Qt::UserRole + 1;
constexpr int kFileRole = Qt::UserRole + 2;

QString Text(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

QString NamedFileToolTip(const FileSystemListing& listing, const NamedFile& file) {
  return Text(NamedFileShownPath(listing, file)) + QLatin1Char('\n') +
         Text(NamedFileStateText(file.state)) + QStringLiteral(", ") + Text(SizeText(file.size));
}

void NamedFilesTree::Build(QTreeWidget* tree, const FileSystemListing& listing) {
  root_ = nullptr;
  leaves_.clear();
  sizes_.clear();
  marked_.clear();
  marked_bytes_ = 0;
  if (listing.files.empty()) return;

  QStyle* style = tree->style();
  QIcon folder_icon;
  folder_icon.addPixmap(style->standardPixmap(QStyle::SP_DirClosedIcon), QIcon::Normal);
  folder_icon.addPixmap(style->standardPixmap(QStyle::SP_DirOpenIcon), QIcon::Selected);
  const QIcon file_icon = style->standardIcon(QStyle::SP_FileIcon);
  const Qt::ItemFlags leaf_flags =
      Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable;
  const Qt::ItemFlags folder_flags = leaf_flags | Qt::ItemIsAutoTristate;

  auto make_folder = [&](QTreeWidgetItem* parent, const QString& label) {
    auto* item = new QTreeWidgetItem(parent, {label});
    item->setFlags(folder_flags);
    item->setIcon(0, folder_icon);
    item->setData(0, kNamedRole, true);
    item->setCheckState(0, Qt::Unchecked);
    return item;
  };
  root_ = new QTreeWidgetItem(tree, {kRootLabel.arg(listing.files.size())});
  root_->setFlags(folder_flags);
  root_->setIcon(0, folder_icon);
  root_->setData(0, kNamedRole, true);
  root_->setCheckState(0, Qt::Unchecked);

  // Folders by their path below the root ("DCIM/100CANON").
  QHash<QString, QTreeWidgetItem*> folders;
  leaves_.resize(listing.files.size());
  sizes_.resize(listing.files.size());
  marked_.assign(listing.files.size(), 0);
  QFont deleted_font = tree->font();
  deleted_font.setItalic(true);
  for (size_t i = 0; i < listing.files.size(); ++i) {
    const NamedFile& file = listing.files[i];
    const QStringList parts = Text(NamedFileShownPath(listing, file)).split(QLatin1Char('/'));
    QTreeWidgetItem* parent = root_;
    QString path;
    for (qsizetype p = 0; p + 1 < parts.size(); ++p) {
      path += parts[p] + QLatin1Char('/');
      QTreeWidgetItem*& folder = folders[path];
      if (!folder) folder = make_folder(parent, parts[p]);
      parent = folder;
    }
    auto* leaf = new QTreeWidgetItem(parent, {parts.back()});
    leaf->setFlags(leaf_flags);
    leaf->setIcon(0, file_icon);
    leaf->setData(0, kNamedRole, true);
    leaf->setData(0, kFileRole, static_cast<qulonglong>(i));
    leaf->setToolTip(0, NamedFileToolTip(listing, file));
    // Deleted files are set in italics, and dimmed when their content is gone.
    if (file.deleted) leaf->setFont(0, deleted_font);
    if (file.state == NamedFileState::kDeletedOverwritten) {
      leaf->setForeground(0, tree->palette().brush(QPalette::Disabled, QPalette::Text));
    }
    leaf->setCheckState(0, Qt::Unchecked);
    leaves_[i] = leaf;
    sizes_[i] = file.size;
  }
}

bool NamedFilesTree::Owns(const QTreeWidgetItem* item) {
  return item && item->data(0, kNamedRole).toBool();
}

int NamedFilesTree::FileOf(const QTreeWidgetItem* item) {
  if (!Owns(item)) return -1;
  const QVariant index = item->data(0, kFileRole);
  return index.isValid() ? static_cast<int>(index.toULongLong()) : -1;
}

void NamedFilesTree::OnItemChanged(QTreeWidgetItem* item) {
  // A folder's change reaches each of its files, which report it themselves.
  const int index = FileOf(item);
  if (index < 0 || static_cast<size_t>(index) >= marked_.size()) return;
  const uint8_t marked = item->checkState(0) == Qt::Checked ? 1 : 0;
  if (marked == marked_[index]) return;
  marked_[index] = marked;
  if (marked) {
    marked_bytes_ += sizes_[index];
  } else {
    marked_bytes_ -= sizes_[index];
  }
}

void NamedFilesTree::SetAll(bool marked) {
  if (!root_) return;
  root_->setCheckState(0, marked ? Qt::Checked : Qt::Unchecked);
  marked_bytes_ = 0;
  for (size_t i = 0; i < marked_.size(); ++i) {
    marked_[i] = marked ? 1 : 0;
    if (marked) marked_bytes_ += sizes_[i];
  }
}

std::vector<size_t> NamedFilesTree::MarkedFiles() const {
  std::vector<size_t> which;
  for (size_t i = 0; i < marked_.size(); ++i) {
    if (marked_[i]) which.push_back(i);
  }
  return which;
}

bool RunNamedSavingRun(QWidget* owner, const WizardState& state, const std::vector<size_t>& which) {
  return RunMixedSavingRun(owner, state, which, false);
}

}  // namespace pictavo::app
