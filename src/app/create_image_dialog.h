#pragma once

#include <QByteArray>
#include <QDialog>
#include <QThread>
#include <QWidget>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>

#include "app/wizard_state.h"
#include "app/worker_dialog.h"
#include "drives/disk_image.h"
#include "drives/rescue_image.h"

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

// The map file kept beside an image made in the wizard.
QString MapPathFor(const QString& image_path);

// Runs one image creation on its own thread, keeping a map beside the image so that a failing
// medium is read as well as it can be and a stopped run can be resumed. Each change of the
// percentage is passed on as a signal; connected with Qt::BlockingQueuedConnection, it is shown
// before the copy goes on. The map is passed on a few times a second.
class ImageWorker : public QThread {
  Q_OBJECT

 public:
  ImageWorker(std::string source_name, std::string image_path, const std::atomic<bool>* cancel,
              CopyGate* gate, QObject* parent = nullptr);

  const ImageCreationResult& result() const { return result_; }
  // True once the run found an image and its map to continue.
  bool resumed() const { return resumed_.load(); }
  void NoteResumed() { resumed_.store(true); }

 signals:
  void ProgressReported(quint32 percent);
  // One cell per character of `bar`, holding the map's status characters; `rate` in bytes per
  // second.
  void MapReported(QByteArray bar, quint64 rescued, quint64 failed_bytes, quint64 error_areas,
                   double rate, double seconds_since_good_read);

 protected:
  void run() override;

 private:
  std::string source_name_;
  std::string image_path_;
  const std::atomic<bool>* cancel_;
  CopyGate* gate_;
  ImageCreationResult result_;
  std::atomic<bool> resumed_{false};
};

// A bar over the medium: read, unread, failed and untried areas in their own colours.
class MapBar : public QWidget {
 public:
  explicit MapBar(QWidget* parent = nullptr);
  void SetCells(const QByteArray& cells);
  const QByteArray& cells() const { return cells_; }
  static QColor ColorFor(char status);

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QByteArray cells_;
};

// "Creating Image": copies the selected drive into a new disk image file behind a modal dialog
// that shows the source, the destination, the percentage, the map of what was read and the time
// taken, and can stop the copy, keeping what was read for later if the user wishes. It closes
// itself after telling the outcome; until then Esc and the close box are refused.
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
  MapBar* map_bar() const { return map_bar_; }
  QLabel* map_text() const { return map_text_; }
  QLabel* rate_text() const { return rate_text_; }

  // Cells in the map bar.
  static constexpr int kMapCells = 200;

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void StartWorker();
  void OnProgress(quint32 percent);
  void OnMap(QByteArray bar, quint64 rescued, quint64 failed_bytes, quint64 error_areas,
             double rate, double seconds_since_good_read);
  // Deletes the image and its map after a stop that was not to be kept.
  void DiscardPartial();
  void OnStopClicked();
  void OnWorkerFinished();

  WizardState& state_;
  QLabel* source_text_ = nullptr;
  QLabel* destination_text_ = nullptr;
  QLabel* percent_text_ = nullptr;
  QLabel* elapsed_text_ = nullptr;
  QProgressBar* progress_bar_ = nullptr;
  QPushButton* stop_button_ = nullptr;
  MapBar* map_bar_ = nullptr;
  QLabel* map_text_ = nullptr;
  QLabel* rate_text_ = nullptr;

  std::atomic<bool> cancel_{false};
  // Whether a stop is to keep what was read, for resuming later.
  bool keep_ = false;
  CopyGate gate_;
  ImageWorker* worker_ = nullptr;
  ImageCreationResult result_;
};

}  // namespace pictavo::app
