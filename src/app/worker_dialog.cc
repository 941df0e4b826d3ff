#include "app/worker_dialog.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QThread>
#include <QTimerEvent>
#include <QVBoxLayout>

#include "app/elapsed_time.h"

namespace pictavo::app {

void WorkerDialog::reject() {
  if (working_) {
    OnCloseRefused();
    return;
  }
  QDialog::reject();
}

void WorkerDialog::closeEvent(QCloseEvent* event) {
  if (working_) {
    OnCloseRefused();
    event->ignore();
    return;
  }
  QDialog::closeEvent(event);
}

void WorkerDialog::timerEvent(QTimerEvent* event) {
  if (event->timerId() != timer_id_ || clock_label_ == nullptr) {
    QDialog::timerEvent(event);
    return;
  }
  const auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(
      std::chrono::steady_clock::now() - start_time_);
  clock_label_->setText(ElapsedText(elapsed.count()));
}

QPushButton* WorkerDialog::LayOutAboveButton(QWidget* frame, const QString& text,
                                             int minimum_width) {
  auto* button = new QPushButton(text, this);
  button->setAutoDefault(false);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(button);
  buttons->addStretch(1);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(frame);
  layout->addLayout(buttons);
  setMinimumWidth(minimum_width);
  return button;
}

void WorkerDialog::StartClock(QLabel* label) {
  clock_label_ = label;
  start_time_ = std::chrono::steady_clock::now();
  timer_id_ = startTimer(1000);
  label->setText(ElapsedText(0));
}

void WorkerDialog::StopClock() {
  if (timer_id_ != 0) killTimer(timer_id_);
  timer_id_ = 0;
}

void WorkerDialog::AwaitWorker(QThread* worker) {
  worker->disconnect(this);
  while (!worker->wait(QDeadlineTimer(20))) {
    QCoreApplication::removePostedEvents(this, QEvent::MetaCall);
  }
}

}  // namespace pictavo::app
