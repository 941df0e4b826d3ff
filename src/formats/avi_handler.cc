#include "formats/avi_handler.h"

#include "formats/byte_reader.h"
#include "formats/chain_window.h"
#include "formats/exact_measure.h"

namespace pictavo {
namespace {

constexpr uint32_t kRiff = 0x46464952;        // "RIFF" read little-endian
constexpr uint32_t kFormAvi = 0x20495641;     // "AVI "
constexpr uint32_t kList = 0x5453494C;        // "LIST"
constexpr uint32_t kIndex = 0x31786469;       // "idx1"
constexpr uint32_t kJunk = 0x4B4E554A;        // "JUNK"
constexpr uint32_t kHeaderList = 0x6C726468;  // "hdrl"

bool ContinuesWalk(uint32_t id) {
  return id == kList || id == kIndex || id == kJunk || id == kHeaderList;
}

}  // namespace

bool AviHandler::MatchSignature(const uint8_t* sector_head) {
  extent_ = 0;
  return LoadLe32(sector_head) == kRiff && LoadLe32(sector_head + 8) == kFormAvi;
}

uint64_t AviHandler::MeasureLength(SectorSource& source, uint64_t offset) {
  if (exact_ends()) {
    if (const uint64_t whole = MeasureRiffWhole(source, offset)) return extent_ = whole;
  }
  extent_ = 12;
  const uint64_t sector_size = GetSectorSize(source);
  if (sector_size == 0) return 0;
  ChainWindow window(static_cast<uint16_t>(sector_size), kWindowSectors);
  // The walk keeps a read base (a sector boundary), the position of the current chunk's data
  // relative to it, and the size of the chunk being stepped over. Each step reads a window at the
  // sector that holds (base + size) and finds the next header (position + size mod sector) into
  // it, so the header lies at the current chunk's data + size. Chunk sizes are used as stored:
  // no pad byte is added after an odd size.
  uint64_t base = offset;
  if (!window.Load(source, base)) return 0;
  uint32_t size = window.U32At(base + 16, Endian::kLittle);
  uint64_t position = 20;
  // Every step moves the header at least 8 bytes on and reads past the end of the medium fail,
  // so a chain of known chunks of size 0 still ends there.
  for (;;) {
    base = sector_size * ((base + size) / sector_size);
    const uint64_t rest = size % sector_size;
    const uint64_t header = base + position + rest;
    if (!window.Reach(source, base, header, 8)) break;
    const uint32_t id = window.U32At(header, Endian::kLittle);
    extent_ += uint64_t{size} + 8;
    size = window.U32At(header + 4, Endian::kLittle);
    position += rest + 8;
    if (position >= sector_size) {
      base += sector_size * (position / sector_size);
      position %= sector_size;
    }
    if (!ContinuesWalk(id)) break;
  }
  return extent_;
}

}  // namespace pictavo
