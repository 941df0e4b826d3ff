#include <sys/wait.h>
#include <unistd.h>

#include <QAbstractButton>
#include <QFileInfo>
#include <QTest>

#include "app/main_page.h"
#include "app/single_instance.h"
#include "gui_fixture.h"

namespace pictavo::app::testing {
namespace {

const QString kGuardCaption = QStringLiteral("Oskel Softwares Photo Recovery");

TEST_F(GuiTest, SecondCopyIsToldThatTheFirstRuns) {
  const QString directory = QString::fromStdString(temp->path());
  SingleInstanceGuard first(directory);
  SingleInstanceGuard second(directory);
  EXPECT_TRUE(AcquireSingleInstance(first));
  EXPECT_TRUE(prompts.messages.empty());
  EXPECT_FALSE(AcquireSingleInstance(second));
  ASSERT_EQ(prompts.messages.size(), 1u);
  EXPECT_EQ(prompts.messages[0].text, "Application is already running.");
  EXPECT_EQ(prompts.messages[0].caption, kGuardCaption);
  EXPECT_EQ(prompts.messages[0].icon, QMessageBox::Information);
  EXPECT_EQ(prompts.messages[0].owner, nullptr);
  EXPECT_TRUE(QFileInfo(first.path()).fileName() == "OSKELPHOTORECOVERY-APPMUTEX");
  // The first copy keeps its lock.
  EXPECT_EQ(first.Acquire(), SingleInstanceGuard::Outcome::kAcquired);
}

TEST_F(GuiTest, GuardThatCannotBeTakenSaysFailedToLaunch) {
  SingleInstanceGuard guard(QString::fromStdString(temp->File("no/such/folder")));
  EXPECT_FALSE(AcquireSingleInstance(guard));
  ASSERT_EQ(prompts.messages.size(), 1u);
  EXPECT_EQ(prompts.messages[0].text, "Failed to launch.");
  EXPECT_EQ(prompts.messages[0].caption, kGuardCaption);
  EXPECT_EQ(prompts.messages[0].icon, QMessageBox::Critical);
}

TEST_F(GuiTest, LockLeftByAnEndedProcessIsTakenOver) {
  const QString directory = QString::fromStdString(temp->path());
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // Takes the guard and ends without releasing it, as a crashed copy would.
    SingleInstanceGuard guard(directory);
    _exit(guard.Acquire() == SingleInstanceGuard::Outcome::kAcquired ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  ASSERT_TRUE(QFileInfo::exists(SingleInstanceGuard(directory).path()));
  SingleInstanceGuard guard(directory);
  EXPECT_EQ(guard.Acquire(), SingleInstanceGuard::Outcome::kAcquired);
}

TEST_F(GuiTest, SheetHasTheWizardLookAndItsButtons) {
  auto sheet = MakeSheet();
  EXPECT_EQ(sheet->windowTitle(), QString::fromUtf8("Photo Recovery \u2014 Pictavo"));
  EXPECT_EQ(sheet->wizardStyle(), QWizard::ModernStyle);
  EXPECT_TRUE(sheet->windowFlags() & Qt::WindowMinimizeButtonHint);
  const QPixmap banner = sheet->pixmap(QWizard::BannerPixmap);
  EXPECT_EQ(banner.size(), QSize(690, 58));
  EXPECT_EQ(sheet->currentId(), kMainPageId);
  EXPECT_EQ(sheet->pageIds(),
            QList<int>({kMainPageId, kDrivePageId, kFileTypePageId, kRecoveredFilesPageId}));
  EXPECT_EQ(NextButton(*sheet)->text(), "Next >");
  EXPECT_TRUE(sheet->button(QWizard::HelpButton)->isVisible());

  QAbstractButton* save = sheet->save_snapshot_button();
  EXPECT_EQ(save->text(), "Save Recovery Snap");
  EXPECT_FALSE(save->isVisible());
  EXPECT_EQ(save->minimumWidth(), sheet->button(QWizard::CancelButton)->sizeHint().width() + 50);
}

TEST_F(GuiTest, HelpOpensTheHelpPageShippedWithTheProgram) {
  auto sheet = MakeSheet();
  QTest::mouseClick(sheet->button(QWizard::HelpButton), Qt::LeftButton);
  ASSERT_EQ(prompts.urls.size(), 1u);
  const QUrl url = prompts.urls[0];
  EXPECT_TRUE(url.isLocalFile());
  EXPECT_EQ(QFileInfo(url.toLocalFile()).fileName(), "pictavo-help.html");
  EXPECT_TRUE(QFileInfo::exists(url.toLocalFile())) << url.toLocalFile().toStdString();
}

}  // namespace
}  // namespace pictavo::app::testing
