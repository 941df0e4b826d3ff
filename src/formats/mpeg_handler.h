#pragma once

#include <vector>

#include "engine/format_handler.h"

namespace pictavo {

// MPEG program streams: a sector that starts with a pack start code, measured by following the
// chain of packs and packets by their start codes and lengths.
class MpegHandler : public FormatHandler {
 public:
  static constexpr uint32_t kPackStart = 0x000001BA;
  static constexpr uint32_t kProgramEnd = 0x000001B9;
  static constexpr uint32_t kWindowSectors = 8;

  bool MatchSignature(const uint8_t* sector_head) override;
  uint64_t MeasureLength(SectorSource& source, uint64_t offset) override;
  std::bitset<256> SignatureFirstBytes() const override { return std::bitset<256>().set(0x00); }
  FileTypeId TypeCode() const override { return kTypeMpeg; }

 private:
  // The exact-ends measurement: the whole program stream from the pack at `offset`.
  uint64_t MeasureStream(SectorSource& source, uint64_t offset);

  static constexpr uint64_t kMaxPackSize = 0x10000 + 6;
  static constexpr size_t kMaxRememberedPacks = size_t{1} << 22;

  uint64_t length_ = 0;
  // The stream last walked in the exact-ends mode and the offsets (from its start) of its packs
  // that start on a sector boundary, in ascending order.
  uint64_t stream_start_ = 0;
  uint64_t stream_end_ = 0;
  std::vector<uint32_t> stream_packs_;
};

}  // namespace pictavo
