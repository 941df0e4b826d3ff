#include "formats/x3f_handler.h"

#include <cstring>
#include <vector>

#include "formats/byte_reader.h"
#include "formats/scan_window.h"

namespace pictavo {
namespace {

constexpr uint32_t kDirectoryTag = 0x64434553;  // "SECd" read little-endian

// Reads the little-endian 32-bit value at `offset` in whole sectors; 0 when it cannot be read.
uint32_t ReadU32Le(SectorSource& source, uint64_t offset, uint32_t sector_size) {
  const uint64_t first = offset - offset % sector_size;
  const uint32_t sectors =
      static_cast<uint32_t>((offset + 4 - first + sector_size - 1) / sector_size);
  std::vector<uint8_t> bytes(static_cast<size_t>(sectors) * sector_size, 0);
  source.ReadAt(first, static_cast<uint32_t>(bytes.size()), bytes.data(), ReadRule::kData);
  return ByteReader(bytes, Endian::kLittle).U32At(offset - first).value_or(0);
}

}  // namespace

bool X3fHandler::MatchSignature(const uint8_t* sector_head) {
  length_ = 0;
  return std::memcmp(sector_head, "FOVb", 4) == 0;
}

bool X3fHandler::Verify(SectorSource& source, uint64_t offset) {
  candidate_start_ = offset;
  sector_size_ = GetSectorSize(source);
  if (sector_size_ == 0) return false;
  // One sector on any real medium; tiny sectors read as many as the section tag needs.
  const uint32_t sectors = (kHeaderBytes + 3 + sector_size_ - 1) / sector_size_;
  std::vector<uint8_t> head(static_cast<size_t>(sectors) * sector_size_, 0);
  if (!ReadAt(source, offset, static_cast<uint32_t>(head.size()), head.data())) return false;
  return ByteReader(head, Endian::kLittle).Matches(kHeaderBytes, "SEC");
}

uint64_t X3fHandler::MeasureLength(SectorSource& source, uint64_t offset) {
  length_ = 0;
  if (sector_size_ == 0) return 0;
  ScanWindow window(sector_size_, kWindowSectors);
  if (!window.Load(source, offset)) return 0;
  // Positions are file-relative and 4-aligned; a window holds 8 sectors, a multiple of 8 bytes,
  // so a tag at a position inside a window lies wholly inside it.
  uint64_t position = kHeaderBytes;
  uint32_t step_total = 0;  // 32-bit, as the length is
  uint32_t entries = 0;
  const uint64_t window_bytes = window.data_bytes();
  // The search has no limit of its own: it ends at the first aligned "SECd" or the first read
  // that fails, at the latest at the end of the medium.
  for (;;) {
    const uint64_t window_start = window.offset() - offset;
    if (position >= window_start + window_bytes) {
      if (!window.Load(source, window.offset() + window_bytes)) break;
      continue;
    }
    const uint8_t* data = window.data();
    size_t pos = static_cast<size_t>(position - window_start);
    bool found = false;
    for (; pos + 4 <= window_bytes; pos += 4) {
      step_total += 4;
      if (LoadLe32(data + pos) == kDirectoryTag) {
        found = true;
        break;
      }
    }
    if (!found) {
      position = window_start + window_bytes;
      continue;
    }
    position = window_start + pos;
    step_total += 8;
    // The entry count follows the tag and the version; past the window it is read from the
    // medium.
    if (pos + 12 <= window_bytes) {
      entries = LoadLe32(data + pos + 8);
    } else {
      entries = ReadU32Le(source, offset + position + 8, sector_size_);
    }
    break;
  }
  uint32_t length = step_total + 12 * entries + kHeaderBytes + 4;
  if (length > kMaxLength) length = kMaxLength;
  length_ = length;
  return length;
}

}  // namespace pictavo
