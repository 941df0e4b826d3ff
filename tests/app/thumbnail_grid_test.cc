#include "app/thumbnail_grid.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDateEdit>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTest>
#include <QTimeZone>
#include <QTimer>
#include <QToolButton>
#include <QTreeView>
#include <QTreeWidget>

#include "app/find_filter.h"
#include "app/preview_dialog.h"
#include "app/thumbnail_cache.h"
#include "platform/memory_source.h"
#include "results/size_text.h"
#include "results_fixture.h"
#include "samples/jpeg_sample.h"
#include "samples/png_sample.h"
#include "support/exif_writer.h"

namespace pictavo::app::testing {
namespace {

std::vector<uint8_t> Jpeg(int width, int height, uint32_t seed) {
  samples::JpegOptions options;
  options.width = width;
  options.height = height;
  options.seed = seed;
  return samples::EncodeJpeg(options);
}

std::vector<uint8_t> Png(int width, int height, uint32_t seed) {
  samples::PngOptions options;
  options.width = width;
  options.height = height;
  options.seed = seed;
  return samples::EncodePng(options);
}

// A card with two photos, an embedded-thumbnail-sized JPEG, a small icon and a picture of
// medium size: the sizes the filters tell apart.
class ThumbnailGridTest : public ResultsTest {
 protected:
  void SetUp() override {
    ResultsTest::SetUp();
    files = {{kTypeJpeg, Jpeg(640, 480, 1)},
             {kTypeJpeg, Jpeg(160, 120, 2)},
             {kTypePng, Png(400, 300, 3)},
             {kTypePng, Png(32, 32, 4)},
             {kTypeJpeg, Jpeg(480, 640, 5)}};
    image = MakeImage("card.img", files);
  }

  void Open() {
    sheet = ScanImage(image);
    page = Page(*sheet);
    ASSERT_NE(page, nullptr);
    ASSERT_TRUE(ChooseBranch(page, page->root_item()));
    ASSERT_EQ(page->model()->rowCount(), 5);
  }

  // Waits until every find is decoded, asking for the thumbnails the way the grid does.
  bool ReadAll() {
    ThumbnailCache* cache = page->thumbnails();
    cache->StartSurvey();
    return QTest::qWaitFor([&] { return cache->known_count() == cache->facts().size(); }, 30000);
  }

  // Zeros over a find's bytes after the scan, from `skip` bytes in.
  void Overwrite(size_t which, qint64 skip, qint64 count) {
    QFile file(image);
    ASSERT_TRUE(file.open(QIODevice::ReadWrite));
    ASSERT_TRUE(file.seek(static_cast<qint64>(files[which].offset) + skip));
    ASSERT_EQ(file.write(QByteArray(count, '\0')), count);
  }

  QPoint CheckCentre(int row) {
    const QRect cell = page->grid()->visualRect(page->model()->index(row, 0));
    return ThumbnailDelegate::CheckRect(cell).center();
  }

  void SetFilterSize(int index) { page->filter_bar()->min_picture()->setCurrentIndex(index); }

  std::vector<PlacedFile> files;
  QString image;
  std::unique_ptr<CPictavoSheet> sheet;
  CRecoverdFileDlg* page = nullptr;
};

TEST_F(ThumbnailGridTest, TheListIsTheFirstViewAndTheFiltersAreHidden) {
  Open();
  EXPECT_EQ(page->shown_view(), page->list());
  EXPECT_TRUE(page->list_button()->isChecked());
  EXPECT_FALSE(page->grid_button()->isChecked());
  EXPECT_FALSE(page->filter_bar()->isVisible());
  EXPECT_FALSE(page->filter().Active());
  EXPECT_EQ(TreeLabels(page), (QStringList{"Recovered Files (5)", "JPEG (3)", "PNG (2)"}));
}

TEST_F(ThumbnailGridTest, EveryFindIsDecodedWithItsSizeAndAThumbnailThatFits) {
  Open();
  QTest::mouseClick(page->grid_button(), Qt::LeftButton);
  EXPECT_EQ(page->shown_view(), page->grid());
  ASSERT_TRUE(ReadAll());
  const struct {
    uint32_t width, height;
  } expected[] = {{640, 480}, {160, 120}, {400, 300}, {32, 32}, {480, 640}};
  ThumbnailCache* cache = page->thumbnails();
  for (uint32_t record = 0; record < 5; ++record) {
    const FindFacts& facts = cache->Facts(record);
    EXPECT_EQ(facts.decode, FindDecode::kComplete) << record;
    EXPECT_EQ(facts.width, expected[record].width) << record;
    EXPECT_EQ(facts.height, expected[record].height) << record;
    const QImage* thumbnail = cache->Thumbnail(record);
    ASSERT_NE(thumbnail, nullptr) << record;
    EXPECT_LE(std::max(thumbnail->width(), thumbnail->height()), ThumbnailCache::kThumbnailSize);
    // Shrunk, never enlarged, with its shape kept.
    if (expected[record].width >= ThumbnailCache::kThumbnailSize) {
      EXPECT_EQ(std::max(thumbnail->width(), thumbnail->height()), ThumbnailCache::kThumbnailSize);
    } else {
      EXPECT_EQ(thumbnail->width(), int(expected[record].width));
    }
  }
  page->grab();  // paints every cell
}

TEST_F(ThumbnailGridTest, ThumbnailsOnScreenArriveWithoutAsking) {
  Open();
  QTest::mouseClick(page->grid_button(), Qt::LeftButton);
  page->grid()->grab();  // the paint asks for them
  ThumbnailCache* cache = page->thumbnails();
  EXPECT_TRUE(QTest::qWaitFor([&] { return cache->cached_count() == 5; }, 10000));
}

TEST_F(ThumbnailGridTest, AMarkSetInTheGridIsTheListsMark) {
  Open();
  QTest::mouseClick(page->grid_button(), Qt::LeftButton);
  QTest::mouseClick(page->grid()->viewport(), Qt::LeftButton, Qt::NoModifier, CheckCentre(2));
  EXPECT_EQ(page->model()->index(2, 0).data(Qt::CheckStateRole).toInt(), Qt::Checked);
  EXPECT_EQ(page->selected_total_text()->text(),
            QString::fromStdString(SizeText(files[2].bytes.size())));
  EXPECT_EQ(page->type_item(kTypePng)->checkState(0), Qt::PartiallyChecked);
  EXPECT_TRUE(page->isComplete());
  // The same file unmarked in the list is unmarked in the grid.
  QTest::mouseClick(page->list_button(), Qt::LeftButton);
  ClickCheck(page->list(), page->model()->index(2, 0));
  EXPECT_EQ(page->model()->index(2, 0).data(Qt::CheckStateRole).toInt(), Qt::Unchecked);
  EXPECT_EQ(page->selected_total_text()->text(), QString::fromStdString(SizeText(0)));
  EXPECT_FALSE(page->isComplete());
}

TEST_F(ThumbnailGridTest, AClickBesideTheCheckBoxSelectsWithoutMarking) {
  Open();
  QTest::mouseClick(page->grid_button(), Qt::LeftButton);
  const QRect cell = page->grid()->visualRect(page->model()->index(3, 0));
  QTest::mouseClick(page->grid()->viewport(), Qt::LeftButton, Qt::NoModifier, cell.center());
  EXPECT_EQ(page->grid()->currentIndex().row(), 3);
  EXPECT_EQ(page->model()->index(3, 0).data(Qt::CheckStateRole).toInt(), Qt::Unchecked);
  // The list shows the same file as current.
  EXPECT_EQ(page->list()->selectionModel()->selectedRows().value(0).row(), 3);
}

TEST_F(ThumbnailGridTest, ADoubleClickInTheGridPreviewsThatFile) {
  Open();
  QTest::mouseClick(page->grid_button(), Qt::LeftButton);
  QString shown_title;
  QSize picture;
  QTimer watch;
  watch.setInterval(5);
  QObject::connect(&watch, &QTimer::timeout, [&] {
    if (auto* dialog = qobject_cast<CDlgPreview*>(QApplication::activeModalWidget())) {
      watch.stop();
      shown_title = dialog->windowTitle();
      picture = dialog->pane()->picture_size();
      dialog->accept();
    }
  });
  watch.start();
  const QRect cell = page->grid()->visualRect(page->model()->index(4, 0));
  QTest::mouseClick(page->grid()->viewport(), Qt::LeftButton, Qt::NoModifier, cell.center());
  QTest::mouseDClick(page->grid()->viewport(), Qt::LeftButton, Qt::NoModifier, cell.center());
  EXPECT_EQ(shown_title, "Preview");
  EXPECT_EQ(picture, QSize(480, 640));
  EXPECT_EQ(page->grid()->currentIndex().row(), 4);
}

TEST_F(ThumbnailGridTest, AFindThatNoLongerDecodesShowsThePlaceholderAndIsMarkedFailed) {
  Open();
  Overwrite(1, 2, 200);      // the header of the small JPEG
  Overwrite(0, 2000, 4000);  // the middle of the large one's picture data
  QTest::mouseClick(page->grid_button(), Qt::LeftButton);
  ASSERT_TRUE(ReadAll());
  ThumbnailCache* cache = page->thumbnails();
  EXPECT_EQ(cache->Facts(1).decode, FindDecode::kFailed);
  EXPECT_EQ(cache->Thumbnail(1), nullptr);
  EXPECT_EQ(cache->Facts(0).decode, FindDecode::kPartial);
  EXPECT_NE(cache->Thumbnail(0), nullptr);
  page->grab();  // the placeholder is painted
}

TEST_F(ThumbnailGridTest, MinimumFileSizeHidesSmallFilesAndTheTreeCountsFollow) {
  Open();
  const QStringList before = TreeLabels(page);
  QTest::mouseClick(page->filters_button(), Qt::LeftButton);
  EXPECT_TRUE(page->filter_bar()->isVisible());
  // Between the icon and the rest.
  const int kb = int(files[3].bytes.size() / 1024) + 1;
  ASSERT_LT(uint64_t(kb) * 1024, files[1].bytes.size());
  QSignalSpy filled(page, &CRecoverdFileDlg::ListFilled);
  page->filter_bar()->min_size()->setValue(kb);
  ASSERT_TRUE(filled.wait(30000));
  EXPECT_EQ(ListNames(page), (QStringList{"File0.jpeg", "File1.jpeg", "File0.png", "File2.jpeg"}));
  EXPECT_EQ(TreeLabels(page), (QStringList{"Recovered Files (4)", "JPEG (3)", "PNG (1)"}));
  page->filter_bar()->min_size()->setValue(0);
  ASSERT_TRUE(filled.wait(30000));
  EXPECT_EQ(TreeLabels(page), before);
  EXPECT_EQ(page->model()->rowCount(), 5);
}

TEST_F(ThumbnailGridTest, MarkingTheRootMarksOnlyWhatIsShown) {
  Open();
  QSignalSpy filled(page, &CRecoverdFileDlg::ListFilled);
  page->filter_bar()->min_size()->setValue(int(files[3].bytes.size() / 1024) + 1);
  ASSERT_TRUE(filled.wait(30000));
  ClickTreeCheck(page, page->root_item());
  uint64_t shown_bytes = 0;
  for (size_t k : {0, 1, 2, 4}) shown_bytes += files[k].bytes.size();
  EXPECT_EQ(page->selected_total_text()->text(), QString::fromStdString(SizeText(shown_bytes)));
  const ScanResults& results = sheet->state().results;
  EXPECT_EQ(results.records[3].selected, 0u);
  EXPECT_EQ(page->type_item(kTypePng)->checkState(0), Qt::PartiallyChecked);
  EXPECT_EQ(page->type_item(kTypeJpeg)->checkState(0), Qt::Checked);
}

TEST_F(ThumbnailGridTest, MinimumPictureSizeHidesThumbnailSizedFindsOnceTheyAreRead) {
  Open();
  QSignalSpy done(page->thumbnails(), &ThumbnailCache::SurveyDone);
  QSignalSpy filled(page, &CRecoverdFileDlg::ListFilled);
  SetFilterSize(2);  // 320 x 240
  EXPECT_TRUE(page->filter().NeedsContent());
  ASSERT_TRUE(done.wait(30000) || done.count() > 0);
  ASSERT_TRUE(QTest::qWaitFor([&] { return !page->filling() && filled.count() >= 2; }, 30000));
  // A portrait photo counts as well as a landscape one.
  EXPECT_EQ(ListNames(page), (QStringList{"File0.jpeg", "File0.png", "File2.jpeg"}));
  EXPECT_EQ(TreeLabels(page), (QStringList{"Recovered Files (3)", "JPEG (2)", "PNG (1)"}));
  EXPECT_TRUE(page->filter_bar()->progress()->text().contains("5"));
}

TEST_F(ThumbnailGridTest, DecodeStatusFilterShowsOnlyTheDamaged) {
  Open();
  Overwrite(1, 2, 200);
  page->filter_bar()->complete()->setChecked(false);
  EXPECT_TRUE(QTest::qWaitFor(
      [&] {
        return !page->thumbnails()->surveying() && !page->filling() &&
               page->model()->rowCount() == 1;
      },
      30000));
  EXPECT_EQ(ListNames(page), (QStringList{"File1.jpeg"}));
}

TEST_F(ThumbnailGridTest, TheFilterStaysWhenTheBranchChanges) {
  Open();
  QSignalSpy filled(page, &CRecoverdFileDlg::ListFilled);
  page->filter_bar()->min_size()->setValue(int(files[3].bytes.size() / 1024) + 1);
  ASSERT_TRUE(filled.wait(30000));
  ASSERT_TRUE(ChooseBranch(page, page->type_item(kTypePng)));
  EXPECT_EQ(ListNames(page), (QStringList{"File0.png"}));
}

// ---- Decoding one find ----

TEST(DecodeFindThumbnailTest, FilesThatAreNoPicturesAreNotRead) {
  FoundFile file{kTypeMov, 0, 1000, 0};
  QImage image;
  EXPECT_EQ(DecodeFindThumbnail(nullptr, file, 64, &image).decode, FindDecode::kNotPicture);
  EXPECT_TRUE(image.isNull());
}

TEST(DecodeFindThumbnailTest, APictureCutShortIsPartialAndGarbageFails) {
  std::vector<uint8_t> bytes = Jpeg(300, 200, 9);
  const uint64_t whole = bytes.size();
  bytes.resize(bytes.size() + 4096, 0x5A);
  MemorySectorSource source(bytes, 512);
  QImage image;
  const FindFacts complete =
      DecodeFindThumbnail(&source, FoundFile{kTypeJpeg, 0, whole, 0}, 64, &image);
  EXPECT_EQ(complete.decode, FindDecode::kComplete);
  EXPECT_EQ(complete.width, 300u);
  EXPECT_EQ(image.size(), QSize(64, 42));  // 200 / 300 of 64, cut to whole pixels
  const FindFacts cut =
      DecodeFindThumbnail(&source, FoundFile{kTypeJpeg, 0, whole / 2, 0}, 64, &image);
  EXPECT_EQ(cut.decode, FindDecode::kPartial);
  EXPECT_FALSE(image.isNull());
  const FindFacts garbage =
      DecodeFindThumbnail(&source, FoundFile{kTypeJpeg, whole, 4096, 0}, 64, &image);
  EXPECT_EQ(garbage.decode, FindDecode::kFailed);
  EXPECT_TRUE(image.isNull());
  // Nothing to read at all.
  EXPECT_EQ(DecodeFindThumbnail(nullptr, FoundFile{kTypeJpeg, 0, whole, 0}, 64, &image).decode,
            FindDecode::kFailed);
}

TEST(FindFilterTest, UnknownFindsAndNoPicturesAreShownUntilKnown) {
  FindFilter filter;
  filter.min_long = 320;
  filter.min_short = 240;
  const FoundFile file{kTypeJpeg, 0, 1000, 0};
  EXPECT_TRUE(filter.Shows(file, FindFacts{}));
  EXPECT_TRUE(filter.Shows(file, FindFacts{0, 0, FindDecode::kNotPicture}));
  EXPECT_FALSE(filter.Shows(file, FindFacts{160, 120, FindDecode::kComplete}));
  EXPECT_TRUE(filter.Shows(file, FindFacts{240, 320, FindDecode::kPartial}));
  EXPECT_FALSE(filter.Shows(file, FindFacts{1000, 200, FindDecode::kComplete}));
  filter.failed = false;
  EXPECT_FALSE(filter.Shows(file, FindFacts{0, 0, FindDecode::kFailed}));
  filter.min_bytes = 1001;
  EXPECT_FALSE(filter.Shows(file, FindFacts{}));
}

// The cache holds a bounded number of thumbnails however many are asked for.
TEST(ThumbnailCacheTest, KeepsAtMostItsCapacity) {
  std::vector<uint8_t> bytes = Jpeg(64, 48, 3);
  const uint64_t length = bytes.size();
  bytes.resize((bytes.size() + 511) / 512 * 512);
  const std::string path = ::testing::TempDir() + "thumbnail-cache.img";
  {
    QFile file(QString::fromStdString(path));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(reinterpret_cast<const char*>(bytes.data()), qint64(bytes.size()));
  }
  ScanResults results;
  const uint32_t count = ThumbnailCache::kCacheCapacity + 300;
  for (uint32_t k = 0; k < count; ++k) results.records.push_back({kTypeJpeg, 0, length, 0});
  results.records.push_back({});
  ThumbnailCache cache(2);
  cache.Attach(&results, QString::fromStdString(path));
  for (uint32_t first = 0; first < count; first += 100) {
    const uint32_t last = std::min(count, first + 100);
    for (uint32_t record = first; record < last; ++record) cache.Thumbnail(record);
    ASSERT_TRUE(QTest::qWaitFor([&] { return cache.known_count() >= last; }, 20000));
  }
  EXPECT_EQ(cache.cached_count(), ThumbnailCache::kCacheCapacity);
  // The latest asked are kept, the first were let go.
  EXPECT_NE(cache.Thumbnail(count - 1), nullptr);
  EXPECT_EQ(cache.Thumbnail(0), nullptr);
  cache.Detach();
  std::remove(path.c_str());
}

}  // namespace
}  // namespace pictavo::app::testing

namespace pictavo::app::testing {
namespace {

// Photos with the dates their camera wrote, one of them carved twice, and a picture without a
// date.
class DatedFindsTest : public ResultsTest {
 protected:
  void SetUp() override {
    ResultsTest::SetUp();
    const std::vector<uint8_t> evening =
        ::pictavo::testing::WithExifDates(Jpeg(320, 240, 1), {"2024:07:13 18:22:05", "", ""});
    const std::vector<uint8_t> winter =
        ::pictavo::testing::WithExifDates(Jpeg(320, 240, 2), {"2023:01:02 10:00:00", "", ""});
    ASSERT_FALSE(evening.empty());
    ASSERT_FALSE(winter.empty());
    files = {{kTypeJpeg, evening},
             {kTypeJpeg, winter},
             {kTypePng, Png(64, 48, 3)},
             {kTypeJpeg, evening}};
    image = MakeImage("dated.img", files);
    sheet = ScanImage(image);
    page = Page(*sheet);
    ASSERT_TRUE(ChooseBranch(page, page->root_item()));
    ASSERT_EQ(page->model()->rowCount(), 4);
  }

  // Waits until the reading ends and the list shows what it found.
  bool Settle() {
    return QTest::qWaitFor(
        [&] {
          return !page->thumbnails()->surveying() && !page->filling() &&
                 page->thumbnails()->known_count() == 4;
        },
        30000);
  }

  std::vector<PlacedFile> files;
  QString image;
  std::unique_ptr<CPictavoSheet> sheet;
  CRecoverdFileDlg* page = nullptr;
};

TEST_F(DatedFindsTest, TheDatesTakenAreRead) {
  page->thumbnails()->StartSurvey();
  ASSERT_TRUE(Settle());
  const QDateTime evening(QDate(2024, 7, 13), QTime(18, 22, 5), QTimeZone::utc());
  EXPECT_EQ(page->thumbnails()->Facts(0).taken, evening.toSecsSinceEpoch());
  EXPECT_EQ(page->thumbnails()->Facts(2).taken, kNoDate);
}

TEST_F(DatedFindsTest, ADateSpanShowsThePhotosOfThoseDaysOnly) {
  FindFilterBar* bar = page->filter_bar();
  bar->taken_from()->setDate(QDate(2024, 7, 13));
  bar->taken_to()->setDate(QDate(2024, 7, 13));
  bar->dated()->setChecked(true);
  ASSERT_TRUE(Settle());
  QTest::qWait(50);  // the refill after the reading
  ASSERT_TRUE(QTest::qWaitFor([&] { return !page->filling(); }, 30000));
  EXPECT_EQ(ListNames(page), (QStringList{"File0.jpeg", "File2.jpeg"}));
  EXPECT_EQ(TreeLabels(page), (QStringList{"Recovered Files (2)", "JPEG (2)", "PNG (0)"}));
}

TEST_F(DatedFindsTest, DuplicatesShownOnceKeepTheFirstOfEachContent) {
  page->filter_bar()->once()->setChecked(true);
  EXPECT_TRUE(page->thumbnails()->wants_digests());
  ASSERT_TRUE(Settle());
  ASSERT_TRUE(QTest::qWaitFor([&] { return page->model()->rowCount() == 3; }, 30000));
  EXPECT_TRUE(page->thumbnails()->Facts(3).repeat);
  EXPECT_FALSE(page->thumbnails()->Facts(0).repeat);
  EXPECT_EQ(ListNames(page), (QStringList{"File0.jpeg", "File1.jpeg", "File0.png"}));
  // Off again: every find is back, under the numbers it always had.
  QSignalSpy filled(page, &CRecoverdFileDlg::ListFilled);
  page->filter_bar()->once()->setChecked(false);
  ASSERT_TRUE(filled.wait(30000));
  EXPECT_EQ(TreeLabels(page), (QStringList{"Recovered Files (4)", "JPEG (3)", "PNG (1)"}));
}

TEST_F(DatedFindsTest, TheSavingOptionsOrganiseTheFilesByTypeAndDate) {
  if (other_fs().isEmpty()) GTEST_SKIP() << "needs a second file system (/dev/shm)";
  EXPECT_FALSE(page->saving_bar()->isVisible());
  QTest::mouseClick(page->saving_button(), Qt::LeftButton);
  EXPECT_TRUE(page->saving_bar()->isVisible());
  page->saving_bar()->by_type()->setChecked(true);
  page->saving_bar()->by_date()->setChecked(true);
  ClickTreeCheck(page, page->root_item());
  const QString folder = other_fs() + "/organised";
  prompts.ChooseNext(folder);
  prompts.messages.clear();
  sheet->next();
  ASSERT_EQ(prompts.messages.size(), 1u);
  EXPECT_TRUE(prompts.messages[0].text.startsWith("Saved 4 files"))
      << prompts.messages[0].text.toStdString();
  const QString day = folder + "/jpeg/2024/2024-07-13/";
  EXPECT_TRUE(QFile::exists(day + "2024-07-13 18.22.05.jpeg"));
  // The same moment twice: the second gets a number.
  EXPECT_TRUE(QFile::exists(day + "2024-07-13 18.22.05 (2).jpeg"));
  EXPECT_TRUE(QFile::exists(folder + "/jpeg/2023/2023-01-02/2023-01-02 10.00.00.jpeg"));
  EXPECT_TRUE(QFile::exists(folder + "/png/undated/File0.png"));
  // The file time is the time taken.
  const QDateTime modified = QFileInfo(day + "2024-07-13 18.22.05.jpeg").lastModified();
  EXPECT_EQ(modified.date(), QDate(2024, 7, 13));
  EXPECT_EQ(modified.time(), QTime(18, 22, 5));
}

TEST_F(DatedFindsTest, SavingOnlyWhatIsShownLeavesTheHiddenMarkedFilesBehind) {
  if (other_fs().isEmpty()) GTEST_SKIP() << "needs a second file system (/dev/shm)";
  ClickTreeCheck(page, page->root_item());
  page->filter_bar()->once()->setChecked(true);
  ASSERT_TRUE(Settle());
  page->saving_bar()->only_shown()->setChecked(true);
  const QString folder = other_fs() + "/once";
  prompts.ChooseNext(folder);
  prompts.messages.clear();
  sheet->next();
  ASSERT_EQ(prompts.messages.size(), 1u);
  EXPECT_EQ(QDir(folder).entryList(QDir::Files, QDir::Name),
            (QStringList{"File0.jpeg", "File0.png", "File1.jpeg"}));
  // The marks themselves stay as they were.
  EXPECT_EQ(sheet->state().results.records[3].selected, 1u);
}

TEST(MarkRepeatsTest, OnlyLaterFindsWithTheSameDigestRepeat) {
  std::vector<FindFacts> facts(4);
  std::vector<ContentDigest> digests = {{1, 2}, {3, 4}, {1, 2}, {1, 2}};
  for (FindFacts& f : facts) f.has_digest = true;
  facts[3].has_digest = false;  // never read: not judged
  MarkRepeats(facts, digests);
  EXPECT_FALSE(facts[0].repeat);
  EXPECT_FALSE(facts[1].repeat);
  EXPECT_TRUE(facts[2].repeat);
  EXPECT_FALSE(facts[3].repeat);
}

}  // namespace
}  // namespace pictavo::app::testing

namespace pictavo::app::testing {
namespace {

// A JPEG with an Exif block whose IFD1 holds `thumbnail`, laid out as cameras write it.
std::vector<uint8_t> WithExifThumbnail(const std::vector<uint8_t>& photo,
                                       const std::vector<uint8_t>& thumbnail) {
  std::vector<uint8_t> tiff = {'I', 'I', 42, 0, 8, 0, 0, 0, 0, 0,  // IFD0: no entries
                               14,  0,   0,  0};                   // IFD1 at 14
  auto u16 = [&](uint16_t v) {
    tiff.push_back(uint8_t(v));
    tiff.push_back(uint8_t(v >> 8));
  };
  auto u32 = [&](uint32_t v) {
    for (int k = 0; k < 4; ++k) tiff.push_back(uint8_t(v >> (8 * k)));
  };
  u16(2);
  const uint32_t data = 14 + 2 + 2 * 12 + 4;
  u16(0x0201), u16(4), u32(1), u32(data);
  u16(0x0202), u16(4), u32(1), u32(uint32_t(thumbnail.size()));
  u32(0);
  tiff.insert(tiff.end(), thumbnail.begin(), thumbnail.end());
  std::vector<uint8_t> segment = {0xFF, 0xE1, 0, 0, 'E', 'x', 'i', 'f', 0, 0};
  const size_t length = tiff.size() + 8;
  segment[2] = uint8_t(length >> 8);
  segment[3] = uint8_t(length);
  segment.insert(segment.end(), tiff.begin(), tiff.end());
  std::vector<uint8_t> out(photo.begin(), photo.begin() + 2);
  out.insert(out.end(), segment.begin(), segment.end());
  out.insert(out.end(), photo.begin() + 2, photo.end());
  return out;
}

TEST(ExifThumbnailTest, TheEmbeddedJpegIsFoundAndEveryCutOfTheBlockIsRefusedSafely) {
  const std::vector<uint8_t> small = Jpeg(160, 160, 7);
  const std::vector<uint8_t> photo = WithExifThumbnail(Jpeg(640, 480, 8), small);
  const std::span<const uint8_t> found = ExifThumbnailOf(photo);
  ASSERT_EQ(found.size(), small.size());
  EXPECT_TRUE(std::equal(found.begin(), found.end(), small.begin()));
  EXPECT_TRUE(ExifThumbnailOf(Jpeg(64, 48, 1)).empty());
  // A head cut anywhere inside the block: nothing, and no read past the end.
  for (size_t cut = 0; cut < 80; ++cut) {
    const std::vector<uint8_t> head(photo.begin(), photo.begin() + cut);
    EXPECT_TRUE(ExifThumbnailOf(head).empty()) << cut;
  }
  // An offset pointing past the block.
  std::vector<uint8_t> wrong = photo;
  wrong[2 + 10 + 16 + 8 + 3] = 0xF0;  // the high byte of the thumbnail's offset
  EXPECT_TRUE(ExifThumbnailOf(wrong).empty());
}

TEST(ExifThumbnailTest, TheCacheShowsTheEmbeddedThumbnailThenLearnsThePhoto) {
  std::vector<uint8_t> bytes = WithExifThumbnail(Jpeg(640, 480, 8), Jpeg(160, 160, 7));
  const uint64_t length = bytes.size();
  bytes.resize((bytes.size() + 511) / 512 * 512);
  const std::string path = ::testing::TempDir() + "exif-thumbnail.img";
  {
    QFile file(QString::fromStdString(path));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(reinterpret_cast<const char*>(bytes.data()), qint64(bytes.size()));
  }
  ScanResults results;
  results.records = {{kTypeJpeg, 0, length, 0}, {}};
  ThumbnailCache cache(1);
  cache.Attach(&results, QString::fromStdString(path));
  cache.Thumbnail(0);
  ASSERT_TRUE(QTest::qWaitFor([&] { return cache.known_count() == 1; }, 10000));
  // The square embedded picture, not the photo's 4:3 shape.
  const QImage* shown = cache.Thumbnail(0);
  ASSERT_NE(shown, nullptr);
  EXPECT_EQ(shown->size(), QSize(112, 112));
  EXPECT_EQ(cache.Facts(0).decode, FindDecode::kComplete);
  EXPECT_EQ(cache.Facts(0).width, 640u);
  cache.Detach();
  std::remove(path.c_str());
}

}  // namespace
}  // namespace pictavo::app::testing
