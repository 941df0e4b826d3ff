#include "results_fixture.h"

#include <sys/stat.h>
#include <unistd.h>

#include <QAbstractItemView>
#include <QSignalSpy>
#include <QStyle>
#include <QStyleOptionViewItem>
#include <QTest>
#include <QTreeView>
#include <QTreeWidget>
#include <filesystem>

#include "app/drive_selection_page.h"
#include "samples/bmp_sample.h"
#include "samples/gif_sample.h"
#include "samples/jpeg_sample.h"
#include "samples/png_sample.h"

namespace pictavo::app::testing {
namespace {

dev_t DeviceOf(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? st.st_dev : 0;
}

QPoint CheckCentre(QAbstractItemView* view, const QRect& item_rect, const QModelIndex& index) {
  QStyleOptionViewItem option;
  option.initFrom(view->viewport());
  option.rect = item_rect;
  option.features = QStyleOptionViewItem::HasCheckIndicator | QStyleOptionViewItem::HasDisplay;
  option.text = index.data().toString();
  option.checkState = static_cast<Qt::CheckState>(index.data(Qt::CheckStateRole).toInt());
  if (index.data(Qt::DecorationRole).isValid()) {
    option.features |= QStyleOptionViewItem::HasDecoration;
    const int icon = view->style()->pixelMetric(QStyle::PM_SmallIconSize, nullptr, view);
    option.decorationSize = QSize(icon, icon);
  }
  return view->style()
      ->subElementRect(QStyle::SE_ItemViewItemCheckIndicator, &option, view)
      .center();
}

}  // namespace

void ResultsTest::SetUp() {
  GuiTest::SetUp();
  // /dev/shm is a file system of its own on Linux machines; the test folder normally is not.
  std::string pattern = "/dev/shm/pictavo-results-XXXXXX";
  if (access("/dev/shm", W_OK) == 0 && mkdtemp(pattern.data()) != nullptr) {
    if (DeviceOf(pattern) != DeviceOf(temp->path())) {
      other_fs_ = QString::fromStdString(pattern);
    } else {
      rmdir(pattern.c_str());
    }
  }
}

void ResultsTest::TearDown() {
  if (!other_fs_.isEmpty()) {
    std::error_code ignored;
    std::filesystem::remove_all(other_fs_.toStdString(), ignored);
  }
  GuiTest::TearDown();
}

std::vector<PlacedFile> ResultsTest::MixedFiles() {
  std::vector<PlacedFile> files;
  auto jpeg = [](int width, uint32_t seed) {
    samples::JpegOptions options;
    options.width = width;
    options.height = 40;
    options.seed = seed;
    return samples::EncodeJpeg(options);
  };
  auto png = [](int width, uint32_t seed) {
    samples::PngOptions options;
    options.width = width;
    options.seed = seed;
    return samples::EncodePng(options);
  };
  samples::GifOptions gif;
  gif.seed = 5;
  samples::BmpOptions bmp;
  bmp.width = 20;
  bmp.height = 10;
  files.push_back({kTypeJpeg, jpeg(64, 1)});
  files.push_back({kTypePng, png(40, 2)});
  files.push_back({kTypeJpeg, jpeg(96, 3)});
  files.push_back({kTypeGif, samples::EncodeGif(gif)});
  files.push_back({kTypeBmp, samples::EncodeBmp(bmp)});
  files.push_back({kTypePng, png(80, 4)});
  files.push_back({kTypeJpeg, jpeg(48, 5)});
  return files;
}

QString ResultsTest::MakeImage(const std::string& name, std::vector<PlacedFile>& files) {
  samples::ImageBuilder builder(512, 11);
  builder.Gap(4, samples::ImageBuilder::Fill::kZeros);
  for (PlacedFile& file : files) {
    file.offset = builder.Place(file.bytes);
    builder.Gap(2, samples::ImageBuilder::Fill::kZeros);
  }
  builder.AlignToSector();
  const std::string path = temp->File(name);
  EXPECT_TRUE(builder.WriteDiskImage(path));
  return QString::fromStdString(path);
}

std::unique_ptr<CPictavoSheet> ResultsTest::ScanImage(const QString& image) {
  auto sheet = MakeSheet();
  ChooseRoad(*sheet, Road::kOpenImage);
  prompts.ChooseNext(image);
  sheet->next();
  EXPECT_EQ(sheet->currentId(), kDrivePageId);
  QTreeWidget* drives = sheet->drive_page()->tree();
  if (drives->topLevelItemCount() > 0) drives->setCurrentItem(drives->topLevelItem(0));
  sheet->next();
  sheet->next();  // the scan runs behind its dialog, which closes itself at the end
  EXPECT_EQ(sheet->currentId(), kRecoveredFilesPageId);
  return sheet;
}

CRecoverdFileDlg* ResultsTest::Page(CPictavoSheet& sheet) {
  return static_cast<CRecoverdFileDlg*>(sheet.recovered_page());
}

void ResultsTest::ClickCheck(QAbstractItemView* view, const QModelIndex& index) {
  view->scrollTo(index);
  QTest::mouseClick(view->viewport(), Qt::LeftButton, Qt::NoModifier,
                    CheckCentre(view, view->visualRect(index), index));
}

void ResultsTest::ClickItem(QAbstractItemView* view, const QModelIndex& index) {
  view->scrollTo(index);
  const QRect rect = view->visualRect(index);
  QTest::mouseClick(view->viewport(), Qt::LeftButton, Qt::NoModifier,
                    QPoint(rect.right() - 4, rect.center().y()));
}

void ResultsTest::ClickTreeCheck(CRecoverdFileDlg* page, QTreeWidgetItem* item) {
  QTreeWidget* tree = page->tree();
  ClickCheck(tree, tree->indexFromItem(item));
}

::testing::AssertionResult ResultsTest::ChooseBranch(CRecoverdFileDlg* page,
                                                     QTreeWidgetItem* item) {
  QSignalSpy filled(page, &CRecoverdFileDlg::ListFilled);
  QTreeWidget* tree = page->tree();
  const QRect rect = tree->visualItemRect(item);
  QTest::mouseClick(tree->viewport(), Qt::LeftButton, Qt::NoModifier,
                    QPoint(rect.right() - 4, rect.center().y()));
  if (page->current_branch() != item) {
    return ::testing::AssertionFailure()
           << "the click did not choose " << item->text(0).toStdString();
  }
  if (!filled.wait(5000)) return ::testing::AssertionFailure() << "the list was not filled";
  return ::testing::AssertionSuccess();
}

QStringList ResultsTest::TreeLabels(CRecoverdFileDlg* page) {
  QStringList labels;
  QTreeWidgetItem* root = page->root_item();
  if (!root) return labels;
  labels << root->text(0);
  for (int i = 0; i < root->childCount(); ++i) labels << root->child(i)->text(0);
  return labels;
}

QStringList ResultsTest::ListNames(CRecoverdFileDlg* page) {
  QStringList names;
  for (int row = 0; row < page->model()->rowCount(); ++row) names << page->model()->NameAt(row);
  return names;
}

QStringList ResultsTest::TextsWithCaption(const QString& caption) const {
  QStringList texts;
  for (const MessageRequest& request : prompts.messages) {
    if (request.caption == caption) texts << request.text;
  }
  return texts;
}

}  // namespace pictavo::app::testing
