#pragma once

#include <cstdint>
#include <span>

#include "engine/format_handler.h"

namespace pictavo {

// The CRC of an Ogg page: CRC-32 with polynomial 0x04C11DB7, most significant bit first, initial
// value 0, no final inversion, computed over the page with its CRC field taken as zeros.
uint32_t OggPageCrc(std::span<const uint8_t> page);

// Ogg streams (Opus, Vorbis, FLAC in Ogg): a sector that starts with the first page of a logical
// stream, measured by following the pages, each checked by its CRC, up to the page that ends the
// first logical stream. Pages of other streams multiplexed with it are part of the file; a page
// that is missing or damaged ends the file before it.
class OggHandler : public FormatHandler {
 public:
  static constexpr uint64_t kCap = uint64_t{16} << 30;
  // The largest page: a 27-byte header, 255 lacing values and 255 segments of 255 bytes.
  static constexpr uint32_t kMaxPageSize = 27 + 255 + 255 * 255;

  bool MatchSignature(const uint8_t* sector_head) override;
  bool Verify(SectorSource& source, uint64_t offset) override;
  uint64_t MeasureLength(SectorSource& source, uint64_t offset) override;
  std::bitset<256> SignatureFirstBytes() const override { return std::bitset<256>().set('O'); }
  FileTypeId TypeCode() const override { return kTypeOgg; }

  // True when the last measured file ended with the end-of-stream page of its first stream.
  bool last_ended_at_eos() const { return ended_at_eos_; }

 private:
  uint32_t serial_ = 0;
  bool ended_at_eos_ = false;
};

}  // namespace pictavo
