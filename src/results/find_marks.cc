#include "results/find_marks.h"

#include <utility>

namespace pictavo {

void FindMarks::Attach(ScanResults* results) {
  results_ = results;
  Recount();
}

void FindMarks::Recount() {
  files_.fill(0);
  marked_.fill(0);
  marked_files_ = 0;
  marked_bytes_ = 0;
  if (!results_) return;
  for (const FoundFile& file : std::as_const(*results_).Found()) {
    const bool known = file.type < kTypeCount;
    if (known) ++files_[file.type];
    if (!file.selected) continue;
    ++marked_files_;
    marked_bytes_ += file.length;
    if (known) ++marked_[file.type];
  }
}

// Every change of a flag goes through here, so the counts can never drift from the flags.
void FindMarks::Apply(FoundFile& file, uint32_t flag) {
  if (file.selected == flag) return;
  file.selected = flag;
  const bool known = file.type < kTypeCount;
  if (flag) {
    ++marked_files_;
    marked_bytes_ += file.length;
    if (known) ++marked_[file.type];
  } else {
    --marked_files_;
    marked_bytes_ -= file.length;
    if (known) --marked_[file.type];
  }
}

void FindMarks::SetType(FileTypeId type, bool marked) {
  if (!results_ || type == kTypeNone || type >= kTypeCount) return;
  const uint32_t flag = marked ? 1 : 0;
  for (FoundFile& file : results_->Found()) {
    if (file.type == type) Apply(file, flag);
  }
}

void FindMarks::SetAll(bool marked) {
  if (!results_) return;
  const uint32_t flag = marked ? 1 : 0;
  for (FoundFile& file : results_->Found()) Apply(file, flag);
}

bool FindMarks::Set(uint32_t record, bool marked) {
  if (!results_ || record >= results_->Found().size()) return false;
  Apply(results_->records[record], marked ? 1 : 0);
  return true;
}

bool FindMarks::Toggle(uint32_t record) {
  if (!results_ || record >= results_->Found().size()) return false;
  FoundFile& file = results_->records[record];
  Apply(file, file.selected ? 0 : 1);
  return true;
}

void FindMarks::SetList(std::span<const uint32_t> records, bool marked) {
  if (!results_) return;
  const std::span<FoundFile> found = results_->Found();
  const uint32_t flag = marked ? 1 : 0;
  for (const uint32_t record : records) {
    if (record < found.size()) Apply(found[record], flag);
  }
}

bool FindMarks::IsMarked(uint32_t record) const {
  return results_ && record < results_->Found().size() && results_->records[record].selected;
}

MarkLevel FindMarks::TypeLevel(FileTypeId type) const {
  const uint64_t marked = MarkedCount(type);
  if (marked == 0) return MarkLevel::kNone;
  return marked == FileCount(type) ? MarkLevel::kAll : MarkLevel::kSome;
}

MarkLevel FindMarks::OverallLevel() const {
  bool all = true, none = true;
  for (FileTypeId type = 1; type < kTypeCount; ++type) {
    if (files_[type] == 0) continue;
    const MarkLevel level = TypeLevel(type);
    all = all && level == MarkLevel::kAll;
    none = none && level == MarkLevel::kNone;
  }
  if (none) return MarkLevel::kNone;
  return all ? MarkLevel::kAll : MarkLevel::kSome;
}

std::vector<uint32_t> FindMarks::MarkedRecords() const {
  std::vector<uint32_t> records;
  if (!results_) return records;
  records.reserve(marked_files_);
  const std::span<const FoundFile> found = std::as_const(*results_).Found();
  for (size_t i = 0; i < found.size(); ++i) {
    if (found[i].selected) records.push_back(static_cast<uint32_t>(i));
  }
  return records;
}

}  // namespace pictavo
