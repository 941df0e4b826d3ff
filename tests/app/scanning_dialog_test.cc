#include "app/scanning_dialog.h"

#include <unistd.h>

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>
#include <algorithm>
#include <cerrno>

#include "app/elapsed_time.h"
#include "gui_fixture.h"
#include "support/fs_images.h"

namespace pictavo::app::testing {
namespace {

class ScanningDialogTest : public GuiTest {
 protected:
  // Opens the dialog on `image` without entering its event loop: the scan starts, and waits at
  // its first report until the test lets events run.
  std::unique_ptr<CScanningDlg> Open(const SampleImage& image) {
    state.source_name = image.path;
    state.source_label = QStringLiteral("Test Card (1.00 MB)");
    auto dialog = std::make_unique<CScanningDlg>(state);
    dialog->open();
    return dialog;
  }

  WizardState state;
};

TEST_F(ScanningDialogTest, ShowsTheScanAndTheFilesItFound) {
  const SampleImage image = MakeImage("card.img", 7, 3 * 4096);
  auto dialog = Open(image);
  QSignalSpy finished(dialog.get(), &QDialog::finished);
  EXPECT_EQ(dialog->windowTitle(), "Scanning Drive");
  EXPECT_EQ(dialog->drive_text()->text(), "Test Card (1.00 MB)");
  EXPECT_EQ(dialog->percent_text()->text(), "0 %");
  EXPECT_EQ(dialog->position_text()->text(), "0");
  EXPECT_EQ(dialog->found_text()->text(), "0");
  EXPECT_EQ(dialog->elapsed_text()->text(), "");
  EXPECT_EQ(dialog->progress_bar()->minimum(), 0);
  EXPECT_EQ(dialog->progress_bar()->maximum(), 100);
  EXPECT_TRUE(dialog->elapsed_text()->font().bold());
  EXPECT_TRUE(dialog->running());

  ASSERT_TRUE(finished.wait(5000));
  EXPECT_FALSE(dialog->isVisible());
  EXPECT_EQ(finished.at(0).at(0).toInt(), QDialog::Rejected);
  EXPECT_EQ(dialog->found_text()->text(), QString::number(image.jpeg_count));
  EXPECT_EQ(state.results.found_count, image.jpeg_count);
  EXPECT_TRUE(state.last_scan.ok);
  EXPECT_TRUE(state.scanned);
  // Progress lags a chunk behind: the last report is of the last chunk's first byte.
  const QString percent = dialog->percent_text()->text();
  EXPECT_TRUE(QRegularExpression("^[1-9][0-9]?%$").match(percent).hasMatch())
      << percent.toStdString();
  EXPECT_EQ(QString::number(dialog->progress_bar()->value()) + "%", percent);
  const QString position = dialog->position_text()->text();
  EXPECT_TRUE(QRegularExpression("^[0-9]+ MB$").match(position).hasMatch())
      << position.toStdString();
  EXPECT_TRUE(prompts.messages.empty());
}

TEST_F(ScanningDialogTest, EscapeAndTheCloseBoxAreRefusedWhileScanning) {
  const SampleImage image = MakeImage("card.img", 3);
  auto dialog = Open(image);
  QSignalSpy finished(dialog.get(), &QDialog::finished);
  QTest::keyClick(dialog.get(), Qt::Key_Escape);
  EXPECT_TRUE(dialog->close() == false);
  dialog->reject();
  EXPECT_TRUE(dialog->isVisible());
  EXPECT_TRUE(finished.isEmpty());
  ASSERT_TRUE(finished.wait(5000));
  EXPECT_EQ(dialog->found_text()->text(), "3");
}

TEST_F(ScanningDialogTest, AnsweringNoToStopLetsTheScanGoOn) {
  const SampleImage image = MakeImage("card.img", 5);
  auto dialog = Open(image);
  QSignalSpy finished(dialog.get(), &QDialog::finished);
  prompts.AnswerNext(QMessageBox::No);
  QTest::mouseClick(dialog->stop_button(), Qt::LeftButton);
  ASSERT_EQ(prompts.messages.size(), 1u);
  EXPECT_EQ(prompts.messages[0].text, "Do you want to cancel recovery?");
  EXPECT_EQ(prompts.messages[0].caption, "Information");
  EXPECT_EQ(prompts.messages[0].icon, QMessageBox::Question);
  EXPECT_EQ(prompts.messages[0].buttons, QMessageBox::Yes | QMessageBox::No);
  EXPECT_EQ(prompts.messages[0].owner, dialog.get());
  EXPECT_TRUE(dialog->stop_button()->isEnabled());
  EXPECT_TRUE(dialog->isVisible());
  ASSERT_TRUE(finished.wait(5000));
  EXPECT_FALSE(state.last_scan.stopped);
  EXPECT_EQ(dialog->found_text()->text(), "5");
}

TEST_F(ScanningDialogTest, AnsweringYesStopsTheScanAndKeepsItsFinds) {
  const SampleImage image = MakeImage("card.img", 4, 8 * 4096);
  auto dialog = Open(image);
  QSignalSpy finished(dialog.get(), &QDialog::finished);
  prompts.AnswerNext(QMessageBox::Yes);
  QTest::mouseClick(dialog->stop_button(), Qt::LeftButton);
  EXPECT_FALSE(dialog->stop_button()->isEnabled());
  // The close that follows the answer is refused until the worker has ended.
  EXPECT_TRUE(dialog->isVisible());
  ASSERT_TRUE(finished.wait(5000));
  EXPECT_TRUE(state.last_scan.stopped);
  EXPECT_LE(state.results.found_count, image.jpeg_count);
  EXPECT_EQ(dialog->found_text()->text(), QString::number(state.results.found_count));
  // Stopping is not a failure: no message follows.
  EXPECT_EQ(prompts.messages.size(), 1u);
}

TEST_F(ScanningDialogTest, ASourceThatCannotBeOpenedClosesTheDialogThenSaysWhy) {
  SampleImage missing;
  missing.path = QString::fromStdString(temp->File("no-such-card.img"));
  auto dialog = Open(missing);
  QSignalSpy finished(dialog.get(), &QDialog::finished);
  bool visible_during_message = true;
  prompts.on_message = [&](const MessageRequest&) { visible_during_message = dialog->isVisible(); };
  ASSERT_TRUE(finished.wait(5000));
  ASSERT_EQ(prompts.messages.size(), 1u);
  EXPECT_FALSE(visible_during_message);
  EXPECT_EQ(prompts.messages[0].text, "No such file or directory");
  EXPECT_EQ(prompts.messages[0].caption, "Information");
  EXPECT_EQ(prompts.messages[0].icon, QMessageBox::Information);
  EXPECT_EQ(prompts.messages[0].owner, nullptr);
  EXPECT_FALSE(state.last_scan.ok);
}

TEST_F(ScanningDialogTest, ADialogDestroyedMidScanStopsAndAwaitsItsWorker) {
  const SampleImage image = MakeImage("card.img", 4, 16 * 4096);
  auto dialog = Open(image);
  EXPECT_TRUE(dialog->running());
  dialog.reset();  // the worker is waiting at its first report
  EXPECT_LE(state.results.found_count, image.jpeg_count);
}

TEST_F(ScanningDialogTest, WithUnallocatedOnlyTheLivePhotosOfACardAreNotFoundAgain) {
  const auto photos = pictavo::testing::SamplePhotos("DCIM/100TEST", 4);
  const std::string card = temp->File("fat.img");
  const std::string why = pictavo::testing::MakeFatImage(
      card, 36, photos, {"DCIM/100TEST/IMG_0001.JPG", "DCIM/100TEST/IMG_0003.JPG"});
  if (!why.empty()) GTEST_SKIP() << why;
  SampleImage image;
  image.path = QString::fromStdString(card);
  for (const bool unallocated : {false, true}) {
    state.unallocated_only = unallocated;
    auto dialog = Open(image);
    QSignalSpy finished(dialog.get(), &QDialog::finished);
    ASSERT_TRUE(finished.wait(10000));
    EXPECT_TRUE(state.last_scan.ok);
    if (unallocated) {
      // The two deleted photos, where the full scan found them too.
      EXPECT_EQ(state.results.found_count, 2u);
    } else {
      EXPECT_GE(state.results.found_count, 4u);
    }
  }
  EXPECT_TRUE(prompts.messages.empty());
}

TEST_F(ScanningDialogTest, AScanOfACardListsItsFilesWithNamesLiveAndDeleted) {
  const auto photos = pictavo::testing::SamplePhotos("DCIM/100TEST", 3);
  const std::string card = temp->File("fat.img");
  const std::string why =
      pictavo::testing::MakeFatImage(card, 16, photos, {"DCIM/100TEST/IMG_0002.JPG"}, 16);
  if (!why.empty()) GTEST_SKIP() << why;
  SampleImage image;
  image.path = QString::fromStdString(card);
  auto dialog = Open(image);
  QSignalSpy finished(dialog.get(), &QDialog::finished);
  ASSERT_TRUE(finished.wait(10000));
  EXPECT_TRUE(state.last_scan.ok);
  ASSERT_EQ(state.named_files.files.size(), 3u);
  std::vector<std::string> states;
  for (const NamedFile& file : state.named_files.files) {
    states.push_back(file.path + " " + std::string(NamedFileStateText(file.state)));
  }
  std::sort(states.begin(), states.end());
  EXPECT_EQ(states, (std::vector<std::string>{"DCIM/100TEST/IMG_0001.JPG live",
                                              "DCIM/100TEST/IMG_0003.JPG live",
                                              "DCIM/100TEST/_MG_0002.JPG deleted, recoverable"}));
}

TEST_F(ScanningDialogTest, ACardWithoutAFileSystemHasNoFilesWithNames) {
  const SampleImage image = MakeImage("card.img", 3);
  state.named_files.files.emplace_back();  // what a snapshot loaded before held
  auto dialog = Open(image);
  QSignalSpy finished(dialog.get(), &QDialog::finished);
  ASSERT_TRUE(finished.wait(10000));
  EXPECT_TRUE(state.last_scan.ok);
  EXPECT_TRUE(state.named_files.files.empty());
  EXPECT_TRUE(state.named_files.volumes.empty());
}

TEST_F(ScanningDialogTest, WithUnallocatedADriveWithoutAFileSystemIsSearchedWholeAndSaysSo) {
  const SampleImage image = MakeImage("card.img", 3, 2 * 4096);
  state.unallocated_only = true;
  auto dialog = Open(image);
  QSignalSpy finished(dialog.get(), &QDialog::finished);
  ASSERT_TRUE(finished.wait(10000));
  EXPECT_EQ(state.results.found_count, image.jpeg_count);
  ASSERT_EQ(prompts.messages.size(), 1u);
  EXPECT_EQ(prompts.messages[0].text,
            "No file system Pictavo recognises was found on the drive, so the whole drive was "
            "searched.");
}

TEST(ScanningDialogText, ElapsedTimeWrapsAfterADay) {
  const struct {
    int64_t seconds;
    const char* text;
  } kCases[] = {
      {0, "00:00:00"},     {59, "00:00:59"},    {60, "00:01:00"},
      {3600, "01:00:00"},  {3661, "01:01:01"},  {86399, "23:59:59"},
      {86400, "00:00:00"}, {90061, "01:01:01"}, {3 * 86400 + 7322, "02:02:02"},
  };
  for (const auto& test_case : kCases) {
    EXPECT_EQ(ElapsedText(test_case.seconds), test_case.text) << test_case.seconds;
  }
}

TEST(ScanningDialogText, PermissionFailuresSayWhatToDo) {
  ScanStatus denied;
  denied.error_code = EACCES;
  denied.message = "Permission denied";
  {
    AsOrdinaryUser user;
    const QString text = CScanningDlg::OutcomeMessage(denied);
    EXPECT_TRUE(text.startsWith("Permission denied\n\n"));
    EXPECT_TRUE(text.contains("root")) << text.toStdString();
    EXPECT_TRUE(text.contains("pkexec"));
    EXPECT_TRUE(text.contains("'disk' group"));
  }
  // A refusal that privileges cannot get past is reported as the system said it.
  ScanStatus not_permitted;
  not_permitted.error_code = EPERM;
  not_permitted.message = "Operation not permitted";
  {
    AsOrdinaryUser user;
    EXPECT_EQ(CScanningDlg::OutcomeMessage(not_permitted), "Operation not permitted");
  }
  EXPECT_EQ(CScanningDlg::OutcomeMessage(not_permitted), "Operation not permitted");
  if (geteuid() == 0) {
    EXPECT_EQ(CScanningDlg::OutcomeMessage(denied), "Permission denied");
  }

  ScanStatus skipped;
  skipped.ok = true;
  skipped.failed_chunks = 2;
  EXPECT_TRUE(CScanningDlg::OutcomeMessage(skipped).startsWith("2 area(s)"));

  ScanStatus fine;
  fine.ok = true;
  EXPECT_TRUE(CScanningDlg::OutcomeMessage(fine).isEmpty());
}

}  // namespace
}  // namespace pictavo::app::testing
