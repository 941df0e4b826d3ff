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
  void OnFileStart(size_t, const std::string& relative_path) override {
    current_ = Text(relative_path);
    if (!reported_) Report(0, true);
    reported_ = true;
  }
  void OnProgress(uint64_t bytes_done, uint64_t) override { Report(bytes_done, false); }
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
  uint64_t files_done_ = 0;
  uint64_t file_count_ = 0;
  uint64_t total_bytes_ = 0;
  std::chrono::steady_clock::time_point last_report_{};
};

QString DurationText(double seconds) {
  const auto whole = static_cast<uint64_t>(seconds + 0.5);
  if (whole < 60) return QStringLiteral("%1 s").arg(whole);
  if (whole < 3600) return QStringLiteral("%1 min %2 s").arg(whole / 60).arg(whole % 60);
  return QStringLiteral("%1 h %2 min").arg(whole / 3600).arg(whole / 60 % 60);
}

}  // namespace

SaveWorker::SaveWorker(SectorSource& source, const ScanResults& results, std::string folder,
                       const std::atomic<bool>* cancel, SavingLayout layout, QObject* parent)
    : QThread(parent),
      source_(source),
      results_(results),
      folder_(std::move(folder)),
      cancel_(cancel),
      layout_(layout) {}

void SaveWorker::run() {
  SignallingObserver observer(this);
  SavingOptions options;
  options.layout = layout_;
  SavingSession session(source_, results_, folder_, options);
  summary_ = session.Run(&observer, cancel_);
}

SavingDialog::SavingDialog(SectorSource& source, const ScanResults& results, const QString& folder,
                           QWidget* parent, SavingLayout layout)
    : WorkerDialog(parent),
      source_(source),
      results_(results),
      folder_(PathOf(folder)),
      layout_(layout) {
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
  worker_ = new SaveWorker(source_, results_, folder_, &cancel_, layout_, this);
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

bool RunSavingRun(QWidget* owner, WizardState& state, const SavingLayout& layout,
                  const ScanResults* results) {
  const ScanResults& to_save = results ? *results : state.results;
  const uint64_t marked_bytes = results ? SelectedTotal(*results) : state.selected_total;
  std::optional<SavingTarget> target = PrepareSavingRun(owner, state, marked_bytes, kFolderTitle);
  if (!target) return false;
  SavingDialog dialog(*target->source, to_save, target->folder, owner, layout);
  dialog.exec();
  ShowSavingOutcome(owner, dialog.summary(), target->folder);
  return true;
}

}  // namespace pictavo::app
