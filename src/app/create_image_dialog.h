#pragma once

#include <QDialog>
#include <QThread>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>

#include "app/wizard_state.h"
#include "app/worker_dialog.h"
#include "drives/disk_image.h"

class QLabel;
class QProgressBar;
class QPushButton;

namespace pictavo::app {

// Lets the dialog hold the copy between two blocks while it asks whether to stop.
class CopyGate {
 public:
  void Hold();
  void Release();
  // Returns at once unless held; then waits for Release().
  void WaitWhileHeld();

 private:
  std::mutex mutex_;
  std::condition_variable released_;
  bool held_ = false;
};

// Runs one image creation on its own thread. Each change of the percentage is passed on as a
// signal; connected with Qt::BlockingQueuedConnection, it is shown before the copy goes on.
class ImageWorker : public QThread {
  Q_OBJECT

 public:
  ImageWorker(std::string source_name, std::string image_path, const std::atomic<bool>* cancel,
              CopyGate* gate, QObject* parent = nullptr);

  const ImageCreationResult& result() const { return result_; }

 signals:
  void ProgressReported(quint32 percent);

 protected:
  void run() override;

 private:
  std::string source_name_;
  std::string image_path_;
  const std::atomic<bool>* cancel_;
  CopyGate* gate_;
  ImageCreationResult result_;
};

// "Creating Image": copies the selected drive into a new disk image file behind a modal dialog
// that shows the source, the destination, the percentage and the time taken, and can stop the
// copy. It closes itself after telling the outcome; until then Esc and the close box are refused.
class CCreateImageDialog : public WorkerDialog {
  Q_OBJECT

 public:
  explicit CCreateImageDialog(WizardState& state, QWidget* parent = nullptr);
  ~CCreateImageDialog() override;

  // The message shown when the creation has ended.
  static QString OutcomeMessage(const ImageCreationResult& result);

  bool busy() const { return working_; }
  const ImageCreationResult& result() const { return result_; }

  QLabel* source_text() const { return source_text_; }
  QLabel* destination_text() const { return destination_text_; }
  QLabel* percent_text() const { return percent_text_; }
  QLabel* elapsed_text() const { return elapsed_text_; }
  QProgressBar* progress_bar() const { return progress_bar_; }
  QPushButton* stop_button() const { return stop_button_; }

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void StartWorker();
  void OnProgress(quint32 percent);
  void OnStopClicked();
  void OnWorkerFinished();

  WizardState& state_;
  QLabel* source_text_ = nullptr;
  QLabel* destination_text_ = nullptr;
  QLabel* percent_text_ = nullptr;
  QLabel* elapsed_text_ = nullptr;
  QProgressBar* progress_bar_ = nullptr;
  QPushButton* stop_button_ = nullptr;

  std::atomic<bool> cancel_{false};
  CopyGate gate_;
  ImageWorker* worker_ = nullptr;
  ImageCreationResult result_;
};

}  // namespace pictavo::app
