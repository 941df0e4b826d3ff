#include "app/create_image_dialog.h"

#include <unistd.h>

#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTreeWidget>
#include <cstring>

#include "app/drive_selection_page.h"
#include "app/source_checks.h"
#include "gui_fixture.h"
#include "platform/sector_source.h"

namespace pictavo::app::testing {
namespace {

class CreateImageTest : public GuiTest {
 protected:
  // Opens the dialog without entering its event loop: the copy starts and waits at its first
  // report until the test lets events run.
  std::unique_ptr<CCreateImageDialog> Open(const QString& source, const QString& destination) {
    state.source_name = source;
    state.source_label = QStringLiteral("Test Card (0.10 MB)");
    state.destination_path = destination;
    auto dialog = std::make_unique<CCreateImageDialog>(state);
    dialog->open();
    return dialog;
  }

  // Checks that `image` holds `source` followed by a trailer for `sector_size`.
  static void ExpectImageOf(const std::vector<uint8_t>& source, const QString& image,
                            uint16_t sector_size) {
    const std::vector<uint8_t> bytes = samples::ReadFile(image.toStdString());
    ASSERT_EQ(bytes.size(), source.size() + 32);
    EXPECT_TRUE(std::equal(source.begin(), source.end(), bytes.begin()));
    ImageTrailer trailer;
    ASSERT_TRUE(ParseImageTrailer(bytes.data() + source.size(), &trailer));
    EXPECT_EQ(trailer.data_size, source.size());
    EXPECT_EQ(trailer.sector_size, sector_size);
  }

  WizardState state;
};

TEST_F(CreateImageTest, CopiesTheSourceInBlocksAndSaysSo) {
  const std::vector<uint8_t> source = samples::RandomBytes(100000, 3);
  const QString source_path = WriteBytes("card.raw", source);
  const QString image_path = QString::fromStdString(temp->File("card.img"));
  auto dialog = Open(source_path, image_path);
  QSignalSpy finished(dialog.get(), &QDialog::finished);
  QSignalSpy percents(dialog->progress_bar(), &QProgressBar::valueChanged);
  EXPECT_EQ(dialog->windowTitle(), "Creating Image");
  EXPECT_EQ(dialog->source_text()->text(), "Test Card (0.10 MB)");
  EXPECT_EQ(dialog->destination_text()->text(), image_path);
  EXPECT_EQ(dialog->percent_text()->text(), "0 %");
  EXPECT_EQ(dialog->elapsed_text()->text(), "00:00:00");
  EXPECT_TRUE(dialog->elapsed_text()->font().bold());
  EXPECT_TRUE(dialog->busy());

  ASSERT_TRUE(finished.wait(5000));
  // Blocks of 63 sectors: 32256, 32256, 32256 and the last 3232 bytes.
  QList<int> seen;
  for (const QList<QVariant>& call : percents) seen << call.at(0).toInt();
  EXPECT_EQ(seen, QList<int>({32, 64, 96, 100}));
  EXPECT_EQ(dialog->percent_text()->text(), "100 %");
  ASSERT_EQ(prompts.messages.size(), 1u);
  EXPECT_EQ(prompts.messages[0].text, "Image file created successfully.");
  EXPECT_EQ(prompts.messages[0].caption, "Information");
  EXPECT_EQ(prompts.messages[0].owner, dialog.get());
  EXPECT_EQ(dialog->result().outcome, ImageOutcome::kCreated);
  ExpectImageOf(source, image_path, 512);
  // The map beside the image, and its picture in the dialog: all read, no errors.
  EXPECT_TRUE(QFile::exists(MapPathFor(image_path)));
  EXPECT_EQ(dialog->map_bar()->cells(), QByteArray(CCreateImageDialog::kMapCells, '+'));
  EXPECT_TRUE(dialog->map_text()->text().startsWith("Rescued : 97.66  KB    Errors : 0 (0  Bytes)"))
      << dialog->map_text()->text().toStdString();
  EXPECT_TRUE(dialog->rate_text()->text().contains("Since last good read : 0 s"))
      << dialog->rate_text()->text().toStdString();
}

TEST_F(CreateImageTest, AStopThatKeepsWhatWasReadResumesOnTheDrivePage) {
  const std::vector<uint8_t> source = samples::RandomBytes(8 << 20, 8);
  const QString source_path = WriteBytes("card.raw", source);
  const QString image_path = QString::fromStdString(temp->File("kept.img"));
  {
    auto dialog = Open(source_path, image_path);
    QSignalSpy finished(dialog.get(), &QDialog::finished);
    prompts.AnswerNext(QMessageBox::Yes);  // cancel imaging
    prompts.AnswerNext(QMessageBox::Yes);  // keep what was read
    QTest::mouseClick(dialog->stop_button(), Qt::LeftButton);
    ASSERT_TRUE(finished.wait(5000));
    EXPECT_EQ(dialog->result().outcome, ImageOutcome::kStopped);
    ASSERT_EQ(prompts.messages.size(), 3u);
    EXPECT_TRUE(
        prompts.messages[2].text.startsWith("Imaging stopped. What was read so far is kept"))
        << prompts.messages[2].text.toStdString();
    EXPECT_TRUE(prompts.messages[2].text.contains(MapPathFor(image_path)));
    EXPECT_TRUE(QFile::exists(image_path));
    EXPECT_TRUE(QFile::exists(MapPathFor(image_path)));
    EXPECT_TRUE(CheckImageFile(image_path));
  }
  // Another dialog on the same image continues it: it ends with the whole medium.
  prompts.messages.clear();
  auto again = Open(source_path, image_path);
  QSignalSpy finished(again.get(), &QDialog::finished);
  ASSERT_TRUE(finished.wait(10000));
  ASSERT_EQ(prompts.messages.size(), 1u);
  EXPECT_EQ(prompts.messages[0].text, "Image file created successfully.");
  ExpectImageOf(source, image_path, 512);
}

TEST_F(CreateImageTest, ADestroyedDialogKeepsAResumedImage) {
  const std::vector<uint8_t> source = samples::RandomBytes(8 << 20, 9);
  const QString source_path = WriteBytes("card.raw", source);
  const QString image_path = QString::fromStdString(temp->File("kept.img"));
  {
    auto dialog = Open(source_path, image_path);
    QSignalSpy finished(dialog.get(), &QDialog::finished);
    prompts.AnswerNext(QMessageBox::Yes);
    prompts.AnswerNext(QMessageBox::Yes);
    QTest::mouseClick(dialog->stop_button(), Qt::LeftButton);
    ASSERT_TRUE(finished.wait(5000));
  }
  auto again = Open(source_path, image_path);
  again.reset();
  EXPECT_TRUE(QFile::exists(image_path));
  EXPECT_TRUE(QFile::exists(MapPathFor(image_path)));
}

TEST_F(CreateImageTest, AnExistingFileIsNeverReplaced) {
  const QString source_path = WriteBytes("card.raw", samples::RandomBytes(4096, 4));
  const QString image_path = WriteBytes("taken.img", {'k', 'e', 'e', 'p'});
  auto dialog = Open(source_path, image_path);
  QSignalSpy finished(dialog.get(), &QDialog::finished);
  ASSERT_TRUE(finished.wait(5000));
  ASSERT_EQ(prompts.messages.size(), 1u);
  EXPECT_TRUE(prompts.messages[0].text.startsWith("Unable to create image file."));
  EXPECT_EQ(samples::ReadFile(image_path.toStdString()),
            std::vector<uint8_t>({'k', 'e', 'e', 'p'}));
}

TEST_F(CreateImageTest, ASourceThatCannotBeOpenedIsReportedAndNothingIsCreated) {
  const QString image_path = QString::fromStdString(temp->File("card.img"));
  auto dialog = Open(QString::fromStdString(temp->File("no-such-card")), image_path);
  QSignalSpy finished(dialog.get(), &QDialog::finished);
  ASSERT_TRUE(finished.wait(5000));
  ASSERT_EQ(prompts.messages.size(), 1u);
  EXPECT_TRUE(prompts.messages[0].text.contains("No such file or directory"))
      << prompts.messages[0].text.toStdString();
  EXPECT_FALSE(QFile::exists(image_path));
}

TEST_F(CreateImageTest, StopAnsweredNoGoesOnAndYesLeavesNoFile) {
  const std::vector<uint8_t> source = samples::RandomBytes(4 << 20, 5);
  const QString source_path = WriteBytes("card.raw", source);
  for (const bool stop : {false, true}) {
    SCOPED_TRACE(stop);
    ScriptedPrompts local;
    const QString image_path = QString::fromStdString(temp->File(stop ? "yes.img" : "no.img"));
    auto dialog = Open(source_path, image_path);
    QSignalSpy finished(dialog.get(), &QDialog::finished);
    local.AnswerNext(stop ? QMessageBox::Yes : QMessageBox::No);
    QTest::mouseClick(dialog->stop_button(), Qt::LeftButton);
    ASSERT_EQ(local.messages.size(), stop ? 2u : 1u);
    EXPECT_EQ(local.messages[0].text, "Do you want to cancel imaging process?");
    EXPECT_EQ(local.messages[0].icon, QMessageBox::Question);
    EXPECT_EQ(local.messages[0].buttons, QMessageBox::Yes | QMessageBox::No);
    // Esc and the close box are refused while the copy runs.
    QTest::keyClick(dialog.get(), Qt::Key_Escape);
    EXPECT_FALSE(dialog->close());
    EXPECT_TRUE(dialog->isVisible());
    ASSERT_TRUE(finished.wait(5000));
    ASSERT_EQ(local.messages.size(), stop ? 3u : 2u);
    if (stop) {
      // Keeping what was read is offered; the default is to delete it, as always.
      EXPECT_TRUE(local.messages[1].text.startsWith(
          "Do you want to keep what was read so far, to resume imaging later?"));
      EXPECT_EQ(local.messages[1].buttons, QMessageBox::Yes | QMessageBox::No);
      EXPECT_EQ(local.messages[2].text, "Image creation process aborted.");
      EXPECT_EQ(dialog->result().outcome, ImageOutcome::kCancelled);
      EXPECT_FALSE(QFile::exists(image_path));
      EXPECT_FALSE(QFile::exists(MapPathFor(image_path)));
    } else {
      EXPECT_EQ(local.messages[1].text, "Image file created successfully.");
      ExpectImageOf(source, image_path, 512);
    }
  }
}

TEST_F(CreateImageTest, ADialogDestroyedMidCopyCancelsAndLeavesNoFile) {
  const QString source_path = WriteBytes("card.raw", samples::RandomBytes(4 << 20, 6));
  const QString image_path = QString::fromStdString(temp->File("card.img"));
  auto dialog = Open(source_path, image_path);
  EXPECT_TRUE(dialog->busy());
  dialog.reset();
  EXPECT_FALSE(QFile::exists(image_path));
  EXPECT_FALSE(QFile::exists(MapPathFor(image_path)));
}

TEST(CreateImageText, PermissionFailuresSayWhatToDo) {
  ImageCreationResult result;
  result.outcome = ImageOutcome::kSourceUnusable;
  result.message = "The source /dev/sdz could not be opened.";
  result.detail = "Permission denied";
  result.error_code = EACCES;
  {
    AsOrdinaryUser user;
    const QString text = CCreateImageDialog::OutcomeMessage(result);
    EXPECT_TRUE(
        text.startsWith("The source /dev/sdz could not be opened.\n\nPermission denied\n\n"));
    EXPECT_TRUE(text.contains("pkexec"));
  }
  // Root, or a refusal that reaches root too: the system's words alone.
  if (geteuid() == 0) {
    EXPECT_EQ(CCreateImageDialog::OutcomeMessage(result),
              "The source /dev/sdz could not be opened.\n\nPermission denied");
  }
  result.error_code = EPERM;
  result.detail = "Operation not permitted";
  {
    AsOrdinaryUser user;
    EXPECT_EQ(CCreateImageDialog::OutcomeMessage(result),
              "The source /dev/sdz could not be opened.\n\nOperation not permitted");
  }
  result.outcome = ImageOutcome::kCreated;
  result.message = "Image file created successfully.";
  result.detail.clear();
  EXPECT_EQ(CCreateImageDialog::OutcomeMessage(result), "Image file created successfully.");
}

// The Create Image road: a drive from the tree, a destination from Browse, and the "Create
// Image" button; the page stays for the next image.
TEST_F(GuiTest, CreateImageRoadMakesAnImageAndStaysOnThePage) {
  const SampleImage card = MakeImage("card.raw", 3, 0, /*with_trailer=*/false);
  auto sheet = MakeSheet(ListingOf(card));
  ChooseRoad(*sheet, Road::kCreateImage);
  sheet->next();
  ASSERT_EQ(sheet->currentId(), kDrivePageId);
  CDriveSelectionDlg* page = sheet->drive_page();
  page->tree()->setCurrentItem(page->tree()->topLevelItem(0)->child(0));
  for (const char* name : {"first.img", "second.img"}) {
    const QString destination = QString::fromStdString(temp->File(name));
    prompts.ChooseNext(destination);
    QTest::mouseClick(page->browse_button(), Qt::LeftButton);
    QTest::mouseClick(NextButton(*sheet), Qt::LeftButton);
    EXPECT_EQ(sheet->currentId(), kDrivePageId);
    EXPECT_EQ(prompts.messages.back().text, "Image file created successfully.");
    EXPECT_EQ(samples::ReadFile(destination.toStdString()).size(), card.data_size + 32);
    EXPECT_EQ(NextButton(*sheet)->width(), sheet->normal_next_width() + 10);
  }
  // The image just made opens on the Open Image road.
  EXPECT_TRUE(CheckImageFile(QString::fromStdString(temp->File("first.img"))));

  // An image with its map beside it is offered for resuming; No leaves it alone.
  const QString kept = QString::fromStdString(temp->File("first.img"));
  const auto before = samples::ReadFile(kept.toStdString());
  prompts.messages.clear();
  prompts.ChooseNext(kept);
  QTest::mouseClick(page->browse_button(), Qt::LeftButton);
  prompts.AnswerNext(QMessageBox::No);
  QTest::mouseClick(NextButton(*sheet), Qt::LeftButton);
  ASSERT_EQ(prompts.messages.size(), 1u);
  EXPECT_TRUE(prompts.messages[0].text.startsWith("Resume imaging? " + kept))
      << prompts.messages[0].text.toStdString();
  EXPECT_EQ(prompts.messages[0].buttons, QMessageBox::Yes | QMessageBox::No);
  // Yes continues it; a finished image has nothing left to read and stays as it was.
  prompts.AnswerNext(QMessageBox::Yes);
  QTest::mouseClick(NextButton(*sheet), Qt::LeftButton);
  ASSERT_EQ(prompts.messages.size(), 3u);
  EXPECT_EQ(prompts.messages[2].text, "Image file created successfully.");
  EXPECT_EQ(samples::ReadFile(kept.toStdString()), before);
}

}  // namespace
}  // namespace pictavo::app::testing
