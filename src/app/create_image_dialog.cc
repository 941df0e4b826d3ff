#include "app/create_image_dialog.h"

#include <QFile>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <cerrno>
#include <chrono>

#include "app/elapsed_time.h"
#include "app/prompts.h"
#include "platform/system_error.h"
#include "results/size_text.h"

namespace pictavo::app {
namespace {

const QString kTitle = QStringLiteral("Creating Image");

const QString kKeepQuestion = QStringLiteral(
    "Do you want to keep what was read so far, to resume imaging later? No deletes the "
    "partial image file.");

class SignallingObserver : public RescueObserver {
 public:
  SignallingObserver(ImageWorker* worker, CopyGate* gate) : worker_(worker), gate_(gate) {}

  void OnStart(uint64_t, uint16_t, bool resumed) override {
    if (resumed) worker_->NoteResumed();
  }

  void OnStatus(const RescueProgress& progress) override {
    gate_->WaitWhileHeld();
    const uint64_t size = progress.map->size();
    const uint64_t tried = size - progress.map->Bytes(AreaStatus::kNonTried);
    const uint32_t percent =
        size == 0 ? 100 : static_cast<uint32_t>(static_cast<unsigned __int128>(tried) * 100 / size);
    const auto now = std::chrono::steady_clock::now();
    const bool finished = progress.phase == RescuePhase::kFinished;
    if (finished || now - last_map_ >= std::chrono::milliseconds(250)) {
      last_map_ = now;
      const std::vector<AreaStatus> cells =
          pictavo::MapBar(*progress.map, CCreateImageDialog::kMapCells);
      QByteArray bar(static_cast<qsizetype>(cells.size()), '+');
      for (size_t i = 0; i < cells.size(); ++i)
        bar[static_cast<qsizetype>(i)] = static_cast<char>(cells[i]);
      emit worker_->MapReported(bar, progress.rescued, progress.failed_bytes, progress.error_areas,
                                progress.rate, progress.seconds_since_good_read);
    }
    // A large disk has millions of reads; the dialog hears of each new percentage once.
    if (percent == last_percent_) return;
    last_percent_ = percent;
    emit worker_->ProgressReported(percent);
  }

 private:
  ImageWorker* worker_;
  CopyGate* gate_;
  uint32_t last_percent_ = 0;
  std::chrono::steady_clock::time_point last_map_{};
};

QString Bytes(uint64_t bytes) { return QString::fromStdString(SizeText(bytes)); }

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

QString MapPathFor(const QString& image_path) { return image_path + QStringLiteral(".map"); }

void ImageWorker::run() {
  SignallingObserver observer(this, gate_);
  RescueOptions options;
  options.map_path = image_path_ + ".map";
  // A healthy medium is copied in the blocks of 63 sectors that images have always been made of.
  options.cluster_sectors = kImageBlockSectors;
  options.status_seconds = 0;
  options.read_timeout_seconds = 30;
  options.command_line = "pictavo (Create Image) " + source_name_ + " " + image_path_;
  result_ = RescueDiskImage(source_name_, image_path_, options, &observer, cancel_);
}

MapBar::MapBar(QWidget* parent) : QWidget(parent) {
  setMinimumHeight(14);
  setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
  setToolTip(
      QStringLiteral("Green: read. Grey: not tried yet. Yellow: failed, to be read "
                     "again sector by sector. Red: unreadable sectors."));
}

void MapBar::SetCells(const QByteArray& cells) {
  cells_ = cells;
  update();
}

QColor MapBar::ColorFor(char status) {
  switch (status) {
    case '+':
      return QColor(0x3c, 0xb0, 0x43);
    case '*':
    case '/':
      return QColor(0xe8, 0xc3, 0x2a);
    case '-':
      return QColor(0xd0, 0x30, 0x30);
    default:
      return QColor(0xc8, 0xc8, 0xc8);
  }
}

void MapBar::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  const QRect area = rect().adjusted(0, 0, -1, -1);
  painter.fillRect(area, ColorFor('?'));
  const int n = static_cast<int>(cells_.size());
  for (int i = 0; i < n; ++i) {
    const int x0 = area.left() + area.width() * i / n;
    const int x1 = area.left() + area.width() * (i + 1) / n;
    painter.fillRect(QRect(x0, area.top(), std::max(1, x1 - x0), area.height()),
                     ColorFor(cells_[i]));
  }
  painter.setPen(palette().color(QPalette::Mid));
  painter.drawRect(area);
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

  grid->addWidget(new QLabel(QStringLiteral("Medium map : "), frame), 3, 0);
  map_bar_ = new MapBar(frame);
  grid->addWidget(map_bar_, 3, 1, 1, 2);
  map_text_ = new QLabel(frame);
  grid->addWidget(map_text_, 4, 1, 1, 2);
  rate_text_ = new QLabel(frame);
  grid->addWidget(rate_text_, 5, 1, 1, 2);

  auto* time_row = new QHBoxLayout;
  time_row->addStretch(1);
  auto* time_caption = new QLabel(QStringLiteral("Time Taken : "), frame);
  time_caption->setFont(bold);
  elapsed_text_ = new QLabel(frame);
  elapsed_text_->setFont(bold);
  time_row->addWidget(time_caption);
  time_row->addWidget(elapsed_text_);
  grid->addLayout(time_row, 6, 0, 1, 3);

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
    // Nothing was asked: a new image goes as it always did, a resumed one stays.
    if (worker_->result().outcome == ImageOutcome::kStopped && !worker_->resumed()) {
      DiscardPartial();
    }
  }
}

void CCreateImageDialog::DiscardPartial() {
  const QString image = state_.destination_path;
  QFile::remove(image);
  QFile::remove(MapPathFor(image));
  QFile::remove(MapPathFor(image) + QStringLiteral(".tmp"));
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
  connect(worker_, &ImageWorker::MapReported, this, &CCreateImageDialog::OnMap,
          Qt::QueuedConnection);
  connect(worker_, &QThread::finished, this, &CCreateImageDialog::OnWorkerFinished);
  working_ = true;
  worker_->start(QThread::NormalPriority);
}

void CCreateImageDialog::OnProgress(quint32 percent) {
  percent_text_->setText(QStringLiteral("%1 %").arg(percent));
  progress_bar_->setValue(static_cast<int>(percent));
}

void CCreateImageDialog::OnMap(QByteArray bar, quint64 rescued, quint64 failed_bytes,
                               quint64 error_areas, double rate, double seconds_since_good_read) {
  map_bar_->SetCells(bar);
  map_text_->setText(QStringLiteral("Rescued : %1    Errors : %2 (%3)")
                         .arg(Bytes(rescued))
                         .arg(error_areas)
                         .arg(Bytes(failed_bytes)));
  rate_text_->setText(QStringLiteral("Rate : %1/s    Since last good read : %2 s")
                          .arg(Bytes(static_cast<uint64_t>(rate)))
                          .arg(static_cast<qint64>(seconds_since_good_read)));
}

void CCreateImageDialog::OnStopClicked() {
  if (!working_) return;
  // The copy stands still while the questions are open, so that it cannot end behind them.
  gate_.Hold();
  if (AskYesNo(this, QString::fromLatin1(kImageCancelQuestion))) {
    keep_ = AskYesNo(this, kKeepQuestion);
    cancel_.store(true);
  }
  gate_.Release();
}

void CCreateImageDialog::OnWorkerFinished() {
  worker_->wait();
  result_ = worker_->result();
  if (result_.outcome == ImageOutcome::kStopped) {
    if (keep_) {
      result_.message =
          "Imaging stopped. What was read so far is kept in " +
          QFile::encodeName(state_.destination_path).toStdString() + " with its map " +
          QFile::encodeName(MapPathFor(state_.destination_path)).toStdString() +
          ". To resume imaging, choose the same drive and this image file again and press "
          "Create Image.";
      result_.detail.clear();
    } else {
      DiscardPartial();
      result_.outcome = ImageOutcome::kCancelled;
      result_.message = kImageAbortedMessage;
      result_.detail.clear();
    }
  }
  StopClock();
  const QString message = OutcomeMessage(result_);
  ShowMessage(this, message, QStringLiteral("Information"), QMessageBox::Information,
              QMessageBox::Ok);
  working_ = false;
  done(QDialog::Rejected);
}

}  // namespace pictavo::app
