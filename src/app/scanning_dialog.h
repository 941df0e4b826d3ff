#pragma once

#include <QDialog>
#include <QThread>
#include <atomic>
#include <memory>
#include <optional>
#include <string>

#include "app/wizard_state.h"
#include "app/worker_dialog.h"
#include "filesystems/live_areas.h"

class QLabel;
class QProgressBar;
class QPushButton;

namespace pictavo::app {

// Runs one scan on its own thread and passes the scan's reports on as signals. Connected with
// Qt::BlockingQueuedConnection, each report is shown before the scan goes on.
class ScanWorker : public QThread {
  Q_OBJECT

 public:
  ScanWorker(std::string source_name, const FileTypeSelection& selection, ScanResults* results,
             const std::atomic<bool>* stop_flag, QObject* parent = nullptr);

  // Valid once the thread has finished.
  const ScanStatus& status() const { return status_; }
  // Measure files whole (the exact-ends mode); set before start().
  void set_exact_ends(bool exact) { exact_ends_ = exact; }
  // Carve only the space no live file occupies; set before start().
  void set_unallocated_only(bool only) { unallocated_only_ = only; }
  // With the option set, once the thread has finished: empty when the file systems told where
  // the live files lie, else why the whole source was searched.
  const QString& free_space_note() const { return free_space_note_; }
  // Go on with a stopped scan instead of starting afresh (its types and mode win); set before
  // start().
  void set_resume_from(std::shared_ptr<const ScanCheckpoint> checkpoint) {
    resume_from_ = std::move(checkpoint);
  }
  // Valid once the thread has finished: where the scan stood when it was stopped, or null.
  std::shared_ptr<const ScanCheckpoint> stopped_scan() const { return stopped_scan_; }
  // Valid once the thread has finished: the files the medium's file systems describe, listed
  // after a scan that went to its end; empty when none was recognised or the scan was stopped.
  FileSystemListing& named_files() { return named_files_; }

 signals:
  void ProgressReported(quint32 percent, quint64 position_mib);
  void FoundReported(quint64 found_count);

 protected:
  void run() override;

 private:
  std::string source_name_;
  FileTypeSelection selection_;
  ScanResults* results_;
  const std::atomic<bool>* stop_flag_;
  ScanStatus status_;
  bool exact_ends_ = false;
  bool unallocated_only_ = false;
  QString free_space_note_;
  std::shared_ptr<const ScanCheckpoint> resume_from_;
  std::shared_ptr<const ScanCheckpoint> stopped_scan_;
  FileSystemListing named_files_;

  void Resume(ScanObserver* observer);
  void ListNamedFiles(SectorSource& source);
  std::optional<FreeSpacePlan> PlanFreeSpace(SectorSource& source);
};

// "Scanning Drive": runs the scan of the selected source behind a modal dialog that shows the
// drive, the progress, the position, the files found and the time taken, and can stop the scan.
// It closes itself when the scan ends; until then Esc and the close box are refused.
class CScanningDlg : public WorkerDialog {
  Q_OBJECT

 public:
  explicit CScanningDlg(WizardState& state, QWidget* parent = nullptr);
  ~CScanningDlg() override;

  // The message shown after a scan that ended with `status`; empty when there is none.
  static QString OutcomeMessage(const ScanStatus& status);

  bool running() const { return working_; }

  QLabel* drive_text() const { return drive_text_; }
  QLabel* percent_text() const { return percent_text_; }
  QLabel* position_text() const { return position_text_; }
  QLabel* found_text() const { return found_text_; }
  QLabel* elapsed_text() const { return elapsed_text_; }
  QProgressBar* progress_bar() const { return progress_bar_; }
  QPushButton* stop_button() const { return stop_button_; }

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void StartWorker();
  void OnProgress(quint32 percent, quint64 position_mib);
  void OnFound(quint64 found_count);
  void OnStopClicked();
  void OnWorkerFinished();

  WizardState& state_;
  QLabel* drive_text_ = nullptr;
  QLabel* percent_text_ = nullptr;
  QLabel* position_text_ = nullptr;
  QLabel* found_text_ = nullptr;
  QLabel* elapsed_text_ = nullptr;
  QProgressBar* progress_bar_ = nullptr;
  QPushButton* stop_button_ = nullptr;

  std::atomic<bool> stop_flag_{false};
  ScanWorker* worker_ = nullptr;
};

}  // namespace pictavo::app
