#include "app/main_page.h"

#include <QApplication>
#include <QLabel>
#include <QRadioButton>
#include <QTest>
#include <vector>

#include "app/recovered_files_page.h"
#include "gui_fixture.h"
#include "platform/sector_source.h"

namespace pictavo::app::testing {
namespace {

TEST_F(GuiTest, MainPageShowsTheFourRoadsWithTheirDescriptions) {
  auto sheet = MakeSheet();
  CMainPictavoDlg* page = sheet->main_page();
  const struct {
    Road road;
    const char* button;
    const char* description;
  } kExpected[] = {
      {Road::kRecover, "  Recover",
       "This option will scan your removable / fixed drive for selected file type. Upon "
       "completion of the scan, you will be able to recover your deleted photos."},
      {Road::kCreateImage, "  Create Image",
       "Create complete replica of your drive into a file. The created disk image file contains "
       "the complete contents and structure of your drive, which later can be used for "
       "recovery."},
      {Road::kOpenImage, "  Open Image", "Open and process disk image to recover photos."},
      {Road::kLoadRecovery, "  Load Recovery",
       "Resume recovery process by opening the recovery snapshot file saved during last scan."},
  };
  for (const auto& expected : kExpected) {
    EXPECT_EQ(page->road_button(expected.road)->text(), expected.button);
    EXPECT_FALSE(page->road_button(expected.road)->isChecked());
    EXPECT_TRUE(page->road_button(expected.road)->font().bold());
    EXPECT_EQ(page->description(expected.road)->text(), expected.description);
  }
}

TEST_F(GuiTest, NextWaitsForARoadAndBackStaysOff) {
  auto sheet = MakeSheet();
  EXPECT_FALSE(NextButton(*sheet)->isEnabled());
  EXPECT_FALSE(sheet->button(QWizard::BackButton)->isVisible() &&
               sheet->button(QWizard::BackButton)->isEnabled());
  sheet->next();  // refused: no road
  EXPECT_EQ(sheet->currentId(), kMainPageId);
  ChooseRoad(*sheet, Road::kCreateImage);
  EXPECT_TRUE(NextButton(*sheet)->isEnabled());
  EXPECT_FALSE(sheet->button(QWizard::BackButton)->isVisible() &&
               sheet->button(QWizard::BackButton)->isEnabled());
}

TEST_F(GuiTest, OnlyTheLastRoadClickedIsInForce) {
  const struct {
    std::vector<Road> clicks;
    int target_page;
  } kCases[] = {
      {{Road::kRecover}, kMainPageId},
      {{Road::kLoadRecovery}, kRecoveredFilesPageId},
      {{Road::kLoadRecovery, Road::kOpenImage}, kMainPageId},
      {{Road::kOpenImage, Road::kCreateImage, Road::kLoadRecovery}, kRecoveredFilesPageId},
      {{Road::kRecover, Road::kCreateImage, Road::kCreateImage}, kMainPageId},
  };
  for (const auto& test_case : kCases) {
    auto sheet = MakeSheet();
    for (Road road : test_case.clicks) ChooseRoad(*sheet, road);
    const Road last = test_case.clicks.back();
    EXPECT_EQ(sheet->state().road, last);
    EXPECT_EQ(sheet->state().target_page, test_case.target_page);
    for (Road road : {Road::kRecover, Road::kCreateImage, Road::kOpenImage, Road::kLoadRecovery}) {
      EXPECT_EQ(sheet->main_page()->road_button(road)->isChecked(), road == last);
    }
  }
}

TEST_F(GuiTest, LoadRecoveryCancelledStaysSilently) {
  auto sheet = MakeSheet();
  ChooseRoad(*sheet, Road::kLoadRecovery);
  sheet->next();
  EXPECT_EQ(sheet->currentId(), kMainPageId);
  EXPECT_TRUE(prompts.messages.empty());
  ASSERT_EQ(prompts.file_requests.size(), 1u);
  EXPECT_EQ(prompts.file_requests[0].filter, "Save Scan Files (*.dat)");
  EXPECT_EQ(prompts.file_requests[0].kind, FileRequest::Kind::kOpen);
  EXPECT_TRUE(sheet->state().snapshot_pending);
}

TEST_F(GuiTest, FilesThatFailTheirCheckKeepTheWizardOnTheMainPage) {
  const std::vector<uint8_t> magic(ImageTrailerMagic(),
                                   ImageTrailerMagic() + kImageTrailerMagicSize);
  std::vector<uint8_t> short_magic(magic.begin() + 1, magic.end());
  std::vector<uint8_t> snapshot_tag_at_zero = {0, 'L', 0, 'S', 0, 'S', 0, 'I', 0};
  std::vector<uint8_t> longer_tag = {10, 'L', 0, 'S', 0, 'S', 0, 'I', 0, 'X', 0};
  const struct {
    Road road;
    std::vector<uint8_t> bytes;
    const char* message;
  } kCases[] = {
      {Road::kOpenImage, short_magic, "Not a valid image file."},
      {Road::kOpenImage, {1, 2, 3}, "Not a valid image file."},
      {Road::kOpenImage, std::vector<uint8_t>(4096, 0), "Not a valid image file."},
      {Road::kLoadRecovery, snapshot_tag_at_zero, "Not a valid Save Recovery file."},
      {Road::kLoadRecovery, longer_tag, "Not a valid Save Recovery file."},
      {Road::kLoadRecovery, {}, "Not a valid Save Recovery file."},
  };
  int n = 0;
  for (const auto& test_case : kCases) {
    SCOPED_TRACE(n);
    ScriptedPrompts local;
    auto sheet = MakeSheet();
    ChooseRoad(*sheet, test_case.road);
    local.ChooseNext(WriteBytes("bad" + std::to_string(n++), test_case.bytes));
    sheet->next();
    EXPECT_EQ(sheet->currentId(), kMainPageId);
    ASSERT_EQ(local.messages.size(), 1u);
    EXPECT_EQ(local.messages[0].text, test_case.message);
    EXPECT_EQ(local.messages[0].caption, "Information");
    EXPECT_EQ(local.messages[0].icon, QMessageBox::Information);
    EXPECT_EQ(local.messages[0].owner, sheet->main_page());
  }
}

TEST_F(GuiTest, AnyFileEndingInTheImageMagicPassesTheImageCheck) {
  std::vector<uint8_t> bytes = {'a', 'n', 'y', 't', 'h', 'i', 'n', 'g'};
  bytes.insert(bytes.end(), ImageTrailerMagic(), ImageTrailerMagic() + kImageTrailerMagicSize);
  auto sheet = MakeSheet();
  ChooseRoad(*sheet, Road::kOpenImage);
  const QString path = WriteBytes("odd.img", bytes);
  prompts.ChooseNext(path);
  sheet->next();
  EXPECT_EQ(sheet->currentId(), kDrivePageId);
  EXPECT_EQ(sheet->state().image_path, path);
  ASSERT_EQ(prompts.file_requests.size(), 1u);
  EXPECT_EQ(prompts.file_requests[0].filter, "Image File (*.img);;All files (*)");
}

TEST_F(GuiTest, SnapshotThatCannotBeLoadedKeepsTheWizardOnTheMainPage) {
  auto sheet = MakeSheet();
  ChooseRoad(*sheet, Road::kLoadRecovery);
  // The tag passes the main page's check; the rest is too short to load, which is said at once.
  const QString path = MakeSnapshotFile("scan.dat");
  prompts.ChooseNext(path);
  QAbstractButton* about = sheet->button(QWizard::CustomButton2);
  bool about_shown_elsewhere = false;
  prompts.on_message = [&](const MessageRequest&) {
    about_shown_elsewhere =
        about_shown_elsewhere || (sheet->currentId() != kMainPageId && about->isVisible());
  };
  sheet->next();
  EXPECT_EQ(sheet->currentId(), kMainPageId);
  EXPECT_EQ(sheet->state().destination_path, path);
  EXPECT_FALSE(sheet->state().snapshot_pending);
  ASSERT_EQ(prompts.messages.size(), 1u);
  EXPECT_TRUE(prompts.messages[0].text.startsWith("The recovery snapshot could not be loaded:"));
  EXPECT_EQ(sheet->state().results.found_count, 0u);
  EXPECT_FALSE(sheet->save_snapshot_button()->isVisible());
  EXPECT_TRUE(about->isVisible());
  EXPECT_FALSE(about_shown_elsewhere);
  EXPECT_FALSE(sheet->results_page()->initialised()) << "the results page was never shown";
}

// The window shrunk as far as it goes still shows every description whole.
TEST_F(GuiTest, AtTheSmallestSizeTheRoadDescriptionsAreWhole) {
  auto sheet = MakeSheet();
  for (const QSize size : {sheet->minimumSize(), sheet->minimumSizeHint()}) {
    sheet->resize(size.expandedTo(sheet->minimumSize()));
    QApplication::processEvents();
    for (Road road : {Road::kRecover, Road::kCreateImage, Road::kOpenImage, Road::kLoadRecovery}) {
      QLabel* label = sheet->main_page()->description(road);
      EXPECT_GE(label->height(), label->heightForWidth(label->width()))
          << label->text().toStdString() << " at " << sheet->width() << "x" << sheet->height();
    }
  }
}

TEST_F(GuiTest, MainWindowAloneCarriesTheProgramName) {
  auto sheet = MakeSheet();
  EXPECT_EQ(sheet->windowTitle(), QString::fromUtf8("Photo Recovery \u2014 Pictavo"));
  EXPECT_TRUE(QApplication::applicationDisplayName().isEmpty() ||
              QApplication::applicationDisplayName() == QApplication::applicationName());
}

}  // namespace
}  // namespace pictavo::app::testing
