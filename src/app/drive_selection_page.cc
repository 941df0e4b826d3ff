#include "app/drive_selection_page.h"

#include <QDir>
#include <QFile>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "app/artwork.h"
#include "app/create_image_dialog.h"
#include "app/drive_scan_dialog.h"
#include "app/pictavo_sheet.h"
#include "app/prompts.h"
#include "app/source_checks.h"
#include "results/recovery.h"

namespace pictavo::app {
namespace {

// The closing note of the long help texts tells a user of this system what to do when a freshly
// plugged card is missing.
const QString kRecoverHelp = QStringLiteral(
    "Please select the drive from the list. You can either select a complete drive or a logical "
    "drive to recover photos.\n\nIn case your drive is not listed, press \"Refresh\" button, else "
    "make sure your drive is connected properly to this PC.\n\n\nPlease Note: the system may take "
    "some time to identify any removable storage that you plug-in, else you may unplug it and plug "
    "it in again to ensure all drives are connected and are available.  ");
const QString kCreateImageHelp = QStringLiteral(
    "Please select the drive from the list. You can either select a complete drive or a logical "
    "drive to create image.\n\nIn case your drive is not listed, press \"Refresh\" button, else "
    "make sure your drive is connected properly to this PC.\n\n\nPlease Note: the system may take "
    "some time to identify any removable storage that you plug-in, else you may unplug it and plug "
    "it in again to ensure all drives are connected and are available.  ");
const QString kOpenImageHelp = QStringLiteral("Please select the image from the list.");
const QString kLockedNote = QStringLiteral(
    "You may not read this device. Run Pictavo as root (for example through pkexec), or add your "
    "user to the 'disk' group and log in again.");

const QString kRefreshText = QStringLiteral("Refresh drive");
const QString kAddImageText = QStringLiteral("Add another image");
// "All files" also shows an image made without an extension (Create Image proposes none).
const QString kImageFilter = QStringLiteral("Image File (*.img);;All files (*)");
const QString kSaveImageFilter = QStringLiteral("Image Files (*.Img)");
const QString kProposedImageName = QStringLiteral("ImageName");
const QString kNotValidImage = QStringLiteral("Not a valid image file.");
const QString kAlreadyAdded = QStringLiteral("Selected image is already added.");
const QString kNoSource = QStringLiteral("Please select source drive to create an image");
const QString kNoScanSource = QStringLiteral("Please select the drive to scan.");
const QString kNoDestination = QStringLiteral("Please select destination path to save image file");
const QString kLockedSource = QStringLiteral("%1\n\n") + kLockedNote;

QString IconFor(bool removable, bool readable) {
  if (!readable) return QStringLiteral("drive_locked");
  return removable ? QStringLiteral("drive_removable") : QStringLiteral("drive_fixed");
}

// Every entry shows its whole label in a tooltip: a long one is cut in the tree.
void SetDeviceEntry(QTreeWidgetItem* item, const QString& name, uint64_t size, bool readable) {
  item->setData(0, CDriveSelectionDlg::kSourceNameRole, name);
  item->setData(0, CDriveSelectionDlg::kSourceSizeRole, QVariant::fromValue<quint64>(size));
  item->setData(0, CDriveSelectionDlg::kReadableRole, readable);
  if (readable) {
    item->setToolTip(0, item->text(0));
  } else {
    item->setToolTip(0, item->text(0) + QStringLiteral("\n\n") + kLockedNote);
    item->setForeground(0, item->treeWidget()->palette().brush(QPalette::Disabled, QPalette::Text));
  }
}

}  // namespace

CDriveSelectionDlg::CDriveSelectionDlg(WizardState& state, QWidget* parent)
    : PictavoPage(state, parent), lister_(&ListDrives) {
  setTitle(QStringLiteral("Select Drive"));
  setSubTitle(QStringLiteral("Choose the source to work on."));

  auto* group = new QGroupBox(QStringLiteral("Select Drive"), this);
  tree_ = new QTreeWidget(group);
  tree_->setHeaderHidden(true);
  tree_->setColumnCount(1);
  tree_->setRootIsDecorated(true);
  tree_->setIconSize(QSize(16, 16));
  tree_->setMinimumWidth(300);
  // Labels end in the size, which must stay readable: a long label loses its middle (mostly a
  // device path) rather than its end.
  tree_->setTextElideMode(Qt::ElideMiddle);
  tree_->header()->setStretchLastSection(true);
  tree_->header()->setMinimumSectionSize(40);

  help_text_ = new QLabel(group);
  help_text_->setWordWrap(true);
  help_text_->setAlignment(Qt::AlignTop | Qt::AlignLeft);
  KeepWrappedTextWhole(help_text_);
  refresh_button_ = new QPushButton(kRefreshText, group);
  refresh_button_->setMinimumWidth(160);

  auto* side = new QVBoxLayout;
  side->addWidget(help_text_);
  side->addSpacing(12);
  side->addWidget(refresh_button_, 0, Qt::AlignHCenter);
  side->addStretch(1);

  auto* top = new QHBoxLayout;
  top->addWidget(tree_, 1);
  top->addSpacing(12);
  top->addLayout(side, 1);

  destination_group_ =
      new QGroupBox(QStringLiteral("Select destination path to store image file"), group);
  destination_edit_ = new QLineEdit(destination_group_);
  destination_edit_->setReadOnly(true);
  browse_button_ = new QPushButton(QStringLiteral("Browse"), destination_group_);
  auto* destination_layout = new QHBoxLayout(destination_group_);
  destination_layout->addWidget(destination_edit_, 1);
  destination_layout->addWidget(browse_button_);

  auto* group_layout = new QVBoxLayout(group);
  group_layout->addLayout(top, 1);
  group_layout->addWidget(destination_group_);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(group);

  connect(tree_, &QTreeWidget::itemSelectionChanged, this, &CDriveSelectionDlg::OnSelectionChanged);
  connect(refresh_button_, &QPushButton::clicked, this, &CDriveSelectionDlg::OnRefreshClicked);
  connect(browse_button_, &QPushButton::clicked, this, &CDriveSelectionDlg::OnBrowseClicked);
}

int CDriveSelectionDlg::nextId() const { return kFileTypePageId; }

void CDriveSelectionDlg::OnInitDialog() {
  RunAnalysis();
  just_analysed_ = true;
}

void CDriveSelectionDlg::OnSetActive() {
  const Road road = state_.road;
  refresh_button_->setText(road == Road::kOpenImage ? kAddImageText : kRefreshText);
  if (CPictavoSheet* wizard = sheet()) wizard->SetNextForImaging(road == Road::kCreateImage);

  const bool road_changed = !last_road_ || *last_road_ != road;
  if (road_changed) {
    // The tree is about to show other entries; a source chosen among the old ones must not be
    // scanned or copied unseen.
    state_.source_name.clear();
    state_.source_label.clear();
    state_.source_size = 0;
    source_readable_ = true;
  }
  if (road == Road::kOpenImage) {
    if (road_changed) ClearTree();
    // The image the main page has just checked is listed at once, also when the page comes back
    // on the same road; one listed already is not listed twice.
    AddImage(/*from_main_page=*/true);
  } else if (road_changed && !just_analysed_) {
    RunAnalysis();
  }
  just_analysed_ = false;
  last_road_ = road;

  switch (road) {
    case Road::kCreateImage:
      help_text_->setText(kCreateImageHelp);
      setSubTitle(QStringLiteral("Choose the drive to copy and the image file to store it in."));
      break;
    case Road::kOpenImage:
      help_text_->setText(kOpenImageHelp);
      setSubTitle(QStringLiteral("Choose the disk image to search for photos."));
      break;
    default:
      help_text_->setText(kRecoverHelp);
      setSubTitle(QStringLiteral("Choose the drive or partition to search for photos."));
      break;
  }
  KeepWrappedTextWhole(help_text_);
  // Without the destination controls the tree takes their room.
  destination_group_->setVisible(road == Road::kCreateImage);
}

void CDriveSelectionDlg::RunAnalysis() {
  ++analysis_runs_;
  ClearTree();
  CDlgScanDrives dialog(state_.road != Road::kOpenImage, this, lister_);
  dialog.exec();
  FillTree(dialog.listing());
}

void CDriveSelectionDlg::ClearTree() {
  rebuilding_ = true;
  tree_->clear();
  // Images are told apart by their paths, in a second column; the label column takes what its
  // labels need.
  const bool images = state_.road == Road::kOpenImage;
  tree_->setColumnCount(images ? 2 : 1);
  tree_->header()->setSectionResizeMode(
      kLabelColumn, images ? QHeaderView::ResizeToContents : QHeaderView::Stretch);
  rebuilding_ = false;
}

void CDriveSelectionDlg::FillTree(const DriveListing& listing) {
  rebuilding_ = true;
  for (const DiskView& disk : listing.disks) {
    auto* disk_item = new QTreeWidgetItem(tree_, {disk.label});
    SetDeviceEntry(disk_item, disk.name, disk.size, disk.readable);
    bool removable = disk.removable;
    for (const VolumeView& volume : disk.volumes) {
      auto* volume_item = new QTreeWidgetItem(disk_item, {volume.label});
      SetDeviceEntry(volume_item, volume.name, volume.size, volume.readable);
      volume_item->setIcon(0, ArtworkIcon(IconFor(volume.removable, volume.readable)));
      removable = removable || volume.removable;
    }
    disk_item->setIcon(0, ArtworkIcon(IconFor(removable, disk.readable)));
    disk_item->setExpanded(true);
  }
  rebuilding_ = false;
}

void CDriveSelectionDlg::AddImage(bool from_main_page) {
  QString path;
  if (from_main_page || tree_->topLevelItemCount() == 0) {
    path = state_.image_path;
  } else {
    path = ChooseFileToOpen(nullptr, kImageFilter);
    state_.image_path = path;
  }
  if (path.isEmpty()) return;
  if (!CheckImageFile(path)) {
    ShowInformation(this, kNotValidImage);
    return;
  }
  const std::optional<ImageEntryView> entry = ReadImageEntry(path);
  if (!entry) return;
  // The label holds only the size, so a different image of the same size counts as listed.
  for (int i = 0; i < tree_->topLevelItemCount(); ++i) {
    if (tree_->topLevelItem(i)->text(0) == entry->label) {
      if (!from_main_page) ShowInformation(this, kAlreadyAdded);
      return;
    }
  }
  // The label is what snapshots keep as the source's label; the path goes in its own column.
  auto* item = new QTreeWidgetItem(tree_, {entry->label, QDir::toNativeSeparators(path)});
  item->setData(0, kSourceNameRole, path);
  item->setData(0, kSourceSizeRole, QVariant::fromValue<quint64>(entry->data_size));
  item->setData(0, kReadableRole, true);
  item->setIcon(0, ArtworkIcon(QStringLiteral("drive_image")));
  const QString tip = entry->label + QLatin1Char('\n') + QDir::toNativeSeparators(path);
  item->setToolTip(kLabelColumn, tip);
  item->setToolTip(kPathColumn, tip);
  // The image the user has just picked is the one to scan.
  tree_->setCurrentItem(item);
  tree_->setFocus();
}

void CDriveSelectionDlg::OnSelectionChanged() {
  if (rebuilding_) return;
  const QList<QTreeWidgetItem*> selected = tree_->selectedItems();
  if (selected.isEmpty()) return;
  QTreeWidgetItem* item = selected.first();
  state_.source_name = item->data(0, kSourceNameRole).toString();
  state_.source_size = item->data(0, kSourceSizeRole).value<quint64>();
  state_.source_label = item->text(kLabelColumn);
  source_readable_ = item->data(0, kReadableRole).toBool();
}

void CDriveSelectionDlg::OnRefreshClicked() {
  if (state_.road == Road::kOpenImage) {
    AddImage(/*from_main_page=*/false);
  } else {
    RunAnalysis();
  }
}

void CDriveSelectionDlg::OnBrowseClicked() {
  const QString path = ChooseFileToSave(this, kSaveImageFilter, kProposedImageName);
  if (path.isEmpty()) return;
  state_.destination_path = path;
  destination_edit_->setText(path);
}

bool CDriveSelectionDlg::validatePage() {
  if (state_.road != Road::kCreateImage) {
    if (state_.source_name.isEmpty()) {
      ShowInformation(this, kNoScanSource);
      return false;
    }
    // Said now rather than by a scan that fails at once.
    if (!source_readable_) {
      ShowInformation(this, kLockedSource.arg(state_.source_label));
      return false;
    }
    return true;
  }
  if (state_.source_name.isEmpty()) {
    ShowInformation(this, kNoSource);
  } else if (!source_readable_) {
    ShowInformation(this, kLockedSource.arg(state_.source_label));
  } else if (state_.destination_path.isEmpty()) {
    ShowInformation(this, kNoDestination);
  } else if (const DestinationCheck check =
                 CheckDestination(QFile::encodeName(state_.destination_path).toStdString(),
                                  QFile::encodeName(state_.source_name).toStdString(), 0,
                                  {.allow_same_file_system = true, .roots = {}});
             check.verdict == DestinationVerdict::kSameMedium) {
    // Never onto the medium being imaged, through any of its partitions or loop devices.
    ShowInformation(this, QString::fromStdString(check.message));
  } else if (!QFile::exists(state_.destination_path) ||
             !QFile::exists(MapPathFor(state_.destination_path)) ||
             ShowMessage(this,
                         QStringLiteral("Resume imaging? %1 holds imaging that was stopped, "
                                        "with its map %2. Yes reads what is still missing "
                                        "into it.")
                             .arg(state_.destination_path, MapPathFor(state_.destination_path)),
                         QStringLiteral("Information"), QMessageBox::Question,
                         QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes) {
    CCreateImageDialog dialog(state_, this);
    dialog.exec();
  }
  // The page stays: another image can be made at once.
  return false;
}

}  // namespace pictavo::app
