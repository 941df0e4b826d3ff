#pragma once

#include <vector>

#include "engine/format_handler.h"

namespace pictavo {

// Canon CRW: a sector with "II" or "MM" and "HEAPCCDR" at byte 6, measured by searching forward
// for the root directory that ends the file: the raw-data record (type 0x2005) with offset 0,
// followed by the embedded JPEG's record (type 0x2007). A candidate without one is rejected. In the
// exact-ends mode a Canon recipe trailer right behind the directory belongs to the file too.
class CrwHandler : public FormatHandler {
 public:
  static constexpr uint64_t kMaxLength = 0xFA00000;
  static constexpr uint32_t kWindowSectors = 8;

  bool MatchSignature(const uint8_t* sector_head) override;
  bool Verify(SectorSource& source, uint64_t offset) override;
  uint64_t MeasureLength(SectorSource& source, uint64_t offset) override;
  FileTypeId TypeCode() const override { return kTypeCrw; }
  std::bitset<256> SignatureFirstBytes() const override {
    return std::bitset<256>().set('I').set('M');
  }

 private:
  // The file's length by its root directory, 0 when none is found.
  uint64_t SearchDirectory(SectorSource& source, uint64_t offset);
  // Reads `count` bytes at file offset `at`: from the current window when they lie in it,
  // otherwise from the whole sectors of the medium that hold them.
  bool ReadFileBytes(SectorSource& source, uint64_t offset, uint64_t at, uint32_t count,
                     uint8_t* out);
  uint32_t Value(const uint8_t* bytes, int width) const;

  bool little_endian_ = false;
  uint64_t length_ = 0;
  uint16_t sector_size_ = 0;
  // The current search window: file offset and bytes.
  uint64_t window_at_ = 0;
  uint32_t window_data_ = 0;
  std::vector<uint8_t> window_;
};

}  // namespace pictavo
