#pragma once

#include <QDialog>
#include <QThread>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/wizard_state.h"
#include "app/worker_dialog.h"
#include "filesystems/named_file.h"
#include "platform/sector_source.h"
#include "results/recovery.h"
#include "results/saving_session.h"

class QLabel;
class QProgressBar;
class QPushButton;

namespace pictavo {
class SectorSource;
}

namespace pictavo::app {

// One saving run as the Saving dialog runs it: it reports to `observer` (OnStart first, the file
// in hand before each file, the bytes after each chunk) and reads `cancel` between chunks.
using SavingJob =
    std::function<SaveSummary(SavingObserver* observer, const std::atomic<bool>* cancel)>;

// The marked finds of `results` into `folder`, laid out by `layout`.
SavingJob CarvedSavingJob(SectorSource& source, const ScanResults& results, std::string folder,
                          SavingLayout layout = {});

// Files with names and carved finds in one run into `folder`: first the files `named` of
// `listing` (indices into its files) in their folders under their own names, then the marked
// finds of `carved` (when given) by `layout`. The progress covers both; the summary adds both
// up. The carved finds are not tried once the destination has failed or the run was cancelled.
// `listing` and `carved` must outlive the job.
SavingJob MixedSavingJob(SectorSource& source, const FileSystemListing& listing,
                         std::vector<size_t> named, const ScanResults* carved, std::string folder,
                         SavingLayout layout = {});

// Adds the outcomes of `more` (a later part of the same run) to `summary`.
void AddSaveSummary(SaveSummary& summary, SaveSummary more);

// Runs one saving run (every marked file into a folder) on its own thread. Its reports are
// connected with Qt::BlockingQueuedConnection, so a report is on screen (and a Cancel pressed
// in answer to it is seen) before the next chunk is copied; they come at most every 50 ms.
class SaveWorker : public QThread {
  Q_OBJECT

 public:
  SaveWorker(SectorSource& source, const ScanResults& results, std::string folder,
             const std::atomic<bool>* cancel, SavingLayout layout = {}, QObject* parent = nullptr);
  SaveWorker(SavingJob job, const std::atomic<bool>* cancel, QObject* parent = nullptr);

  // Valid once the thread has finished.
  const SaveSummary& summary() const { return summary_; }

 signals:
  // `name` is the file in hand ("File3.jpeg"), `files_done` the files finished before it.
  void ProgressReported(QString name, quint64 files_done, quint64 file_count, quint64 bytes_done,
                        quint64 total_bytes);

 protected:
  void run() override;

 private:
  SavingJob job_;
  const std::atomic<bool>* cancel_;
  SaveSummary summary_;
};

// "Saving": the progress of a saving run. Shows the file in hand, the files and bytes done with
// the rate and the time left, a bar that follows the bytes written, and Cancel, which stops the
// run at the next 10 MiB chunk (the file in hand is deleted, the files before it stay). The
// dialog starts the run when shown and closes itself when the run ends; until then Esc and the
// close box are refused.
class SavingDialog : public WorkerDialog {
  Q_OBJECT

 public:
  SavingDialog(SectorSource& source, const ScanResults& results, const QString& folder,
               QWidget* parent = nullptr, SavingLayout layout = {});
  // Runs `job`; what it refers to must outlive the dialog.
  explicit SavingDialog(SavingJob job, QWidget* parent = nullptr);
  ~SavingDialog() override;

  bool running() const { return working_; }
  // Valid once the dialog has closed.
  const SaveSummary& summary() const { return summary_; }

  QLabel* file_text() const { return file_text_; }
  QLabel* progress_text() const { return progress_text_; }
  QProgressBar* progress_bar() const { return progress_bar_; }
  QPushButton* cancel_button() const { return cancel_button_; }

  // "1.20  MB of 5.00  MB, file 4 of 12, 3.1 MB/s, 2 s left"
  static QString ProgressText(uint64_t files_done, uint64_t file_count, uint64_t bytes_done,
                              uint64_t total_bytes, double seconds);

 signals:
  // After each report has been shown (tests wait for it).
  void ProgressShown(quint64 bytes_done);

 protected:
  void showEvent(QShowEvent* event) override;
  // Esc and the close box ask for a cancel; the dialog closes when the worker has stopped.
  void OnCloseRefused() override { OnCancelClicked(); }

 private:
  void OnProgress(const QString& name, quint64 files_done, quint64 file_count, quint64 bytes_done,
                  quint64 total_bytes);
  void OnCancelClicked();
  void OnWorkerFinished();

  SavingJob job_;
  QLabel* file_text_ = nullptr;
  QLabel* progress_text_ = nullptr;
  QProgressBar* progress_bar_ = nullptr;
  QPushButton* cancel_button_ = nullptr;

  std::atomic<bool> cancel_{false};
  SaveWorker* worker_ = nullptr;
  SaveSummary summary_;
  std::chrono::steady_clock::time_point start_time_;
};

// The "Recover" button of the recovered-files page: asks for a folder, checks it (never on the
// medium being recovered, and with room for the marked files), copies the marked files behind
// the Saving dialog and tells how it went. False when nothing was saved because the user
// cancelled the folder choice or the folder or source was refused.
// The files `named` of the wizard's named files (indices) go first, in their folders under their
// own names; then the marked finds of `results` (when given: the page's filtered copy) or, when
// null and `with_carved`, of the wizard's results, laid out by `layout`. Both kinds go into the
// one folder chosen, checked once for the bytes of both, behind one Saving dialog.
bool RunMixedSavingRun(QWidget* owner, const WizardState& state, const std::vector<size_t>& named,
                       bool with_carved, const SavingLayout& layout = {},
                       const ScanResults* results = nullptr);

// Where a saving run writes and what it reads.
struct SavingTarget {
  QString folder;
  std::unique_ptr<FileSectorSource> source;
};

// The steps every saving run takes first: asks for a folder with `folder_title`, checks it for
// `bytes` against the wizard's source, makes it and opens the source. Nothing when the user
// cancelled the choice or was told why the folder or the source cannot be used.
std::optional<SavingTarget> PrepareSavingRun(QWidget* owner, const WizardState& state,
                                             uint64_t bytes, const QString& folder_title);

// Tells the user how a saving run into `folder` went.
void ShowSavingOutcome(QWidget* owner, const SaveSummary& summary, const QString& folder);

}  // namespace pictavo::app
