#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <QTreeView>
#include <QTreeWidget>
#include <functional>

#include "app/preview_dialog.h"
#include "app/saving_dialog.h"
#include "engine/scan_engine.h"
#include "platform/sector_source.h"
#include "results/recovery.h"
#include "results/snapshot.h"
#include "results_fixture.h"
#include "samples/bmp_sample.h"
#include "samples/jpeg_sample.h"

namespace pictavo::app::testing {
namespace {

std::vector<uint8_t> FileBytes(const QString& path) {
  return samples::ReadFile(QFile::encodeName(path).toStdString());
}

class SavingTest : public ResultsTest {
 protected:
  void SetUp() override {
    ResultsTest::SetUp();
    if (other_fs().isEmpty()) GTEST_SKIP() << "needs a second file system (/dev/shm)";
    files = MixedFiles();
    image = MakeImage("mixed.img", files);
    sheet = ScanImage(image);
    page = Page(*sheet);
  }

  std::vector<PlacedFile> files;
  QString image;
  std::unique_ptr<CPictavoSheet> sheet;
  CRecoverdFileDlg* page = nullptr;
};

TEST_F(SavingTest, RecoverWritesTheMarkedFilesByteForByteAndStaysOnThePage) {
  ClickTreeCheck(page, page->type_item(kTypeJpeg));
  ClickTreeCheck(page, page->type_item(kTypePng));
  const QString folder = other_fs() + "/recovered";
  prompts.ChooseNext(folder);
  int progress_reports = 0;
  quint64 last_bytes = 0;
  OnShow<SavingDialog> watch([&](SavingDialog* dialog) {
    EXPECT_EQ(dialog->windowTitle(), "Saving");
    QObject::connect(dialog, &SavingDialog::ProgressShown, [&, dialog](quint64 bytes) {
      ++progress_reports;
      last_bytes = bytes;
      EXPECT_TRUE(dialog->running());
      EXPECT_TRUE(dialog->file_text()->text().startsWith("Saving File"))
          << dialog->file_text()->text().toStdString();
    });
  });
  prompts.messages.clear();
  sheet->next();

  EXPECT_EQ(sheet->currentId(), kRecoveredFilesPageId);
  ASSERT_EQ(prompts.file_requests.back().kind, FileRequest::Kind::kFolder);
  ASSERT_EQ(prompts.messages.size(), 1u);
  EXPECT_TRUE(prompts.messages[0].text.startsWith("Saved 5 files to " + folder +
                                                  ": 5 whole, 0 damaged, 0 failed."))
      << prompts.messages[0].text.toStdString();
  EXPECT_EQ(prompts.messages[0].icon, QMessageBox::Information);
  EXPECT_EQ(watch.count, 1);
  EXPECT_GE(progress_reports, 1);

  const QStringList written = QDir(folder).entryList(QDir::Files, QDir::Name);
  EXPECT_EQ(written,
            QStringList({"File0.jpeg", "File0.png", "File1.jpeg", "File1.png", "File2.jpeg"}));
  int jpeg = 0, png = 0;
  for (const PlacedFile& file : files) {
    QString name;
    if (file.type == kTypeJpeg) name = QStringLiteral("File%1.jpeg").arg(jpeg++);
    if (file.type == kTypePng) name = QStringLiteral("File%1.png").arg(png++);
    if (name.isEmpty()) continue;
    EXPECT_EQ(FileBytes(folder + "/" + name), file.bytes) << name.toStdString();
  }
  // The marks stay, so the same files can go to a second place.
  EXPECT_TRUE(NextButton(*sheet)->isEnabled());
  EXPECT_EQ(page->type_item(kTypeJpeg)->checkState(0), Qt::Checked);
}

// A medium without a file system the program reads: the list, the line under it and the
// saving options are those of the page without files with names.
TEST_F(SavingTest, WithoutFileSystemsThereIsNoNameColumnNoNoteAndNoChoiceOfNames) {
  ASSERT_TRUE(ChooseBranch(page, page->root_item()));
  EXPECT_EQ(page->model()->columnCount(), 2);
  EXPECT_FALSE(
      page->model()->index(0, FoundFileModel::kNameColumn).data(Qt::ToolTipRole).isValid());
  EXPECT_TRUE(page->find_names().empty());
  EXPECT_FALSE(page->notes_text()->isVisible());
  EXPECT_EQ(page->tree()->topLevelItemCount(), 1);
  page->saving_button()->click();
  EXPECT_FALSE(page->saving_bar()->file_system_names()->isVisible());
  EXPECT_FALSE(page->saving_bar()->choice().file_system_names);
}

TEST_F(SavingTest, AFolderOnTheImagesFileSystemIsRefusedAndNothingIsWritten) {
  ClickTreeCheck(page, page->root_item());
  const QString folder = QString::fromStdString(temp->File("beside-the-image"));
  prompts.ChooseNext(folder);
  prompts.messages.clear();
  sheet->next();
  ASSERT_EQ(prompts.messages.size(), 1u);
  EXPECT_EQ(prompts.messages[0].text.toStdString(), kSameDriveMessage);
  EXPECT_EQ(prompts.messages[0].caption, "Information");
  EXPECT_FALSE(QDir(folder).exists());
  EXPECT_EQ(sheet->currentId(), kRecoveredFilesPageId);

  // A cancelled folder choice says nothing.
  prompts.messages.clear();
  sheet->next();
  EXPECT_TRUE(prompts.messages.empty());
}

TEST_F(SavingTest, CancelStopsTheRunAndTheDialogWaitsForTheWorker) {
  ClickTreeCheck(page, page->root_item());
  const QString folder = other_fs() + "/cancelled";
  prompts.ChooseNext(folder);
  bool still_open_after_close = false;
  OnShow<SavingDialog> watch([&](SavingDialog* dialog) {
    // The first report comes before the first file: the worker waits while it is shown, so the
    // cancel is seen before anything is copied.
    QObject::connect(dialog, &SavingDialog::ProgressShown, dialog, [&, dialog] {
      if (!dialog->cancel_button()->isEnabled()) return;
      dialog->cancel_button()->click();
      dialog->close();
      still_open_after_close = dialog->isVisible();
    });
  });
  prompts.messages.clear();
  sheet->next();
  EXPECT_TRUE(still_open_after_close);
  ASSERT_EQ(prompts.messages.size(), 1u);
  EXPECT_TRUE(prompts.messages[0].text.contains("Saving was cancelled"))
      << prompts.messages[0].text.toStdString();
  EXPECT_EQ(prompts.messages[0].icon, QMessageBox::Warning);
  EXPECT_TRUE(QDir(folder).entryList(QDir::Files).isEmpty());
}

// The worker stops at its first report until the dialog has shown it; a dialog that goes away
// then must cancel the run and let the worker past that report, not wait for it forever.
TEST_F(SavingTest, ADialogDestroyedMidRunCancelsAndAwaitsItsWorker) {
  const QString folder = other_fs() + "/destroyed";
  ASSERT_TRUE(QDir().mkpath(folder));
  int error = 0;
  auto source = FileSectorSource::Open(QFile::encodeName(image).toStdString(), {}, &error);
  ASSERT_TRUE(source);
  ScanResults results;
  RunScan(*source, FileTypeSelection(), results, nullptr, nullptr);
  ASSERT_GT(results.found_count, 1u);
  for (FoundFile& file : results.Found()) file.selected = 1;
  auto dialog = std::make_unique<SavingDialog>(*source, results, folder);
  dialog->show();  // starts the worker
  EXPECT_TRUE(dialog->running());
  // Events are not processed meanwhile, so the worker is left waiting at its first report.
  QThread::msleep(200);
  dialog.reset();
  EXPECT_TRUE(QDir(folder).entryList(QDir::Files).isEmpty());
}

TEST_F(SavingTest, SnapshotSavedFromThePageLoadsOnTheLoadRecoveryRoadAsTheSameTree) {
  const QStringList labels = TreeLabels(page);
  ASSERT_TRUE(ChooseBranch(page, page->type_item(kTypeJpeg)));
  const QStringList jpeg_names = ListNames(page);
  ClickTreeCheck(page, page->type_item(kTypeGif));  // marks are not saved

  const QString snapshot = other_fs() + "/card.dat";
  prompts.ChooseNext(snapshot);
  prompts.messages.clear();
  sheet->save_snapshot_button()->click();
  const FileRequest& request = prompts.file_requests.back();
  EXPECT_EQ(request.kind, FileRequest::Kind::kSave);
  EXPECT_EQ(request.filter, "Save Recovery Snap (*.dat)");
  EXPECT_TRUE(request.proposed_name.startsWith("Oskel_Save_Recovery_Snap "));
  EXPECT_TRUE(request.proposed_name.endsWith(".dat"));
  ASSERT_EQ(prompts.Texts(), QStringList({"Save Recovery is successfully saved"}));
  ASSERT_TRUE(CheckSnapshotFile(QFile::encodeName(snapshot).toStdString()));
  const QString label = sheet->state().source_label;
  sheet.reset();

  auto loaded = MakeSheet();
  ChooseRoad(*loaded, Road::kLoadRecovery);
  prompts.ChooseNext(snapshot);
  loaded->next();
  ASSERT_EQ(loaded->currentId(), kRecoveredFilesPageId);
  CRecoverdFileDlg* loaded_page = Page(*loaded);
  EXPECT_EQ(TreeLabels(loaded_page), labels);
  EXPECT_EQ(loaded->state().source_name, image);
  EXPECT_EQ(loaded->state().source_label, label);
  EXPECT_FALSE(loaded->state().snapshot_pending);
  EXPECT_EQ(loaded->state().selected_total, 0u);
  EXPECT_FALSE(NextButton(*loaded)->isEnabled());
  EXPECT_TRUE(loaded->button(QWizard::BackButton)->isEnabled());
  ASSERT_TRUE(ChooseBranch(loaded_page, loaded_page->type_item(kTypeJpeg)));
  EXPECT_EQ(ListNames(loaded_page), jpeg_names);

  // Files are saved from the loaded results by reading the image again.
  ClickCheck(loaded_page->list(), loaded_page->model()->index(2, 0));
  const QString folder = other_fs() + "/from-snapshot";
  prompts.ChooseNext(folder);
  loaded->next();
  EXPECT_EQ(FileBytes(folder + "/File2.jpeg"), files[6].bytes);
}

TEST_F(SavingTest, YesToTheInvitationAtBackWritesASnapshot) {
  const QString snapshot = other_fs() + "/invited.dat";
  prompts.AnswerNext(QMessageBox::Yes);
  prompts.ChooseNext(snapshot);
  sheet->back();
  EXPECT_EQ(sheet->currentId(), kFileTypePageId);
  ASSERT_GE(prompts.messages.size(), 2u);
  EXPECT_EQ(prompts.messages[0].caption, "Confirmation");
  EXPECT_EQ(prompts.messages[0].icon, QMessageBox::Question);
  EXPECT_EQ(prompts.messages[0].buttons, QMessageBox::Yes | QMessageBox::No);
  EXPECT_EQ(prompts.messages[1].text, "Save Recovery is successfully saved");
  RecoverySnapshot read;
  ASSERT_TRUE(ReadSnapshot(QFile::encodeName(snapshot).toStdString(), &read).ok);
  EXPECT_EQ(read.results.found_count, files.size());
}

class PreviewTest : public ResultsTest {
 protected:
  // A 1200 x 900 photo, which the pane must shrink, and a 40 x 30 one, which it must not.
  void SetUp() override {
    ResultsTest::SetUp();
    samples::JpegOptions large;
    large.width = 1200;
    large.height = 900;
    samples::JpegOptions small;
    small.width = 40;
    small.height = 30;
    samples::BmpOptions bmp;
    files = {{kTypeJpeg, samples::EncodeJpeg(large)},
             {kTypeJpeg, samples::EncodeJpeg(small)},
             {kTypeBmp, samples::EncodeBmp(bmp)}};
    image = MakeImage("photos.img", files);
    sheet = ScanImage(image);
    page = Page(*sheet);
    ASSERT_TRUE(ChooseBranch(page, page->root_item()));
    ASSERT_EQ(page->model()->rowCount(), 3);
  }

  struct Shown {
    bool placeholder = false;
    QSize pane;
    QSize picture;
    QSize size;
    QPoint at;
    QString title;
    bool temp_file_existed_before_paint = false;
    bool temp_file_exists_after_paint = true;
  };

  // Double-clicks row `row` and looks at the preview dialog it opens.
  Shown Preview(int row) {
    Shown shown;
    OnShow<CDlgPreview> watch([&](CDlgPreview* dialog) {
      // Shown but not painted yet.
      shown.temp_file_existed_before_paint = QFile::exists(TempPath());
      QTimer::singleShot(0, dialog, [&, dialog] { LookAt(dialog, shown); });
    });
    QTreeView* list = page->list();
    const QRect rect = list->visualRect(page->model()->index(row, 1));
    // A double-click as the window system delivers it: a click, then the second press.
    QTest::mouseClick(list->viewport(), Qt::LeftButton, Qt::NoModifier, rect.center());
    QTest::mouseDClick(list->viewport(), Qt::LeftButton, Qt::NoModifier, rect.center());
    EXPECT_EQ(watch.count, 1);
    return shown;
  }

  void LookAt(CDlgPreview* dialog, Shown& shown) {
    PicturePane* pane = dialog->pane();
    shown.title = dialog->windowTitle();
    shown.placeholder = pane->placeholder();
    shown.picture = pane->picture_size();
    pane->grab();  // paints
    shown.pane = pane->contentsRect().size();
    shown.size = pane->shown_size();
    shown.at = pane->shown_at();
    shown.temp_file_exists_after_paint = QFile::exists(TempPath());
    dialog->accept();
  }

  QString TempPath() const {
    std::string directory, error;
    PreviewTempDirectory(&directory, &error);
    return QString::fromStdString(directory + "/" + PreviewTempFileName(kTypeJpeg));
  }

  std::vector<PlacedFile> files;
  QString image;
  std::unique_ptr<CPictavoSheet> sheet;
  CRecoverdFileDlg* page = nullptr;
};

TEST_F(PreviewTest, LargePhotoIsShrunkToFitThePaneAndCentred) {
  const Shown shown = Preview(0);
  EXPECT_EQ(shown.title, "Preview");
  EXPECT_FALSE(shown.placeholder);
  ASSERT_FALSE(shown.pane.isEmpty());
  ASSERT_FALSE(shown.picture.isEmpty());
  // The smaller of the two factors, sizes cut to whole pixels, centred with integer division.
  const double factor = std::min(double(shown.pane.width()) / shown.picture.width(),
                                 double(shown.pane.height()) / shown.picture.height());
  ASSERT_LT(factor, 1.0);
  const QSize fitted(int(shown.picture.width() * factor), int(factor * shown.picture.height()));
  EXPECT_EQ(shown.size, fitted);
  // It fills the pane along one side (to the pixel, after cutting).
  EXPECT_TRUE(shown.size.width() >= shown.pane.width() - 1 ||
              shown.size.height() >= shown.pane.height() - 1)
      << shown.size.width() << "x" << shown.size.height() << " in " << shown.pane.width() << "x"
      << shown.pane.height() << " from " << shown.picture.width() << "x" << shown.picture.height();
  EXPECT_NEAR(double(shown.size.width()) / shown.size.height(), 1200.0 / 900.0, 0.02);
  EXPECT_EQ(shown.at, QPoint((shown.pane.width() - fitted.width()) / 2,
                             (shown.pane.height() - fitted.height()) / 2));
  EXPECT_TRUE(shown.temp_file_existed_before_paint);
  EXPECT_FALSE(shown.temp_file_exists_after_paint);
  EXPECT_FALSE(QFile::exists(TempPath()));
  EXPECT_TRUE(prompts.Texts().filter("Preview").isEmpty());
  EXPECT_EQ(page->list()->currentIndex().row(), 0);
}

TEST_F(PreviewTest, SmallPhotoKeepsItsSizeInTheMiddle) {
  const Shown shown = Preview(1);
  EXPECT_FALSE(shown.placeholder);
  EXPECT_EQ(shown.size, QSize(40, 30));
  EXPECT_EQ(shown.at, QPoint((shown.pane.width() - 40) / 2, (shown.pane.height() - 30) / 2));
}

TEST_F(PreviewTest, PhotoOverwrittenAfterTheScanShowsThePlaceholder) {
  // Zeros over everything but the first two bytes of the large photo's start-of-image marker.
  QFile file(image);
  ASSERT_TRUE(file.open(QIODevice::ReadWrite));
  ASSERT_TRUE(file.seek(static_cast<qint64>(files[0].offset) + 2));
  ASSERT_EQ(file.write(QByteArray(4096, '\0')), 4096);
  file.close();
  const Shown shown = Preview(0);
  EXPECT_TRUE(shown.placeholder);
  EXPECT_FALSE(shown.picture.isEmpty());
  EXPECT_FALSE(shown.temp_file_existed_before_paint) << "deleted as soon as decoding failed";
}

TEST_F(PreviewTest, PreviewButtonShowsTheSelectedRowAndNothingWhileFilling) {
  page->list()->setCurrentIndex(page->model()->index(1, 0));
  OnShow<CDlgPreview> watch(
      [](CDlgPreview* dialog) { QTimer::singleShot(0, dialog, &QDialog::reject); });
  page->preview_button()->click();
  EXPECT_EQ(watch.count, 1);

  // While the list is being filled a request is ignored.
  QSignalSpy filled(page, &CRecoverdFileDlg::ListFilled);
  QTreeWidget* tree = page->tree();
  const QRect rect = tree->visualItemRect(page->type_item(kTypeBmp));
  QTest::mouseClick(tree->viewport(), Qt::LeftButton, Qt::NoModifier,
                    QPoint(rect.right() - 4, rect.center().y()));
  ASSERT_TRUE(page->filling());
  page->PreviewRow(0);
  EXPECT_TRUE(prompts.Texts().filter("Preview").isEmpty());
  ASSERT_TRUE(filled.wait(5000));
}

}  // namespace
}  // namespace pictavo::app::testing
