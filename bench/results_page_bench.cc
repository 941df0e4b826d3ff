// Times the recovered-files page on a million found files: building the tree, filling the list
// for a large branch and for the root, sorting by size, marking everything, and painting the
// page; then the grid of thumbnails on a million finds of real JPEGs: the first screen of
// thumbnails, the longest stall of the user-interface thread while scrolling, the memory the
// page takes, and how fast the finds are read for the content filters. Run by hand (offscreen
// unless a display is given):
//   build/dev/bench/pictavo-bench-results-page [FILE_COUNT]
//   build/dev/bench/pictavo-bench-results-page --image MEDIUM   (the grid on a real medium's finds)
#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QHeaderView>
#include <QLabel>
#include <QScrollBar>
#include <QStandardPaths>
#include <QTest>
#include <QTreeView>
#include <QTreeWidget>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>

#include "app/prompts.h"
#include "app/recovered_files_page.h"
#include "app/thumbnail_cache.h"
#include "app/thumbnail_grid.h"
#include "samples/jpeg_sample.h"

using pictavo::app::CRecoverdFileDlg;
using pictavo::app::WizardState;

namespace {

// Found files of a card full of photos: mostly JPEGs, then raws and a few of everything else,
// with sizes from 100 KB to 30 MB.
pictavo::ScanResults SyntheticResults(size_t count) {
  using namespace pictavo;
  constexpr FileTypeId kMix[] = {kTypeJpeg, kTypeJpeg, kTypeJpeg, kTypeJpeg, kTypeJpeg, kTypeJpeg,
                                 kTypeCr2,  kTypeNef,  kTypePng,  kTypeMov,  kTypeTiff, kTypeGif};
  std::mt19937 rng(7);
  std::uniform_int_distribution<uint32_t> size(100'000, 30'000'000);
  ScanResults results;
  results.records.reserve(count + 1);
  uint64_t offset = 0;
  for (size_t i = 0; i < count; ++i) {
    FoundFile file;
    file.type = kMix[rng() % std::size(kMix)];
    file.offset = offset;
    file.length = size(rng);
    offset += (uint64_t{file.length} + 511) / 512 * 512;
    TypeTally& tally = results.tallies[file.type];
    tally.present = 1;
    ++tally.count;
    tally.total_bytes += file.length;
    results.records.push_back(file);
  }
  results.found_count = count;
  results.records.push_back({});
  return results;
}

// Answers the invitation to save with No.
class NoPrompts : public pictavo::app::PromptHandler {
 public:
  QMessageBox::StandardButton Message(const pictavo::app::MessageRequest&) override {
    return QMessageBox::No;
  }
  QString ChooseFile(const pictavo::app::FileRequest&) override { return {}; }
  bool OpenUrl(const QUrl&) override { return true; }
};

double Milliseconds(QElapsedTimer& timer) { return timer.nsecsElapsed() / 1e6; }

void ChooseAndWait(CRecoverdFileDlg& page, QTreeWidgetItem* item);

// Resident memory of the process in KiB.
long ResidentKib() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  }
  return 0;
}

// An image of `distinct` real 1600 x 1200 JPEGs (camera-sized pictures cost a real decode each)
// and `count` finds cycling over them.
pictavo::ScanResults PhotoResults(const std::string& path, size_t count, int distinct) {
  using namespace pictavo;
  std::ofstream image(path, std::ios::binary | std::ios::trunc);
  std::vector<std::pair<uint64_t, uint64_t>> extents;
  uint64_t offset = 0;
  for (int k = 0; k < distinct; ++k) {
    samples::JpegOptions options;
    options.width = 1600;
    options.height = 1200;
    options.seed = static_cast<uint32_t>(k + 1);
    std::vector<uint8_t> bytes = samples::EncodeJpeg(options);
    extents.emplace_back(offset, bytes.size());
    bytes.resize((bytes.size() + 511) / 512 * 512);
    image.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    offset += bytes.size();
  }
  ScanResults results;
  results.records.reserve(count + 1);
  for (size_t i = 0; i < count; ++i) {
    const auto& [at, length] = extents[i % extents.size()];
    results.records.push_back({kTypeJpeg, at, length, 0});
  }
  results.tallies[kTypeJpeg] = {1, count, 0};
  results.found_count = count;
  results.records.push_back({});
  return results;
}

// True when every cell on screen shows what it will show.
bool ScreenShown(CRecoverdFileDlg& page) {
  pictavo::app::ThumbnailGrid* grid = page.grid();
  const QRect area = grid->viewport()->rect();
  const QSize cell = grid->gridSize();
  int shown = 0;
  for (int y = cell.height() / 2; y < area.height(); y += cell.height()) {
    for (int x = cell.width() / 2; x < area.width(); x += cell.width()) {
      const QModelIndex index = grid->indexAt(QPoint(x, y));
      if (!index.isValid()) continue;
      // A cell is done when it shows its thumbnail, or the placeholder of a picture that does
      // not decode, or the type's picture of a film or a sound.
      const uint32_t record = page.model()->RecordAt(index.row());
      const pictavo::app::FindDecode decode = page.thumbnails()->Facts(record).decode;
      if (!page.thumbnails()->Thumbnail(record) && decode != pictavo::app::FindDecode::kFailed &&
          decode != pictavo::app::FindDecode::kNotPicture) {
        return false;
      }
      ++shown;
    }
  }
  return shown > 0;
}

// The grid of thumbnails on a made-up medium of `count` JPEG finds, or on the finds of a scan of
// `medium` when one is given.
void GridFigures(size_t count, const std::string& medium = {}) {
  using namespace pictavo;
  const bool made_up = medium.empty();
  const std::string path = made_up
                               ? (QStandardPaths::writableLocation(QStandardPaths::TempLocation) +
                                  "/pictavo-bench-grid.img")
                                     .toStdString()
                               : medium;
  const long before_kib = ResidentKib();
  WizardState state;
  if (made_up) {
    state.results = PhotoResults(path, count, 64);
  } else {
    const ScanStatus status = RunScan(path, ScanOptions{}, state.results, nullptr, nullptr);
    if (!status.ok) {
      std::fprintf(stderr, "cannot scan %s: %s\n", path.c_str(), status.message.c_str());
      return;
    }
    count = state.results.found_count;
  }
  state.source_name = QString::fromStdString(path);
  const long results_kib = ResidentKib();
  auto page = std::make_unique<CRecoverdFileDlg>(state);
  page->resize(1000, 700);
  page->show();
  QApplication::processEvents();

  QElapsedTimer timer;
  timer.start();
  page->Activate();
  page->ShowThumbnails(true);
  ChooseAndWait(*page, page->root_item());
  while (!ScreenShown(*page) && timer.elapsed() < 30'000) {
    QApplication::processEvents(QEventLoop::AllEvents, 5);
  }
  const double first_screen_ms = Milliseconds(timer);

  // Scrolling: a page down at a time, then jumps across the whole list, each step painted; the
  // longest step is the longest the user-interface thread was kept from the user.
  QScrollBar* bar = page->grid()->verticalScrollBar();
  double longest_ms = 0;
  double total_ms = 0;
  int steps = 0;
  auto step = [&](int value) {
    QElapsedTimer one;
    one.start();
    bar->setValue(value);
    page->grid()->viewport()->repaint();
    QApplication::processEvents();
    const double ms = Milliseconds(one);
    longest_ms = std::max(longest_ms, ms);
    total_ms += ms;
    ++steps;
  };
  for (int k = 0; k < 200; ++k) step(bar->value() + bar->pageStep());
  for (int k = 0; k <= 100; ++k) step(int(int64_t(bar->maximum()) * ((k * 37) % 101) / 100));
  const long page_kib = ResidentKib();

  // The reading for the content filters, for ten seconds.
  page->filter_bar()->min_picture()->setCurrentIndex(2);
  QElapsedTimer reading;
  reading.start();
  const uint64_t known_before = page->thumbnails()->known_count();
  while (reading.elapsed() < 10'000) QApplication::processEvents(QEventLoop::AllEvents, 20);
  const double per_second =
      (page->thumbnails()->known_count() - known_before) / (reading.elapsed() / 1000.0);
  const long reading_kib = ResidentKib();

  if (made_up) {
    std::printf("%zu finds of 1600 x 1200 JPEGs, grid of thumbnails\n", count);
  } else {
    std::printf("%zu finds of %s, grid of thumbnails\n", count, path.c_str());
  }
  std::printf("  first screen of thumbnails       %8.1f ms\n", first_screen_ms);
  std::printf("  scrolling: longest step          %8.1f ms (%d steps, %.1f ms average)\n",
              longest_ms, steps, total_ms / steps);
  std::printf("  memory: results                  %8.1f MiB\n",
              (results_kib - before_kib) / 1024.0);
  std::printf("  memory: page after scrolling     %8.1f MiB (%zu thumbnails kept)\n",
              (page_kib - results_kib) / 1024.0, page->thumbnails()->cached_count());
  std::printf("  memory: page while reading       %8.1f MiB\n",
              (reading_kib - results_kib) / 1024.0);
  std::printf("  reading for the filters          %8.0f finds/s\n", per_second);
  page.reset();
  if (made_up) std::remove(path.c_str());
}

// Clicks a tree item's label and returns when the list holds its files.
void ChooseAndWait(CRecoverdFileDlg& page, QTreeWidgetItem* item) {
  QEventLoop loop;
  QObject::connect(&page, &CRecoverdFileDlg::ListFilled, &loop, &QEventLoop::quit);
  const QRect rect = page.tree()->visualItemRect(item);
  QTest::mouseClick(page.tree()->viewport(), Qt::LeftButton, Qt::NoModifier,
                    QPoint(rect.right() - 4, rect.center().y()));
  if (page.filling()) loop.exec();
}

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY")) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
  }
  QApplication application(argc, argv);
  if (argc > 2 && std::string(argv[1]) == "--image") {
    // Only the grid, on the finds of a real medium.
    NoPrompts prompts;
    pictavo::app::SetPromptHandler(&prompts);
    GridFigures(0, argv[2]);
    return 0;
  }
  const size_t count = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1'000'000;

  NoPrompts prompts;
  pictavo::app::SetPromptHandler(&prompts);
  WizardState state;
  state.results = SyntheticResults(count);
  CRecoverdFileDlg page(state);
  page.resize(900, 600);
  page.show();
  QApplication::processEvents();

  QElapsedTimer timer;
  timer.start();
  page.Activate();
  const double tree_ms = Milliseconds(timer);

  timer.restart();
  ChooseAndWait(page, page.type_item(pictavo::kTypeJpeg));
  const double jpeg_fill_ms = Milliseconds(timer);
  const int jpeg_rows = page.model()->rowCount();

  timer.restart();
  ChooseAndWait(page, page.root_item());
  const double root_fill_ms = Milliseconds(timer);

  timer.restart();
  page.grab();
  const double paint_ms = Milliseconds(timer);

  QHeaderView* header = page.list()->header();
  timer.restart();
  QTest::mouseClick(header->viewport(), Qt::LeftButton, Qt::NoModifier,
                    QPoint(header->sectionViewportPosition(1) + 10, header->height() / 2));
  const double sort_ms = Milliseconds(timer);

  timer.restart();
  page.list()->scrollToBottom();
  page.grab();
  const double scroll_ms = Milliseconds(timer);

  QTreeWidgetItem* root = page.root_item();
  timer.restart();
  root->setCheckState(0, Qt::Checked);  // as a click on the root's check box does
  const double mark_all_ms = Milliseconds(timer);

  std::printf("%zu found files\n", count);
  std::printf("  tree built on activation        %8.1f ms\n", tree_ms);
  std::printf("  JPEG branch listed (%d rows) %8.1f ms\n", jpeg_rows, jpeg_fill_ms);
  std::printf("  root listed (all files)         %8.1f ms\n", root_fill_ms);
  std::printf("  page painted                    %8.1f ms\n", paint_ms);
  std::printf("  sorted by size                  %8.1f ms\n", sort_ms);
  std::printf("  scrolled to the end, painted    %8.1f ms\n", scroll_ms);
  std::printf("  everything marked from the root %8.1f ms\n", mark_all_ms);
  std::printf("  selected total                  %s\n",
              page.selected_total_text()->text().toUtf8().constData());
  GridFigures(count);
  return 0;
}
