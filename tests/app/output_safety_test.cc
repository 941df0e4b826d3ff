// The wizard's snapshots never go over the source, a cut snapshot is reported, and a cancelled
// saving run keeps the files it finished.
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QThread>
#include <QTreeWidget>
#include <functional>

#include "app/drive_selection_page.h"
#include "app/saving_dialog.h"
#include "platform/sector_source.h"
#include "results/recovery.h"
#include "results/snapshot.h"
#include "results_fixture.h"
#include "support/loop_device.h"

namespace pictavo::app::testing {
namespace {

std::vector<uint8_t> FileBytes(const QString& path) {
  return samples::ReadFile(QFile::encodeName(path).toStdString());
}

class OutputSafetyTest : public ResultsTest {
 protected:
  void SetUp() override {
    ResultsTest::SetUp();
    files = MixedFiles();
    image = MakeImage("mixed.img", files);
    sheet = ScanImage(image);
    page = Page(*sheet);
  }

  std::vector<PlacedFile> files;
  QString image;
  std::unique_ptr<CPictavoSheet> sheet;
  CRecoverdFileDlg* page = nullptr;
};

// A snapshot holds no file contents, so it may go beside the image it lists; never over it, even
// when the file dialog's question about replacing was answered yes.
TEST_F(OutputSafetyTest, SnapshotGoesBesideTheImageButNeverOverIt) {
  const std::vector<uint8_t> image_bytes = FileBytes(image);
  prompts.ChooseNext(image);
  prompts.messages.clear();
  sheet->save_snapshot_button()->click();
  ASSERT_EQ(prompts.messages.size(), 1u);
  EXPECT_EQ(prompts.messages[0].text,
            image + " is the source being recovered from; it is never written to.");
  EXPECT_EQ(FileBytes(image), image_bytes);

  const QString beside = QString::fromStdString(temp->File("beside.dat"));
  prompts.ChooseNext(beside);
  prompts.messages.clear();
  sheet->save_snapshot_button()->click();
  EXPECT_EQ(prompts.Texts(), QStringList({"Save Recovery is successfully saved"}));
  EXPECT_TRUE(CheckSnapshotFile(QFile::encodeName(beside).toStdString()));
  EXPECT_EQ(FileBytes(image), image_bytes);
}

TEST_F(OutputSafetyTest, LoadRecoveryWarnsOfASnapshotCutAtARecordBoundary) {
  const QString snapshot = QString::fromStdString(temp->File("scan.dat"));
  prompts.ChooseNext(snapshot);
  sheet->save_snapshot_button()->click();
  std::vector<uint8_t> bytes = FileBytes(snapshot);
  ASSERT_GT(bytes.size(), 3 * kSnapshotRecordBytes);
  bytes.resize(bytes.size() - 3 * kSnapshotRecordBytes);  // the spare and the last two finds
  const QString cut = WriteBytes("cut.dat", bytes);
  sheet.reset();

  auto loaded = MakeSheet();
  ChooseRoad(*loaded, Road::kLoadRecovery);
  prompts.ChooseNext(cut);
  prompts.messages.clear();
  loaded->next();
  ASSERT_EQ(loaded->currentId(), kRecoveredFilesPageId);
  const QString expected =
      QStringLiteral(
          "This recovery snapshot looks incomplete: it counts %1 found files but holds "
          "the records of only %2. It may have been cut short; only the files it "
          "holds can be listed and saved.")
          .arg(files.size())
          .arg(files.size() - 2);
  EXPECT_EQ(prompts.Texts(), QStringList({expected}));
  EXPECT_EQ(loaded->state().results.Found().size(), files.size() - 2);
}

// Cancel stops the run in the file in hand: the files finished before it stay whole, and nothing
// of the cancelled one is left, not even its temporary file.
TEST_F(OutputSafetyTest, CancelKeepsTheFilesAlreadyWritten) {
  if (other_fs().isEmpty()) GTEST_SKIP() << "needs a second file system (/dev/shm)";
  constexpr uint32_t kFileBytes = 12 << 20;  // two chunks each
  std::vector<uint8_t> medium(3 * size_t{kFileBytes});
  for (size_t i = 0; i < medium.size(); ++i) medium[i] = static_cast<uint8_t>(i * 7 + i / 4096);
  const QString big = WriteBytes("big.raw", medium);
  int error = 0;
  auto source = FileSectorSource::Open(QFile::encodeName(big).toStdString(), {}, &error);
  ASSERT_TRUE(source);
  ScanResults results;
  for (uint32_t i = 0; i < 3; ++i)
    results.records.push_back({kTypeAvi, i * kFileBytes, kFileBytes, 1});
  results.records.emplace_back();
  results.found_count = 3;
  const QString folder = other_fs() + "/cancelled";
  ASSERT_TRUE(QDir().mkpath(folder));

  bool cancelled_in_second_file = false;
  OnShow<SavingDialog> watch([&](SavingDialog* dialog) {
    QObject::connect(dialog, &SavingDialog::ProgressShown, dialog, [&, dialog] {
      // Reports come at most every 50 ms; waiting a little longer here makes every chunk report.
      QThread::msleep(60);
      if (dialog->progress_text()->text().contains("file 2 of 3") &&
          dialog->cancel_button()->isEnabled()) {
        dialog->cancel_button()->click();
        cancelled_in_second_file = true;
      }
    });
  });
  SavingDialog dialog(*source, results, folder);
  dialog.exec();
  ASSERT_TRUE(cancelled_in_second_file);
  EXPECT_TRUE(dialog.summary().cancelled);
  EXPECT_EQ(dialog.summary().written, 1u);
  EXPECT_EQ(QDir(folder).entryList(QDir::Files | QDir::Hidden), QStringList({"File0.avi"}));
  EXPECT_EQ(FileBytes(folder + "/File0.avi"),
            std::vector<uint8_t>(medium.begin(), medium.begin() + kFileBytes));
}

}  // namespace
}  // namespace pictavo::app::testing

namespace pictavo::app::testing {
namespace {

// The Create Image road refuses an image file on a partition of the disk being imaged.
TEST_F(GuiTest, CreateImageRefusesADestinationOnTheMediumImaged) {
  pictavo::testing::LoopDevice loop(std::vector<uint8_t>(8 << 20));
  if (!loop.ok()) GTEST_SKIP() << loop.skip_reason();
  const std::string mounted = loop.Mount();
  if (mounted.empty()) GTEST_SKIP() << "cannot mount the loop device's partition here";
  DriveListing listing;
  DiskView disk;
  disk.name = QString::fromStdString(loop.disk());
  disk.label = QStringLiteral("Loop Disk");
  disk.size = 8 << 20;
  listing.disks.push_back(disk);
  auto sheet = MakeSheet(listing);
  ChooseRoad(*sheet, Road::kCreateImage);
  sheet->next();
  ASSERT_EQ(sheet->currentId(), kDrivePageId);
  CDriveSelectionDlg* page = sheet->drive_page();
  page->tree()->setCurrentItem(page->tree()->topLevelItem(0));
  const QString destination = QString::fromStdString(mounted + "/disk.img");
  prompts.ChooseNext(destination);
  QTest::mouseClick(page->browse_button(), Qt::LeftButton);
  prompts.messages.clear();
  QTest::mouseClick(NextButton(*sheet), Qt::LeftButton);
  EXPECT_EQ(prompts.Texts(), QStringList({QString::fromUtf8(kSameDriveMessage)}));
  EXPECT_FALSE(QFile::exists(destination));
}

}  // namespace
}  // namespace pictavo::app::testing
