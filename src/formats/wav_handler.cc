#include "formats/wav_handler.h"

#include <cstring>

#include "formats/chain_window.h"
#include "formats/exact_measure.h"

namespace pictavo {
namespace {

constexpr char kKnownChunks[][5] = {"data", "fmt ", "fact", "LIST", "JUNK",
                                    "bext", "levl", "mext", "aux ", "BWF "};

}  // namespace

bool WavHandler::IsKnownChunk(const uint8_t* id) {
  for (const char* known : kKnownChunks) {
    if (std::memcmp(id, known, 4) == 0) return true;
  }
  return false;
}

bool WavHandler::MatchSignature(const uint8_t* sector_head) {
  length_ = 0;
  return std::memcmp(sector_head, "RIFF", 4) == 0 && std::memcmp(sector_head + 8, "WAVE", 4) == 0;
}

uint64_t WavHandler::MeasureLength(SectorSource& source, uint64_t offset) {
  length_ = 0;
  if (exact_ends()) {
    if (const uint64_t whole = MeasureRiffWhole(source, offset)) return length_ = whole;
  }
  const uint16_t sector_size = GetSectorSize(source);
  if (sector_size == 0) return 0;
  ChainWindow window(sector_size, kWindowSectors);
  if (!window.Load(source, offset)) return 0;

  // The first chunk's identifier is never examined: some writers put other chunks before "fmt ".
  uint64_t length = 12;
  uint64_t chunk = 12;  // file-relative
  uint32_t data_size = window.U32At(offset + 16, Endian::kLittle);
  // Every step moves at least 8 bytes on and reads past the end of the medium fail, so the walk
  // ends. Pad bytes after odd-sized chunks are not counted: such a chunk makes the walk read the
  // next identifier one byte early, which normally ends it.
  for (;;) {
    const uint64_t next = chunk + 8 + data_size;
    const uint64_t next_sector = next - next % sector_size;
    if (!window.Reach(source, offset + next_sector, offset + next, 8)) break;
    length += uint64_t{data_size} + 8;
    uint8_t id[4];
    window.CopyOut(offset + next, id);
    if (!IsKnownChunk(id)) break;
    chunk = next;
    data_size = window.U32At(offset + next + 4, Endian::kLittle);
  }
  length_ = length;
  return length;
}

}  // namespace pictavo
