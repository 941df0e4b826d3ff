#include "app/scanning_dialog.h"

#include <QFile>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <cerrno>
#include <chrono>

#include "app/elapsed_time.h"
#include "app/prompts.h"
#include "filesystems/live_areas.h"
#include "filesystems/named_content.h"
#include "platform/sector_source.h"
#include "platform/system_error.h"

namespace pictavo::app {
namespace {

const QString kTitle = QStringLiteral("Scanning Drive");
const QString kStopQuestion = QStringLiteral("Do you want to cancel recovery?");
const QString kInformationCaption = QStringLiteral("Information");

class SignallingObserver : public ScanObserver {
 public:
  explicit SignallingObserver(ScanWorker* worker) : worker_(worker) {}
  void OnProgress(uint32_t percent, uint64_t position_mib, uint64_t) override {
    emit worker_->ProgressReported(percent, position_mib);
  }
  void OnFound(uint64_t found_count, const FoundFile&) override {
    emit worker_->FoundReported(found_count);
  }

 private:
  ScanWorker* worker_;
};

}  // namespace

ScanWorker::ScanWorker(std::string source_name, const FileTypeSelection& selection,
                       ScanResults* results, const std::atomic<bool>* stop_flag, QObject* parent)
    : QThread(parent),
      source_name_(std::move(source_name)),
      selection_(selection),
      results_(results),
      stop_flag_(stop_flag) {}

// The checkpoint keepers below only follow the scan; nothing is written until the user saves.
constexpr auto kNeverWrite = std::chrono::hours(24 * 365 * 100);

void ScanWorker::run() {
  SignallingObserver observer(this);
  stopped_scan_.reset();
  if (resume_from_) {
    Resume(&observer);
    return;
  }
  ScanOptions options;
  options.selection = selection_;
  options.exact_ends = exact_ends_;
  // Follows where the scan stands after each whole chunk, so that a stopped scan can be saved
  // and continued later; the results themselves are filled exactly as by a plain scan.
  ScanCheckpoint start;
  start.source_name = source_name_;
  start.selection = selection_;
  start.literal = LiteralScan();
  start.exact_ends = exact_ends_;
  start.results.records.emplace_back();
  std::unique_ptr<FileSectorSource> source;
  if (unallocated_only_) {
    int error = 0;
    source = FileSectorSource::Open(source_name_, {}, &error);
  }
  if (source) {
    std::optional<FreeSpacePlan> planned = PlanFreeSpace(*source);
    // Stopped while the file systems were read: nothing was searched, nothing to continue.
    if (!planned) return;
    FreeSpacePlan& plan = *planned;
    if (!plan.file_system_found) {
      free_space_note_ = QStringLiteral(
          "No file system Pictavo recognises was found on the drive, so the whole drive was "
          "searched.");
    }
    // The checkpoint records which areas were left out, so that a continued scan leaves out
    // the same ones, or is refused when the live files have changed since.
    start.free_space = true;
    start.free_space_areas = DigestOfAreas(plan.live_areas);
    options.skipped = std::move(plan.live_areas);
  }
  CheckpointKeeper keeper({}, std::move(start), *results_, &observer, kNeverWrite, stop_flag_);
  status_ = source ? RunScan(*source, options, *results_, &keeper, stop_flag_)
                   : RunScan(source_name_, options, *results_, &keeper, stop_flag_);
  if (status_.stopped) {
    stopped_scan_ = std::make_shared<ScanCheckpoint>(keeper.Current());
    return;
  }
  int error = 0;
  if (!source) source = FileSectorSource::Open(source_name_, {}, &error);
  if (source) ListNamedFiles(*source);
}

// The areas a scan of the free space leaves out, read in a child process like the listing below;
// nothing when Stop was pressed meanwhile (the scan then counts as stopped).
std::optional<FreeSpacePlan> ScanWorker::PlanFreeSpace(SectorSource& source) {
  IsolationOptions isolation;
  isolation.cancel = stop_flag_;
  FreeSpacePlan plan = PlanFreeSpaceScan(source, isolation);
  if (stop_flag_ && stop_flag_->load()) {
    status_.stopped = true;
    return std::nullopt;
  }
  return plan;
}

// The file systems are read in a child process, so that a crash inside the library that reads
// them cannot take the wizard down; Stop ends the child too.
void ScanWorker::ListNamedFiles(SectorSource& source) {
  IsolationOptions isolation;
  isolation.cancel = stop_flag_;
  named_files_ = ListFileSystemsIsolated(source, {}, isolation);
  if (stop_flag_ && stop_flag_->load()) {
    named_files_ = {};
    return;
  }
  ClassifyNamedFiles(source, named_files_);
}

void ScanWorker::Resume(ScanObserver* observer) {
  const ScanCheckpoint& base = *resume_from_;
  // Should the scan not get going, what the saved scan had found is still there to be shown and
  // saved, and it can still be continued.
  *results_ = base.results;
  stopped_scan_ = resume_from_;
  int error = 0;
  std::string reason;
  auto source = FileSectorSource::Open(base.source_name, OpenOptions{}, &error, &reason);
  if (!source) {
    status_.error_code = error;
    status_.message = reason.empty() ? SystemErrorText(error) : reason;
    return;
  }
  if (source->Size() != base.source_size || source->SectorSize() != base.sector_size) {
    status_.message = "The scan cannot be continued: " + base.source_name + " now holds " +
                      std::to_string(source->Size()) + " bytes in " +
                      std::to_string(source->SectorSize()) + "-byte sectors, the scan was of " +
                      std::to_string(base.source_size) + " bytes in " +
                      std::to_string(base.sector_size) + "-byte sectors.";
    return;
  }
  ScanOptions options;
  options.selection = base.selection;
  options.exact_ends = base.exact_ends;
  if (base.free_space) {
    // A scan of the free space goes on only with the areas it began with.
    std::optional<FreeSpacePlan> plan = PlanFreeSpace(*source);
    if (!plan) return;
    if (const std::string change = FreeSpacePlanChange(base.free_space_areas, *plan);
        !change.empty()) {
      status_.message = "The scan cannot be continued: " + change;
      return;
    }
    options.skipped = std::move(plan->live_areas);
  }
  ScanResults later;
  CheckpointKeeper keeper({}, base, later, observer, kNeverWrite, stop_flag_);
  status_ = ResumeScan(*source, options, base.position, base.results.found_count, later, &keeper,
                       stop_flag_);
  if (status_.stopped) {
    // What the last chunk gave is left to the next run, which reads that chunk again.
    stopped_scan_ = std::make_shared<ScanCheckpoint>(keeper.Current());
    *results_ = stopped_scan_->results;
  } else {
    stopped_scan_.reset();
    *results_ = CombineScanResults(base.results, later, base.position, base.exact_ends);
    ListNamedFiles(*source);
  }
}

CScanningDlg::CScanningDlg(WizardState& state, QWidget* parent)
    : WorkerDialog(parent), state_(state) {
  setWindowTitle(kTitle);
  setModal(true);

  QFont bold = font();
  bold.setWeight(QFont::Bold);

  auto* frame = new QGroupBox(this);
  auto* grid = new QGridLayout(frame);
  grid->setColumnStretch(1, 1);
  grid->setHorizontalSpacing(10);
  auto add_caption = [&](const QString& text, int row) {
    auto* caption = new QLabel(text, frame);
    grid->addWidget(caption, row, 0);
    return caption;
  };
  auto make_value = [&] {
    auto* value = new QLabel(QStringLiteral("Static"), frame);
    value->setTextInteractionFlags(Qt::TextSelectableByMouse);
    return value;
  };

  add_caption(QStringLiteral("Drive : "), 0);
  drive_text_ = make_value();
  grid->addWidget(drive_text_, 0, 1, 1, 2);

  add_caption(QStringLiteral("Progress : "), 1);
  progress_bar_ = new QProgressBar(frame);
  progress_bar_->setRange(0, 100);
  progress_bar_->setTextVisible(false);
  percent_text_ = make_value();
  percent_text_->setMinimumWidth(percent_text_->fontMetrics().horizontalAdvance("100 %") + 6);
  grid->addWidget(progress_bar_, 1, 1);
  grid->addWidget(percent_text_, 1, 2);

  add_caption(QStringLiteral("Position : "), 2);
  position_text_ = make_value();
  grid->addWidget(position_text_, 2, 1, 1, 2);

  add_caption(QStringLiteral("Found Files : "), 3);
  found_text_ = make_value();
  grid->addWidget(found_text_, 3, 1, 1, 2);

  QLabel* time_caption = add_caption(QStringLiteral("Time Taken : "), 4);
  time_caption->setFont(bold);
  elapsed_text_ = make_value();
  elapsed_text_->setFont(bold);
  grid->addWidget(elapsed_text_, 4, 1, 1, 2);

  stop_button_ = LayOutAboveButton(frame, QStringLiteral("Stop"), 480);

  stop_flag_.store(false);
  percent_text_->setText(QString());
  percent_text_->setText(QStringLiteral("0 %"));
  position_text_->setText(QStringLiteral("0"));
  StartClock(elapsed_text_);
  // Blank until the first tick.
  elapsed_text_->setText(QString());
  drive_text_->setText(state_.source_label);
  found_text_->setText(QStringLiteral("0"));

  connect(stop_button_, &QPushButton::clicked, this, &CScanningDlg::OnStopClicked);
}

CScanningDlg::~CScanningDlg() {
  // The dialog normally ends only after its worker; should it go earlier, the scan is stopped
  // and awaited, since the worker writes to the wizard's results.
  if (worker_ && worker_->isRunning()) {
    stop_flag_.store(true);
    AwaitWorker(worker_);
  }
}

QString CScanningDlg::OutcomeMessage(const ScanStatus& status) {
  QString message;
  if (!status.ok) {
    message = QString::fromStdString(status.message.empty() ? SystemErrorText(status.error_code)
                                                            : status.message);
    if (PrivilegesMayHelp(status.error_code)) {
      message += QStringLiteral("\n\n") + PermissionAdvice();
    }
  } else if (status.failed_chunks > 0) {
    // The scan went on past unreadable areas; the user should know the results have gaps.
    message = QStringLiteral(
                  "%1 area(s) of the drive could not be read and were skipped; files "
                  "stored there were not found.")
                  .arg(status.failed_chunks);
  }
  return message;
}

void CScanningDlg::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (!worker_) StartWorker();
}

void CScanningDlg::StartWorker() {
  // The worker replaces the results as it goes; whatever a snapshot held is not what is shown.
  state_.results_saved = false;
  state_.named_files = {};
  state_.stopped_scan.reset();
  worker_ = new ScanWorker(QFile::encodeName(state_.source_name).toStdString(), *state_.selection,
                           &state_.results, &stop_flag_, this);
  worker_->set_exact_ends(state_.exact_ends);
  worker_->set_unallocated_only(state_.unallocated_only);
  if (state_.resume_from) {
    worker_->set_resume_from(state_.resume_from);
    found_text_->setText(QString::number(state_.resume_from->results.found_count));
  }
  connect(worker_, &ScanWorker::ProgressReported, this, &CScanningDlg::OnProgress,
          Qt::BlockingQueuedConnection);
  connect(worker_, &ScanWorker::FoundReported, this, &CScanningDlg::OnFound,
          Qt::BlockingQueuedConnection);
  connect(worker_, &QThread::finished, this, &CScanningDlg::OnWorkerFinished);
  working_ = true;
  worker_->start(QThread::NormalPriority);
}

void CScanningDlg::OnProgress(quint32 percent, quint64 position_mib) {
  percent_text_->setText(QStringLiteral("%1%").arg(percent));
  progress_bar_->setValue(static_cast<int>(percent));
  position_text_->setText(QStringLiteral("%1 MB").arg(position_mib));
}

void CScanningDlg::OnFound(quint64 found_count) {
  found_text_->setText(QString::number(static_cast<uint32_t>(found_count)));
}

void CScanningDlg::OnStopClicked() {
  if (!working_) return;
  if (!AskYesNo(this, kStopQuestion)) return;
  stop_flag_.store(true);
  stop_button_->setEnabled(false);
  // Refused while the worker runs; the dialog closes when the scan has ended.
  close();
}

void CScanningDlg::OnWorkerFinished() {
  worker_->wait();
  working_ = false;
  StopClock();
  state_.last_scan = worker_->status();
  state_.stopped_scan = worker_->stopped_scan();
  state_.named_files = std::move(worker_->named_files());
  state_.scanned = true;
  done(QDialog::Rejected);
  QString message = OutcomeMessage(state_.last_scan);
  if (!worker_->free_space_note().isEmpty() && !state_.last_scan.stopped) {
    message +=
        (message.isEmpty() ? QString() : QStringLiteral("\n\n")) + worker_->free_space_note();
  }
  if (!message.isEmpty()) {
    ShowMessage(nullptr, message, kInformationCaption, QMessageBox::Information, QMessageBox::Ok);
  }
}

}  // namespace pictavo::app
