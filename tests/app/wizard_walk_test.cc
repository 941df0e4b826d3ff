// What a user walking through the wizard relies on: closing it never loses unsaved results
// unasked, the keyboard browses the results tree, a failed snapshot load changes nothing, and a
// preview that cannot be made says why.
#include <QApplication>
#include <QFile>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <QTreeView>
#include <QTreeWidget>

#include "app/preview_dialog.h"
#include "app/source_checks.h"
#include "results_fixture.h"

namespace pictavo::app::testing {
namespace {

const QString kQuitQuestion =
    QStringLiteral("Quit and lose the 7 files found? You can save them with Save Recovery Snap.");
const QString kConfirmation = QStringLiteral("Confirmation");

class WizardWalkTest : public ResultsTest {
 protected:
  void SetUp() override {
    ResultsTest::SetUp();
    files = MixedFiles();
    image = MakeImage("mixed.img", files);
    sheet = ScanImage(image);
    page = Page(*sheet);
  }

  QStringList QuitQuestions() const {
    QStringList texts;
    for (const MessageRequest& request : prompts.messages) {
      if (request.text.startsWith("Quit and lose")) texts << request.text;
    }
    return texts;
  }

  // Writes the page's results to `path` with Save Recovery Snap.
  void SaveSnapshot(const QString& path) {
    prompts.ChooseNext(path);
    sheet->save_snapshot_button()->click();
    ASSERT_EQ(prompts.messages.back().text, "Save Recovery is successfully saved");
  }

  // Waits until the list holds the files of the tree's current item.
  ::testing::AssertionResult ListFollows(const QStringList& names) {
    if (page->filling()) {
      QSignalSpy filled(page, &CRecoverdFileDlg::ListFilled);
      if (!filled.wait(5000)) return ::testing::AssertionFailure() << "the list was not filled";
    }
    if (page->current_branch() != page->tree()->currentItem()) {
      return ::testing::AssertionFailure() << "the list shows another branch than the current";
    }
    if (ListNames(page) != names) {
      return ::testing::AssertionFailure()
             << "the list holds " << ListNames(page).join(",").toStdString();
    }
    return ::testing::AssertionSuccess();
  }

  std::vector<PlacedFile> files;
  QString image;
  std::unique_ptr<CPictavoSheet> sheet;
  CRecoverdFileDlg* page = nullptr;
};

TEST_F(WizardWalkTest, CancelWithUnsavedResultsAsksAndStayKeepsEverything) {
  ASSERT_TRUE(ChooseBranch(page, page->type_item(kTypeJpeg)));
  prompts.messages.clear();
  QTest::mouseClick(sheet->button(QWizard::CancelButton), Qt::LeftButton);
  ASSERT_EQ(prompts.messages.size(), 1u);
  const MessageRequest& question = prompts.messages[0];
  EXPECT_EQ(question.text, kQuitQuestion);
  EXPECT_EQ(question.caption, kConfirmation);
  EXPECT_EQ(question.icon, QMessageBox::Question);
  EXPECT_EQ(question.buttons, QMessageBox::Discard | QMessageBox::Save | QMessageBox::Cancel);
  using Texts = std::vector<std::pair<QMessageBox::StandardButton, QString>>;
  EXPECT_EQ(question.button_texts, Texts({{QMessageBox::Discard, "Quit"},
                                          {QMessageBox::Save, "Save snapshot"},
                                          {QMessageBox::Cancel, "Stay"}}));
  // Enter and Esc in the question keep the results.
  EXPECT_EQ(question.default_button, QMessageBox::Cancel);
  EXPECT_EQ(question.escape_button, QMessageBox::Cancel);
  // The scripted answer is Stay.
  EXPECT_TRUE(sheet->isVisible());
  EXPECT_EQ(sheet->currentId(), kRecoveredFilesPageId);
  EXPECT_EQ(ListNames(page), QStringList({"File0.jpeg", "File1.jpeg", "File2.jpeg"}));

  // Esc and the close box ask the same; Quit closes the wizard.
  QTest::keyClick(sheet.get(), Qt::Key_Escape);
  EXPECT_EQ(QuitQuestions().size(), 2);
  EXPECT_TRUE(sheet->isVisible());
  prompts.AnswerNext(QMessageBox::Discard);
  EXPECT_TRUE(sheet->close());
  EXPECT_EQ(QuitQuestions().size(), 3);
  EXPECT_FALSE(sheet->isVisible());
  EXPECT_EQ(sheet->result(), QDialog::Rejected);
}

TEST_F(WizardWalkTest, QuitQuestionAlsoComesFromAnEarlierPage) {
  sheet->back();  // the invitation to save is answered No
  ASSERT_EQ(sheet->currentId(), kFileTypePageId);
  sheet->reject();
  EXPECT_EQ(QuitQuestions(), QStringList({kQuitQuestion}));
  EXPECT_TRUE(sheet->isVisible());
}

TEST_F(WizardWalkTest, SaveSnapshotAtTheQuestionWritesItAndThenQuits) {
  const QString snapshot = QString::fromStdString(temp->File("on-quit.dat"));
  // A cancelled save dialog keeps the wizard open.
  prompts.AnswerNext(QMessageBox::Save);
  sheet->reject();
  EXPECT_TRUE(sheet->isVisible());
  EXPECT_FALSE(QFile::exists(snapshot));

  prompts.AnswerNext(QMessageBox::Save);
  prompts.ChooseNext(snapshot);
  sheet->reject();
  EXPECT_TRUE(CheckSnapshotFile(snapshot));
  EXPECT_EQ(prompts.messages.back().text, "Save Recovery is successfully saved");
  EXPECT_FALSE(sheet->isVisible());
}

TEST_F(WizardWalkTest, SavedOrLoadedResultsQuitWithoutAQuestion) {
  const QString snapshot = QString::fromStdString(temp->File("kept.dat"));
  SaveSnapshot(snapshot);
  sheet->reject();
  EXPECT_TRUE(QuitQuestions().isEmpty());
  EXPECT_FALSE(sheet->isVisible());

  auto loaded = MakeSheet();
  ChooseRoad(*loaded, Road::kLoadRecovery);
  prompts.ChooseNext(snapshot);
  loaded->next();
  ASSERT_EQ(loaded->currentId(), kRecoveredFilesPageId);
  QTest::keyClick(loaded.get(), Qt::Key_Escape);
  EXPECT_TRUE(QuitQuestions().isEmpty());
  EXPECT_FALSE(loaded->isVisible());
}

TEST_F(WizardWalkTest, WizardWithoutResultsQuitsAtOnce) {
  auto fresh = MakeSheet();
  fresh->reject();
  EXPECT_FALSE(fresh->isVisible());
  EXPECT_TRUE(QuitQuestions().isEmpty());
}

TEST_F(WizardWalkTest, UpAndDownInTheTreeChooseTheBranchTheListShows) {
  QTreeWidget* tree = page->tree();
  ASSERT_TRUE(ChooseBranch(page, page->root_item()));
  EXPECT_EQ(TextsWithCaption(kConfirmation).size(), 1);
  tree->setFocus();
  QTest::keyClick(tree, Qt::Key_Down);
  EXPECT_EQ(tree->currentItem(), page->type_item(kTypeBmp));
  EXPECT_TRUE(ListFollows({"File0.bmp"}));
  QTest::keyClick(tree, Qt::Key_Down);
  QTest::keyClick(tree, Qt::Key_Down);
  EXPECT_TRUE(ListFollows({"File0.jpeg", "File1.jpeg", "File2.jpeg"}));
  QTest::keyClick(tree, Qt::Key_Up);
  EXPECT_TRUE(ListFollows({"File0.gif"}));
  QTest::keyClick(tree, Qt::Key_End);
  EXPECT_TRUE(ListFollows({"File0.png", "File1.png"}));
  // The invitation keeps its rule: the first click, not every move.
  EXPECT_EQ(TextsWithCaption(kConfirmation).size(), 1);
}

TEST_F(WizardWalkTest, KeysAloneBrowseTheTreeWithoutAClick) {
  QTreeWidget* tree = page->tree();
  tree->setCurrentItem(page->root_item());
  EXPECT_TRUE(ListFollows({"File0.jpeg", "File0.png", "File1.jpeg", "File0.gif", "File0.bmp",
                           "File1.png", "File2.jpeg"}));
  tree->setFocus();
  QTest::keyClick(tree, Qt::Key_Down);
  EXPECT_TRUE(ListFollows({"File0.bmp"}));
  EXPECT_TRUE(TextsWithCaption(kConfirmation).isEmpty());
}

TEST_F(WizardWalkTest, CheckClickLeavesTheHighlightOnTheListedBranch) {
  ASSERT_TRUE(ChooseBranch(page, page->type_item(kTypeJpeg)));
  ClickTreeCheck(page, page->type_item(kTypePng));
  QApplication::processEvents();
  EXPECT_EQ(page->type_item(kTypePng)->checkState(0), Qt::Checked);
  EXPECT_EQ(page->tree()->currentItem(), page->type_item(kTypeJpeg));
  EXPECT_EQ(page->tree()->selectedItems(), QList<QTreeWidgetItem*>({page->type_item(kTypeJpeg)}));
  EXPECT_TRUE(ListFollows({"File0.jpeg", "File1.jpeg", "File2.jpeg"}));
}

TEST_F(WizardWalkTest, EnterInTheTreeGoesToTheListAndNeverStartsRecover) {
  ClickTreeCheck(page, page->type_item(kTypeJpeg));
  ASSERT_TRUE(NextButton(*sheet)->isEnabled());
  QTreeWidget* tree = page->tree();
  tree->setFocus();
  tree->setCurrentItem(page->type_item(kTypeGif));
  ASSERT_TRUE(ListFollows({"File0.gif"}));
  prompts.file_requests.clear();
  QTest::keyClick(tree, Qt::Key_Return);
  QTest::keyClick(tree, Qt::Key_Enter);
  EXPECT_TRUE(prompts.file_requests.empty()) << "Recover asked for a folder";
  EXPECT_EQ(sheet->focusWidget(), page->list());
  EXPECT_EQ(page->list()->currentIndex().row(), 0);

  // Enter in the list previews the current file, as a double-click does.
  int previews = 0;
  QTimer watcher;
  QObject::connect(&watcher, &QTimer::timeout, [&] {
    if (auto* dialog = qobject_cast<CDlgPreview*>(QApplication::activeModalWidget())) {
      ++previews;
      dialog->reject();
    }
  });
  watcher.start(10);
  QTest::keyClick(page->list(), Qt::Key_Return);
  EXPECT_EQ(previews, 1);
  EXPECT_TRUE(prompts.file_requests.empty());
  EXPECT_EQ(sheet->currentId(), kRecoveredFilesPageId);
}

TEST_F(WizardWalkTest, FailedLoadAfterAGoodOneLeavesTheWizardWhereItWas) {
  const QString good = QString::fromStdString(temp->File("good.dat"));
  SaveSnapshot(good);
  const QString bad = MakeSnapshotFile("bad.dat");

  auto loaded = MakeSheet();
  ChooseRoad(*loaded, Road::kLoadRecovery);
  prompts.ChooseNext(good);
  loaded->next();
  ASSERT_EQ(loaded->currentId(), kRecoveredFilesPageId);
  CRecoverdFileDlg* loaded_page = Page(*loaded);
  ClickTreeCheck(loaded_page, loaded_page->type_item(kTypePng));
  loaded->back();
  ASSERT_EQ(loaded->currentId(), kMainPageId);

  prompts.messages.clear();
  prompts.ChooseNext(bad);
  loaded->next();
  EXPECT_EQ(loaded->currentId(), kMainPageId);
  ASSERT_EQ(prompts.messages.size(), 1u);
  EXPECT_TRUE(prompts.messages[0].text.startsWith("The recovery snapshot could not be loaded:"));
  EXPECT_FALSE(loaded->save_snapshot_button()->isVisible());
  EXPECT_TRUE(loaded->button(QWizard::CustomButton2)->isVisible());

  // The good one still loads afterwards, whole and unmarked.
  prompts.ChooseNext(good);
  loaded->next();
  ASSERT_EQ(loaded->currentId(), kRecoveredFilesPageId);
  EXPECT_EQ(TreeLabels(loaded_page), TreeLabels(page));
  EXPECT_EQ(loaded_page->type_item(kTypePng)->checkState(0), Qt::Unchecked);
}

TEST_F(WizardWalkTest, PreviewOfAFileWhoseSourceIsGoneSaysWhy) {
  ASSERT_TRUE(ChooseBranch(page, page->type_item(kTypeJpeg)));
  ASSERT_TRUE(QFile::remove(image));
  prompts.messages.clear();
  page->PreviewRow(0);
  ASSERT_EQ(prompts.messages.size(), 1u);
  EXPECT_EQ(prompts.messages[0].text, "Preview is not available.\n" + image +
                                          " could not be opened: No such file or directory");
  EXPECT_EQ(prompts.messages[0].caption, "Information");
}

}  // namespace
}  // namespace pictavo::app::testing
