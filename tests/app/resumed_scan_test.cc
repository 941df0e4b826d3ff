// A scan stopped in the wizard can be saved with Save Recovery Snap and continued later from the
// Load Recovery road: the continued scan's finds are those of one uninterrupted scan.
#include <QFile>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

#include "app/scanning_dialog.h"
#include "app/source_checks.h"
#include "filesystems/live_areas.h"
#include "results/scan_checkpoint.h"
#include "results_fixture.h"
#include "samples/jpeg_sample.h"
#include "support/fs_images.h"

namespace pictavo::app::testing {
namespace {

class ResumedScanTest : public ResultsTest {
 protected:
  void SetUp() override {
    ResultsTest::SetUp();
    // One photo a chunk, so that every part of the medium has finds of its own.
    samples::ImageBuilder builder(512, 11);
    for (int i = 0; i < 6; ++i) {
      builder.Place(
          samples::EncodeJpeg({.width = 32 + 16 * i, .seed = 70u + static_cast<uint32_t>(i)}));
      builder.Gap(kChunkSectors, samples::ImageBuilder::Fill::kZeros);
    }
    card = QString::fromStdString(temp->File("card.img"));
    ASSERT_TRUE(builder.WriteDiskImage(temp->File("card.img")));
    ASSERT_TRUE(RunScan(card.toStdString(), ScanOptions{}, whole, nullptr, nullptr).ok);
    ASSERT_EQ(whole.found_count, 6u);
  }

  // Scans the card in `sheet`'s state and stops the scan at its first report.
  void ScanAndStop(CPictavoSheet& sheet) {
    WizardState& state = sheet.state();
    state.source_name = card;
    state.source_label = QStringLiteral("card.img");
    CScanningDlg dialog(state);
    dialog.open();  // the scan waits at its first report until events run
    QSignalSpy finished(&dialog, &QDialog::finished);
    prompts.AnswerNext(QMessageBox::Yes);
    if (state.unallocated_only) {
      // The file systems are read before the first report; Stop waits for a report, which waits
      // for the click.
      bool clicked = false;
      QObject::connect(
          dialog.findChild<ScanWorker*>(), &ScanWorker::ProgressReported, &dialog,
          [&] {
            if (!std::exchange(clicked, true)) {
              QTest::mouseClick(dialog.stop_button(), Qt::LeftButton);
            }
          },
          Qt::BlockingQueuedConnection);
    } else {
      QTest::mouseClick(dialog.stop_button(), Qt::LeftButton);
    }
    ASSERT_TRUE(finished.wait(10000));
    ASSERT_TRUE(state.last_scan.stopped);
  }

  // Saves the stopped scan with Save Recovery Snap into `path`.
  void SaveStopped(CPictavoSheet& sheet, const QString& path) {
    prompts.ChooseNext(path);
    prompts.messages.clear();
    ASSERT_TRUE(Page(sheet)->SaveSnapshot());
    ASSERT_EQ(prompts.messages.size(), 1u);
    EXPECT_TRUE(
        prompts.messages[0].text.startsWith("Save Recovery is successfully saved\n\nThe "
                                            "scan stopped at "))
        << prompts.messages[0].text.toStdString();
  }

  // Takes the Load Recovery road with `path`, answering the offer to continue with `answer`.
  std::unique_ptr<CPictavoSheet> Load(const QString& path, QMessageBox::StandardButton answer) {
    auto sheet = MakeSheet();
    ChooseRoad(*sheet, Road::kLoadRecovery);
    prompts.ChooseNext(path);
    prompts.AnswerNext(answer);
    prompts.messages.clear();
    sheet->next();
    return sheet;
  }

  static std::vector<std::pair<uint64_t, uint64_t>> Places(const ScanResults& results) {
    std::vector<std::pair<uint64_t, uint64_t>> places;
    for (const FoundFile& file : results.Found()) places.emplace_back(file.offset, file.length);
    return places;
  }

  QString card;
  ScanResults whole;
};

TEST_F(ResumedScanTest, ContinuedScanFindsWhatOneUninterruptedScanFinds) {
  auto sheet = MakeSheet();
  ScanAndStop(*sheet);
  const auto stopped = sheet->state().stopped_scan;
  ASSERT_TRUE(stopped);
  EXPECT_LT(stopped->position, stopped->source_size);
  EXPECT_LT(stopped->results.found_count, 6u);

  const QString saved = QString::fromStdString(temp->File("stopped.dat"));
  SaveStopped(*sheet, saved);
  EXPECT_TRUE(IsScanCheckpointFile(saved.toStdString()));
  EXPECT_TRUE(CheckSnapshotFile(saved));

  auto loaded = Load(saved, QMessageBox::Yes);
  ASSERT_EQ(loaded->currentId(), kRecoveredFilesPageId);
  ASSERT_FALSE(prompts.messages.empty());
  EXPECT_TRUE(prompts.messages[0].text.startsWith("The scan of " + card + " was stopped at "))
      << prompts.messages[0].text.toStdString();
  const WizardState& state = loaded->state();
  EXPECT_TRUE(state.last_scan.ok);
  EXPECT_FALSE(state.stopped_scan);
  EXPECT_FALSE(state.results_saved);  // the new finds are not in a snapshot yet
  EXPECT_EQ(state.results.found_count, whole.found_count);
  EXPECT_EQ(Places(state.results), Places(whole));
  EXPECT_EQ(state.results.records.back().length, whole.records.back().length);
}

TEST_F(ResumedScanTest, DecliningShowsTheSavedFindsAndKeepsThemResumable) {
  auto sheet = MakeSheet();
  ScanAndStop(*sheet);
  const QString saved = QString::fromStdString(temp->File("stopped.dat"));
  SaveStopped(*sheet, saved);
  const ScanCheckpoint stopped = *sheet->state().stopped_scan;

  auto loaded = Load(saved, QMessageBox::No);
  ASSERT_EQ(loaded->currentId(), kRecoveredFilesPageId);
  const WizardState& state = loaded->state();
  EXPECT_EQ(Places(state.results), Places(stopped.results));
  EXPECT_EQ(state.source_name, card);
  ASSERT_TRUE(state.stopped_scan);
  EXPECT_EQ(state.stopped_scan->position, stopped.position);
  EXPECT_TRUE(state.results_saved);

  // Saved again, it is still a stopped scan that can be continued.
  const QString again = QString::fromStdString(temp->File("again.dat"));
  SaveStopped(*loaded, again);
  auto continued = Load(again, QMessageBox::Yes);
  EXPECT_EQ(Places(continued->state().results), Places(whole));
}

TEST_F(ResumedScanTest, AChangedSourceIsNotContinuedAndTheSavedFindsStay) {
  auto sheet = MakeSheet();
  ScanAndStop(*sheet);
  const QString saved = QString::fromStdString(temp->File("stopped.dat"));
  SaveStopped(*sheet, saved);
  const ScanCheckpoint stopped = *sheet->state().stopped_scan;
  // The card now holds one sector more.
  QFile file(card);
  ASSERT_TRUE(file.open(QIODevice::Append));
  ASSERT_EQ(file.write(QByteArray(512, '\0')), 512);
  file.close();

  auto loaded = Load(saved, QMessageBox::Yes);
  ASSERT_EQ(loaded->currentId(), kRecoveredFilesPageId);
  const WizardState& state = loaded->state();
  EXPECT_FALSE(state.last_scan.ok);
  ASSERT_GE(prompts.messages.size(), 2u);
  EXPECT_TRUE(prompts.messages.back().text.startsWith("The scan cannot be continued: "))
      << prompts.messages.back().text.toStdString();
  EXPECT_EQ(Places(state.results), Places(stopped.results));
  EXPECT_TRUE(state.stopped_scan);
}

TEST_F(ResumedScanTest, AStoppedScanOfTheFreeSpaceGoesOnWithTheSameAreasOrNotAtAll) {
  // A card whose live photos lie between deleted ones, searched only where no live file is.
  // A large live file keeps the last photos beyond the point where the scan is stopped.
  std::vector<::pictavo::testing::TestFile> photos =
      ::pictavo::testing::SamplePhotos("DCIM/100TEST", 6, 40);
  photos.insert(photos.begin() + 3, {"DCIM/100TEST/CLIP.DAT", std::vector<uint8_t>(12 << 20)});
  const std::string fat = temp->File("fat.img");
  const std::string why = ::pictavo::testing::MakeFatImage(
      fat, 36, photos, {"DCIM/100TEST/IMG_0002.JPG", "DCIM/100TEST/IMG_0005.JPG"});
  if (!why.empty()) GTEST_SKIP() << why;
  card = QString::fromStdString(fat);
  ScanResults free_whole;
  {
    int error = 0;
    auto source = FileSectorSource::Open(fat, {}, &error);
    ASSERT_TRUE(source);
    ScanOptions options;
    options.skipped = PlanFreeSpaceScan(*source).live_areas;
    ASSERT_FALSE(options.skipped.empty());
    ASSERT_TRUE(RunScan(*source, options, free_whole, nullptr, nullptr).ok);
  }

  auto sheet = MakeSheet();
  sheet->state().unallocated_only = true;
  ScanAndStop(*sheet);
  ASSERT_TRUE(sheet->state().stopped_scan);
  EXPECT_TRUE(sheet->state().stopped_scan->free_space);
  const QString saved = QString::fromStdString(temp->File("stopped.dat"));
  SaveStopped(*sheet, saved);
  const ScanCheckpoint stopped = *sheet->state().stopped_scan;
  EXPECT_LT(stopped.position, stopped.source_size);

  auto continued = Load(saved, QMessageBox::Yes);
  ASSERT_EQ(continued->currentId(), kRecoveredFilesPageId);
  EXPECT_TRUE(continued->state().last_scan.ok);
  EXPECT_EQ(Places(continued->state().results), Places(free_whole));

  // A live photo deleted since: the areas left out would not be those of the stopped scan.
  ASSERT_EQ(::pictavo::testing::MakeFatImage(fat, 0, {}, {"DCIM/100TEST/IMG_0003.JPG"}), "");
  auto refused = Load(saved, QMessageBox::Yes);
  ASSERT_EQ(refused->currentId(), kRecoveredFilesPageId);
  EXPECT_FALSE(refused->state().last_scan.ok);
  ASSERT_FALSE(prompts.messages.empty());
  EXPECT_TRUE(prompts.messages.back().text.startsWith("The scan cannot be continued: "))
      << prompts.messages.back().text.toStdString();
  EXPECT_EQ(Places(refused->state().results), Places(stopped.results));
}

}  // namespace
}  // namespace pictavo::app::testing
