// Times the recovered-files page on a million found files: building the tree, filling the list
// for a large branch and for the root, sorting by size, marking everything, and painting the
// page. Run by hand (offscreen unless a display is given):
//   build/dev/bench/pictavo-bench-results-page [FILE_COUNT]
#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QHeaderView>
#include <QLabel>
#include <QTest>
#include <QTreeView>
#include <QTreeWidget>
#include <cstdio>
#include <cstdlib>
#include <random>

#include "app/prompts.h"
#include "app/recovered_files_page.h"

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
  return 0;
}
