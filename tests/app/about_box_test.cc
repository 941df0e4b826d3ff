#include "app/about_box.h"

#include <QAbstractButton>
#include <QTest>
#include <cstdio>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "gui_fixture.h"

namespace pictavo::app::testing {
namespace {

TEST_F(GuiTest, AboutButtonOnTheMainPageShowsTheVersion) {
  auto sheet = MakeSheet();
  sheet->show();
  QAbstractButton* about = sheet->button(QWizard::CustomButton2);
  ASSERT_NE(about, nullptr);
  EXPECT_EQ(about->text(), "About");
  EXPECT_TRUE(about->isVisible());
  QTest::mouseClick(about, Qt::LeftButton);
  ASSERT_EQ(prompts.messages.size(), 1u);
  EXPECT_EQ(prompts.messages[0].caption, "About Pictavo");
  EXPECT_TRUE(prompts.messages[0].text.startsWith("Pictavo Photo Recovery " PICTAVO_VERSION "\n"))
      << prompts.messages[0].text.toStdString();

  ChooseRoad(*sheet, Road::kRecover);
  sheet->next();
  EXPECT_NE(sheet->currentId(), kMainPageId);
  EXPECT_FALSE(about->isVisible());
}

// --help and --version are answered without a window; anything else starts the wizard.
TEST(CommandLine, AnswersHelpAndVersionOnly) {
  struct Case {
    std::vector<std::string> arguments;
    bool answered;
    std::string starts_with;
  };
  const Case cases[] = {
      {{"--version"}, true, "pictavo " PICTAVO_VERSION "\n"},
      {{"-platform", "offscreen", "--help"}, true, "Usage: pictavo "},
      {{"-h"}, true, "Usage: pictavo "},
      {{}, false, ""},
      {{"-style", "Fusion"}, false, ""},
  };
  for (const Case& c : cases) {
    std::vector<char*> argv = {const_cast<char*>("pictavo")};
    for (const std::string& argument : c.arguments)
      argv.push_back(const_cast<char*>(argument.c_str()));
    std::FILE* out = std::tmpfile();
    ASSERT_NE(out, nullptr);
    const auto status = AnswerCommandLine(static_cast<int>(argv.size()), argv.data(), out);
    std::rewind(out);
    char text[4096] = {};
    const size_t length = std::fread(text, 1, sizeof(text) - 1, out);
    std::fclose(out);
    EXPECT_EQ(status.has_value(), c.answered) << c.arguments.size();
    EXPECT_EQ(status.value_or(0), 0);
    EXPECT_TRUE(std::string(text, length).starts_with(c.starts_with)) << text;
  }
}

}  // namespace
}  // namespace pictavo::app::testing
