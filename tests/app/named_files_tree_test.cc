#include <sys/stat.h>

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <QToolButton>
#include <QTreeWidget>
#include <algorithm>
#include <array>
#include <cstdio>

#include "app/preview_dialog.h"
#include "app/saving_dialog.h"
#include "filesystems/named_content.h"
#include "filesystems/tsk_listing.h"
#include "platform/sector_source.h"
#include "results/saving_session.h"
#include "results/size_text.h"
#include "results/snapshot.h"
#include "results_fixture.h"
#include "support/fs_images.h"

namespace pictavo::app::testing {
namespace {

std::vector<uint8_t> FileBytes(const QString& path) {
  return samples::ReadFile(QFile::encodeName(path).toStdString());
}

// A FAT card with four photos in DCIM/100TEST, one of them deleted, scanned and
// its files with names listed, and the two kept in a snapshot that the Load Recovery road
// brings back: the page shows both roots.
class NamedFilesTest : public ResultsTest {
 protected:
  void SetUp() override {
    ResultsTest::SetUp();
    if (other_fs().isEmpty()) GTEST_SKIP() << "needs a second file system (/dev/shm)";
    originals = ::pictavo::testing::SamplePhotos("DCIM/100TEST", 4);
    image = temp->File("card.img");
    const std::string why =
        ::pictavo::testing::MakeFatImage(image, 16, originals, {"DCIM/100TEST/IMG_0002.JPG"}, 16);
    if (!why.empty()) GTEST_SKIP() << why;
    DamageCard();
    int error = 0;
    auto source = FileSectorSource::Open(image, {}, &error);
    ASSERT_TRUE(source);
    RecoverySnapshot snapshot;
    snapshot.named = ListFileSystemsInProcess(*source, {});
    ClassifyNamedFiles(*source, snapshot.named);
    ASSERT_EQ(snapshot.named.files.size(), 4u);
    AdjustListing(snapshot.named);
    // The carved finds of the same card, as a scan of it gives them.
    ASSERT_TRUE(
        RunScan(*source, ProcessFileTypeSelection(), snapshot.results, nullptr, nullptr).ok);
    snapshot.source_label = "card.img";
    snapshot.source_size = source->Size();
    snapshot.source_name = image;
    listing = snapshot.named;
    const std::string path = temp->File("card.dat");
    ASSERT_TRUE(WriteSnapshot(path, snapshot).ok);

    sheet = MakeSheet();
    ChooseRoad(*sheet, Road::kLoadRecovery);
    prompts.ChooseNext(QString::fromStdString(path));
    sheet->next();
    ASSERT_EQ(sheet->currentId(), kRecoveredFilesPageId);
    page = Page(*sheet);
    ASSERT_EQ(page->named_tree().root() != nullptr, !listing.files.empty());
  }

  // Changes the card's image before it is listed and scanned.
  virtual void DamageCard() {}
  // Changes what the listing of the card found before it goes into the snapshot.
  virtual void AdjustListing(FileSystemListing&) {}

  // The original bytes of the file listed under `path`; a deleted short name has lost its first
  // character.
  const std::vector<uint8_t>& Original(const std::string& path) const {
    const auto without_first = [](std::string text) {
      text.erase(text.rfind('/') + 1, 1);
      return text;
    };
    for (const auto& file : originals) {
      if (without_first(file.path) == without_first(path)) return file.bytes;
    }
    static const std::vector<uint8_t> none;
    return none;
  }
  QTreeWidgetItem* Folder() const { return page->named_tree().root()->child(0)->child(0); }
  size_t DeletedIndex() const {
    for (size_t i = 0; i < listing.files.size(); ++i) {
      if (listing.files[i].deleted) return i;
    }
    return listing.files.size();
  }

  std::vector<::pictavo::testing::TestFile> originals;
  std::string image;
  FileSystemListing listing;
  std::unique_ptr<CPictavoSheet> sheet;
  CRecoverdFileDlg* page = nullptr;
};

TEST_F(NamedFilesTest, TheFilesWithNamesAreASecondRootWithTheirFoldersAndStates) {
  QTreeWidget* tree = page->tree();
  ASSERT_EQ(tree->topLevelItemCount(), 2);
  EXPECT_EQ(tree->topLevelItem(0), page->root_item());
  EXPECT_EQ(page->root_item()->text(0),
            QString("Recovered Files (%1)").arg(sheet->state().results.found_count));
  QTreeWidgetItem* named = tree->topLevelItem(1);
  EXPECT_EQ(named, page->named_tree().root());
  EXPECT_EQ(named->text(0), "Files with names (4)");
  ASSERT_EQ(named->childCount(), 1);
  EXPECT_EQ(named->child(0)->text(0), "DCIM");
  ASSERT_EQ(named->child(0)->childCount(), 1);
  EXPECT_EQ(Folder()->text(0), "100TEST");
  ASSERT_EQ(Folder()->childCount(), 4);
  for (size_t i = 0; i < listing.files.size(); ++i) {
    QTreeWidgetItem* leaf = page->named_tree().file_item(i);
    ASSERT_TRUE(leaf);
    EXPECT_EQ(leaf->parent(), Folder());
    EXPECT_EQ(leaf->text(0), QString::fromStdString(std::string(listing.files[i].Name())));
    EXPECT_TRUE(
        leaf->toolTip(0).contains(listing.files[i].deleted ? "deleted, recoverable" : "live"))
        << leaf->toolTip(0).toStdString();
  }
  EXPECT_TRUE(page->named_tree().file_item(DeletedIndex())->font(0).italic());
  // A card read without a note has no line about its file systems.
  EXPECT_TRUE(listing.notes.empty());
  EXPECT_FALSE(page->notes_text()->isVisible());
}

TEST_F(NamedFilesTest, MarksOfAFolderAndItsFilesCountInTheSelectedTotal) {
  ClickTreeCheck(page, Folder());
  uint64_t all = 0;
  for (const NamedFile& file : listing.files) all += file.size;
  for (size_t i = 0; i < listing.files.size(); ++i) {
    EXPECT_EQ(page->named_tree().file_item(i)->checkState(0), Qt::Checked);
  }
  EXPECT_EQ(sheet->state().selected_total, all);
  EXPECT_EQ(page->selected_total_text()->text(), QString::fromStdString(SizeText(all)));
  EXPECT_TRUE(NextButton(*sheet)->isEnabled());
  EXPECT_EQ(page->root_item()->checkState(0), Qt::Unchecked);

  QTreeWidgetItem* first = page->named_tree().file_item(0);
  ClickTreeCheck(page, first);
  EXPECT_EQ(sheet->state().selected_total, all - listing.files[0].size);
  EXPECT_EQ(Folder()->checkState(0), Qt::PartiallyChecked);
  EXPECT_EQ(page->named_tree().root()->checkState(0), Qt::PartiallyChecked);
}

TEST_F(NamedFilesTest, RecoverSavesTheMarkedFilesInTheirFoldersAndNeverOverwrites) {
  ClickTreeCheck(page, Folder());
  const QString folder = other_fs() + "/named";
  prompts.ChooseNext(folder);
  sheet->next();
  EXPECT_EQ(sheet->currentId(), kRecoveredFilesPageId);
  for (const NamedFile& file : listing.files) {
    ASSERT_FALSE(Original(file.path).empty()) << file.path;
    EXPECT_EQ(FileBytes(folder + "/" + QString::fromStdString(file.path)), Original(file.path))
        << file.path;
  }
  // The same files again in the same folder come next to the first ones.
  prompts.ChooseNext(folder);
  sheet->next();
  EXPECT_EQ(FileBytes(folder + "/DCIM/100TEST/IMG_0001 (2).JPG"),
            Original("DCIM/100TEST/IMG_0001.JPG"));
  EXPECT_EQ(FileBytes(folder + "/DCIM/100TEST/IMG_0001.JPG"),
            Original("DCIM/100TEST/IMG_0001.JPG"));
}

TEST_F(NamedFilesTest, AFolderOnTheMediumsFileSystemIsRefusedAndNothingIsWritten) {
  ClickTreeCheck(page, page->named_tree().file_item(0));
  const QString folder = QString::fromStdString(temp->File("beside-the-card"));
  prompts.ChooseNext(folder);
  prompts.messages.clear();
  sheet->next();
  EXPECT_FALSE(QFile::exists(folder + "/DCIM"));
  ASSERT_EQ(prompts.messages.size(), 1u);
}

TEST_F(NamedFilesTest, DoubleClickPreviewsADeletedFileThroughItsMap) {
  QTreeWidgetItem* leaf = page->named_tree().file_item(DeletedIndex());
  QTreeWidget* tree = page->tree();
  tree->scrollToItem(leaf);
  int shown = 0;
  QSize picture;
  bool placeholder = true;
  // The dialog is looked at once it is up, then closed.
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, [&] {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
      auto* dialog = qobject_cast<CDlgPreview*>(widget);
      if (!dialog || !dialog->isVisible()) continue;
      ++shown;
      placeholder = dialog->pane()->placeholder();
      picture = dialog->pane()->picture_size();
      dialog->accept();
    }
  });
  poll.start(10);
  const QRect rect = tree->visualItemRect(leaf);
  QTest::mouseClick(tree->viewport(), Qt::LeftButton, Qt::NoModifier, rect.center());
  QTest::mouseDClick(tree->viewport(), Qt::LeftButton, Qt::NoModifier, rect.center());
  poll.stop();
  EXPECT_EQ(shown, 1);
  EXPECT_FALSE(placeholder);
  EXPECT_EQ(picture, QSize(64 + 160, 48 + 90));  // IMG_0002.JPG
  // Choosing a file with a name leaves the list of carved finds as it was.
  EXPECT_EQ(sheet->state().selected_total, 0u);
}

// Passes the reports of a saving run on, with a pause before each file after the first (and,
// with `each_chunk`, before each chunk's report), so that the dialog's next report is due then.
class PausingObserver : public SavingObserver {
 public:
  explicit PausingObserver(SavingObserver* run, bool each_chunk = false)
      : run_(run), each_chunk_(each_chunk) {}
  void OnStart(uint64_t files, uint64_t bytes) override { run_->OnStart(files, bytes); }
  void OnProgress(uint64_t done, uint64_t total) override {
    if (each_chunk_) QThread::msleep(60);
    run_->OnProgress(done, total);
  }
  void OnFileDone(const SavedFile& file) override { run_->OnFileDone(file); }
  void OnFileStart(size_t index, const std::string& path) override {
    if (started_++ > 0) QThread::msleep(60);
    run_->OnFileStart(index, path);
  }

 private:
  SavingObserver* run_;
  bool each_chunk_;
  int started_ = 0;
};

QStringList FilesBelow(const QString& folder) {
  QStringList files;
  QDirIterator walk(folder, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
  while (walk.hasNext()) files.append(QDir(folder).relativeFilePath(walk.next()));
  files.sort();
  return files;
}

TEST_F(NamedFilesTest, FilesWithNamesAreSavedBehindTheSavingDialogNamingTheFileInHand) {
  ClickTreeCheck(page, Folder());
  const QString folder = other_fs() + "/named-progress";
  prompts.ChooseNext(folder);
  QStringList shown;
  OnShow<SavingDialog> watch([&](SavingDialog* dialog) {
    QObject::connect(dialog, &SavingDialog::ProgressShown, dialog, [&shown, dialog] {
      shown.append(dialog->file_text()->text());
      EXPECT_TRUE(dialog->progress_text()->text().contains("file 1 of 4"))
          << dialog->progress_text()->text().toStdString();
    });
  });
  prompts.messages.clear();
  sheet->next();
  EXPECT_EQ(watch.count, 1);
  ASSERT_FALSE(shown.empty());
  EXPECT_EQ(shown.front(),
            "Saving " + QString::fromStdString(NamedFileShownPath(listing, listing.files[0])));
  ASSERT_EQ(prompts.messages.size(), 1u);
  EXPECT_TRUE(prompts.messages[0].text.startsWith("Saved 4 files to " + folder + ": 4 whole"))
      << prompts.messages[0].text.toStdString();
}

TEST_F(NamedFilesTest, CancelKeepsTheFilesWithNamesSavedBeforeAndNoPartOfTheNext) {
  const QString folder = other_fs() + "/named-cancelled";
  ASSERT_TRUE(QDir().mkpath(folder));
  int error = 0;
  auto source = FileSectorSource::Open(image, {}, &error);
  ASSERT_TRUE(source);
  const std::vector<size_t> all = {0, 1, 2, 3};
  const SavingJob job =
      MixedSavingJob(*source, listing, all, nullptr, QFile::encodeName(folder).toStdString());
  SavingDialog dialog([&job](SavingObserver* run, const std::atomic<bool>* cancel) {
    PausingObserver paused(run);
    return job(&paused, cancel);
  });
  const QString second = QString::fromStdString(NamedFileShownPath(listing, listing.files[1]));
  QObject::connect(&dialog, &SavingDialog::ProgressShown, &dialog, [&] {
    if (dialog.file_text()->text().endsWith(second) && dialog.cancel_button()->isEnabled()) {
      dialog.cancel_button()->click();
    }
  });
  dialog.exec();
  const SaveSummary& summary = dialog.summary();
  EXPECT_TRUE(summary.cancelled);
  EXPECT_EQ(summary.written, 1u);
  const QString first = QString::fromStdString(listing.files[0].path);
  EXPECT_EQ(FilesBelow(folder), QStringList({first}));
  EXPECT_EQ(FileBytes(folder + "/" + first), Original(listing.files[0].path));
}

using LargeNamedFileTest = ResultsTest;

// A file with a name of several chunks, cancelled after its first: it is removed, partial name
// and all, and the file saved before it stays.
TEST_F(LargeNamedFileTest, CancelInsideAFileWithANameRemovesItAndKeepsTheOneBefore) {
  if (other_fs().isEmpty()) GTEST_SKIP() << "needs a second file system (/dev/shm)";
  std::vector<::pictavo::testing::TestFile> files = ::pictavo::testing::SamplePhotos("DCIM", 1);
  ::pictavo::testing::TestFile large{"DCIM/LARGE.JPG", files[0].bytes};
  large.bytes.resize(24u << 20);
  uint32_t seed = 7;
  for (size_t i = files[0].bytes.size(); i < large.bytes.size(); ++i) {
    seed = seed * 1103515245u + 12345u;
    large.bytes[i] = static_cast<uint8_t>(seed >> 24);
  }
  files.push_back(large);
  const std::string image = temp->File("large.img");
  const std::string why = ::pictavo::testing::MakeFatImage(image, 64, files, {});
  if (!why.empty()) GTEST_SKIP() << why;
  int error = 0;
  auto source = FileSectorSource::Open(image, {}, &error);
  ASSERT_TRUE(source);
  FileSystemListing listing = ListFileSystemsInProcess(*source, {});
  ClassifyNamedFiles(*source, listing);
  std::vector<size_t> order(2, listing.files.size());
  for (size_t i = 0; i < listing.files.size(); ++i) {
    if (listing.files[i].path == files[0].path) order[0] = i;
    if (listing.files[i].path == large.path) order[1] = i;
  }
  ASSERT_LT(order[0], listing.files.size());
  ASSERT_LT(order[1], listing.files.size());

  const QString folder = other_fs() + "/large-cancelled";
  ASSERT_TRUE(QDir().mkpath(folder));
  const SavingJob job =
      MixedSavingJob(*source, listing, order, nullptr, QFile::encodeName(folder).toStdString());
  SavingDialog dialog([&job](SavingObserver* run, const std::atomic<bool>* cancel) {
    PausingObserver paused(run, true);
    return job(&paused, cancel);
  });
  quint64 bytes_at_cancel = 0;
  QObject::connect(&dialog, &SavingDialog::ProgressShown, &dialog, [&](quint64 bytes) {
    if (bytes > files[0].bytes.size() && dialog.file_text()->text().endsWith("LARGE.JPG") &&
        dialog.cancel_button()->isEnabled()) {
      bytes_at_cancel = bytes;
      dialog.cancel_button()->click();
    }
  });
  dialog.exec();
  EXPECT_GT(bytes_at_cancel, files[0].bytes.size());
  EXPECT_LT(bytes_at_cancel, files[0].bytes.size() + large.bytes.size());
  EXPECT_TRUE(dialog.summary().cancelled);
  EXPECT_EQ(dialog.summary().written, 1u);
  EXPECT_EQ(FilesBelow(folder), QStringList({QString::fromStdString(files[0].path)}));
  EXPECT_EQ(FileBytes(folder + "/" + QString::fromStdString(files[0].path)), files[0].bytes);
}

TEST_F(NamedFilesTest, BothKindsMarkedGoToOneFolderAskedForOnceWithOneMessage) {
  ClickTreeCheck(page, Folder());
  ClickTreeCheck(page, page->root_item());
  const uint64_t found = sheet->state().results.found_count;
  ASSERT_GT(found, 0u);
  // On the medium's own file system, the one question is followed by one refusal.
  prompts.ChooseNext(QString::fromStdString(temp->File("beside-the-card")));
  prompts.messages.clear();
  prompts.file_requests.clear();
  sheet->next();
  EXPECT_EQ(prompts.file_requests.size(), 1u);
  EXPECT_EQ(prompts.messages.size(), 1u);

  const QString folder = other_fs() + "/both";
  prompts.ChooseNext(folder);
  prompts.messages.clear();
  prompts.file_requests.clear();
  quint64 last_bytes = 0;
  OnShow<SavingDialog> watch([&](SavingDialog* dialog) {
    QObject::connect(dialog, &SavingDialog::ProgressShown, dialog,
                     [&](quint64 bytes) { last_bytes = bytes; });
  });
  sheet->next();
  EXPECT_EQ(prompts.file_requests.size(), 1u);
  EXPECT_EQ(watch.count, 1);
  ASSERT_EQ(prompts.messages.size(), 1u);
  EXPECT_TRUE(prompts.messages[0].text.startsWith(
      QString("Saved %1 files to %2: %1 whole").arg(found + 4).arg(folder)))
      << prompts.messages[0].text.toStdString();
  for (const NamedFile& file : listing.files) {
    EXPECT_EQ(FileBytes(folder + "/" + QString::fromStdString(file.path)), Original(file.path))
        << file.path;
  }
  EXPECT_TRUE(QFile::exists(folder + "/File0.jpeg"));
  EXPECT_EQ(FilesBelow(folder).size(), static_cast<qsizetype>(found + 4));
  EXPECT_LE(last_bytes, sheet->state().selected_total);
}

TEST_F(NamedFilesTest, WithOnlyTheShownSavedAndNoCarvedFindShownTheFilesWithNamesGoAlone) {
  ClickTreeCheck(page, page->named_tree().file_item(0));
  ClickTreeCheck(page, page->root_item());
  page->filters_button()->click();
  page->filter_bar()->min_size()->setValue(10'000'000);
  page->saving_button()->click();
  page->saving_bar()->only_shown()->setChecked(true);
  const QString folder = other_fs() + "/only-named";
  prompts.ChooseNext(folder);
  prompts.messages.clear();
  sheet->next();
  ASSERT_EQ(prompts.messages.size(), 1u);
  EXPECT_TRUE(prompts.messages[0].text.startsWith("Saved 1 file to"))
      << prompts.messages[0].text.toStdString();
  EXPECT_EQ(FilesBelow(folder), QStringList({QString::fromStdString(listing.files[0].path)}));
}

TEST_F(NamedFilesTest, WithOnlyTheShownSavedTheHiddenCarvedFindsStayBehind) {
  ClickTreeCheck(page, Folder());
  ClickTreeCheck(page, page->root_item());
  uint64_t largest = 0;
  for (const FoundFile& file : sheet->state().results.Found()) {
    largest = std::max(largest, file.length);
  }
  const int min_kb = static_cast<int>(largest / 1024);
  ASSERT_GT(min_kb, 0);
  uint64_t shown = 0;
  for (const FoundFile& file : sheet->state().results.Found()) {
    if (file.length >= uint64_t(min_kb) * 1024) ++shown;
  }
  ASSERT_LT(shown, sheet->state().results.found_count);
  page->filters_button()->click();
  page->filter_bar()->min_size()->setValue(min_kb);
  page->saving_button()->click();
  page->saving_bar()->only_shown()->setChecked(true);
  const QString folder = other_fs() + "/named-and-shown";
  prompts.ChooseNext(folder);
  prompts.messages.clear();
  prompts.file_requests.clear();
  sheet->next();
  EXPECT_EQ(prompts.file_requests.size(), 1u);
  ASSERT_EQ(prompts.messages.size(), 1u);
  EXPECT_TRUE(prompts.messages[0].text.startsWith(QString("Saved %1 files").arg(shown + 4)))
      << prompts.messages[0].text.toStdString();
  EXPECT_EQ(FilesBelow(folder).size(), static_cast<qsizetype>(shown + 4));
}

TEST_F(NamedFilesTest, CarvedFindsShowTheNameTheFileSystemGivesThem) {
  const std::vector<std::string>& names = page->find_names();
  ASSERT_EQ(names.size(), sheet->state().results.Found().size());
  ASSERT_TRUE(ChooseBranch(page, page->root_item()));
  FoundFileModel* model = page->model();
  ASSERT_EQ(model->columnCount(), 3);
  EXPECT_EQ(
      model->headerData(FoundFileModel::kFileSystemNameColumn, Qt::Horizontal, Qt::DisplayRole),
      "Name in the file system");
  int named_rows = 0;
  for (int row = 0; row < model->rowCount(); ++row) {
    const std::string& path = names[model->RecordAt(row)];
    const QModelIndex name = model->index(row, FoundFileModel::kNameColumn);
    const QModelIndex given = model->index(row, FoundFileModel::kFileSystemNameColumn);
    if (path.empty()) {
      EXPECT_EQ(given.data().toString(), "");
      EXPECT_FALSE(name.data(Qt::ToolTipRole).isValid());
      continue;
    }
    ++named_rows;
    EXPECT_EQ(given.data().toString(), QString::fromStdString(SavedNameFromPath(path)));
    EXPECT_EQ(name.data(Qt::ToolTipRole).toString(),
              "Named by the file system: " + QString::fromStdString(path));
  }
  // The three live photos at least start where their files do.
  EXPECT_GE(named_rows, 3);
}

TEST_F(NamedFilesTest, NamesFromTheFileSystemsSaveTheFindsUnderThoseNames) {
  page->saving_button()->click();
  QCheckBox* names = page->saving_bar()->file_system_names();
  EXPECT_TRUE(names->isVisible());
  EXPECT_FALSE(names->isChecked());
  names->setChecked(true);
  ClickTreeCheck(page, page->root_item());
  const QString folder = other_fs() + "/by-name";
  prompts.ChooseNext(folder);
  prompts.messages.clear();
  sheet->next();
  ASSERT_EQ(prompts.messages.size(), 1u);
  QStringList expected;
  const ScanResults& results = sheet->state().results;
  std::array<uint32_t, kTypeCount> index_in_type{};
  for (size_t i = 0; i < results.Found().size(); ++i) {
    const FoundFile& file = results.Found()[i];
    const std::string given = SavedNameFromPath(page->find_names()[i]);
    const std::string numbered = RecoveredFileName(file.type, index_in_type[file.type]++);
    expected.append(QString::fromStdString(given.empty() ? numbered : given));
  }
  expected.sort();
  EXPECT_EQ(FilesBelow(folder), expected);
  EXPECT_TRUE(expected.contains("IMG_0001.JPG"));
}

// The first copy of the card's allocation table is damaged: the files are read through the
// second, and the page says so under the tree.
class DamagedFatTest : public NamedFilesTest {
 protected:
  void DamageCard() override {
    std::FILE* file = std::fopen(image.c_str(), "r+b");
    ASSERT_TRUE(file);
    uint8_t boot[512];
    ASSERT_EQ(std::fread(boot, 1, sizeof boot, file), sizeof boot);
    const long first_fat = long{boot[14] | (boot[15] << 8)} * (boot[11] | (boot[12] << 8));
    const uint8_t damaged = 0;
    ASSERT_EQ(std::fseek(file, first_fat, SEEK_SET), 0);
    ASSERT_EQ(std::fwrite(&damaged, 1, 1, file), 1u);
    std::fclose(file);
  }
};

TEST_F(DamagedFatTest, TheFileSystemsNoteIsALineUnderTheTreeWithTheWholeTextAsItsTip) {
  ASSERT_EQ(listing.notes.size(), 1u);
  const QString note = QString::fromStdString(listing.notes[0]);
  EXPECT_TRUE(note.contains("the second copy was read instead")) << note.toStdString();
  QLabel* line = page->notes_text();
  EXPECT_TRUE(line->isVisible());
  EXPECT_EQ(line->text(), "File systems: " + note);
  EXPECT_EQ(line->toolTip(), note);
  EXPECT_EQ(page->named_tree().root()->text(0), "Files with names (4)");
}

// The file-system pass did not finish: no file with a name, and the page tells why.
class FailedPassTest : public NamedFilesTest {
 protected:
  void AdjustListing(FileSystemListing& named) override {
    named = {};
    named.pass_failed = true;
    named.notes = {"the file-system pass failed (it took longer than 600 s)", "Another note"};
  }
};

TEST_F(FailedPassTest, APassThatFailedIsToldWithoutFilesWithNames) {
  EXPECT_EQ(page->tree()->topLevelItemCount(), 1);
  QLabel* line = page->notes_text();
  EXPECT_TRUE(line->isVisible());
  EXPECT_EQ(line->text(),
            "The file systems of this medium could not be read: the file-system pass failed (it "
            "took longer than 600 s); Another note");
  EXPECT_EQ(line->toolTip(),
            "the file-system pass failed (it took longer than 600 s)\nAnother note");
  EXPECT_TRUE(page->find_names().empty());
  page->saving_button()->click();
  EXPECT_FALSE(page->saving_bar()->file_system_names()->isVisible());
}

}  // namespace
}  // namespace pictavo::app::testing
