#include "app/saving_dialog.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/prompts.h"
#include "filesystems/named_content.h"
#include "platform/sector_source.h"
#include "platform/system_error.h"
#include "results/size_text.h"
#include "results/snapshot.h"

namespace pictavo::app {
namespace {

const QString kTitle = QStringLiteral("Saving");
const QString kCancelText = QStringLiteral("Cancel");
const QString kStartingText = QStringLiteral("Preparing to save the marked files...");
const QString kCancellingText = QStringLiteral("Cancelling: the file in hand is being removed...");
const QString kSavingFileText = QStringLiteral("Saving %1");
const QString kFolderTitle = QStringLiteral("Choose the folder for the recovered photos");
const QString kNamedFolderTitle = QStringLiteral("Choose the folder for the files with names");
const QString kInformationCaption = QStringLiteral("Information");
const QString kSourceOpenFailed = QStringLiteral(
    "The files cannot be saved: %1 could not be opened.\n%2\n\nThe drive or image the files were "
    "found on must be reachable under the same name.");
const QString kFolderNotMade = QStringLiteral("The folder %1 could not be created.");

constexpr int kProgressSteps = 1000;
constexpr auto kReportInterval = std::chrono::milliseconds(50);

QString Text(const std::string& text) { return QString::fromStdString(text); }
std::string PathOf(const QString& name) { return QFile::encodeName(name).toStdString(); }

// Turns the session's reports into the worker's signals: the file in hand is named as the session
// places it ("File3.jpeg", or "jpeg/2024/2024-07-13/2024-07-13 18.22.05.jpeg" when organised).
class SignallingObserver : public SavingObserver {
 public:
  explicit SignallingObserver(SaveWorker* worker) : worker_(worker) {}

  void OnStart(uint64_t file_count, uint64_t total_bytes) override {
    file_count_ = file_count;
    total_bytes_ = total_bytes;
  }
  // The first file is shown before anything is copied; a later one as soon as a report is due.
  void OnFileStart(size_t, const std::string& relative_path) override {
    current_ = Text(relative_path);
    Report(bytes_done_, !reported_);
    reported_ = true;
  }
  void OnProgress(uint64_t bytes_done, uint64_t) override {
    bytes_done_ = bytes_done;
    Report(bytes_done, false);
  }
  void OnFileDone(const SavedFile&) override { ++files_done_; }

 private:
  void Report(uint64_t bytes_done, bool force) {
    const auto now = std::chrono::steady_clock::now();
    if (!force && now - last_report_ < kReportInterval) return;
    last_report_ = now;
    emit worker_->ProgressReported(current_, files_done_, file_count_, bytes_done, total_bytes_);
  }

  SaveWorker* worker_;
  QString current_;
  bool reported_ = false;
  uint64_t bytes_done_ = 0;
  uint64_t files_done_ = 0;
  uint64_t file_count_ = 0;
  uint64_t total_bytes_ = 0;
  std::chrono::steady_clock::time_point last_report_{};
};

// The reports of one part of a mixed run, as parts of the whole run's: the bytes count on from
// those of the parts before, and the run's start was reported once for all parts.
class PartObserver : public SavingObserver {
 public:
  PartObserver(SavingObserver* run, uint64_t bytes_before, uint64_t total_bytes)
      : run_(run), bytes_before_(bytes_before), total_bytes_(total_bytes) {}

  void OnProgress(uint64_t bytes_done, uint64_t) override {
    run_->OnProgress(bytes_before_ + bytes_done, total_bytes_);
  }
  void OnFileStart(size_t record_index, const std::string& relative_path) override {
    run_->OnFileStart(record_index, relative_path);
  }
  void OnFileDone(const SavedFile& file) override { run_->OnFileDone(file); }

 private:
  SavingObserver* run_;
  uint64_t bytes_before_;
  uint64_t total_bytes_;
};

// Saving files with names reports no file in hand; it takes the files in the order given, and
// each one it is done with ends with OnFileDone, so the next one is known: it is announced as
// the session announces a carved find, by its place below the destination.
class NamedFileAnnouncer : public SaveObserver {
 public:
  NamedFileAnnouncer(SavingObserver* run, const FileSystemListing& listing,
                     const std::vector<size_t>& which)
      : run_(run), listing_(listing), which_(which) {}

  void OnStart(uint64_t file_count, uint64_t total_bytes) override {
    run_->OnStart(file_count, total_bytes);
    Announce();
  }
  void OnProgress(uint64_t bytes_done, uint64_t total_bytes) override {
    run_->OnProgress(bytes_done, total_bytes);
  }
  void OnFileDone(const SavedFile& file) override {
    run_->OnFileDone(file);
    ++next_;
    Announce();
  }

 private:
  void Announce() {
    if (next_ >= which_.size() || which_[next_] >= listing_.files.size()) return;
    run_->OnFileStart(which_[next_], NamedFileShownPath(listing_, listing_.files[which_[next_]]));
  }

  SavingObserver* run_;
  const FileSystemListing& listing_;
  const std::vector<size_t>& which_;
  size_t next_ = 0;
};

QString DurationText(double seconds) {
  const auto whole = static_cast<uint64_t>(seconds + 0.5);
  if (whole < 60) return QStringLiteral("%1 s").arg(whole);
  if (whole < 3600) return QStringLiteral("%1 min %2 s").arg(whole / 60).arg(whole % 60);
  return QStringLiteral("%1 h %2 min").arg(whole / 3600).arg(whole / 60 % 60);
}

}  // namespace

SavingJob CarvedSavingJob(SectorSource& source, const ScanResults& results, std::string folder,
                          SavingLayout layout) {
  return [&source, &results, folder = std::move(folder), layout](SavingObserver* observer,
                                                                 const std::atomic<bool>* cancel) {
    SavingOptions options;
    options.layout = layout;
    SavingSession session(source, results, folder, options);
    return session.Run(observer, cancel);
  };
}

SavingJob MixedSavingJob(SectorSource& source, const FileSystemListing& listing,
                         std::vector<size_t> named, const ScanResults* carved, std::string folder,
                         SavingLayout layout) {
  return [&source, &listing, named = std::move(named), carved, folder = std::move(folder), layout](
             SavingObserver* observer, const std::atomic<bool>* cancel) {
    const uint64_t named_bytes = NamedFilesBytes(listing, named);
    SavingOptions options;
    options.layout = layout;
    std::optional<SavingSession> session;
    if (carved) session.emplace(source, *carved, folder, options);
    uint64_t total_bytes = named_bytes;
    if (session && __builtin_add_overflow(total_bytes, session->MarkedBytes(), &total_bytes)) {
      total_bytes = UINT64_MAX;
    }
    observer->OnStart(named.size() + (session ? session->MarkedCount() : 0), total_bytes);
    SaveSummary summary;
    if (!named.empty()) {
      PartObserver part(observer, 0, total_bytes);
      NamedFileAnnouncer announcer(&part, listing, named);
      summary = SaveNamedFiles(source, listing, named, folder, &announcer, cancel);
    }
    if (session && !summary.cancelled && !summary.destination_failed) {
      PartObserver part(observer, named_bytes, total_bytes);
      AddSaveSummary(summary, session->Run(&part, cancel));
    }
    return summary;
  };
}

void AddSaveSummary(SaveSummary& summary, SaveSummary more) {
  summary.files.insert(summary.files.end(), std::make_move_iterator(more.files.begin()),
                       std::make_move_iterator(more.files.end()));
  summary.written += more.written;
  summary.damaged += more.damaged;
  summary.failed += more.failed;
  summary.renamed += more.renamed;
  summary.stale_partial_files_removed += more.stale_partial_files_removed;
  summary.cancelled = summary.cancelled || more.cancelled;
  if (more.destination_failed && !summary.destination_failed) {
    summary.destination_failed = true;
    summary.destination_error = std::move(more.destination_error);
  }
}

SaveWorker::SaveWorker(SectorSource& source, const ScanResults& results, std::string folder,
                       const std::atomic<bool>* cancel, SavingLayout layout, QObject* parent)
    : SaveWorker(CarvedSavingJob(source, results, std::move(folder), layout), cancel, parent) {}

SaveWorker::SaveWorker(SavingJob job, const std::atomic<bool>* cancel, QObject* parent)
    : QThread(parent), job_(std::move(job)), cancel_(cancel) {}

void SaveWorker::run() {
  SignallingObserver observer(this);
  summary_ = job_(&observer, cancel_);
}

SavingDialog::SavingDialog(SectorSource& source, const ScanResults& results, const QString& folder,
                           QWidget* parent, SavingLayout layout)
    : SavingDialog(CarvedSavingJob(source, results, PathOf(folder), layout), parent) {}

SavingDialog::SavingDialog(SavingJob job, QWidget* parent)
    : WorkerDialog(parent), job_(std::move(job)) {
  setWindowTitle(kTitle);
  setModal(true);

  auto* frame = new QGroupBox(this);
  file_text_ = new QLabel(kStartingText, frame);
  file_text_->setTextFormat(Qt::PlainText);
  progress_bar_ = new QProgressBar(frame);
  progress_bar_->setRange(0, kProgressSteps);
  progress_bar_->setValue(0);
  progress_text_ = new QLabel(frame);
  progress_text_->setTextFormat(Qt::PlainText);
  auto* frame_layout = new QVBoxLayout(frame);
  frame_layout->addWidget(file_text_);
  frame_layout->addWidget(progress_bar_);
  frame_layout->addWidget(progress_text_);

  cancel_button_ = LayOutAboveButton(frame, kCancelText, 460);

  connect(cancel_button_, &QPushButton::clicked, this, &SavingDialog::OnCancelClicked);
}

SavingDialog::~SavingDialog() {
  // The dialog normally ends only after its worker; should it go earlier, the run is cancelled
  // and awaited, since the worker reads the wizard's results and the source.
  if (worker_ && worker_->isRunning()) {
    cancel_.store(true);
    AwaitWorker(worker_);
  }
}

QString SavingDialog::ProgressText(uint64_t files_done, uint64_t file_count, uint64_t bytes_done,
                                   uint64_t total_bytes, double seconds) {
  QString text = QStringLiteral("%1 of %2, file %3 of %4")
                     .arg(Text(SizeText(bytes_done)), Text(SizeText(total_bytes)))
                     .arg(std::min(files_done + 1, file_count))
                     .arg(file_count);
  // The rate means something only after a moment and some bytes.
  if (seconds >= 1.0 && bytes_done > 0) {
    const double rate = bytes_done / seconds;
    text += QStringLiteral(", %1/s").arg(Text(SizeText(static_cast<uint64_t>(rate))));
    if (total_bytes > bytes_done) {
      text += QStringLiteral(", %1 left").arg(DurationText((total_bytes - bytes_done) / rate));
    }
  }
  return text;
}

void SavingDialog::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (worker_) return;
  worker_ = new SaveWorker(job_, &cancel_, this);
  connect(worker_, &SaveWorker::ProgressReported, this, &SavingDialog::OnProgress,
          Qt::BlockingQueuedConnection);
  connect(worker_, &QThread::finished, this, &SavingDialog::OnWorkerFinished);
  working_ = true;
  start_time_ = std::chrono::steady_clock::now();
  worker_->start();
}

void SavingDialog::OnProgress(const QString& name, quint64 files_done, quint64 file_count,
                              quint64 bytes_done, quint64 total_bytes) {
  if (!cancel_.load()) file_text_->setText(kSavingFileText.arg(name));
  const double permille =
      total_bytes ? static_cast<double>(bytes_done) * kProgressSteps / total_bytes : 0.0;
  progress_bar_->setValue(static_cast<int>(permille));
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start_time_;
  progress_text_->setText(
      ProgressText(files_done, file_count, bytes_done, total_bytes, elapsed.count()));
  emit ProgressShown(bytes_done);
}

void SavingDialog::OnCancelClicked() {
  if (!working_) return;
  cancel_.store(true);
  cancel_button_->setEnabled(false);
  file_text_->setText(kCancellingText);
}

void SavingDialog::OnWorkerFinished() {
  worker_->wait();
  working_ = false;
  summary_ = worker_->summary();
  done(summary_.cancelled ? QDialog::Rejected : QDialog::Accepted);
}

std::optional<SavingTarget> PrepareSavingRun(QWidget* owner, const WizardState& state,
                                             uint64_t bytes, const QString& folder_title) {
  SavingTarget target;
  target.folder = ChooseFolder(owner, folder_title);
  if (target.folder.isEmpty()) return std::nullopt;
  const std::string source_name = PathOf(state.source_name);
  QApplication::setOverrideCursor(Qt::WaitCursor);
  const DestinationCheck check = CheckDestination(PathOf(target.folder), source_name, bytes);
  QApplication::restoreOverrideCursor();
  if (!check.accepted()) {
    ShowInformation(owner, Text(check.message));
    return std::nullopt;
  }
  if (!QDir().mkpath(target.folder)) {
    ShowInformation(owner, kFolderNotMade.arg(target.folder));
    return std::nullopt;
  }
  int error = 0;
  target.source = FileSectorSource::Open(source_name, OpenOptions{}, &error);
  if (!target.source) {
    ShowInformation(owner, kSourceOpenFailed.arg(state.source_name, Text(SystemErrorText(error))));
    return std::nullopt;
  }
  return target;
}

void ShowSavingOutcome(QWidget* owner, const SaveSummary& summary, const QString& folder) {
  ShowMessage(owner, Text(SaveSummaryText(summary, PathOf(folder))).trimmed(), kInformationCaption,
              summary.all_written() ? QMessageBox::Information : QMessageBox::Warning,
              QMessageBox::Ok);
}

bool RunMixedSavingRun(QWidget* owner, const WizardState& state, const std::vector<size_t>& named,
                       bool with_carved, const SavingLayout& layout, const ScanResults* results) {
  const ScanResults* carved = results ? results : (with_carved ? &state.results : nullptr);
  uint64_t bytes = NamedFilesBytes(state.named_files, named);
  if (carved && __builtin_add_overflow(bytes, SelectedTotal(*carved), &bytes)) bytes = UINT64_MAX;
  // Files with names alone keep their own question; with carved finds, those are the photos.
  std::optional<SavingTarget> target =
      PrepareSavingRun(owner, state, bytes, carved ? kFolderTitle : kNamedFolderTitle);
  if (!target) return false;
  SavingDialog dialog(MixedSavingJob(*target->source, state.named_files, named, carved,
                                     PathOf(target->folder), layout),
                      owner);
  dialog.exec();
  ShowSavingOutcome(owner, dialog.summary(), target->folder);
  return true;
}

}  // namespace pictavo::app
