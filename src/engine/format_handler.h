#pragma once

#include <bitset>
#include <cstdint>

#include "engine/file_types.h"
#include "platform/sector_source.h"

namespace pictavo {

// The head of a sector as the scan offers it: its first 25 bytes and one zero byte.
constexpr uint32_t kSectorHeadSize = 26;
constexpr uint32_t kSectorHeadCopied = 25;

// A recogniser of one file type. For every sector the scan calls MatchSignature; when it says
// yes, Verify on the same sector; when that says yes too, MeasureLength and TypeCode. The state a
// handler keeps for a candidate lives from its MatchSignature to its MeasureLength.
class FormatHandler {
 public:
  virtual ~FormatHandler() = default;

  // Looks only at the 26 bytes of `sector_head`; does no I/O. Resets the per-candidate state.
  virtual bool MatchSignature(const uint8_t* sector_head) = 0;
  // Proves the candidate at `offset` by reading the source. Handlers with nothing to check keep
  // this default.
  virtual bool Verify(SectorSource& source, uint64_t offset);
  // The file's length in bytes from `offset`; capped by each handler, never a refusal.
  virtual uint64_t MeasureLength(SectorSource& source, uint64_t offset) = 0;
  virtual FileTypeId TypeCode() const = 0;

  // Every first byte a sector head can have when MatchSignature says yes. The scan asks a handler
  // only about sectors whose first byte is in this set; a handler that cannot tell keeps the
  // default, every byte. Skipping a MatchSignature that would say no only leaves per-candidate
  // state unreset, and that state is never read before the next successful match.
  virtual std::bitset<256> SignatureFirstBytes() const { return std::bitset<256>().set(); }

  // The exact-ends mode: a handler that knows its format's whole structure measures the file by
  // it (every part it lists, in any order) instead of by the fixed rule. Off by default; with it
  // off every handler measures exactly by its rule.
  void set_exact_ends(bool exact) { exact_ends_ = exact; }
  bool exact_ends() const { return exact_ends_; }

 protected:
  // Thin helpers over the source: positioned reads succeed when at least one byte arrived.
  static bool SeekTo(SectorSource& source, uint64_t offset);
  static bool ReadAt(SectorSource& source, uint64_t offset, uint32_t count, uint8_t* buffer);
  static uint16_t GetSectorSize(SectorSource& source);

 private:
  bool exact_ends_ = false;
};

}  // namespace pictavo
