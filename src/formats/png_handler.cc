#include "formats/png_handler.h"

#include <cstring>

#include "formats/exact_measure.h"

namespace pictavo {
namespace {

constexpr uint8_t kPngSignature[PngHandler::kSignatureLength] = {0x89, 0x50, 0x4E, 0x47,
                                                                 0x0D, 0x0A, 0x1A, 0x0A};

// The chunks of the PNG standard and its registered extensions that writers commonly emit. A
// chunk outside this table (a private chunk, "eXIf", a name in the wrong case) ends the file.
constexpr char kKnownChunkNames[][5] = {
    "IHDR", "PLTE", "bKGD", "cHRM", "dSIG", "fRAc", "gAMA", "gIFg", "gIFt", "gIFx",
    "hIST", "iCCP", "iTXt", "oFFs", "pCAL", "pHYs", "sBIT", "sCAL", "sPLT", "sRGB",
    "sTER", "tEXt", "tIME", "tRNS", "tXMP", "vpAg", "zTXt", "IDAT", "IEND",
};

// Length field, name, data and CRC: a chunk occupies its data length plus this many bytes.
constexpr uint64_t kChunkOverhead = 12;
constexpr uint32_t kChunkHeadSize = 8;

}  // namespace

bool PngHandler::IsKnownChunkName(const uint8_t* name) {
  for (const auto& known : kKnownChunkNames) {
    if (std::memcmp(name, known, 4) == 0) return true;
  }
  return false;
}

bool PngHandler::MatchSignature(const uint8_t* sector_head) {
  return std::memcmp(sector_head, kPngSignature, kSignatureLength) == 0;
}

uint64_t PngHandler::MeasureLength(SectorSource& source, uint64_t offset) {
  if (exact_ends()) {
    if (const uint64_t whole = MeasurePngWhole(source, offset)) return whole;
  }
  const uint16_t sector_size = GetSectorSize(source);
  if (sector_size == 0) return 0;
  const uint32_t window_bytes = uint32_t{sector_size} * kWindowSectors;
  if (!window_.Open(source, offset, window_bytes)) return kSignatureLength;

  // The position is a 32-bit file offset. IEND does not end the walk by itself: known chunks
  // right behind it are counted too.
  uint32_t pos = kSignatureLength;
  while (pos <= window_bytes - kChunkHeadSize) {
    const uint8_t name[4] = {window_.At(pos + 4), window_.At(pos + 5), window_.At(pos + 6),
                             window_.At(pos + 7)};
    if (!IsKnownChunkName(name)) break;
    const uint64_t next = pos + uint64_t{window_.Be32At(pos)} + kChunkOverhead;
    // A damaged length that would carry the position past 2^32 - 1 ends the file here.
    if (next > UINT32_MAX) break;
    pos = static_cast<uint32_t>(next);
  }
  return pos;
}

}  // namespace pictavo
