#include "formats/dng_other_handler.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "formats/byte_reader.h"
#include "formats/tiff_structure_walker.h"

namespace pictavo {
namespace {

constexpr uint16_t kTagExifIfd = 0x8769;
constexpr uint16_t kTagGpsIfd = 0x8825;
constexpr uint16_t kTagInteropIfd = 0xA005;
constexpr uint16_t kTypeIfd = 13;

// Reads the file's structures from the medium, at offsets counted from the file's start.
class TiffFile {
 public:
  TiffFile(SectorSource& source, uint64_t base, bool little_endian)
      : source_(source), base_(base), order_(little_endian ? Endian::kLittle : Endian::kBig) {}

  // `count` bytes at `pos`; false unless all of them could be read.
  bool Read(uint64_t pos, uint32_t count, std::vector<uint8_t>& out) {
    out.assign(count, 0);
    if (count == 0) return true;
    uint32_t delivered = 0;
    return source_.ReadAt(base_ + pos, count, out.data(), ReadRule::kData, &delivered) &&
           delivered == count;
  }

  ByteReader Reader(const std::vector<uint8_t>& bytes) const { return ByteReader(bytes, order_); }

  // The values of an entry of type SHORT, LONG or IFD, at most kMaxArrayCount of them; empty
  // when they cannot be read.
  std::vector<uint64_t> Values(const IfdEntry& entry, const uint8_t* raw_value) {
    std::vector<uint64_t> values;
    const uint32_t size = TiffFieldTypeSize(entry.type);
    if ((size != 2 && size != 4) || entry.count == 0 ||
        entry.count > DngOtherHandler::kMaxArrayCount) {
      return values;
    }
    std::vector<uint8_t> bytes;
    const uint32_t total = entry.count * size;
    if (total <= 4) {
      bytes.assign(raw_value, raw_value + 4);
    } else if (!Read(entry.value, total, bytes)) {
      return values;
    }
    const ByteReader reader = Reader(bytes);
    values.reserve(entry.count);
    for (uint32_t i = 0; i < entry.count; ++i) {
      values.push_back(size == 2 ? reader.U16At(i * 2).value_or(0)
                                 : reader.U32At(i * 4).value_or(0));
    }
    return values;
  }

 private:
  SectorSource& source_;
  uint64_t base_;
  Endian order_;
};

// The end of the data that pairs of offsets and byte counts describe.
uint64_t PairsEnd(const std::vector<uint64_t>& offsets, const std::vector<uint64_t>& counts) {
  uint64_t end = 0;
  const size_t n = std::min(offsets.size(), counts.size());
  for (size_t i = 0; i < n; ++i) {
    const uint64_t this_end = offsets[i] + counts[i];
    if (this_end <= DngOtherHandler::kCap) end = std::max(end, this_end);
  }
  return end;
}

// Reads the IFD at `ifd` (entry count and entries); the entries' bytes start at position 2.
bool ReadIfd(TiffFile& file, uint32_t ifd, std::vector<uint8_t>& bytes, uint32_t* count) {
  if (!file.Read(ifd, 2, bytes)) return false;
  const uint32_t entries = file.Reader(bytes).U16At(0).value_or(0);
  if (entries == 0 || entries > DngOtherHandler::kMaxEntries) return false;
  if (!file.Read(ifd, 2 + 12 * entries + 4, bytes)) return false;
  *count = entries;
  return true;
}

IfdEntry EntryAt(const ByteReader& reader, uint32_t i) {
  const size_t pos = 2 + 12 * static_cast<size_t>(i);
  IfdEntry entry;
  entry.tag = reader.U16At(pos).value_or(0);
  entry.type = reader.U16At(pos + 2).value_or(0);
  entry.count = reader.U32At(pos + 4).value_or(0);
  entry.value = reader.U32At(pos + 8).value_or(0);
  return entry;
}

}  // namespace

bool DngOtherHandler::MatchSignature(const uint8_t* sector_head) {
  if (sector_head[0] == 'I' && sector_head[1] == 'I' && LoadLe16(sector_head + 2) == 42) {
    little_endian_ = true;
    first_ifd_ = LoadLe32(sector_head + 4);
  } else if (sector_head[0] == 'M' && sector_head[1] == 'M' && LoadBe16(sector_head + 2) == 42) {
    little_endian_ = false;
    first_ifd_ = LoadBe32(sector_head + 4);
  } else {
    return false;
  }
  return first_ifd_ >= 8;
}

bool DngOtherHandler::Verify(SectorSource& source, uint64_t offset) {
  TiffFile file(source, offset, little_endian_);
  std::vector<uint8_t> bytes;
  uint32_t count = 0;
  if (!ReadIfd(file, first_ifd_, bytes, &count)) return false;
  const ByteReader reader = file.Reader(bytes);
  for (uint32_t i = 0; i < count; ++i) {
    if (EntryAt(reader, i).tag == kTagDngVersion) return true;
  }
  return false;
}

uint64_t DngOtherHandler::MeasureLength(SectorSource& source, uint64_t offset) {
  TiffFile file(source, offset, little_endian_);
  IfdVisitLog visited;
  std::vector<uint32_t> pending = {first_ifd_};
  uint64_t extent = 8;
  std::vector<uint8_t> bytes;
  while (!pending.empty()) {
    const uint32_t ifd = pending.back();
    pending.pop_back();
    if (ifd < 8 || !visited.Enter(ifd)) continue;
    uint32_t count = 0;
    if (!ReadIfd(file, ifd, bytes, &count)) continue;
    const ByteReader reader = file.Reader(bytes);
    extent = std::max<uint64_t>(extent, uint64_t{ifd} + 2 + 12 * count + 4);
    std::vector<uint64_t> strip_offsets, strip_counts, tile_offsets, tile_counts;
    uint64_t jpeg_offset = 0, jpeg_length = 0;
    for (uint32_t i = 0; i < count; ++i) {
      const IfdEntry entry = EntryAt(reader, i);
      const uint8_t* raw_value = bytes.data() + 2 + 12 * i + 8;
      const uint64_t total = uint64_t{entry.count} * TiffFieldTypeSize(entry.type);
      if (total > 4 && entry.value + total <= kCap) {
        extent = std::max(extent, entry.value + total);
      }
      switch (entry.tag) {
        case kTagStripOffsets:
          strip_offsets = file.Values(entry, raw_value);
          break;
        case kTagStripByteCounts:
          strip_counts = file.Values(entry, raw_value);
          break;
        case kTagTileOffsets:
          tile_offsets = file.Values(entry, raw_value);
          break;
        case kTagTileByteCounts:
          tile_counts = file.Values(entry, raw_value);
          break;
        case kTagJpegInterchangeFormat:
          jpeg_offset = entry.value;
          break;
        case kTagJpegInterchangeFormatLength:
          jpeg_length = entry.value;
          break;
        case kTagSubIfds:
        case kTagExifIfd:
        case kTagGpsIfd:
        case kTagInteropIfd:
          if (entry.type == kTiffLong || entry.type == kTypeIfd) {
            for (const uint64_t sub : file.Values(entry, raw_value)) {
              if (pending.size() < IfdVisitLog::kMaxIfds)
                pending.push_back(static_cast<uint32_t>(sub));
            }
          }
          break;
        default:
          break;
      }
    }
    extent = std::max(extent, PairsEnd(strip_offsets, strip_counts));
    extent = std::max(extent, PairsEnd(tile_offsets, tile_counts));
    if (jpeg_offset > 0) extent = std::max(extent, PairsEnd({jpeg_offset}, {jpeg_length}));
    const uint32_t next = reader.U32At(2 + 12 * count).value_or(0);
    if (next != 0 && pending.size() < IfdVisitLog::kMaxIfds) pending.push_back(next);
  }
  const uint64_t size = source.Size();
  const uint64_t available = offset < size ? size - offset : 0;
  return std::min({extent, kCap, available});
}

}  // namespace pictavo
