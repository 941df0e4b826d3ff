#pragma once

#include "engine/format_handler.h"

namespace pictavo {

// RIFF WAVE sound: a sector that starts with the RIFF header of form "WAVE", measured by stepping
// over its chunks for as long as their identifiers are ones a WAVE file carries. The RIFF size
// field is not used, so a file whose header lies about its size is still measured by its chunks.
class WavHandler : public FormatHandler {
 public:
  static constexpr uint32_t kWindowSectors = 8;

  bool MatchSignature(const uint8_t* sector_head) override;
  uint64_t MeasureLength(SectorSource& source, uint64_t offset) override;
  std::bitset<256> SignatureFirstBytes() const override { return std::bitset<256>().set('R'); }
  FileTypeId TypeCode() const override { return kTypeWav; }

  // True for the chunk identifiers that continue the walk.
  static bool IsKnownChunk(const uint8_t* id);

 private:
  uint64_t length_ = 0;
};

}  // namespace pictavo
