#pragma once

#include "engine/format_handler.h"
#include "formats/lazy_window.h"

namespace pictavo {

// PNG: a sector that starts with the PNG signature, measured by walking its chunks for as long
// as each one carries a known chunk name. CRCs are not checked.
class PngHandler : public FormatHandler {
 public:
  // The walk looks at chunk heads within this many sectors of the file's start.
  static constexpr uint32_t kWindowSectors = 20480;
  static constexpr uint32_t kSignatureLength = 8;

  bool MatchSignature(const uint8_t* sector_head) override;
  uint64_t MeasureLength(SectorSource& source, uint64_t offset) override;
  FileTypeId TypeCode() const override { return kTypePng; }
  std::bitset<256> SignatureFirstBytes() const override { return std::bitset<256>().set(0x89); }

  // True for the chunk names the walk accepts (four bytes, case-sensitive).
  static bool IsKnownChunkName(const uint8_t* name);

 private:
  // The first 20,480 sectors of the candidate, read only where chunk heads lie.
  LazyWindow window_;
};

}  // namespace pictavo
