#include "formats/ogg_handler.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <vector>

#include "formats/byte_reader.h"

namespace pictavo {
namespace {

constexpr uint8_t kBeginOfStream = 0x02;
constexpr uint8_t kEndOfStream = 0x04;
constexpr uint32_t kHeaderSize = 27;
constexpr size_t kCrcPos = 22;

constexpr std::array<uint32_t, 256> MakeCrcTable() {
  std::array<uint32_t, 256> table{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t r = i << 24;
    for (int bit = 0; bit < 8; ++bit) r = (r & 0x80000000u) ? (r << 1) ^ 0x04C11DB7u : r << 1;
    table[i] = r;
  }
  return table;
}
constexpr std::array<uint32_t, 256> kCrcTable = MakeCrcTable();

struct Page {
  uint32_t size = 0;
  uint8_t flags = 0;
  uint32_t serial = 0;
};

// Reads the page at `offset` into `buffer` and checks it: "OggS", version 0, known flags, the
// whole page readable and its CRC right. Nullopt otherwise.
std::optional<Page> ReadPage(SectorSource& source, uint64_t offset, std::vector<uint8_t>& buffer) {
  buffer.assign(OggHandler::kMaxPageSize, 0);
  uint32_t delivered = 0;
  if (!source.ReadAt(offset, kHeaderSize + 255, buffer.data(), ReadRule::kData, &delivered) ||
      delivered < kHeaderSize) {
    return std::nullopt;
  }
  const ByteReader reader(std::span<const uint8_t>(buffer.data(), delivered), Endian::kLittle);
  if (!reader.Matches(0, "OggS") || buffer[4] != 0 || (buffer[5] & ~0x07) != 0) return std::nullopt;
  const uint32_t segments = buffer[26];
  if (delivered < kHeaderSize + segments) return std::nullopt;
  uint32_t size = kHeaderSize + segments;
  for (uint32_t i = 0; i < segments; ++i) size += buffer[kHeaderSize + i];
  if (size > delivered) {
    uint32_t rest = 0;
    if (!source.ReadAt(offset + delivered, size - delivered, buffer.data() + delivered,
                       ReadRule::kData, &rest) ||
        rest != size - delivered) {
      return std::nullopt;
    }
  }
  if (OggPageCrc(std::span<const uint8_t>(buffer.data(), size)) != LoadLe32(&buffer[kCrcPos])) {
    return std::nullopt;
  }
  return Page{size, buffer[5], LoadLe32(&buffer[14])};
}

}  // namespace

uint32_t OggPageCrc(std::span<const uint8_t> page) {
  uint32_t crc = 0;
  for (size_t i = 0; i < page.size(); ++i) {
    const uint8_t byte = i >= kCrcPos && i < kCrcPos + 4 ? 0 : page[i];
    crc = (crc << 8) ^ kCrcTable[((crc >> 24) ^ byte) & 0xFF];
  }
  return crc;
}

bool OggHandler::MatchSignature(const uint8_t* sector_head) {
  ended_at_eos_ = false;
  if (std::memcmp(sector_head, "OggS", 4) != 0 || sector_head[4] != 0) return false;
  // The first page of a stream: begins it, continues nothing, holds page 0 at granule 0.
  const uint8_t flags = sector_head[5];
  if ((flags & kBeginOfStream) == 0 || (flags & ~(kBeginOfStream | kEndOfStream)) != 0) {
    return false;
  }
  for (int i = 6; i < 14; ++i) {
    if (sector_head[i] != 0) return false;
  }
  if (LoadLe32(sector_head + 18) != 0) return false;
  serial_ = LoadLe32(sector_head + 14);
  return true;
}

bool OggHandler::Verify(SectorSource& source, uint64_t offset) {
  std::vector<uint8_t> buffer;
  return ReadPage(source, offset, buffer).has_value();
}

uint64_t OggHandler::MeasureLength(SectorSource& source, uint64_t offset) {
  ended_at_eos_ = false;
  std::vector<uint8_t> buffer;
  uint64_t length = 0;
  bool past_first_pages = false;
  // Every page is at least 27 bytes long, so the cap bounds the walk.
  while (length < kCap) {
    const std::optional<Page> page = ReadPage(source, offset + length, buffer);
    if (!page) break;
    // The first pages of all multiplexed streams come before any other page: a stream's first page
    // after that, or a second one of the same stream, starts the next file.
    const bool begins = (page->flags & kBeginOfStream) != 0;
    if (length > 0 && begins && (past_first_pages || page->serial == serial_)) break;
    past_first_pages = past_first_pages || !begins;
    length += page->size;
    if (page->serial == serial_ && (page->flags & kEndOfStream)) {
      ended_at_eos_ = true;
      break;
    }
  }
  return std::min(length, kCap);
}

}  // namespace pictavo
