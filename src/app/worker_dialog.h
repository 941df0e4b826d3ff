#pragma once

#include <QDialog>
#include <chrono>

class QLabel;
class QPushButton;
class QThread;

namespace pictavo::app {

// A modal dialog in front of one long job on a worker thread: while the job runs, Esc and the
// close box are refused (OnCloseRefused hears of them), and a label can show the time taken,
// ticking once a second.
class WorkerDialog : public QDialog {
 public:
  using QDialog::QDialog;

  void reject() override;

 protected:
  void closeEvent(QCloseEvent* event) override;
  void timerEvent(QTimerEvent* event) override;

  // What to do when a close was refused while the job runs; nothing by default.
  virtual void OnCloseRefused() {}
  // Lays the dialog out as `frame` above a centred button labelled `text`, which it returns.
  QPushButton* LayOutAboveButton(QWidget* frame, const QString& text, int minimum_width);
  // Shows 00:00:00 in `label` and counts from now.
  void StartClock(QLabel* label);
  void StopClock();
  // Stops taking the worker's reports and waits for it to end. A report it posted before being
  // disconnected would hold it forever, so pending calls are dropped while waiting.
  void AwaitWorker(QThread* worker);

  // Set before the worker starts and cleared when it has finished, both on this thread, so that
  // a close request can never slip in before the worker has begun.
  bool working_ = false;

 private:
  QLabel* clock_label_ = nullptr;
  int timer_id_ = 0;
  std::chrono::steady_clock::time_point start_time_;
};

}  // namespace pictavo::app
