#pragma once

#include <QWidget>
#include <cstdint>
#include <vector>

#include "app/thumbnail_cache.h"
#include "engine/scan_engine.h"

class QCheckBox;
class QComboBox;
class QDateEdit;
class QLabel;
class QSpinBox;

namespace pictavo::app {

// Which finds the views show. The default shows every find; the pixel and decode filters judge a
// find by what decoding it taught (FindFacts) and show it as long as that is not known yet.
// Files that are no pictures have neither pixels nor a decode status and are shown.
struct FindFilter {
  uint64_t min_bytes = 0;
  // The smaller side must reach min_short and the larger min_long (either way round).
  uint32_t min_long = 0;
  uint32_t min_short = 0;
  bool complete = true;
  bool partial = true;
  bool failed = true;
  // Pictures taken in this span (seconds of the wall-clock time read as UTC, both ends in);
  // kNoDate leaves that end open. With either end set, pictures without a date are hidden.
  int64_t taken_from = kNoDate;
  int64_t taken_to = kNoDate;
  // Finds that repeat the content of an earlier find are hidden.
  bool once = false;

  bool HasDates() const { return taken_from != kNoDate || taken_to != kNoDate; }
  bool NeedsContent() const {
    return min_long > 0 || min_short > 0 || !complete || !partial || !failed || HasDates() || once;
  }
  bool Active() const { return min_bytes > 0 || NeedsContent(); }
  bool Shows(const FoundFile& file, const FindFacts& facts) const;
  friend bool operator==(const FindFilter&, const FindFilter&) = default;
};

// The finds of `results` that `filter` shows, by their index, in the order they were found.
// `facts` may be empty when the filter needs no content.
std::vector<uint32_t> ShownFinds(const ScanResults& results, const FindFilter& filter,
                                 const std::vector<FindFacts>& facts);

// The filter controls above the views: minimum file size, minimum picture size, decode status,
// the span of dates taken, duplicates shown once, and the progress of the reading that the content
// filters need.
class FindFilterBar : public QWidget {
  Q_OBJECT

 public:
  explicit FindFilterBar(QWidget* parent = nullptr);

  FindFilter filter() const;
  void ShowProgress(uint64_t done, uint64_t total, double per_second);
  void ShowReadingDone(uint64_t total);

  QSpinBox* min_size() const { return min_size_; }
  QComboBox* min_picture() const { return min_picture_; }
  QCheckBox* complete() const { return complete_; }
  QCheckBox* partial() const { return partial_; }
  QCheckBox* failed() const { return failed_; }
  QCheckBox* dated() const { return dated_; }
  QDateEdit* taken_from() const { return taken_from_; }
  QDateEdit* taken_to() const { return taken_to_; }
  QCheckBox* once() const { return once_; }
  QLabel* progress() const { return progress_; }

 signals:
  void Changed();

 private:
  QSpinBox* min_size_ = nullptr;
  QComboBox* min_picture_ = nullptr;
  QCheckBox* complete_ = nullptr;
  QCheckBox* partial_ = nullptr;
  QCheckBox* failed_ = nullptr;
  QCheckBox* dated_ = nullptr;
  QDateEdit* taken_from_ = nullptr;
  QDateEdit* taken_to_ = nullptr;
  QCheckBox* once_ = nullptr;
  QLabel* progress_ = nullptr;
};

}  // namespace pictavo::app
