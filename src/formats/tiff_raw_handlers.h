#pragma once

#include <cstdint>

#include "formats/tiff_structure_walker.h"

namespace pictavo {

// Camera raw files built on the TIFF structure, told apart by the maker named in their first
// directory. Each measures its file by the end of the last image data a directory points to; they
// differ in which directories they follow and where they stop.

// Nikon NEF: a TIFF header (also with "mm"), a Make of "NIKON" or "nikon" before the SubIFDs
// entry of the first directory; measured along the chains that start at the sub-IFDs.
class NefHandler : public TiffStructureWalker {
 public:
  bool MatchSignature(const uint8_t* sector_head) override;
  bool Verify(SectorSource& source, uint64_t offset) override;
  uint64_t MeasureLength(SectorSource& source, uint64_t offset) override;
  FileTypeId TypeCode() const override { return kTypeNef; }
  std::bitset<256> SignatureFirstBytes() const override {
    return std::bitset<256>().set('I').set('M').set('m');
  }

 private:
  uint32_t sub_ifd_offsets_[2] = {0, 0};
};

// The measurement shared by ORF and the Panasonic raw: the strip rule over the first four
// directories of the chain, each walk ending at its first byte-counts entry.
class FourIfdRawHandler : public TiffStructureWalker {
 protected:
  static constexpr uint32_t kMaxIfds = 4;
  // The extent before the cap; `skip_unset_offset` keeps the extent for a strip offset stored
  // as 0xFFFFFFFF.
  uint64_t MeasureFirstIfds(SectorSource& source, uint64_t base, bool skip_unset_offset);
};

// Olympus ORF: "IIRO", "IIRS", "MMOR" or "MMSR", a first Make beginning "OLYM"; measured over
// the first four directories of the chain.
class OrfHandler : public FourIfdRawHandler {
 public:
  bool MatchSignature(const uint8_t* sector_head) override;
  bool Verify(SectorSource& source, uint64_t offset) override;
  uint64_t MeasureLength(SectorSource& source, uint64_t offset) override;
  FileTypeId TypeCode() const override { return kTypeOrf; }
};

// Pentax PEF: a TIFF header and a first Make beginning "PENTAX"; measured to the end of the JPEG
// stream named by the last of the first three directories that names one.
class PefHandler : public TiffStructureWalker {
 public:
  bool MatchSignature(const uint8_t* sector_head) override;
  bool Verify(SectorSource& source, uint64_t offset) override;
  uint64_t MeasureLength(SectorSource& source, uint64_t offset) override;
  FileTypeId TypeCode() const override { return kTypePef; }
};

// Panasonic and Leica raw: "IIU\0" or "MM\0U", a first Make beginning "LEICA" or "Panasonic";
// measured like ORF, plus one sector.
class PanasonicRawHandler : public FourIfdRawHandler {
 public:
  bool MatchSignature(const uint8_t* sector_head) override;
  bool Verify(SectorSource& source, uint64_t offset) override;
  uint64_t MeasureLength(SectorSource& source, uint64_t offset) override;
  FileTypeId TypeCode() const override { return kTypeRaw; }
};

}  // namespace pictavo
