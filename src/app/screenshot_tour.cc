// Walks the wizard through its pages on a disk image and saves a picture of each page and dialog,
// for the README. Run by docs/screenshots.sh under Xvfb:
//   pictavo-screenshot-tour IMAGE OUTPUT_DIR [FAT_IMAGE]
// FAT_IMAGE, a card with a file system and deleted photos, adds the page of files with names.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QToolButton>
#include <QTreeWidget>
#include <cstdio>
#include <deque>

#include "app/create_image_dialog.h"
#include "app/drive_selection_page.h"
#include "app/file_selection_page.h"
#include "app/main_page.h"
#include "app/pictavo_sheet.h"
#include "app/preview_dialog.h"
#include "app/prompts.h"
#include "app/recovered_files_page.h"
#include "app/scanning_dialog.h"
#include "app/thumbnail_cache.h"

using namespace pictavo::app;

namespace {

class TourPrompts : public PromptHandler {
 public:
  std::deque<QString> files;
  std::function<void()> on_question;

  QMessageBox::StandardButton Message(const MessageRequest& request) override {
    std::fprintf(stderr, "message: %s\n", qPrintable(request.text));
    if (request.buttons & QMessageBox::No) {
      if (on_question) on_question();
      return QMessageBox::No;
    }
    return QMessageBox::Ok;
  }
  QString ChooseFile(const FileRequest&) override {
    if (files.empty()) return QString();
    const QString path = files.front();
    files.pop_front();
    return path;
  }
  bool OpenUrl(const QUrl&) override { return true; }
};

bool Save(QWidget* widget, const QDir& out, const QString& name) {
  QApplication::processEvents();
  const bool saved = widget->grab().save(out.filePath(name + ".png"));
  std::fprintf(stderr, "%s %s\n", saved ? "saved" : "FAILED", qPrintable(name));
  return saved;
}

// Clicks Stop once the scanning dialog shows a few finds; the Stop question then takes the
// picture and lets the scan go on.
void WatchForScanningDialog(const QDir& out, TourPrompts& prompts) {
  auto* timer = new QTimer(qApp);
  QObject::connect(timer, &QTimer::timeout, [timer, out, &prompts] {
    auto* dialog = qobject_cast<CScanningDlg*>(QApplication::activeModalWidget());
    if (!dialog || dialog->found_text()->text().toInt() < 5) return;
    timer->stop();
    prompts.on_question = [dialog, out] { Save(dialog, out, QStringLiteral("04-scanning")); };
    dialog->stop_button()->click();
    prompts.on_question = nullptr;
  });
  timer->start(0);
}

// The same for the imaging dialog, once its copy is under way.
void WatchForImagingDialog(const QDir& out, TourPrompts& prompts) {
  auto* timer = new QTimer(qApp);
  QObject::connect(timer, &QTimer::timeout, [timer, out, &prompts] {
    auto* dialog = qobject_cast<CCreateImageDialog*>(QApplication::activeModalWidget());
    if (!dialog || dialog->progress_bar()->value() < 40) return;
    timer->stop();
    prompts.on_question = [dialog, out] { Save(dialog, out, QStringLiteral("07-imaging")); };
    dialog->stop_button()->click();
    prompts.on_question = nullptr;
  });
  timer->start(0);
}

// Takes the picture of the preview dialog once it has painted its photo, then closes it.
void WatchForPreviewDialog(const QDir& out, bool* saved) {
  auto* timer = new QTimer(qApp);
  QObject::connect(timer, &QTimer::timeout, [timer, out, saved] {
    auto* dialog = qobject_cast<CDlgPreview*>(QApplication::activeModalWidget());
    if (!dialog) return;
    timer->stop();
    *saved = Save(dialog, out, QStringLiteral("08-preview"));
    dialog->accept();
  });
  timer->start(0);
}

// Takes the picture of the real message box shown next (with its window frame's caption left
// to the window manager) and answers it with Esc.
void WatchForMessageBox(const QDir& out, const QString& name, bool* saved) {
  auto* timer = new QTimer(qApp);
  QObject::connect(timer, &QTimer::timeout, [timer, out, name, saved] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box) return;
    timer->stop();
    *saved = Save(box, out, name);
    box->reject();
  });
  timer->start(0);
}

// The results page with the JPEG branch listed, the JPEGs and one PNG marked and a photo
// selected.
bool ShowResults(CRecoverdFileDlg* results) {
  QTreeWidgetItem* jpeg = results->type_item(pictavo::kTypeJpeg);
  QTreeWidgetItem* png = results->type_item(pictavo::kTypePng);
  if (!jpeg || !png) return false;
  QEventLoop filled;
  QObject::connect(results, &CRecoverdFileDlg::ListFilled, &filled, &QEventLoop::quit);
  results->tree()->setCurrentItem(png);
  emit results->tree()->itemClicked(png, 0);
  if (results->filling()) filled.exec();
  FoundFileModel* model = results->model();
  if (model->rowCount() > 0) model->setData(model->index(0, 0), Qt::Checked, Qt::CheckStateRole);
  results->tree()->setCurrentItem(jpeg);
  emit results->tree()->itemClicked(jpeg, 0);
  if (results->filling()) filled.exec();
  jpeg->setCheckState(0, Qt::Checked);
  results->list()->setCurrentIndex(model->index(1, 0));
  return model->rowCount() > 1;
}

// Waits (five seconds at most) until the first `rows` files of the list are decoded.
void WaitForThumbnails(CRecoverdFileDlg* results, int rows) {
  QElapsedTimer timer;
  timer.start();
  ThumbnailCache* cache = results->thumbnails();
  const int count = std::min(rows, results->model()->rowCount());
  auto ready = [&] {
    for (int row = 0; row < count; ++row) {
      const uint32_t record = results->model()->RecordAt(row);
      // Asking for the thumbnail puts it first in line.
      if (!cache->Thumbnail(record) && cache->Facts(record).decode == FindDecode::kUnknown) {
        return false;
      }
    }
    return true;
  };
  while (!ready() && timer.elapsed() < 5000) {
    QApplication::processEvents(QEventLoop::AllEvents, 20);
  }
  QApplication::processEvents();
}

// The grid of thumbnails, then the filters (pictures of 320 x 240 and more) and the saving
// options; the page is left as it was.
bool ShowGridAndFilters(CPictavoSheet& sheet, CRecoverdFileDlg* results, const QDir& out) {
  results->ShowThumbnails(true);
  WaitForThumbnails(results, 40);
  bool ok = Save(&sheet, out, QStringLiteral("10-thumbnails"));
  results->filters_button()->click();
  results->saving_button()->click();
  results->filter_bar()->min_picture()->setCurrentIndex(2);
  results->saving_bar()->by_date()->setChecked(true);
  QElapsedTimer timer;
  timer.start();
  while ((results->thumbnails()->surveying() || results->filling()) && timer.elapsed() < 10000) {
    QApplication::processEvents(QEventLoop::AllEvents, 20);
  }
  WaitForThumbnails(results, 40);
  ok = Save(&sheet, out, QStringLiteral("11-filters-and-saving")) && ok;
  results->filter_bar()->min_picture()->setCurrentIndex(0);
  results->saving_bar()->by_date()->setChecked(false);
  results->filters_button()->click();
  results->saving_button()->click();
  results->ShowThumbnails(false);
  QEventLoop filled;
  QObject::connect(results, &CRecoverdFileDlg::ListFilled, &filled, &QEventLoop::quit);
  if (results->filling()) filled.exec();
  results->list()->setCurrentIndex(results->model()->index(1, 0));
  return ok;
}

// Scans a card with a file system on a wizard of its own and shows its files with names beside
// the carved JPEGs, which carry the names the file system gives them.
bool ShowFilesWithNames(const QString& image, const QDir& out, TourPrompts& prompts) {
  CPictavoSheet sheet;
  sheet.show();
  QApplication::processEvents();
  sheet.main_page()->road_button(Road::kOpenImage)->click();
  prompts.files.push_back(image);
  sheet.next();
  QTreeWidget* drives = sheet.drive_page()->tree();
  if (drives->topLevelItemCount() > 0) drives->setCurrentItem(drives->topLevelItem(0));
  sheet.next();
  sheet.next();  // the scan runs to its end
  auto* results = qobject_cast<CRecoverdFileDlg*>(sheet.recovered_page());
  if (!results) return false;
  QTreeWidgetItem* named = nullptr;
  for (int i = 0; i < results->tree()->topLevelItemCount(); ++i) {
    QTreeWidgetItem* item = results->tree()->topLevelItem(i);
    if (item->text(0).startsWith(QStringLiteral("Files with names"))) named = item;
  }
  QTreeWidgetItem* jpeg = results->type_item(pictavo::kTypeJpeg);
  if (!named || !jpeg) return false;
  results->tree()->expandItem(named);
  for (QTreeWidgetItem* item = named; item && item->childCount() > 0; item = item->child(0)) {
    results->tree()->expandItem(item);
    if (item->child(0)->childCount() > 0) item->child(0)->setCheckState(0, Qt::Checked);
  }
  QEventLoop filled;
  QObject::connect(results, &CRecoverdFileDlg::ListFilled, &filled, &QEventLoop::quit);
  results->tree()->setCurrentItem(jpeg);
  emit results->tree()->itemClicked(jpeg, 0);
  if (results->filling()) filled.exec();
  results->list()->setCurrentIndex(results->model()->index(1, 0));
  const bool saved = Save(&sheet, out, QStringLiteral("12-files-with-names"));
  // The results are not kept: the wizard closes without asking.
  sheet.state().results_saved = true;
  return saved;
}

}  // namespace

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  if (argc != 3 && argc != 4) {
    std::fprintf(stderr, "Usage: %s IMAGE OUTPUT_DIR [FAT_IMAGE]\n", argv[0]);
    return 2;
  }
  const QString image = QFileInfo(QString::fromLocal8Bit(argv[1])).absoluteFilePath();
  const QDir out(QString::fromLocal8Bit(argv[2]));
  TourPrompts prompts;
  SetPromptHandler(&prompts);

  CPictavoSheet sheet;
  sheet.show();
  QApplication::processEvents();
  sheet.main_page()->road_button(Road::kOpenImage)->click();
  bool ok = Save(&sheet, out, QStringLiteral("01-main"));

  prompts.files.push_back(image);
  sheet.next();
  QTreeWidget* tree = sheet.drive_page()->tree();
  if (tree->topLevelItemCount() > 0) tree->setCurrentItem(tree->topLevelItem(0));
  ok = Save(&sheet, out, QStringLiteral("02-drive")) && ok;

  sheet.next();
  ok = Save(&sheet, out, QStringLiteral("03-file-types")) && ok;

  WatchForScanningDialog(out, prompts);
  sheet.next();
  auto* results = qobject_cast<CRecoverdFileDlg*>(sheet.recovered_page());
  ok = results && ShowResults(results) && ok;
  ok = Save(&sheet, out, QStringLiteral("05-results")) && ok;
  if (results) ok = ShowGridAndFilters(sheet, results, out) && ok;
  bool preview_saved = false;
  WatchForPreviewDialog(out, &preview_saved);
  if (results) results->PreviewRow(1);
  ok = preview_saved && ok;

  // Closing with results no snapshot holds asks first; Esc answers Stay.
  bool question_saved = false;
  SetPromptHandler(nullptr);
  WatchForMessageBox(out, QStringLiteral("09-quit-question"), &question_saved);
  sheet.reject();
  SetPromptHandler(&prompts);
  ok = question_saved && sheet.isVisible() && ok;

  // The drive page on the imaging road, with the machine's drives.
  sheet.back();
  sheet.back();
  sheet.back();
  sheet.main_page()->road_button(Road::kCreateImage)->click();
  sheet.next();
  ok = Save(&sheet, out, QStringLiteral("06-create-image")) && ok;

  // The imaging dialog, copying the demo card image into a scratch folder.
  QTemporaryDir scratch;
  WizardState& state = sheet.state();
  state.source_name = image;
  state.source_label = QStringLiteral("Demo card (SD/MMC)");
  state.destination_path = scratch.filePath(QStringLiteral("demo-copy.img"));
  WatchForImagingDialog(out, prompts);
  CCreateImageDialog imaging(state, &sheet);
  imaging.exec();
  if (argc == 4) {
    ok = ShowFilesWithNames(QFileInfo(QString::fromLocal8Bit(argv[3])).absoluteFilePath(), out,
                            prompts) &&
         ok;
  }
  return ok && out.exists(QStringLiteral("04-scanning.png")) &&
                 out.exists(QStringLiteral("07-imaging.png"))
             ? 0
             : 1;
}
