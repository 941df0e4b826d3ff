#include "app/find_filter.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateEdit>
#include <QHBoxLayout>
#include <QLabel>
#include <QSpinBox>
#include <QTimeZone>
#include <QVBoxLayout>
#include <algorithm>

namespace pictavo::app {
namespace {

struct PictureSize {
  const char* text;
  uint32_t long_side;
  uint32_t short_side;
};
// Embedded thumbnails are 160 x 120 and smaller; icons smaller still.
constexpr PictureSize kPictureSizes[] = {
    {"Any", 0, 0},           {"200 x 200", 200, 200},   {"320 x 240", 320, 240},
    {"640 x 480", 640, 480}, {"1024 x 768", 1024, 768}, {"1920 x 1080", 1920, 1080},
};

}  // namespace

bool FindFilter::Shows(const FoundFile& file, const FindFacts& facts) const {
  if (file.length < min_bytes) return false;
  if (once && facts.repeat) return false;
  switch (facts.decode) {
    case FindDecode::kUnknown:
    case FindDecode::kNotPicture:
      return true;
    case FindDecode::kComplete:
      if (!complete) return false;
      break;
    case FindDecode::kPartial:
      if (!partial) return false;
      break;
    case FindDecode::kFailed:
      // A picture that cannot be decoded has no known size nor date: only its status counts.
      return failed && !HasDates();
  }
  if (HasDates()) {
    if (facts.taken == kNoDate) return false;
    if (taken_from != kNoDate && facts.taken < taken_from) return false;
    if (taken_to != kNoDate && facts.taken > taken_to) return false;
  }
  const uint32_t long_side = std::max(facts.width, facts.height);
  const uint32_t short_side = std::min(facts.width, facts.height);
  return long_side >= min_long && short_side >= min_short;
}

std::vector<uint32_t> ShownFinds(const ScanResults& results, const FindFilter& filter,
                                 const std::vector<FindFacts>& facts) {
  const std::span<const FoundFile> found = results.Found();
  std::vector<uint32_t> shown;
  shown.reserve(found.size());
  static const FindFacts kUnknown;
  for (size_t i = 0; i < found.size(); ++i) {
    const FindFacts& known = i < facts.size() ? facts[i] : kUnknown;
    if (filter.Shows(found[i], known)) shown.push_back(static_cast<uint32_t>(i));
  }
  return shown;
}

FindFilterBar::FindFilterBar(QWidget* parent) : QWidget(parent) {
  min_size_ = new QSpinBox(this);
  min_size_->setRange(0, 10'000'000);
  min_size_->setSingleStep(10);
  min_size_->setSuffix(QStringLiteral(" KB"));
  min_size_->setKeyboardTracking(false);
  min_picture_ = new QComboBox(this);
  for (const PictureSize& size : kPictureSizes) {
    min_picture_->addItem(QString::fromLatin1(size.text));
  }
  complete_ = new QCheckBox(QStringLiteral("Complete"), this);
  partial_ = new QCheckBox(QStringLiteral("Partial"), this);
  failed_ = new QCheckBox(QStringLiteral("Failed"), this);
  for (QCheckBox* box : {complete_, partial_, failed_}) box->setChecked(true);
  dated_ = new QCheckBox(QStringLiteral("Taken from"), this);
  taken_from_ = new QDateEdit(QDate::currentDate().addYears(-1), this);
  taken_to_ = new QDateEdit(QDate::currentDate(), this);
  for (QDateEdit* edit : {taken_from_, taken_to_}) {
    edit->setCalendarPopup(true);
    edit->setDisplayFormat(QStringLiteral("yyyy-MM-dd"));
    edit->setEnabled(false);
  }
  once_ = new QCheckBox(QStringLiteral("Show duplicates once"), this);
  progress_ = new QLabel(this);

  auto* sizes = new QHBoxLayout;
  sizes->addWidget(new QLabel(QStringLiteral("At least"), this));
  sizes->addWidget(min_size_);
  sizes->addSpacing(12);
  sizes->addWidget(new QLabel(QStringLiteral("Pictures from"), this));
  sizes->addWidget(min_picture_);
  sizes->addSpacing(12);
  sizes->addWidget(new QLabel(QStringLiteral("Decoded:"), this));
  sizes->addWidget(complete_);
  sizes->addWidget(partial_);
  sizes->addWidget(failed_);
  sizes->addStretch(1);
  auto* dates = new QHBoxLayout;
  dates->addWidget(dated_);
  dates->addWidget(taken_from_);
  dates->addWidget(new QLabel(QStringLiteral("to"), this));
  dates->addWidget(taken_to_);
  dates->addSpacing(12);
  dates->addWidget(once_);
  dates->addSpacing(12);
  dates->addWidget(progress_, 1);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addLayout(sizes);
  layout->addLayout(dates);

  connect(min_size_, &QSpinBox::valueChanged, this, &FindFilterBar::Changed);
  connect(min_picture_, &QComboBox::currentIndexChanged, this, &FindFilterBar::Changed);
  for (QCheckBox* box : {complete_, partial_, failed_, dated_, once_}) {
    connect(box, &QCheckBox::toggled, this, &FindFilterBar::Changed);
  }
  connect(dated_, &QCheckBox::toggled, taken_from_, &QWidget::setEnabled);
  connect(dated_, &QCheckBox::toggled, taken_to_, &QWidget::setEnabled);
  for (QDateEdit* edit : {taken_from_, taken_to_}) {
    connect(edit, &QDateEdit::dateChanged, this, &FindFilterBar::Changed);
  }
}

FindFilter FindFilterBar::filter() const {
  FindFilter filter;
  filter.min_bytes = uint64_t(min_size_->value()) * 1024;
  const int size = std::clamp(min_picture_->currentIndex(), 0, int(std::size(kPictureSizes)) - 1);
  filter.min_long = kPictureSizes[size].long_side;
  filter.min_short = kPictureSizes[size].short_side;
  filter.complete = complete_->isChecked();
  filter.partial = partial_->isChecked();
  filter.failed = failed_->isChecked();
  if (dated_->isChecked()) {
    // Whole days, in the camera's wall-clock time as the facts hold it.
    const QDate from = std::min(taken_from_->date(), taken_to_->date());
    const QDate to = std::max(taken_from_->date(), taken_to_->date());
    filter.taken_from = QDateTime(from, QTime(0, 0), QTimeZone::utc()).toSecsSinceEpoch();
    filter.taken_to = QDateTime(to, QTime(23, 59, 59), QTimeZone::utc()).toSecsSinceEpoch();
  }
  filter.once = once_->isChecked();
  return filter;
}

void FindFilterBar::ShowProgress(uint64_t done, uint64_t total, double per_second) {
  progress_->setText(QStringLiteral("Reading the pictures: %1 of %2 (%3 a second)")
                         .arg(done)
                         .arg(total)
                         .arg(per_second, 0, 'f', 0));
}

void FindFilterBar::ShowReadingDone(uint64_t total) {
  progress_->setText(QStringLiteral("All %1 files read.").arg(total));
}

}  // namespace pictavo::app
