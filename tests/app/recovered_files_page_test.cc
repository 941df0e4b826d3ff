#include <QAbstractButton>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTreeView>
#include <QTreeWidget>

#include "results/size_text.h"
#include "results_fixture.h"

namespace pictavo::app::testing {
namespace {

const QString kConfirmation = QStringLiteral("Confirmation");

uint64_t BytesOf(const std::vector<PlacedFile>& files, FileTypeId type) {
  uint64_t total = 0;
  for (const PlacedFile& file : files) {
    if (type == kTypeNone || file.type == type) total += file.bytes.size();
  }
  return total;
}

QString Size(uint64_t bytes) { return QString::fromStdString(SizeText(bytes)); }

class RecoveredFilesPageTest : public ResultsTest {
 protected:
  void SetUp() override {
    ResultsTest::SetUp();
    files = MixedFiles();
    sheet = ScanImage(MakeImage("mixed.img", files));
    page = Page(*sheet);
  }

  QAbstractButton* Next() { return NextButton(*sheet); }
  Qt::CheckState Mark(FileTypeId type) { return page->type_item(type)->checkState(0); }
  Qt::CheckState RootMark() { return page->root_item()->checkState(0); }
  QString SelectedText() { return page->selected_total_text()->text(); }

  std::vector<PlacedFile> files;
  std::unique_ptr<CPictavoSheet> sheet;
  CRecoverdFileDlg* page = nullptr;
};

TEST_F(RecoveredFilesPageTest, TreeShowsEachFoundTypeWithItsCountUnderTheRoot) {
  EXPECT_EQ(TreeLabels(page),
            QStringList({"Recovered Files (7)", "BMP (1)", "GIF (1)", "JPEG (3)", "PNG (2)"}));
  EXPECT_TRUE(page->root_item()->isExpanded());
  EXPECT_EQ(page->total_found_text()->text(), Size(BytesOf(files, kTypeNone)));
  EXPECT_EQ(SelectedText(), "0  Bytes");
  EXPECT_EQ(page->model()->rowCount(), 0);
  EXPECT_EQ(Next()->text(), "Recover");
  EXPECT_FALSE(Next()->isEnabled());
  EXPECT_TRUE(sheet->save_snapshot_button()->isVisible());
  EXPECT_FALSE(sheet->button(QWizard::FinishButton)->isVisible());
  for (FileTypeId type : {kTypeBmp, kTypeGif, kTypeJpeg, kTypePng}) {
    EXPECT_EQ(Mark(type), Qt::Unchecked) << type;
  }
}

TEST_F(RecoveredFilesPageTest, BranchListsItsFilesByNumberWithSizes) {
  ASSERT_TRUE(ChooseBranch(page, page->type_item(kTypeJpeg)));
  EXPECT_EQ(ListNames(page), QStringList({"File0.jpeg", "File1.jpeg", "File2.jpeg"}));
  const FoundFileModel* model = page->model();
  int jpeg = 0;
  for (const PlacedFile& file : files) {
    if (file.type != kTypeJpeg) continue;
    EXPECT_EQ(model->data(model->index(jpeg, 1), Qt::DisplayRole).toString(),
              Size(file.bytes.size()));
    EXPECT_EQ(model->FileAt(jpeg).offset, file.offset);
    ++jpeg;
  }
  // The root lists every file, each under the name it has in its own branch.
  ASSERT_TRUE(ChooseBranch(page, page->root_item()));
  EXPECT_EQ(ListNames(page), QStringList({"File0.jpeg", "File0.png", "File1.jpeg", "File0.gif",
                                          "File0.bmp", "File1.png", "File2.jpeg"}));
  // The invitation to save came once, at the first click in the tree.
  EXPECT_EQ(TextsWithCaption(kConfirmation).size(), 1);
  EXPECT_TRUE(TextsWithCaption(kConfirmation)[0].startsWith(
      QString::fromUtf8("It\u2019s recommended to save the recovery results")));
}

TEST_F(RecoveredFilesPageTest, MarkingByTypeByRootAndOneByOneKeepsTotalsAndNextInStep) {
  const uint64_t all = BytesOf(files, kTypeNone);
  const uint64_t jpeg = BytesOf(files, kTypeJpeg);
  const uint64_t png = BytesOf(files, kTypePng);

  ClickTreeCheck(page, page->type_item(kTypeJpeg));
  EXPECT_EQ(Mark(kTypeJpeg), Qt::Checked);
  EXPECT_EQ(RootMark(), Qt::PartiallyChecked);
  EXPECT_EQ(SelectedText(), Size(jpeg));
  EXPECT_EQ(sheet->state().selected_total, jpeg);
  EXPECT_TRUE(Next()->isEnabled());
  EXPECT_EQ(page->current_branch(), nullptr) << "a check click chooses no branch";

  ClickTreeCheck(page, page->type_item(kTypePng));
  EXPECT_EQ(SelectedText(), Size(jpeg + png));

  // A click on the partial root unmarks everything.
  ClickTreeCheck(page, page->root_item());
  EXPECT_EQ(RootMark(), Qt::Unchecked);
  EXPECT_EQ(Mark(kTypeJpeg), Qt::Unchecked);
  EXPECT_EQ(SelectedText(), "0  Bytes");
  EXPECT_FALSE(Next()->isEnabled());

  ClickTreeCheck(page, page->root_item());
  EXPECT_EQ(RootMark(), Qt::Checked);
  for (FileTypeId type : {kTypeBmp, kTypeGif, kTypeJpeg, kTypePng}) {
    EXPECT_EQ(Mark(type), Qt::Checked) << type;
  }
  EXPECT_EQ(SelectedText(), Size(all));
  EXPECT_TRUE(Next()->isEnabled());

  // One by one in the list: the branch and the root turn partial, then unmarked.
  ASSERT_TRUE(ChooseBranch(page, page->type_item(kTypeJpeg)));
  QTreeView* list = page->list();
  FoundFileModel* model = page->model();
  ClickCheck(list, model->index(1, 0));
  EXPECT_EQ(model->data(model->index(1, 0), Qt::CheckStateRole).toInt(), Qt::Unchecked);
  EXPECT_EQ(Mark(kTypeJpeg), Qt::PartiallyChecked);
  EXPECT_EQ(RootMark(), Qt::PartiallyChecked);
  EXPECT_EQ(sheet->state().selected_total, all - files[2].bytes.size());
  ClickCheck(list, model->index(0, 0));
  ClickCheck(list, model->index(2, 0));
  EXPECT_EQ(Mark(kTypeJpeg), Qt::Unchecked);
  EXPECT_EQ(SelectedText(), Size(all - jpeg));
  ClickTreeCheck(page, page->root_item());  // partial: unmarks the rest
  EXPECT_EQ(SelectedText(), "0  Bytes");
  EXPECT_FALSE(Next()->isEnabled());

  // Marking every file of a branch in the list marks the branch.
  for (int row = 0; row < 3; ++row) ClickCheck(list, model->index(row, 0));
  EXPECT_EQ(Mark(kTypeJpeg), Qt::Checked);
  EXPECT_EQ(RootMark(), Qt::PartiallyChecked);
  EXPECT_EQ(SelectedText(), Size(jpeg));
  EXPECT_TRUE(Next()->isEnabled());

  // The flags in the results are what the page shows.
  uint64_t marked = 0;
  for (const FoundFile& file : sheet->state().results.Found()) {
    EXPECT_EQ(file.selected, file.type == kTypeJpeg ? 1u : 0u);
    marked += file.selected ? file.length : 0;
  }
  EXPECT_EQ(marked, jpeg);
}

TEST_F(RecoveredFilesPageTest, ClickOnAPartialBranchUnmarksBothOfItsFiles) {
  ASSERT_TRUE(ChooseBranch(page, page->type_item(kTypePng)));
  FoundFileModel* model = page->model();
  ClickCheck(page->list(), model->index(0, 0));
  EXPECT_EQ(Mark(kTypePng), Qt::PartiallyChecked);
  EXPECT_EQ(RootMark(), Qt::PartiallyChecked);
  EXPECT_EQ(SelectedText(), Size(files[1].bytes.size()));

  ClickTreeCheck(page, page->type_item(kTypePng));
  EXPECT_EQ(Mark(kTypePng), Qt::Unchecked);
  EXPECT_EQ(RootMark(), Qt::Unchecked);
  for (int row = 0; row < 2; ++row) {
    EXPECT_EQ(model->data(model->index(row, 0), Qt::CheckStateRole).toInt(), Qt::Unchecked);
  }
  EXPECT_EQ(SelectedText(), "0  Bytes");
  EXPECT_FALSE(Next()->isEnabled());
}

TEST_F(RecoveredFilesPageTest, SizeHeaderSortsDescendingThenAscendingAndNamesStay) {
  ASSERT_TRUE(ChooseBranch(page, page->root_item()));
  QHeaderView* header = page->list()->header();
  FoundFileModel* model = page->model();
  auto lengths = [&] {
    std::vector<uint32_t> out;
    for (int row = 0; row < model->rowCount(); ++row) out.push_back(model->FileAt(row).length);
    return out;
  };
  const QStringList found_order = ListNames(page);
  const auto unsorted = lengths();

  QTest::mouseClick(header->viewport(), Qt::LeftButton, Qt::NoModifier,
                    QPoint(header->sectionViewportPosition(1) + 10, header->height() / 2));
  EXPECT_TRUE(page->sort_descending());
  auto sorted = lengths();
  EXPECT_TRUE(std::is_sorted(sorted.rbegin(), sorted.rend()));
  // Each name still belongs to its file.
  for (int row = 0; row < model->rowCount(); ++row) {
    const int before = found_order.indexOf(model->NameAt(row));
    ASSERT_GE(before, 0);
    EXPECT_EQ(unsorted[before], model->FileAt(row).length);
  }

  QTest::mouseClick(header->viewport(), Qt::LeftButton, Qt::NoModifier,
                    QPoint(header->sectionViewportPosition(1) + 10, header->height() / 2));
  EXPECT_FALSE(page->sort_descending());
  sorted = lengths();
  EXPECT_TRUE(std::is_sorted(sorted.begin(), sorted.end()));

  // "File Name" only flips the direction: the next "Size" click sorts ascending again.
  const QStringList before_name_click = ListNames(page);
  QTest::mouseClick(header->viewport(), Qt::LeftButton, Qt::NoModifier,
                    QPoint(header->sectionViewportPosition(0) + 10, header->height() / 2));
  EXPECT_TRUE(page->sort_descending());
  EXPECT_EQ(ListNames(page), before_name_click);
}

TEST_F(RecoveredFilesPageTest, ASecondBranchChoiceReplacesTheFirstFill) {
  QSignalSpy filled(page, &CRecoverdFileDlg::ListFilled);
  QTreeWidget* tree = page->tree();
  for (QTreeWidgetItem* item : {page->root_item(), page->type_item(kTypeJpeg),
                                page->type_item(kTypeGif), page->type_item(kTypePng)}) {
    const QRect rect = tree->visualItemRect(item);
    QTest::mouseClick(tree->viewport(), Qt::LeftButton, Qt::NoModifier,
                      QPoint(rect.right() - 4, rect.center().y()));
  }
  ASSERT_TRUE(filled.wait(5000));
  QTest::qWait(50);  // a stale fill would arrive after the first
  EXPECT_EQ(filled.count(), 1);
  EXPECT_FALSE(page->filling());
  EXPECT_EQ(ListNames(page), QStringList({"File0.png", "File1.png"}));
}

TEST_F(RecoveredFilesPageTest, BackAsksOnceClearsTheMarksAndRestoresNext) {
  ClickTreeCheck(page, page->type_item(kTypeGif));  // asks the question
  ASSERT_EQ(TextsWithCaption(kConfirmation).size(), 1);
  EXPECT_TRUE(Next()->isEnabled());
  sheet->back();
  EXPECT_EQ(sheet->currentId(), kFileTypePageId);
  EXPECT_EQ(TextsWithCaption(kConfirmation).size(), 1) << "asked once per visit";
  EXPECT_EQ(sheet->state().selected_total, 0u);
  for (const FoundFile& file : sheet->state().results.Found()) EXPECT_EQ(file.selected, 0u);
  EXPECT_EQ(Next()->text(), "Next >");
  EXPECT_TRUE(Next()->isEnabled());
  EXPECT_FALSE(sheet->save_snapshot_button()->isVisible());

  // The next visit (after a new scan) asks again, at Back if nothing in the tree was clicked.
  sheet->next();
  ASSERT_EQ(sheet->currentId(), kRecoveredFilesPageId);
  EXPECT_EQ(TreeLabels(page)[0], "Recovered Files (7)");
  sheet->back();
  EXPECT_EQ(TextsWithCaption(kConfirmation).size(), 2);
}

// Pages built straight on hand-made results, for the cases a scan cannot easily give.
class RecoveredFilesModelTest : public ::testing::Test {
 protected:
  void Show(ScanResults results) {
    state.results = std::move(results);
    page = std::make_unique<CRecoverdFileDlg>(state);
    page->show();
    page->Activate();
  }
  static ScanResults Results(std::vector<FoundFile> files) {
    ScanResults results;
    for (const FoundFile& file : files) {
      results.tallies[file.type].present = 1;
      ++results.tallies[file.type].count;
      results.tallies[file.type].total_bytes += file.length;
    }
    results.found_count = files.size();
    results.records = std::move(files);
    results.records.push_back({});  // the spare record
    return results;
  }

  ScriptedPrompts prompts;
  WizardState state;
  std::unique_ptr<CRecoverdFileDlg> page;
};

TEST_F(RecoveredFilesModelTest, NothingFoundShowsTheRootAloneAndZeroSizes) {
  Show(Results({}));
  EXPECT_EQ(ResultsTest::TreeLabels(page.get()), QStringList({"Recovered Files (0)"}));
  EXPECT_EQ(page->total_found_text()->text(), "0  Bytes");
  EXPECT_EQ(page->selected_total_text()->text(), "0  Bytes");
  EXPECT_FALSE(page->isComplete());
}

TEST_F(RecoveredFilesModelTest, SelectedTotalCrossesFromBytesToKilobytesAt1025) {
  Show(Results({{kTypeJpeg, 0, 1024, 0}, {kTypeJpeg, 2048, 1025, 0}}));
  ASSERT_TRUE(ResultsTest::ChooseBranch(page.get(), page->type_item(kTypeJpeg)));
  ResultsTest::ClickCheck(page->list(), page->model()->index(0, 0));
  EXPECT_EQ(page->selected_total_text()->text(), "1024  Bytes");
  ResultsTest::ClickCheck(page->list(), page->model()->index(0, 0));
  ResultsTest::ClickCheck(page->list(), page->model()->index(1, 0));
  EXPECT_EQ(page->selected_total_text()->text(), "1.00  KB");
  EXPECT_TRUE(page->isComplete());
}

TEST_F(RecoveredFilesModelTest, TypesWithoutExtensionGetNamesEndingInTheDot) {
  Show(Results({{kTypeDbx, 0, 100, 0}, {kTypePst, 512, 200, 0}, {kTypeDbx, 1024, 300, 0}}));
  EXPECT_EQ(ResultsTest::TreeLabels(page.get()),
            QStringList({"Recovered Files (3)", "DBX (2)", "PST (1)"}));
  ASSERT_TRUE(ResultsTest::ChooseBranch(page.get(), page->type_item(kTypeDbx)));
  EXPECT_EQ(ResultsTest::ListNames(page.get()), QStringList({"File0.", "File1."}));
}

TEST_F(RecoveredFilesModelTest, MarksOfLoadedResultsShowInTreeListAndTotal) {
  Show(Results({{kTypeJpeg, 0, 5000, 1}, {kTypeJpeg, 8192, 7000, 0}, {kTypePng, 16384, 900, 1}}));
  EXPECT_EQ(state.selected_total, 5900u);
  EXPECT_EQ(page->type_item(kTypeJpeg)->checkState(0), Qt::PartiallyChecked);
  EXPECT_EQ(page->type_item(kTypePng)->checkState(0), Qt::Checked);
  EXPECT_EQ(page->root_item()->checkState(0), Qt::PartiallyChecked);
  EXPECT_TRUE(page->isComplete());
}

TEST_F(RecoveredFilesModelTest, PreviewRefusalsComeBeforeTheSourceIsOpened) {
  Show(Results({{kTypeWav, 0, 100, 0},
                {kTypeJpeg, 512, 20'971'519, 0},
                {kTypeJpeg, 21'000'000, 20'971'520, 0}}));
  page->preview_button()->click();
  ASSERT_EQ(prompts.messages.size(), 1u);
  EXPECT_EQ(prompts.messages[0].text, "Please select a photo to preview");
  EXPECT_EQ(prompts.messages[0].caption, "Inoformation");

  ASSERT_TRUE(ResultsTest::ChooseBranch(page.get(), page->root_item()));
  prompts.messages.clear();
  page->PreviewRow(0);
  page->PreviewRow(2);
  // 20,971,519 bytes is small enough; the (missing) source then makes it unavailable.
  page->PreviewRow(1);
  ASSERT_EQ(prompts.Texts().size(), 3);
  EXPECT_EQ(prompts.Texts().mid(0, 2),
            QStringList({"Preview is not available for audio and video file formats in this "
                         "version.",
                         "Preview of this file is not possible, file is too large"}));
  EXPECT_TRUE(prompts.Texts()[2].startsWith("Preview is not available.\n"));
  for (const MessageRequest& request : prompts.messages) {
    EXPECT_EQ(request.caption, "Information");
  }
}

}  // namespace
}  // namespace pictavo::app::testing
