#include "app/file_selection_page.h"

#include <QCheckBox>
#include <QHeaderView>
#include <QRadioButton>
#include <QStyle>
#include <QStyleOptionViewItem>
#include <QTest>
#include <QTreeWidget>
#include <set>

#include "app/drive_selection_page.h"
#include "app/main_page.h"
#include "gui_fixture.h"

namespace pictavo::app::testing {
namespace {

QTreeWidgetItem* RowOf(QTreeWidget* list, const QString& file_type) {
  const auto found = list->findItems(file_type, Qt::MatchExactly, 0);
  return found.size() == 1 ? found[0] : nullptr;
}

// Where the row's check box is drawn, worked out the way the item delegate does it.
QPoint CheckBoxCentre(QTreeWidget* list, QTreeWidgetItem* item) {
  list->scrollToItem(item);
  QStyleOptionViewItem option;
  option.initFrom(list->viewport());
  option.rect = list->visualRect(list->indexFromItem(item, 0));
  option.features = QStyleOptionViewItem::HasCheckIndicator | QStyleOptionViewItem::HasDisplay |
                    QStyleOptionViewItem::HasDecoration;
  option.decorationSize = list->iconSize();
  option.text = item->text(0);
  option.checkState = item->checkState(0);
  return list->style()
      ->subElementRect(QStyle::SE_ItemViewItemCheckIndicator, &option, list)
      .center();
}

class FileTypePageTest : public GuiTest {
 protected:
  // Walks the Recover road to the file-type page.
  std::unique_ptr<CPictavoSheet> SheetOnFileTypePage() {
    auto sheet = MakeSheet(ListingOf(MakeImage("card.img", 1)));
    ChooseRoad(*sheet, Road::kRecover);
    sheet->next();
    sheet->drive_page()->tree()->setCurrentItem(sheet->drive_page()->tree()->topLevelItem(0));
    sheet->next();
    EXPECT_EQ(sheet->currentId(), kFileTypePageId);
    return sheet;
  }
};

TEST_F(FileTypePageTest, FileTypeRowsFollowTheTableAndItsItemData) {
  auto sheet = SheetOnFileTypePage();
  QTreeWidget* list = sheet->file_page()->list();
  const auto rows = FileTypeRows();
  // The 22 classic rows, then one row for each modern type.
  ASSERT_EQ(list->topLevelItemCount(), 31);
  ASSERT_EQ(rows.size(), 31u);
  std::set<FileTypeId> ids;
  for (int i = 0; i < 31; ++i) {
    QTreeWidgetItem* item = list->topLevelItem(i);
    EXPECT_EQ(item->text(0), rows[i].file_type);
    EXPECT_EQ(item->text(1), rows[i].description);
    EXPECT_EQ(item->text(2), rows[i].created_by);
    EXPECT_EQ(item->text(3), rows[i].category);
    EXPECT_EQ(item->data(0, CFileSelectionDlg::kTypeIdRole).toUInt(), rows[i].id);
    EXPECT_FALSE(item->icon(0).isNull());
    ids.insert(rows[i].id);
  }
  EXPECT_EQ(ids.size(), 31u);
  for (int i = 0; i < 22; ++i) EXPECT_TRUE(IsClassicType(rows[i].id)) << i;
  for (int i = 22; i < 31; ++i) EXPECT_FALSE(IsClassicType(rows[i].id)) << i;
  EXPECT_EQ(rows[21].file_type, std::string("WAV"));
  EXPECT_EQ(rows[22].file_type, std::string("HEIC"));
  EXPECT_EQ(rows[26].id, kTypeDngOther);
  for (FileTypeId missing : {kTypeDbx, kTypeK25, kTypePst}) EXPECT_EQ(ids.count(missing), 0u);
  EXPECT_EQ(rows[2].id, kTypeJpeg);
  EXPECT_EQ(rows[13].description, std::string("Raw Format(Digital Nagetive)"));
  EXPECT_EQ(rows[18].file_type, std::string("Mov"));

  QHeaderView* header = list->header();
  EXPECT_EQ(header->count(), 4);
  EXPECT_EQ(list->headerItem()->text(0), "File Type");
  EXPECT_EQ(list->headerItem()->text(1), "Description");
  EXPECT_EQ(list->headerItem()->text(2), "Created by");
  EXPECT_EQ(list->headerItem()->text(3), "Category");
  for (int column = 1; column < 4; ++column) {
    EXPECT_NEAR(header->sectionSize(column), header->sectionSize(0), 2);
  }
  EXPECT_EQ(list->selectionBehavior(), QAbstractItemView::SelectRows);
}

TEST_F(FileTypePageTest, EveryRowStartsCheckedAndAClickOnItsBoxTogglesOnlyItsType) {
  auto sheet = SheetOnFileTypePage();
  QTreeWidget* list = sheet->file_page()->list();
  for (int i = 0; i < list->topLevelItemCount(); ++i) {
    EXPECT_EQ(list->topLevelItem(i)->checkState(0), Qt::Checked) << i;
  }
  QTreeWidgetItem* jpeg = RowOf(list, "JPEG");
  ASSERT_NE(jpeg, nullptr);
  QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, CheckBoxCentre(list, jpeg));
  EXPECT_EQ(jpeg->checkState(0), Qt::Unchecked);
  const FileTypeSelection& selection = ProcessFileTypeSelection();
  EXPECT_FALSE(selection.IsSelected(kTypeJpeg));
  // The JPEG 2000 rows share JPEG's "Created by" text and keep their flags.
  for (FileTypeId id = 1; id < kTypeCount; ++id) {
    if (id != kTypeJpeg) {
      EXPECT_EQ(selection.IsSelected(id), HasRecogniser(id)) << id;
    }
  }
  QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, CheckBoxCentre(list, jpeg));
  EXPECT_EQ(jpeg->checkState(0), Qt::Checked);
  EXPECT_TRUE(selection.IsSelected(kTypeJpeg));
}

TEST_F(FileTypePageTest, AClickBesideTheCheckBoxOnlySelectsTheRow) {
  auto sheet = SheetOnFileTypePage();
  QTreeWidget* list = sheet->file_page()->list();
  QTreeWidgetItem* gif = RowOf(list, "GIF");
  const QRect description = list->visualRect(list->indexFromItem(gif, 1));
  QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, description.center());
  EXPECT_TRUE(gif->isSelected());
  EXPECT_EQ(gif->checkState(0), Qt::Checked);
  EXPECT_TRUE(ProcessFileTypeSelection().IsSelected(kTypeGif));
  // Space on the current row toggles it, as the click on its box does.
  QTest::keyClick(list, Qt::Key_Space);
  EXPECT_EQ(gif->checkState(0), Qt::Unchecked);
  EXPECT_FALSE(ProcessFileTypeSelection().IsSelected(kTypeGif));
}

TEST_F(FileTypePageTest, CheckMarksSurviveBackAndNext) {
  auto sheet = SheetOnFileTypePage();
  QTreeWidget* list = sheet->file_page()->list();
  for (const char* type : {"TIFF", "WAV"}) {
    QTreeWidgetItem* row = RowOf(list, type);
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, CheckBoxCentre(list, row));
  }
  sheet->back();
  EXPECT_EQ(sheet->currentId(), kDrivePageId);
  sheet->back();
  sheet->next();
  sheet->next();
  ASSERT_EQ(sheet->currentId(), kFileTypePageId);
  for (int i = 0; i < list->topLevelItemCount(); ++i) {
    QTreeWidgetItem* item = list->topLevelItem(i);
    const bool off = item->text(0) == "TIFF" || item->text(0) == "WAV";
    EXPECT_EQ(item->checkState(0), off ? Qt::Unchecked : Qt::Checked) << i;
  }
  EXPECT_FALSE(ProcessFileTypeSelection().IsSelected(kTypeTiff));
  EXPECT_FALSE(ProcessFileTypeSelection().IsSelected(kTypeWav));
}

// "Measure exact file ends" starts off, a click turns the mode on for the session's scans, and
// the choice survives leaving the page and coming back.
TEST_F(FileTypePageTest, ExactEndsBoxSetsTheModeForTheSession) {
  auto sheet = SheetOnFileTypePage();
  QCheckBox* box = sheet->file_page()->exact_ends_box();
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(box->text(), "Measure exact file ends");
  EXPECT_TRUE(box->isVisibleTo(sheet.get()));
  EXPECT_EQ(box->isChecked(), ExactEndsFromEnvironment());
  box->setChecked(false);
  box->click();
  EXPECT_TRUE(box->isChecked());
  EXPECT_TRUE(sheet->state().exact_ends);
  sheet->back();
  sheet->next();
  ASSERT_EQ(sheet->currentId(), kFileTypePageId);
  EXPECT_TRUE(sheet->file_page()->exact_ends_box()->isChecked());
  box->click();
  EXPECT_FALSE(sheet->state().exact_ends);
}

// "Search only the space no file uses" starts off and is kept for the session like the other
// choices of the page.
TEST_F(FileTypePageTest, UnallocatedBoxSetsTheModeForTheSession) {
  auto sheet = SheetOnFileTypePage();
  QCheckBox* box = sheet->file_page()->unallocated_box();
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(box->text(), "Search only the space no file uses");
  EXPECT_TRUE(box->isVisibleTo(sheet.get()));
  EXPECT_FALSE(box->isChecked());
  EXPECT_FALSE(sheet->state().unallocated_only);
  box->click();
  EXPECT_TRUE(sheet->state().unallocated_only);
  sheet->back();
  sheet->next();
  ASSERT_EQ(sheet->currentId(), kFileTypePageId);
  EXPECT_TRUE(sheet->file_page()->unallocated_box()->isChecked());
  box->click();
  EXPECT_FALSE(sheet->state().unallocated_only);
}

}  // namespace
}  // namespace pictavo::app::testing
