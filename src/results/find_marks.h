#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "engine/file_types.h"
#include "engine/scan_engine.h"

namespace pictavo {

// How much of a group of finds is marked.
enum class MarkLevel { kNone, kSome, kAll };

// The marks of a scan's finds: which files are to be saved. The marks themselves are the finds'
// `selected` flags; this class changes them and keeps what the front ends show beside them up to
// date (files and marked files by type, the bytes marked), so that no front end walks the finds
// to count them. The results must not grow or shrink while the object is in use; call Recount()
// after they were replaced.
class FindMarks {
 public:
  FindMarks() = default;
  explicit FindMarks(ScanResults* results) { Attach(results); }

  // Uses `results` from now on, counting its marks as they are.
  void Attach(ScanResults* results);
  // Counts again from the flags.
  void Recount();

  // Marks or unmarks every find of `type`; other types and kTypeNone change nothing.
  void SetType(FileTypeId type, bool marked);
  void SetAll(bool marked);
  // One find by its index in the results; false when there is no such find.
  bool Set(uint32_t record, bool marked);
  bool Toggle(uint32_t record);
  // The finds with these indexes (those out of range are passed over).
  void SetList(std::span<const uint32_t> records, bool marked);

  bool IsMarked(uint32_t record) const;
  // Bytes of the marked finds.
  uint64_t marked_bytes() const { return marked_bytes_; }
  uint64_t marked_files() const { return marked_files_; }
  // Finds of a type, and those of them marked (0 for a type out of range).
  uint64_t FileCount(FileTypeId type) const { return type < kTypeCount ? files_[type] : 0; }
  uint64_t MarkedCount(FileTypeId type) const { return type < kTypeCount ? marked_[type] : 0; }
  MarkLevel TypeLevel(FileTypeId type) const;
  // Over every type: kAll only when every type with finds is wholly marked.
  MarkLevel OverallLevel() const;
  // The marked finds in the order they were found.
  std::vector<uint32_t> MarkedRecords() const;

 private:
  void Apply(FoundFile& file, uint32_t flag);

  ScanResults* results_ = nullptr;
  std::array<uint64_t, kTypeCount> files_{};
  std::array<uint64_t, kTypeCount> marked_{};
  uint64_t marked_files_ = 0;
  uint64_t marked_bytes_ = 0;
};

}  // namespace pictavo
