#pragma once

#include "engine/format_handler.h"

namespace pictavo {

// WebP pictures: a RIFF header of form "WEBP" whose first chunk is "VP8 " (lossy), "VP8L"
// (lossless) or "VP8X" (extended: alpha, animation, metadata). The RIFF size gives the length once
// the first chunk has been found to fit inside it and to start like its kind of data.
class WebpHandler : public FormatHandler {
 public:
  bool MatchSignature(const uint8_t* sector_head) override;
  uint64_t MeasureLength(SectorSource& source, uint64_t offset) override;
  std::bitset<256> SignatureFirstBytes() const override { return std::bitset<256>().set('R'); }
  FileTypeId TypeCode() const override { return kTypeWebp; }

 private:
  uint64_t length_ = 0;
};

}  // namespace pictavo
