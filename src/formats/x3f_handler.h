#pragma once

#include "engine/format_handler.h"

namespace pictavo {

// Sigma raw: a sector that starts with "FOVb" and has a section right after its 232-byte header,
// measured up to the end of its directory section ("SECd"), found by searching the file at 4-byte
// steps.
class X3fHandler : public FormatHandler {
 public:
  static constexpr uint32_t kMaxLength = 0xFA00000;
  static constexpr uint32_t kHeaderBytes = 232;
  static constexpr uint32_t kWindowSectors = 8;

  bool MatchSignature(const uint8_t* sector_head) override;
  bool Verify(SectorSource& source, uint64_t offset) override;
  uint64_t MeasureLength(SectorSource& source, uint64_t offset) override;
  std::bitset<256> SignatureFirstBytes() const override { return std::bitset<256>().set('F'); }
  FileTypeId TypeCode() const override { return kTypeX3f; }

 private:
  uint64_t length_ = 0;
  uint64_t candidate_start_ = 0;
  uint16_t sector_size_ = 0;
};

}  // namespace pictavo
