#include "engine/format_handler.h"

#include <cstdint>

namespace pictavo {

bool FormatHandler::Verify(SectorSource&, uint64_t) { return true; }

bool FormatHandler::SeekTo(SectorSource&, uint64_t offset) {
  // Reads are positioned on every call; a position is only invalid past the largest file offset.
  return offset <= static_cast<uint64_t>(INT64_MAX);
}

bool FormatHandler::ReadAt(SectorSource& source, uint64_t offset, uint32_t count, uint8_t* buffer) {
  return source.ReadAt(offset, count, buffer, ReadRule::kData);
}

uint16_t FormatHandler::GetSectorSize(SectorSource& source) { return source.SectorSize(); }

}  // namespace pictavo
