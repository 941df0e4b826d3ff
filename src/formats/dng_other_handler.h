#pragma once

#include <cstdint>

#include "engine/format_handler.h"

namespace pictavo {

// DNG files of the makers the classic DNG recogniser does not take (Apple, Google, Samsung, Sony,
// Canon, ...): a TIFF whose first IFD holds the DNGVersion tag. Tried after every raw recogniser
// of the classic set and before plain TIFF. The length is the real extent of the file's
// structure: every IFD along the chains from the first one and every sub-IFD (SubIFDs, Exif, GPS
// and interoperability IFDs), every value stored outside its entry, and every strip, tile and
// embedded JPEG.
class DngOtherHandler : public FormatHandler {
 public:
  static constexpr uint16_t kTagDngVersion = 0xC612;
  static constexpr uint64_t kCap = uint64_t{2} << 30;
  // The most entries an IFD of a DNG may have; more means the bytes are no IFD.
  static constexpr uint32_t kMaxEntries = 4096;
  // The most strips or tiles an image may have.
  static constexpr uint32_t kMaxArrayCount = 1u << 20;

  bool MatchSignature(const uint8_t* sector_head) override;
  bool Verify(SectorSource& source, uint64_t offset) override;
  uint64_t MeasureLength(SectorSource& source, uint64_t offset) override;
  std::bitset<256> SignatureFirstBytes() const override {
    return std::bitset<256>().set('I').set('M');
  }
  FileTypeId TypeCode() const override { return kTypeDngOther; }

 private:
  bool little_endian_ = true;
  uint32_t first_ifd_ = 0;
};

}  // namespace pictavo
