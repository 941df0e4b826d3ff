#include "app/create_image_dialog.h"

#include <QFile>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <cerrno>

#include "app/elapsed_time.h"
#include "app/prompts.h"
#include "platform/system_error.h"

namespace pictavo::app {
namespace {

const QString kTitle = QStringLiteral("Creating Image");

class SignallingObserver : public ImageCreationObserver {
 public:
  SignallingObserver(ImageWorker* worker, CopyGate* gate) : worker_(worker), gate_(gate) {}

  void OnProgress(uint32_t percent, uint64_t, uint64_t) override {
    gate_->WaitWhileHeld();
    // A large disk has millions of blocks; the dialog hears of each new percentage once.
    if (percent == last_percent_) return;
    last_percent_ = percent;
    emit worker_->ProgressReported(percent);
  }

 private:
  ImageWorker* worker_;
  CopyGate* gate_;
  uint32_t last_percent_ = UINT32_MAX;
};

}  // namespace

void CopyGate::Hold() {
  std::lock_guard lock(mutex_);
  held_ = true;
}

void CopyGate::Release() {
  {
    std::lock_guard lock(mutex_);
    held_ = false;
  }
  released_.notify_all();
}

void CopyGate::WaitWhileHeld() {
  std::unique_lock lock(mutex_);
  released_.wait(lock, [this] { return !held_; });
}

ImageWorker::ImageWorker(std::string source_name, std::string image_path,
                         const std::atomic<bool>* cancel, CopyGate* gate, QObject* parent)
    : QThread(parent),
      source_name_(std::move(source_name)),
      image_path_(std::move(image_path)),
      cancel_(cancel),
      gate_(gate) {}

void ImageWorker::run() {
  SignallingObserver observer(this, gate_);
  result_ = CreateDiskImage(source_name_, image_path_, &observer, cancel_);
}

CCreateImageDialog::CCreateImageDialog(WizardState& state, QWidget* parent)
    : WorkerDialog(parent), state_(state) {
  setWindowTitle(kTitle);
  setModal(true);

  QFont bold = font();
  bold.setWeight(QFont::Bold);

  auto* frame = new QGroupBox(this);
  auto* grid = new QGridLayout(frame);
  grid->setColumnStretch(2, 1);
  grid->setHorizontalSpacing(10);
  grid->addWidget(new QLabel(QStringLiteral("Source Drive       : "), frame), 0, 0);
  source_text_ = new QLabel(frame);
  grid->addWidget(source_text_, 0, 1, 1, 2);
  grid->addWidget(new QLabel(QStringLiteral("Destination Path : "), frame), 1, 0, Qt::AlignTop);
  destination_text_ = new QLabel(frame);
  destination_text_->setWordWrap(true);
  destination_text_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  grid->addWidget(destination_text_, 1, 1, 1, 2);
  grid->addWidget(new QLabel(QStringLiteral("Progress             : "), frame), 2, 0);
  percent_text_ = new QLabel(frame);
  percent_text_->setMinimumWidth(percent_text_->fontMetrics().horizontalAdvance("100 %") + 6);
  grid->addWidget(percent_text_, 2, 1);
  progress_bar_ = new QProgressBar(frame);
  progress_bar_->setRange(0, 100);
  progress_bar_->setTextVisible(false);
  grid->addWidget(progress_bar_, 2, 2);

  auto* time_row = new QHBoxLayout;
  time_row->addStretch(1);
  auto* time_caption = new QLabel(QStringLiteral("Time Taken : "), frame);
  time_caption->setFont(bold);
  elapsed_text_ = new QLabel(frame);
  elapsed_text_->setFont(bold);
  time_row->addWidget(time_caption);
  time_row->addWidget(elapsed_text_);
  grid->addLayout(time_row, 3, 0, 1, 3);

  stop_button_ = LayOutAboveButton(frame, QStringLiteral("Stop"), 520);

  source_text_->setText(state_.source_label);
  StartClock(elapsed_text_);
  destination_text_->setText(state_.destination_path);
  percent_text_->setText(QStringLiteral("0 %"));

  connect(stop_button_, &QPushButton::clicked, this, &CCreateImageDialog::OnStopClicked);
}

CCreateImageDialog::~CCreateImageDialog() {
  if (worker_ && worker_->isRunning()) {
    cancel_.store(true);
    gate_.Release();
    AwaitWorker(worker_);
  }
}

QString CCreateImageDialog::OutcomeMessage(const ImageCreationResult& result) {
  QString message = QString::fromStdString(result.message);
  if (!result.detail.empty())
    message += QStringLiteral("\n\n") + QString::fromStdString(result.detail);
  if (result.outcome == ImageOutcome::kSourceUnusable && PrivilegesMayHelp(result.error_code)) {
    message += QStringLiteral("\n\n") + PermissionAdvice();
  }
  return message;
}

void CCreateImageDialog::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (!worker_) StartWorker();
}

void CCreateImageDialog::StartWorker() {
  cancel_.store(false);
  worker_ = new ImageWorker(QFile::encodeName(state_.source_name).toStdString(),
                            QFile::encodeName(state_.destination_path).toStdString(), &cancel_,
                            &gate_, this);
  connect(worker_, &ImageWorker::ProgressReported, this, &CCreateImageDialog::OnProgress,
          Qt::BlockingQueuedConnection);
  connect(worker_, &QThread::finished, this, &CCreateImageDialog::OnWorkerFinished);
  working_ = true;
  worker_->start(QThread::NormalPriority);
}

void CCreateImageDialog::OnProgress(quint32 percent) {
  percent_text_->setText(QStringLiteral("%1 %").arg(percent));
  progress_bar_->setValue(static_cast<int>(percent));
}

void CCreateImageDialog::OnStopClicked() {
  if (!working_) return;
  // The copy stands still while the question is open, so that it cannot end behind it.
  gate_.Hold();
  if (AskYesNo(this, QString::fromLatin1(kImageCancelQuestion))) cancel_.store(true);
  gate_.Release();
}

void CCreateImageDialog::OnWorkerFinished() {
  worker_->wait();
  result_ = worker_->result();
  StopClock();
  const QString message = OutcomeMessage(result_);
  ShowMessage(this, message, QStringLiteral("Information"), QMessageBox::Information,
              QMessageBox::Ok);
  working_ = false;
  done(QDialog::Rejected);
}

}  // namespace pictavo::app
