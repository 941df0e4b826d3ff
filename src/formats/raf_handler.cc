#include "formats/raf_handler.h"

#include <cstring>
#include <vector>

#include "formats/byte_reader.h"

namespace pictavo {
namespace {

constexpr char kSignature[] = "FUJIFILMCCD-RAW";
constexpr uint32_t kRawOffsetAt = 100;
constexpr uint32_t kRawLengthAt = 104;
constexpr uint32_t kTrailerAt = 132;
constexpr uint32_t kHeaderBytes = kTrailerAt + 4;

}  // namespace

bool RafHandler::MatchSignature(const uint8_t* sector_head) {
  length_ = 0;
  return std::memcmp(sector_head, kSignature, sizeof(kSignature) - 1) == 0;
}

bool RafHandler::Verify(SectorSource& source, uint64_t offset) {
  length_ = 0;
  const uint32_t sector_size = GetSectorSize(source);
  if (sector_size == 0) return false;
  // One sector holds the header values on any real medium; tiny sectors read as many as it takes.
  const uint32_t sectors = (kHeaderBytes + sector_size - 1) / sector_size;
  std::vector<uint8_t> header(static_cast<size_t>(sectors) * sector_size, 0);
  if (!ReadAt(source, offset, static_cast<uint32_t>(header.size()), header.data())) return false;
  const ByteReader reader(header, Endian::kBig);
  const uint32_t raw_offset = reader.U32At(kRawOffsetAt).value_or(0);
  if (raw_offset == 0) return false;
  const uint32_t raw_end = raw_offset + reader.U32At(kRawLengthAt).value_or(0);  // 32-bit sum
  length_ = uint64_t{raw_end} + reader.U32At(kTrailerAt).value_or(0);
  return true;
}

uint64_t RafHandler::MeasureLength(SectorSource&, uint64_t) {
  return length_ > kMaxLength ? kMaxLength : length_;
}

}  // namespace pictavo
