#include "app/drive_selection_page.h"

#include <QApplication>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTreeWidget>
#include <future>

#include "app/artwork.h"
#include "app/drive_scan_dialog.h"
#include "drives/drive_enumeration.h"
#include "gui_fixture.h"
#include "platform/sector_source.h"

namespace pictavo::app::testing {
namespace {

class DrivePageTest : public GuiTest {
 protected:
  void GoToDrivePage(CPictavoSheet& sheet, Road road, const QString& image = QString()) {
    ChooseRoad(sheet, road);
    if (!image.isEmpty()) prompts.ChooseNext(image);
    sheet.next();
    QApplication::processEvents();  // lays the page out for its road
    ASSERT_EQ(sheet.currentId(), kDrivePageId);
  }
  static void BackToMainPage(CPictavoSheet& sheet) {
    sheet.back();
    ASSERT_EQ(sheet.currentId(), kMainPageId);
  }
};

TEST_F(DrivePageTest, RecoverListsDisksWithTheirVolumesAndSelectionSetsTheSource) {
  const SampleImage image = MakeImage("card.img", 2);
  DriveListing listing = ListingOf(image);
  DiskView locked;
  locked.name = "/dev/sdy";
  locked.label = "Locked Disk (2.00 GB)";
  locked.size = uint64_t{2} << 30;
  locked.readable = false;
  listing.disks.push_back(locked);
  auto sheet = MakeSheet(listing);
  GoToDrivePage(*sheet, Road::kRecover);
  CDriveSelectionDlg* page = sheet->drive_page();
  EXPECT_EQ(lister_calls, 1);

  QTreeWidget* tree = page->tree();
  ASSERT_EQ(tree->topLevelItemCount(), 2);
  QTreeWidgetItem* disk = tree->topLevelItem(0);
  ASSERT_EQ(disk->childCount(), 1);
  EXPECT_TRUE(disk->isExpanded());
  EXPECT_EQ(disk->text(0), listing.disks[0].label);
  EXPECT_TRUE(tree->topLevelItem(1)->toolTip(0).contains("'disk' group"));

  tree->setCurrentItem(disk->child(0));
  EXPECT_EQ(sheet->state().source_name, image.path);
  EXPECT_EQ(sheet->state().source_size, image.data_size);
  EXPECT_EQ(sheet->state().source_label, listing.disks[0].volumes[0].label);

  EXPECT_EQ(page->refresh_button()->text(), "Refresh drive");
  EXPECT_FALSE(page->destination_group()->isVisible());
  EXPECT_TRUE(page->help_text()->text().startsWith(
      "Please select the drive from the list. You can either select a complete drive or a "
      "logical drive to recover photos.\n\nIn case your drive is not listed, press \"Refresh\" "
      "button"));
  EXPECT_EQ(NextButton(*sheet)->width(), sheet->normal_next_width());

  // Re-listing clears the tree, which drops its selection; the source stays as chosen.
  QTest::mouseClick(page->refresh_button(), Qt::LeftButton);
  EXPECT_EQ(lister_calls, 2);
  EXPECT_EQ(tree->topLevelItemCount(), 2);
  EXPECT_EQ(sheet->state().source_name, image.path);
  EXPECT_EQ(sheet->state().source_label, listing.disks[0].volumes[0].label);
}

bool SameIcon(const QIcon& icon, const char* artwork) {
  return icon.pixmap(16, 16).toImage() ==
         ArtworkPixmap(QString::fromLatin1(artwork), QSize(16, 16)).toImage();
}

TEST_F(DrivePageTest, ARemovableVolumeMarksItsDiskToo) {
  const SampleImage image = MakeImage("card.img", 1);
  DriveListing listing = ListingOf(image, /*removable=*/true);
  VolumeView fixed = listing.disks[0].volumes[0];
  fixed.label = "sdz2 (ext4,  1.00 MB)";
  fixed.removable = false;
  listing.disks[0].volumes.push_back(fixed);
  listing.disks.push_back(ListingOf(image, /*removable=*/false).disks[0]);
  auto sheet = MakeSheet(listing);
  GoToDrivePage(*sheet, Road::kRecover);
  QTreeWidget* tree = sheet->drive_page()->tree();
  ASSERT_EQ(tree->topLevelItemCount(), 2);
  QTreeWidgetItem* card = tree->topLevelItem(0);
  EXPECT_TRUE(SameIcon(card->icon(0), "drive_removable"));
  EXPECT_TRUE(SameIcon(card->child(0)->icon(0), "drive_removable"));
  EXPECT_TRUE(SameIcon(card->child(1)->icon(0), "drive_fixed"));
  EXPECT_TRUE(SameIcon(tree->topLevelItem(1)->icon(0), "drive_fixed"));
}

TEST_F(DrivePageTest, AnImageOfSixGibibytesPassesItsWholeSize) {
  // A sparse file: six GiB of holes and the trailer.
  const uint64_t data_size = uint64_t{6} << 30;
  const QString path = QString::fromStdString(temp->File("big.img"));
  {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    uint8_t trailer_bytes[ImageTrailer::kSize];
    ImageTrailer trailer;
    trailer.data_size = data_size;
    trailer.sector_size = 512;
    WriteImageTrailer(trailer, trailer_bytes);
    ASSERT_TRUE(file.seek(static_cast<qint64>(data_size)));
    ASSERT_EQ(file.write(reinterpret_cast<const char*>(trailer_bytes), sizeof(trailer_bytes)),
              qint64{sizeof(trailer_bytes)});
  }
  auto sheet = MakeSheet();
  GoToDrivePage(*sheet, Road::kOpenImage, path);
  QTreeWidget* tree = sheet->drive_page()->tree();
  ASSERT_EQ(tree->topLevelItemCount(), 1);
  EXPECT_EQ(tree->topLevelItem(0)->text(0), "Image File (6.00 GB)");
  tree->setCurrentItem(tree->topLevelItem(0));
  EXPECT_EQ(sheet->state().source_size, data_size);
}

TEST_F(GuiTest, TheWaitDialogClosesOnlyWhenTheListingIsDone) {
  std::promise<void> go;
  std::shared_future<void> released = go.get_future().share();
  CDlgScanDrives dialog(true, nullptr, [released] {
    released.wait();
    return DriveListing{};
  });
  QSignalSpy finished(&dialog, &QDialog::finished);
  dialog.open();
  EXPECT_EQ(dialog.windowTitle(), "Wait...Analysing drives");
  EXPECT_EQ(dialog.progress_bar()->maximum(), 0);  // a marquee
  QTest::keyClick(&dialog, Qt::Key_Escape);
  EXPECT_FALSE(dialog.close());
  EXPECT_TRUE(dialog.isVisible());
  EXPECT_FALSE(dialog.done_flag());
  go.set_value();
  ASSERT_TRUE(finished.wait(5000));
  EXPECT_TRUE(dialog.done_flag());
  EXPECT_EQ(finished.at(0).at(0).toInt(), QDialog::Accepted);
}

TEST_F(DrivePageTest, CreateImageWidensNextOnceAndShowsTheDestination) {
  auto sheet = MakeSheet();
  GoToDrivePage(*sheet, Road::kCreateImage);
  CDriveSelectionDlg* page = sheet->drive_page();
  QAbstractButton* next = NextButton(*sheet);
  const int normal = sheet->normal_next_width();
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    EXPECT_EQ(next->text(), "Create Image");
    EXPECT_EQ(next->width(), normal + 10);
    EXPECT_TRUE(next->isEnabled());
    EXPECT_TRUE(page->destination_group()->isVisible());
    EXPECT_TRUE(page->browse_button()->isVisible());
    EXPECT_TRUE(page->destination_edit()->isReadOnly());
    EXPECT_EQ(page->destination_group()->title(), "Select destination path to store image file");
    BackToMainPage(*sheet);
    EXPECT_EQ(next->text(), "Next >");
    EXPECT_EQ(next->width(), normal);
    sheet->next();
  }
  // Showing the page again on the same road does not list the drives again.
  EXPECT_EQ(lister_calls, 1);
}

TEST_F(DrivePageTest, ChangingTheRoadListsTheDrivesAgainAndMovesTheControls) {
  const SampleImage image = MakeImage("card.img", 1);
  auto sheet = MakeSheet(ListingOf(image));
  GoToDrivePage(*sheet, Road::kRecover);
  CDriveSelectionDlg* page = sheet->drive_page();
  page->tree()->setCurrentItem(page->tree()->topLevelItem(0));
  EXPECT_EQ(sheet->state().source_name, image.path);
  const int tree_height_recover = page->tree()->height();
  EXPECT_EQ(lister_calls, 1);
  BackToMainPage(*sheet);
  GoToDrivePage(*sheet, Road::kCreateImage);
  EXPECT_EQ(lister_calls, 2);
  // The entry chosen before is gone with the old tree, and so is the source.
  EXPECT_TRUE(sheet->state().source_name.isEmpty());
  EXPECT_TRUE(sheet->state().source_label.isEmpty());
  EXPECT_TRUE(page->destination_group()->isVisible());
  EXPECT_LT(page->tree()->height(), tree_height_recover);
  BackToMainPage(*sheet);
  GoToDrivePage(*sheet, Road::kRecover);
  EXPECT_EQ(lister_calls, 3);
  EXPECT_FALSE(page->destination_group()->isVisible());
  EXPECT_EQ(page->tree()->height(), tree_height_recover);
  page->tree()->setCurrentItem(page->tree()->topLevelItem(0));
  BackToMainPage(*sheet);
  GoToDrivePage(*sheet, Road::kRecover);
  EXPECT_EQ(lister_calls, 3);
  // Coming back on the same road keeps the tree and the source chosen in it.
  EXPECT_EQ(sheet->state().source_name, image.path);
  sheet->next();
  EXPECT_EQ(sheet->currentId(), kFileTypePageId);
}

TEST_F(DrivePageTest, NextWithoutAChosenDriveSaysSo) {
  const SampleImage image = MakeImage("card.img", 1);
  auto sheet = MakeSheet(ListingOf(image));
  GoToDrivePage(*sheet, Road::kRecover);
  sheet->next();
  EXPECT_EQ(sheet->currentId(), kDrivePageId);
  ASSERT_EQ(prompts.messages.size(), 1u);
  EXPECT_EQ(prompts.messages[0].text, "Please select the drive to scan.");
}

TEST_F(DrivePageTest, CreateImageAsksForTheSourceThenTheDestination) {
  const SampleImage image = MakeImage("card.img", 1);
  auto sheet = MakeSheet(ListingOf(image));
  GoToDrivePage(*sheet, Road::kCreateImage);
  CDriveSelectionDlg* page = sheet->drive_page();

  sheet->next();
  EXPECT_EQ(sheet->currentId(), kDrivePageId);
  ASSERT_EQ(prompts.messages.size(), 1u);
  EXPECT_EQ(prompts.messages[0].text, "Please select source drive to create an image");
  EXPECT_EQ(prompts.messages[0].owner, page);
  EXPECT_EQ(prompts.messages[0].caption, "Information");

  page->tree()->setCurrentItem(page->tree()->topLevelItem(0));
  sheet->next();
  EXPECT_EQ(sheet->currentId(), kDrivePageId);
  ASSERT_EQ(prompts.messages.size(), 2u);
  EXPECT_EQ(prompts.messages[1].text, "Please select destination path to save image file");

  const QString destination = QString::fromStdString(temp->File("copy.img"));
  prompts.ChooseNext(destination);
  QTest::mouseClick(page->browse_button(), Qt::LeftButton);
  ASSERT_EQ(prompts.file_requests.size(), 1u);
  EXPECT_EQ(prompts.file_requests[0].kind, FileRequest::Kind::kSave);
  EXPECT_EQ(prompts.file_requests[0].filter, "Image Files (*.Img)");
  EXPECT_EQ(prompts.file_requests[0].proposed_name, "ImageName");
  EXPECT_EQ(page->destination_edit()->text(), destination);
  EXPECT_EQ(sheet->state().destination_path, destination);

  // A cancelled Browse keeps the destination.
  QTest::mouseClick(page->browse_button(), Qt::LeftButton);
  EXPECT_EQ(page->destination_edit()->text(), destination);
}

TEST_F(DrivePageTest, OpenImageListsImagesAndRefusesTheSameOneTwice) {
  const SampleImage first = MakeImage("first.img", 2);
  const SampleImage same_size = MakeImage("same-size.img", 2);
  const SampleImage other = MakeImage("other.img", 3, 64);
  ASSERT_EQ(first.data_size, same_size.data_size);
  auto sheet = MakeSheet(ListingOf(first));
  GoToDrivePage(*sheet, Road::kOpenImage, first.path);
  CDriveSelectionDlg* page = sheet->drive_page();
  QTreeWidget* tree = page->tree();
  EXPECT_EQ(lister_calls, 0);
  EXPECT_EQ(page->refresh_button()->text(), "Add another image");
  EXPECT_EQ(page->help_text()->text(), "Please select the image from the list.");
  ASSERT_EQ(tree->topLevelItemCount(), 1);
  const QString label = tree->topLevelItem(0)->text(0);
  EXPECT_EQ(label,
            QStringLiteral("Image File (%1)").arg(DriveSizeLabel(first.data_size + 32, false)));
  EXPECT_EQ(tree->topLevelItem(0)->childCount(), 0);

  for (const QString& path : {first.path, same_size.path}) {
    prompts.ChooseNext(path);
    QTest::mouseClick(page->refresh_button(), Qt::LeftButton);
    ASSERT_FALSE(prompts.messages.empty());
    EXPECT_EQ(prompts.messages.back().text, "Selected image is already added.");
    EXPECT_EQ(tree->topLevelItemCount(), 1);
  }
  prompts.ChooseNext(other.path);
  QTest::mouseClick(page->refresh_button(), Qt::LeftButton);
  ASSERT_EQ(tree->topLevelItemCount(), 2);
  EXPECT_EQ(prompts.file_requests.back().filter, "Image File (*.img);;All files (*)");

  const QString not_an_image = WriteBytes("notes.txt", {'h', 'i'});
  prompts.ChooseNext(not_an_image);
  QTest::mouseClick(page->refresh_button(), Qt::LeftButton);
  EXPECT_EQ(prompts.messages.back().text, "Not a valid image file.");
  EXPECT_EQ(tree->topLevelItemCount(), 2);

  // A cancelled dialog adds nothing and says nothing.
  const size_t messages = prompts.messages.size();
  QTest::mouseClick(page->refresh_button(), Qt::LeftButton);
  EXPECT_EQ(prompts.messages.size(), messages);

  tree->setCurrentItem(tree->topLevelItem(1));
  EXPECT_EQ(sheet->state().source_name, other.path);
  EXPECT_EQ(sheet->state().source_size, other.data_size);
  EXPECT_EQ(sheet->state().source_label, tree->topLevelItem(1)->text(0));
  // The label stays the size alone (snapshots keep it); the path tells the images apart.
  EXPECT_TRUE(sheet->state().source_label.startsWith("Image File ("));
  ASSERT_EQ(tree->columnCount(), 2);
  for (int i = 0; i < 2; ++i) {
    const QString path = i == 0 ? first.path : other.path;
    EXPECT_EQ(tree->topLevelItem(i)->text(CDriveSelectionDlg::kPathColumn), path);
    EXPECT_EQ(tree->topLevelItem(i)->toolTip(CDriveSelectionDlg::kLabelColumn),
              tree->topLevelItem(i)->text(0) + "\n" + path);
  }
}

TEST_F(DrivePageTest, ComingBackOnTheImageRoadKeepsTheListAndAddsANewlyChosenImage) {
  const SampleImage first = MakeImage("first.img", 2);
  const SampleImage second = MakeImage("second.img", 4, 16);
  auto sheet = MakeSheet();
  GoToDrivePage(*sheet, Road::kOpenImage, first.path);
  QTreeWidget* tree = sheet->drive_page()->tree();
  ASSERT_EQ(tree->topLevelItemCount(), 1);
  BackToMainPage(*sheet);
  GoToDrivePage(*sheet, Road::kOpenImage, first.path);
  EXPECT_EQ(tree->topLevelItemCount(), 1);
  BackToMainPage(*sheet);
  GoToDrivePage(*sheet, Road::kOpenImage, second.path);
  EXPECT_EQ(tree->topLevelItemCount(), 2);
  EXPECT_TRUE(prompts.messages.empty());
  // Another road clears the image list; coming back lists the chosen image alone.
  BackToMainPage(*sheet);
  GoToDrivePage(*sheet, Road::kRecover);
  BackToMainPage(*sheet);
  GoToDrivePage(*sheet, Road::kOpenImage, first.path);
  EXPECT_EQ(tree->topLevelItemCount(), 1);
}

TEST_F(GuiTest, RecoverListsTheMachinesOwnDrives) {
  CPictavoSheet sheet;  // the real drive listing
  sheet.show();
  ChooseRoad(sheet, Road::kRecover);
  sheet.next();
  ASSERT_EQ(sheet.currentId(), kDrivePageId);
  const std::vector<DiskRecord> disks = EnumerateDrives();
  QTreeWidget* tree = sheet.drive_page()->tree();
  ASSERT_EQ(tree->topLevelItemCount(), static_cast<int>(disks.size()));
  for (size_t i = 0; i < disks.size(); ++i) {
    QTreeWidgetItem* item = tree->topLevelItem(static_cast<int>(i));
    EXPECT_EQ(item->text(0).toStdString(), disks[i].label);
    EXPECT_EQ(item->data(0, CDriveSelectionDlg::kSourceNameRole).toString().toStdString(),
              disks[i].name);
    EXPECT_EQ(item->childCount(), static_cast<int>(disks[i].volumes.size()));
  }
  EXPECT_TRUE(prompts.messages.empty());
}

TEST(DriveSizeLabels, SwitchToGigabytesAtOneGibibyte) {
  EXPECT_EQ(DriveSizeLabel(uint64_t{1} << 30, true), "1.00 GB");
  EXPECT_EQ(DriveSizeLabel(uint64_t{1} << 29, true), "512.00 MB");
  EXPECT_EQ(DriveSizeLabel((uint64_t{1} << 30) - 1, true), "1024.00 MB");
  EXPECT_EQ(DriveSizeLabel(0, true), "0.00 MB");
  EXPECT_EQ(DriveSizeLabel(uint64_t{6} << 30, false), "6.00 GB");
}

TEST_F(DrivePageTest, AtTheSmallestSizeTheHelpTextIsWhole) {
  const SampleImage image = MakeImage("card.img", 1);
  auto sheet = MakeSheet(ListingOf(image));
  for (Road road : {Road::kRecover, Road::kCreateImage}) {
    GoToDrivePage(*sheet, road);
    for (const QSize size : {sheet->minimumSize(), sheet->minimumSizeHint()}) {
      sheet->resize(size.expandedTo(sheet->minimumSize()));
      QApplication::processEvents();
      QLabel* help = sheet->drive_page()->help_text();
      EXPECT_GE(help->height(), help->heightForWidth(help->width()))
          << "at " << sheet->width() << "x" << sheet->height();
    }
    BackToMainPage(*sheet);
  }
}

TEST_F(DrivePageTest, EveryEntryShowsItsWholeLabelAsATooltipAndLongLabelsLoseTheirMiddle) {
  const SampleImage image = MakeImage("card.img", 1);
  DriveListing listing = ListingOf(image);
  listing.disks[0].label = "Loop device (/var/tmp/some/rather/long/folder/name/card.raw) (1.00 MB)";
  auto sheet = MakeSheet(listing);
  GoToDrivePage(*sheet, Road::kRecover);
  QTreeWidget* tree = sheet->drive_page()->tree();
  EXPECT_EQ(tree->textElideMode(), Qt::ElideMiddle);
  QTreeWidgetItem* disk = tree->topLevelItem(0);
  EXPECT_EQ(disk->toolTip(0), listing.disks[0].label);
  EXPECT_EQ(disk->child(0)->toolTip(0), listing.disks[0].volumes[0].label);
}

// A device this user may not read is refused at Next, before any scan or copy starts.
TEST_F(DrivePageTest, UnreadableDeviceIsRefusedAtNext) {
  const SampleImage image = MakeImage("card.img", 1);
  DriveListing listing = ListingOf(image);
  listing.disks[0].readable = false;
  auto sheet = MakeSheet(listing);
  for (Road road : {Road::kRecover, Road::kCreateImage}) {
    GoToDrivePage(*sheet, road);
    QTreeWidget* tree = sheet->drive_page()->tree();
    tree->setCurrentItem(tree->topLevelItem(0));
    sheet->state().destination_path = QString::fromStdString(temp->File("copy.img"));
    prompts.messages.clear();
    sheet->next();
    EXPECT_EQ(sheet->currentId(), kDrivePageId);
    ASSERT_EQ(prompts.messages.size(), 1u);
    EXPECT_TRUE(prompts.messages[0].text.startsWith(listing.disks[0].label + "\n\nYou may not read "
                                                                             "this device."));
    EXPECT_TRUE(prompts.messages[0].text.contains("'disk' group"));
    EXPECT_FALSE(QFile::exists(sheet->state().destination_path));

    // Its readable volume goes on.
    tree->setCurrentItem(tree->topLevelItem(0)->child(0));
    prompts.messages.clear();
    if (road == Road::kRecover) {
      sheet->next();
      EXPECT_EQ(sheet->currentId(), kFileTypePageId);
      EXPECT_TRUE(prompts.messages.empty());
      sheet->back();
    }
    BackToMainPage(*sheet);
  }
}

}  // namespace
}  // namespace pictavo::app::testing
