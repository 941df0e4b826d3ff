#include "formats/mov_handler.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "formats/byte_reader.h"
#include "formats/chain_window.h"
#include "formats/exact_measure.h"

namespace pictavo {
namespace {

constexpr char kTopLevelTypes[][5] = {"ftyp", "free", "mdat", "moov", "pnot",
                                      "skip", "uuid", "wide", "qt  "};
constexpr char kMp4Marks[][4] = {"mp4", "M4A", "M4B", "M4V"};

}  // namespace

uint32_t MovHandler::AtomTest(const uint8_t* header) {
  const uint32_t size = LoadBe32(header);
  if (size == 0) return 0;
  for (const char* type : kTopLevelTypes) {
    if (std::memcmp(header + 4, type, 4) == 0) return size;
  }
  return 0;
}

std::bitset<256> MovHandler::SignatureFirstBytes() const {
  std::bitset<256> first_bytes;
  for (uint32_t b = 0; b <= (kMaxAtomSize >> 24); ++b) first_bytes.set(b);
  return first_bytes;
}

bool MovHandler::MatchSignature(const uint8_t* sector_head) {
  length_ = 0;
  atom_size_ = AtomTest(sector_head);
  if (atom_size_ == 0 || atom_size_ > kMaxAtomSize) {
    atom_size_ = 0;
    return false;
  }
  return true;
}

bool MovHandler::Verify(SectorSource& source, uint64_t offset) {
  const uint32_t sector_size = GetSectorSize(source);
  if (sector_size == 0) return false;
  // Four sectors, or more on a medium with tiny sectors, so that every brand position is read.
  const uint32_t needed = kBrandSearchSpan + 2;
  const uint32_t sectors = std::max(kVerifySectors, (needed + sector_size - 1) / sector_size);
  std::vector<uint8_t> head(static_cast<size_t>(sectors) * sector_size, 0);
  if (!ReadAt(source, offset, static_cast<uint32_t>(head.size()), head.data())) return false;
  // MP4, M4A, M4B and M4V files share the atom layout; their brand names them in the first atoms.
  for (uint32_t pos = 0; pos < kBrandSearchSpan; ++pos) {
    for (const char* mark : kMp4Marks) {
      if (std::memcmp(head.data() + pos, mark, 3) == 0) return false;
    }
  }
  if (AtomTest(head.data()) > kMaxAtomSize) return false;
  atom_size_ = 0;
  return true;
}

uint64_t MovHandler::MeasureLength(SectorSource& source, uint64_t offset) {
  length_ = 0;
  if (exact_ends()) {
    if (const uint64_t whole = MeasureQuickTimeWhole(source, offset)) return length_ = whole;
  }
  const uint16_t sector_size = GetSectorSize(source);
  if (sector_size == 0) return 0;
  ChainWindow window(sector_size, kWalkSectors);
  if (!window.Load(source, offset)) return 0;
  uint64_t atom = offset;
  uint64_t length = 0;
  // Every atom that continues the walk has a size of at least 1 and reads past the end of the
  // medium fail, so the walk ends. An atom of size 1 (a 64-bit size follows) adds 1 byte, and the
  // walk then looks one byte further on, where the test normally fails.
  for (;;) {
    uint8_t header[8];
    window.CopyOut(atom, header);
    const uint32_t size = AtomTest(header);
    if (size == 0 || size > kMaxAtomSize) break;
    length += size;
    atom += size;
    const uint64_t relative = atom - offset;
    if (!window.Reach(source, offset + relative - relative % sector_size, atom, 8)) break;
  }
  length_ = length;
  return length;
}

}  // namespace pictavo
