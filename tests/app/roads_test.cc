#include <QLabel>
#include <QTest>
#include <QTreeWidget>

#include "app/drive_selection_page.h"
#include "app/recovered_files_page.h"
#include "gui_fixture.h"
#include "results/snapshot.h"

namespace pictavo::app::testing {
namespace {

// The whole Recover road: a drive from the tree, the file types, the scan behind its dialog, and
// the results page with what the scan found.
TEST_F(GuiTest, RecoverRoadScansTheSelectedDriveAndShowsTheFinds) {
  const SampleImage image = MakeImage("card.img", 6);
  auto sheet = MakeSheet(ListingOf(image));
  ChooseRoad(*sheet, Road::kRecover);
  sheet->next();
  ASSERT_EQ(sheet->currentId(), kDrivePageId);
  QTreeWidget* tree = sheet->drive_page()->tree();
  tree->setCurrentItem(tree->topLevelItem(0)->child(0));
  sheet->next();
  ASSERT_EQ(sheet->currentId(), kFileTypePageId);
  sheet->next();  // runs the scanning dialog, which closes itself when the scan ends
  ASSERT_EQ(sheet->currentId(), kRecoveredFilesPageId);
  EXPECT_TRUE(prompts.messages.empty());
  EXPECT_EQ(sheet->state().results.found_count, image.jpeg_count);
  auto* results = static_cast<CRecoverdFileDlg*>(sheet->recovered_page());
  ASSERT_EQ(results->tree()->topLevelItemCount(), 1);
  EXPECT_EQ(results->root_item()->text(0), "Recovered Files (6)");
  ASSERT_EQ(results->root_item()->childCount(), 1);
  EXPECT_EQ(results->root_item()->child(0)->text(0), "JPEG (6)");
  EXPECT_TRUE(sheet->save_snapshot_button()->isVisible());
}

TEST_F(GuiTest, RecoverRoadWithJpegUncheckedFindsNothing) {
  const SampleImage image = MakeImage("card.img", 3);
  auto sheet = MakeSheet(ListingOf(image));
  ChooseRoad(*sheet, Road::kRecover);
  sheet->next();
  sheet->drive_page()->tree()->setCurrentItem(sheet->drive_page()->tree()->topLevelItem(0));
  sheet->next();
  ProcessFileTypeSelection().Set(kTypeJpeg, false);
  sheet->next();
  ASSERT_EQ(sheet->currentId(), kRecoveredFilesPageId);
  EXPECT_EQ(sheet->state().results.found_count, 0u);
}

TEST_F(GuiTest, OpenImageRoadScansTheChosenImage) {
  const SampleImage image = MakeImage("card.img", 4, 4096);
  auto sheet = MakeSheet();
  ChooseRoad(*sheet, Road::kOpenImage);
  prompts.ChooseNext(image.path);
  sheet->next();
  ASSERT_EQ(sheet->currentId(), kDrivePageId);
  QTreeWidget* tree = sheet->drive_page()->tree();
  ASSERT_EQ(tree->topLevelItemCount(), 1);
  tree->setCurrentItem(tree->topLevelItem(0));
  EXPECT_EQ(sheet->state().source_size, image.data_size);
  sheet->next();
  sheet->next();
  ASSERT_EQ(sheet->currentId(), kRecoveredFilesPageId);
  EXPECT_EQ(sheet->state().results.found_count, image.jpeg_count);
  EXPECT_TRUE(sheet->state().last_scan.ok);
  EXPECT_TRUE(prompts.messages.empty());
  EXPECT_EQ(lister_calls, 0);
}

TEST_F(GuiTest, RecoverRoadOnAnUnreadableSourceEndsOnTheResultsPageAfterTheMessage) {
  SampleImage gone = MakeImage("card.img", 1);
  auto sheet = MakeSheet(ListingOf(gone));
  ChooseRoad(*sheet, Road::kRecover);
  sheet->next();
  sheet->drive_page()->tree()->setCurrentItem(sheet->drive_page()->tree()->topLevelItem(0));
  ASSERT_TRUE(QFile::remove(gone.path));
  sheet->next();
  sheet->next();
  EXPECT_EQ(sheet->currentId(), kRecoveredFilesPageId);
  ASSERT_EQ(prompts.messages.size(), 1u);
  EXPECT_EQ(prompts.messages[0].text, "No such file or directory");
}

// Save Recovery Snap after a scan, then the Load Recovery road in a new wizard: the results page
// shows the same finds without scanning.
TEST_F(GuiTest, LoadRecoveryRoadShowsTheSavedScan) {
  const SampleImage image = MakeImage("card.img", 5);
  const QString snapshot = QString::fromStdString(temp->File("scan.dat"));
  {
    auto sheet = MakeSheet(ListingOf(image));
    ChooseRoad(*sheet, Road::kRecover);
    sheet->next();
    sheet->drive_page()->tree()->setCurrentItem(sheet->drive_page()->tree()->topLevelItem(0));
    sheet->next();
    sheet->next();
    ASSERT_EQ(sheet->currentId(), kRecoveredFilesPageId);
    prompts.ChooseNext(snapshot);
    QTest::mouseClick(sheet->save_snapshot_button(), Qt::LeftButton);
    ASSERT_EQ(prompts.file_requests.size(), 1u);
    EXPECT_EQ(prompts.file_requests[0].filter, "Save Recovery Snap (*.dat)");
    EXPECT_TRUE(prompts.file_requests[0].proposed_name.startsWith("Oskel_Save_Recovery_Snap "));
    ASSERT_EQ(prompts.messages.size(), 1u);
    EXPECT_EQ(prompts.messages[0].text, "Save Recovery is successfully saved");
  }
  const int listings_before = lister_calls;
  auto sheet = MakeSheet();
  ChooseRoad(*sheet, Road::kLoadRecovery);
  prompts.ChooseNext(snapshot);
  sheet->next();
  ASSERT_EQ(sheet->currentId(), kRecoveredFilesPageId);
  EXPECT_EQ(prompts.messages.size(), 1u);
  EXPECT_EQ(sheet->state().results.found_count, image.jpeg_count);
  EXPECT_EQ(sheet->state().source_name, image.path);
  EXPECT_EQ(sheet->state().source_size, image.data_size);
  auto* results = static_cast<CRecoverdFileDlg*>(sheet->recovered_page());
  EXPECT_EQ(results->root_item()->text(0), "Recovered Files (5)");
  EXPECT_TRUE(sheet->state().source_label.startsWith("Test Card Reader"))
      << sheet->state().source_label.toStdString();
  EXPECT_EQ(lister_calls, listings_before);
}

// A snapshot that keeps files with names loads them, and saving it again keeps them.
TEST_F(GuiTest, LoadRecoveryKeepsTheFilesWithNamesWhenTheSnapshotIsSavedAgain) {
  const SampleImage image = MakeImage("card.img", 2);
  RecoverySnapshot kept;
  kept.source_name = image.path.toStdString();
  kept.source_label = "Test Card Reader (1.00 MB)";
  kept.source_size = image.data_size;
  kept.results.records = {{kTypeJpeg, 512, 700, 0}, {}};
  kept.results.found_count = 1;
  kept.results.tallies[kTypeJpeg] = {1, 1, 700};
  kept.named.volumes.push_back({0, image.data_size, 512, "FAT32", ""});
  NamedFile video;
  video.path = "DCIM/100TEST/_OV_0001.MP4";
  video.type = kTypeMp4;
  video.size = 5ULL << 30;  // past what 32 bits hold
  video.deleted = true;
  video.state = NamedFileState::kDeletedRecoverable;
  video.runs = {{0, 512, 5ULL << 30, false, false}};
  kept.named.files.push_back(video);
  const std::string first = temp->File("named.dat");
  ASSERT_TRUE(WriteSnapshot(first, kept).ok);

  auto sheet = MakeSheet();
  ChooseRoad(*sheet, Road::kLoadRecovery);
  prompts.ChooseNext(QString::fromStdString(first));
  sheet->next();
  ASSERT_EQ(sheet->currentId(), kRecoveredFilesPageId);
  ASSERT_EQ(sheet->state().named_files.files.size(), 1u);
  EXPECT_EQ(sheet->state().named_files.files[0].size, 5ULL << 30);

  const std::string second = temp->File("again.dat");
  prompts.ChooseNext(QString::fromStdString(second));
  QTest::mouseClick(sheet->save_snapshot_button(), Qt::LeftButton);
  RecoverySnapshot loaded;
  ASSERT_TRUE(ReadSnapshot(second, &loaded).ok);
  EXPECT_EQ(EncodeListing(loaded.named), EncodeListing(kept.named));
  EXPECT_EQ(loaded.named.files[0].state, NamedFileState::kDeletedRecoverable);
  EXPECT_EQ(loaded.results.records, kept.results.records);
}

}  // namespace
}  // namespace pictavo::app::testing
