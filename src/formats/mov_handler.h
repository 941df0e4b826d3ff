#pragma once

#include "engine/format_handler.h"

namespace pictavo {

// QuickTime movies: a sector that starts with a top-level atom of a known type, not an MP4-family
// file, measured by following the chain of top-level atoms.
class MovHandler : public FormatHandler {
 public:
  // Atoms larger than this end the walk (and a first atom this large is no candidate).
  static constexpr uint32_t kMaxAtomSize = 0x12C00000;
  // How far into the file the MP4-family brands are looked for.
  static constexpr uint32_t kBrandSearchSpan = 500;
  static constexpr uint32_t kVerifySectors = 4;
  static constexpr uint32_t kWalkSectors = 2;

  bool MatchSignature(const uint8_t* sector_head) override;
  bool Verify(SectorSource& source, uint64_t offset) override;
  uint64_t MeasureLength(SectorSource& source, uint64_t offset) override;
  // A first atom is at most kMaxAtomSize bytes long, so its big-endian size starts with 0 to 0x12.
  std::bitset<256> SignatureFirstBytes() const override;
  FileTypeId TypeCode() const override { return kTypeMov; }

  // The atom test: the size of the atom whose 8-byte header is at `header` when the size is not 0
  // and the type is one of the known top-level types; 0 otherwise.
  static uint32_t AtomTest(const uint8_t* header);

 private:
  uint32_t atom_size_ = 0;
  uint64_t length_ = 0;
};

}  // namespace pictavo
