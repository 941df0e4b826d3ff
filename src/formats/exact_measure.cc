#include "formats/exact_measure.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <string_view>

#include "formats/scan_window.h"
#include "formats/tiff_structure_walker.h"

namespace pictavo {

MediumReader::MediumReader(SectorSource& source)
    : source_(source), medium_size_(source.Size()), sector_size_(source.SectorSize()) {
  if (sector_size_ == 0) sector_size_ = 512;
  buffer_.resize(size_t{kBlockSectors} * sector_size_);
}

const uint8_t* MediumReader::BytesAt(uint64_t offset, uint32_t* available) {
  if (offset < block_offset_ || offset - block_offset_ >= delivered_) {
    block_offset_ = offset - offset % sector_size_;
    delivered_ = 0;
    if (!source_.ReadAt(block_offset_, static_cast<uint32_t>(buffer_.size()), buffer_.data(),
                        ReadRule::kData, &delivered_) ||
        offset - block_offset_ >= delivered_) {
      block_offset_ = UINT64_MAX;
      delivered_ = 0;
      return nullptr;
    }
  }
  const uint32_t at = static_cast<uint32_t>(offset - block_offset_);
  *available = delivered_ - at;
  return buffer_.data() + at;
}

bool MediumReader::Read(uint64_t offset, uint8_t* out, uint32_t count) {
  while (count > 0) {
    uint32_t available = 0;
    const uint8_t* bytes = BytesAt(offset, &available);
    if (bytes == nullptr) return false;
    const uint32_t take = std::min(available, count);
    std::memcpy(out, bytes, take);
    out += take;
    offset += take;
    count -= take;
  }
  return true;
}

std::optional<uint8_t> MediumReader::U8(uint64_t offset) {
  uint8_t b = 0;
  if (!Read(offset, &b, 1)) return std::nullopt;
  return b;
}

std::optional<uint16_t> MediumReader::U16(uint64_t offset, Endian order) {
  uint8_t b[2];
  if (!Read(offset, b, 2)) return std::nullopt;
  return ByteReader(b, order).U16At(0);
}

std::optional<uint32_t> MediumReader::U32(uint64_t offset, Endian order) {
  uint8_t b[4];
  if (!Read(offset, b, 4)) return std::nullopt;
  return ByteReader(b, order).U32At(0);
}

std::optional<uint64_t> MediumReader::U64(uint64_t offset, Endian order) {
  uint8_t b[8];
  if (!Read(offset, b, 8)) return std::nullopt;
  return ByteReader(b, order).U64At(0);
}

namespace {

// How far a file at `offset` may reach: to the end of the medium, and never past what a find
// can record.
uint64_t RoomAt(const MediumReader& reader, uint64_t offset, uint64_t cap = kMaxExactLength) {
  if (offset >= reader.medium_size()) return 0;
  return std::min(reader.medium_size() - offset, cap);
}

bool IsPrintableName(const uint8_t* name) {
  for (int i = 0; i < 4; ++i) {
    if (name[i] < 0x20 || name[i] > 0x7E) return false;
  }
  return true;
}

bool NameIn(const uint8_t* name, std::initializer_list<std::string_view> names) {
  for (const std::string_view known : names) {
    if (std::memcmp(name, known.data(), 4) == 0) return true;
  }
  return false;
}

// ---- TIFF ----

struct TiffEntry {
  uint16_t tag = 0;
  uint16_t type = 0;
  uint32_t count = 0;
  uint8_t value[4] = {};
};

class TiffWalk {
 public:
  TiffWalk(SectorSource& source, uint64_t offset) : reader_(source), offset_(offset) {}

  uint64_t Run() {
    uint8_t head[8];
    if (!reader_.Read(offset_, head, 8)) return 0;
    if (head[0] == 'I' && head[1] == 'I') {
      order_ = Endian::kLittle;
    } else if (head[0] == 'M' && head[1] == 'M') {
      order_ = Endian::kBig;
    } else {
      return 0;
    }
    room_ = RoomAt(reader_, offset_);
    end_ = 8;
    pending_.push_back(ByteReader(head, order_).U32At(4).value_or(0));
    while (!pending_.empty() && visited_.size() < kMaxIfds) {
      const uint32_t ifd = pending_.back();
      pending_.pop_back();
      if (ifd < 8 || std::find(visited_.begin(), visited_.end(), ifd) != visited_.end()) continue;
      visited_.push_back(ifd);
      WalkIfd(ifd);
    }
    if (!walked_any_) return 0;
    // Writers keep every part on a word boundary; a file whose last part ends on an odd byte
    // carries the zero pad byte that rounds it up.
    if (end_ % 2 == 1 && end_ < room_ && reader_.U8(offset_ + end_) == uint8_t{0}) ++end_;
    return end_;
  }

 private:
  static constexpr size_t kMaxIfds = 1024;
  static constexpr uint32_t kMaxElements = 1 << 22;

  void Note(uint64_t part_end) {
    // A part that would reach past the medium is no part of this file (a damaged or foreign
    // offset), so it cannot make the file longer.
    if (part_end <= room_ && part_end > end_) end_ = part_end;
  }

  uint32_t ValueU32(const TiffEntry& e) const {
    return ByteReader(e.value, order_).U32At(0).value_or(0);
  }

  // Element `index` of a SHORT or LONG array entry; nothing when it cannot be read.
  std::optional<uint32_t> Element(const TiffEntry& e, uint32_t index) {
    const uint32_t size = e.type == 3 ? 2 : 4;
    if (uint64_t{size} * e.count <= 4) {
      const ByteReader value(e.value, order_);
      if (size == 2) {
        const auto v = value.U16At(2 * size_t{index});
        return v ? std::optional<uint32_t>(*v) : std::nullopt;
      }
      return value.U32At(0);
    }
    const uint64_t at = offset_ + ValueU32(e) + uint64_t{size} * index;
    if (size == 2) {
      const auto v = reader_.U16(at, order_);
      return v ? std::optional<uint32_t>(*v) : std::nullopt;
    }
    return reader_.U32(at, order_);
  }

  // The largest end of the pieces an offsets entry and its byte-counts entry describe.
  void NotePieces(const TiffEntry& offsets, const TiffEntry& counts) {
    if ((offsets.type != 3 && offsets.type != 4) || (counts.type != 3 && counts.type != 4)) return;
    const uint32_t n = std::min({offsets.count, counts.count, kMaxElements});
    for (uint32_t i = 0; i < n; ++i) {
      const auto start = Element(offsets, i);
      const auto length = Element(counts, i);
      if (!start || !length) return;
      if (*start == UINT32_MAX || *length == 0) continue;  // a piece that was never written
      Note(uint64_t{*start} + *length);
    }
  }

  void WalkIfd(uint32_t ifd) {
    const uint64_t at = offset_ + ifd;
    const auto count = reader_.U16(at, order_);
    if (!count || *count == 0) return;
    const uint64_t ifd_end = uint64_t{ifd} + 2 + 12 * uint64_t{*count} + 4;
    if (ifd_end > room_) return;
    walked_any_ = true;
    Note(ifd_end);
    std::array<std::optional<TiffEntry>, 7> pieces;  // by kPieceTags index
    constexpr uint16_t kPieceTags[] = {0x0111, 0x0117, 0x0144, 0x0145, 0x0201, 0x0202, 0x0118};
    for (uint32_t i = 0; i < *count; ++i) {
      uint8_t raw[12];
      if (!reader_.Read(at + 2 + 12 * uint64_t{i}, raw, 12)) return;
      const ByteReader entry_reader(raw, order_);
      TiffEntry e;
      e.tag = *entry_reader.U16At(0);
      e.type = *entry_reader.U16At(2);
      e.count = *entry_reader.U32At(4);
      std::memcpy(e.value, raw + 8, 4);
      const uint64_t size = uint64_t{TiffFieldTypeSize(e.type)} * e.count;
      if (size > 4) Note(uint64_t{ValueU32(e)} + size);
      for (size_t k = 0; k < pieces.size(); ++k) {
        if (e.tag == kPieceTags[k]) pieces[k] = e;
      }
      const bool ifd_pointer =
          e.tag == 0x8769 || e.tag == 0x8825 || e.tag == 0xA005 || e.type == 13;
      if (ifd_pointer && e.count == 1) pending_.push_back(ValueU32(e));
      if (e.tag == 0x014A && (e.type == 4 || e.type == 13)) {
        const uint32_t n = std::min<uint32_t>(e.count, 64);
        TiffEntry as_long = e;
        as_long.type = 4;
        for (uint32_t k = 0; k < n; ++k) {
          if (const auto sub = Element(as_long, k)) pending_.push_back(*sub);
        }
      }
    }
    if (const auto next = reader_.U32(at + 2 + 12 * uint64_t{*count}, order_)) {
      pending_.push_back(*next);
    }
    if (pieces[0] && pieces[1]) NotePieces(*pieces[0], *pieces[1]);
    if (pieces[2] && pieces[3]) NotePieces(*pieces[2], *pieces[3]);
    if (pieces[4] && pieces[5]) {
      const uint32_t start = ValueU32(*pieces[4]);
      const uint32_t length = ValueU32(*pieces[5]);
      if (length != 0) Note(uint64_t{start} + length);
    }
    // Panasonic keeps its raw data at RawDataOffset, sized by StripByteCounts.
    if (pieces[6] && pieces[1]) NotePieces(*pieces[6], *pieces[1]);
  }

  MediumReader reader_;
  uint64_t offset_;
  Endian order_ = Endian::kLittle;
  uint64_t room_ = 0;
  uint64_t end_ = 0;
  bool walked_any_ = false;
  std::vector<uint32_t> pending_;
  std::vector<uint32_t> visited_;
};

// ---- PNG ----

// The CRC-32 of `count` bytes at `offset`; nothing when they cannot all be read.
std::optional<uint32_t> CrcOf(MediumReader& reader, uint64_t offset, uint64_t count) {
  uLong crc = crc32(0L, Z_NULL, 0);
  while (count > 0) {
    uint32_t available = 0;
    const uint8_t* bytes = reader.BytesAt(offset, &available);
    if (bytes == nullptr) return std::nullopt;
    const uint32_t take = static_cast<uint32_t>(std::min<uint64_t>(available, count));
    crc = crc32(crc, bytes, take);
    offset += take;
    count -= take;
  }
  return static_cast<uint32_t>(crc);
}

bool IsLetter(uint8_t c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// ---- JPEG ----

// The end of the JPEG at `pos` (the byte after its end-of-image marker), found by walking its
// segments to the first start of scan and searching for the end-of-image marker from there; 0
// when no JPEG starts at `pos` or no end lies before `limit`.
uint64_t JpegEndAt(MediumReader& reader, uint64_t pos, uint64_t limit) {
  uint8_t soi[3];
  if (!reader.Read(pos, soi, 3) || soi[0] != 0xFF || soi[1] != 0xD8 || soi[2] != 0xFF) return 0;
  uint64_t p = pos + 2;
  bool scan = false;
  for (int segments = 0; segments < 4096 && !scan; ++segments) {
    uint8_t marker[4];
    if (!reader.Read(p, marker, 4) || marker[0] != 0xFF) return 0;
    const uint8_t m = marker[1];
    if (m == 0xFF) {
      ++p;  // fill byte
      continue;
    }
    if (m == 0xD9) return p + 2;
    if ((m >= 0xD0 && m <= 0xD7) || m == 0x01) {
      p += 2;
      continue;
    }
    const uint32_t length = LoadBe16(marker + 2);
    if (length < 2) return 0;
    p += 2 + uint64_t{length};
    scan = m == 0xDA;
  }
  if (!scan) return 0;
  bool previous_ff = false;
  while (p < limit) {
    uint32_t available = 0;
    const uint8_t* bytes = reader.BytesAt(p, &available);
    if (bytes == nullptr) return 0;
    available = static_cast<uint32_t>(std::min<uint64_t>(available, limit - p));
    if (previous_ff && bytes[0] == 0xD9) return p + 1;
    const size_t at = available >= 2 ? FindEndPair(bytes, 0, available) : available;
    if (at + 1 < available) return p + at + 2;
    previous_ff = bytes[available - 1] == 0xFF;
    p += available;
  }
  return 0;
}

// The end of the JPEG 2000 codestream at `pos` (the byte after its end-of-codestream marker),
// found by walking the main header's marker segments and the tile-parts by their lengths; 0 when
// no codestream starts at `pos` or its structure does not hold together before `limit`.
uint64_t CodestreamEndAt(MediumReader& reader, uint64_t pos, uint64_t limit) {
  uint8_t head[4];
  if (!reader.Read(pos, head, 4) || LoadBe16(head) != 0xFF4F || LoadBe16(head + 2) != 0xFF51) {
    return 0;
  }
  uint64_t p = pos + 2;
  for (int markers = 0; markers < (1 << 20) && p + 2 <= limit; ++markers) {
    uint8_t marker[12];
    if (!reader.Read(p, marker, 2) || marker[0] != 0xFF) return 0;
    const uint8_t m = marker[1];
    if (m == 0xD9) return p + 2;
    if (!reader.Read(p + 2, marker + 2, 2)) return 0;
    const uint32_t length = LoadBe16(marker + 2);
    if (length < 2) return 0;
    if (m == 0x90) {  // start of tile-part: Psot is the tile-part's whole length
      if (length != 10 || !reader.Read(p + 4, marker + 4, 8)) return 0;
      const uint32_t tile_part = LoadBe32(marker + 6);
      if (tile_part < 14) return 0;  // 0 (up to the end marker) is not followed here
      p += tile_part;
      continue;
    }
    if (m < 0x51 || m > 0x64) return 0;
    p += 2 + uint64_t{length};
  }
  return 0;
}

// The end of a chain of ISO/QuickTime boxes from `pos`, stopping at `limit`: every box with a
// printable type and a size that fits. Returns the position where the chain stopped.
uint64_t BoxChainEnd(MediumReader& reader, uint64_t pos, uint64_t limit) {
  for (int boxes = 0; boxes < 65536 && pos + 8 <= limit; ++boxes) {
    uint8_t head[16];
    if (!reader.Read(pos, head, 8) || !IsPrintableName(head + 4)) break;
    uint64_t size = LoadBe32(head);
    if (size == 1) {
      const auto large = reader.U64(pos + 8, Endian::kBig);
      if (!large) break;
      size = *large;
      if (size < 16) break;
    } else if (size < 8) {
      break;
    }
    if (size > limit - pos) break;
    pos += size;
  }
  return pos;
}

std::optional<uint64_t> ParseDecimal(std::string_view text) {
  uint64_t value = 0;
  size_t digits = 0;
  while (digits < text.size() && digits < 12 && text[digits] >= '0' && text[digits] <= '9') {
    value = value * 10 + static_cast<uint64_t>(text[digits] - '0');
    ++digits;
  }
  if (digits == 0) return std::nullopt;
  return value;
}

// The number an XMP property `name` holds, written as an attribute (name="12") or an element
// (<ns:name>12</ns:name>), searched in `xmp` from `from` to `to`.
std::optional<uint64_t> XmpNumber(std::string_view xmp, std::string_view name) {
  size_t at = 0;
  while ((at = xmp.find(name, at)) != std::string_view::npos) {
    at += name.size();
    if (at < xmp.size() && (xmp[at] == '>' || xmp[at] == '=')) {
      size_t v = at + 1;
      if (xmp[at] == '=' && v < xmp.size() && (xmp[v] == '"' || xmp[v] == '\'')) ++v;
      if (auto number = ParseDecimal(xmp.substr(std::min(v, xmp.size())))) return number;
    }
  }
  return std::nullopt;
}

std::string_view XmpText(std::string_view xmp, std::string_view name) {
  const size_t at = xmp.find(name);
  if (at == std::string_view::npos) return {};
  size_t v = at + name.size();
  if (v + 1 >= xmp.size() || xmp[v] != '=') return {};
  const char quote = xmp[v + 1];
  v += 2;
  const size_t close = xmp.find(quote, v);
  if (close == std::string_view::npos) return {};
  return xmp.substr(v, close - v);
}

struct ContainerItem {
  std::string_view mime;
  uint64_t length = 0;
  uint64_t padding = 0;
};

// The items of a GContainer directory, in order.
std::vector<ContainerItem> ContainerItems(std::string_view xmp) {
  std::vector<ContainerItem> items;
  constexpr std::string_view kItem = "Container:Item";
  size_t at = xmp.find(kItem);
  while (at != std::string_view::npos && items.size() < 64) {
    size_t next = xmp.find(kItem, at + kItem.size());
    // The closing tag of an element item names it again; it belongs to the same item.
    while (next != std::string_view::npos && next > 0 && xmp[next - 1] == '/') {
      next = xmp.find(kItem, next + kItem.size());
    }
    const std::string_view element =
        xmp.substr(at, next == std::string_view::npos ? std::string_view::npos : next - at);
    ContainerItem item;
    item.mime = XmpText(element, ":Mime");
    item.length = XmpNumber(element, ":Length").value_or(0);
    item.padding = XmpNumber(element, ":Padding").value_or(0);
    items.push_back(item);
    at = next;
  }
  return items;
}

// The count and value of entry `tag` of the TIFF directory at `ifd`.
std::optional<std::pair<uint32_t, uint32_t>> FindIfdEntry(MediumReader& reader, uint64_t ifd,
                                                          Endian order, uint16_t tag) {
  const uint16_t count = std::min<uint16_t>(reader.U16(ifd, order).value_or(0), 512);
  for (uint16_t i = 0; i < count; ++i) {
    const uint64_t entry = ifd + 2 + 12 * uint64_t{i};
    if (reader.U16(entry, order) != tag) continue;
    const auto n = reader.U32(entry + 4, order);
    const auto value = reader.U32(entry + 8, order);
    if (!n || !value) return std::nullopt;
    return std::pair{*n, *value};
  }
  return std::nullopt;
}

// The end of the preview a Sony camera keeps behind the image, as its maker note's PreviewImage
// entry gives it; 0 when there is none.
uint64_t SonyPreviewEnd(MediumReader& reader, uint64_t tiff) {
  uint8_t mark[2];
  if (!reader.Read(tiff, mark, 2) || mark[0] != mark[1] || (mark[0] != 'I' && mark[0] != 'M')) {
    return 0;
  }
  const Endian order = mark[0] == 'I' ? Endian::kLittle : Endian::kBig;
  const uint64_t ifd0 = tiff + reader.U32(tiff + 4, order).value_or(0);
  const auto exif = FindIfdEntry(reader, ifd0, order, 0x8769);
  if (!exif) return 0;
  const auto note = FindIfdEntry(reader, tiff + exif->second, order, 0x927C);
  if (!note || note->first < 14) return 0;
  const uint64_t maker_note = tiff + note->second;
  uint8_t name[12];
  if (!reader.Read(maker_note, name, 12) || (std::memcmp(name, "SONY DSC \0\0\0", 12) != 0 &&
                                             std::memcmp(name, "SONY CAM \0\0\0", 12) != 0)) {
    return 0;
  }
  const auto preview = FindIfdEntry(reader, maker_note + 12, order, 0x2001);
  if (!preview || preview->first == 0) return 0;
  return tiff + preview->second + preview->first;
}

}  // namespace

uint64_t MeasureTiffWhole(SectorSource& source, uint64_t offset) {
  return TiffWalk(source, offset).Run();
}

uint64_t MeasureMpegStream(SectorSource& source, uint64_t offset,
                           std::vector<uint64_t>* pack_offsets) {
  MediumReader reader(source);
  const uint64_t room = RoomAt(reader, offset);
  uint64_t pos = 0;
  // The system clock of the packs only grows within a stream: a pack whose clock is behind the
  // previous pack's starts another stream recorded right behind this one.
  std::optional<uint64_t> last_clock;
  // Every step moves at least four bytes on and none goes past `room`.
  while (pos + 4 <= room) {
    uint8_t head[14];
    if (!reader.Read(offset + pos, head, 4)) break;
    if (head[0] != 0 || head[1] != 0 || head[2] != 1) break;
    const uint8_t id = head[3];
    if (id == 0xB9) {  // program end code
      pos += 4;
      break;
    }
    uint64_t size = 0;
    if (id == 0xBA) {
      if (pos + 14 > room && pos + 12 > room) break;
      uint8_t pack[14];
      if (!reader.Read(offset + pos, pack, 12)) break;
      uint64_t clock = 0;
      if ((pack[4] & 0xF0) == 0x20) {
        size = 12;  // MPEG-1 pack header
        clock = (uint64_t{pack[4] & 0x0Eu} << 29) | (uint64_t{pack[5]} << 22) |
                (uint64_t{pack[6] & 0xFEu} << 14) | (uint64_t{pack[7]} << 7) | (pack[8] >> 1);
      } else if ((pack[4] & 0xC0) == 0x40) {
        if (!reader.Read(offset + pos + 12, pack + 12, 2)) break;
        size = 14 + (pack[13] & 0x07);  // MPEG-2 pack header and its stuffing
        clock = (uint64_t{pack[4] & 0x38u} << 27) | (uint64_t{pack[4] & 0x03u} << 28) |
                (uint64_t{pack[5]} << 20) | (uint64_t{pack[6] & 0xF8u} << 12) |
                (uint64_t{pack[6] & 0x03u} << 13) | (uint64_t{pack[7]} << 5) | (pack[8] >> 3);
      } else {
        break;
      }
      if (last_clock && clock < *last_clock) break;
      last_clock = clock;
      if (pack_offsets) pack_offsets->push_back(offset + pos);
    } else if (id >= 0xBB) {
      const auto length = reader.U16(offset + pos + 4, Endian::kBig);
      if (!length) break;
      size = 6 + uint64_t{*length};
    } else {
      break;
    }
    if (size > room - pos) break;
    pos += size;
  }
  return pos;
}

uint64_t MeasurePngWhole(SectorSource& source, uint64_t offset) {
  MediumReader reader(source);
  const uint64_t room = RoomAt(reader, offset);
  uint64_t pos = 8;
  for (uint32_t chunks = 0; chunks < (1u << 20) && pos + 12 <= room; ++chunks) {
    uint8_t head[8];
    if (!reader.Read(offset + pos, head, 8)) return 0;
    const uint32_t length = LoadBe32(head);
    if (length > 0x7FFFFFFFu || !IsLetter(head[4]) || !IsLetter(head[5]) || !IsLetter(head[6]) ||
        !IsLetter(head[7])) {
      return 0;
    }
    const uint64_t next = pos + 12 + length;
    if (next > room) return 0;
    const auto crc = CrcOf(reader, offset + pos + 4, 4 + uint64_t{length});
    const auto stored = reader.U32(offset + pos + 8 + length, Endian::kBig);
    if (!crc || !stored || *crc != *stored) return 0;
    pos = next;
    if (std::memcmp(head + 4, "IEND", 4) == 0) return pos;
  }
  return 0;
}

namespace {

// The end of one RIFF list at `offset` when its chunk chain lands exactly on the end its size
// gives; 0 otherwise.
uint64_t RiffListEnd(MediumReader& reader, uint64_t offset, uint64_t room) {
  const auto riff_size = reader.U32(offset + 4, Endian::kLittle);
  if (!riff_size || *riff_size < 4) return 0;
  const uint64_t end = 8 + uint64_t{*riff_size};
  if (end > room) return 0;
  uint64_t pos = 12;
  for (uint32_t chunks = 0; chunks < (1u << 20) && pos + 8 <= end; ++chunks) {
    uint8_t head[8];
    if (!reader.Read(offset + pos, head, 8) || !IsPrintableName(head)) return 0;
    const uint64_t next = pos + 8 + LoadLe32(head + 4);
    if (next == end) return end;
    pos = next + (next & 1);  // chunks are padded to an even size
  }
  return pos == end ? end : 0;
}

}  // namespace

uint64_t MeasureRiffWhole(SectorSource& source, uint64_t offset) {
  MediumReader reader(source);
  const uint64_t room = RoomAt(reader, offset);
  uint8_t head[12];
  if (!reader.Read(offset, head, 12)) return 0;
  uint64_t end = RiffListEnd(reader, offset, room);
  if (end == 0) return 0;
  if (std::memcmp(head + 8, "AVI ", 4) != 0) return end;
  // OpenDML movies go on in further RIFF lists of the form "AVIX".
  for (int lists = 0; lists < 4096 && end + 12 <= room; ++lists) {
    if (!reader.Read(offset + end, head, 12) || std::memcmp(head, "RIFF", 4) != 0 ||
        std::memcmp(head + 8, "AVIX", 4) != 0) {
      break;
    }
    const uint64_t more = RiffListEnd(reader, offset + end, room - end);
    if (more == 0) break;
    end += more;
  }
  return end;
}

uint64_t MeasureJp2Whole(SectorSource& source, uint64_t offset, uint64_t* codestream) {
  MediumReader reader(source);
  const uint64_t room = RoomAt(reader, offset);
  uint64_t pos = 0;
  bool seen_codestream = false;
  for (int boxes = 0; boxes < 4096 && pos + 8 <= room; ++boxes) {
    uint8_t head[8];
    if (!reader.Read(offset + pos, head, 8) || !IsPrintableName(head + 4)) break;
    if (seen_codestream &&
        !NameIn(head + 4, {"xml ", "uuid", "uinf", "jp2c", "res ", "rreq", "asoc",
                           "lbl ", "nlst", "free", "jpch", "jplh", "cgrp", "ftbl",
                           "dtbl", "roid", "cref", "jp2i", "ulst", "url ", "jp2h"})) {
      break;
    }
    uint64_t size = LoadBe32(head);
    uint64_t header = 8;
    if (size == 1) {
      const auto large = reader.U64(offset + pos + 8, Endian::kBig);
      if (!large || *large < 16) break;
      size = *large;
      header = 16;
    } else if (size == 0) {
      // The last box runs to the end of the file; a codestream box ends with its codestream.
      if (std::memcmp(head + 4, "jp2c", 4) != 0 || seen_codestream) break;
      const uint64_t end = CodestreamEndAt(reader, offset + pos + 8, offset + room);
      if (end == 0) return 0;
      if (codestream) *codestream = offset + pos + 8;
      return end - offset;
    } else if (size < 8) {
      break;
    }
    if (size > room - pos) break;
    if (std::memcmp(head + 4, "jp2c", 4) == 0 && !seen_codestream) {
      uint8_t marks[4];
      if (!reader.Read(offset + pos + header, marks, 4) || marks[0] != 0xFF || marks[1] != 0x4F ||
          marks[2] != 0xFF || marks[3] != 0x51) {
        return 0;
      }
      seen_codestream = true;
      if (codestream) *codestream = offset + pos + header;
    }
    pos += size;
  }
  return seen_codestream ? pos : 0;
}

// ---- ISO boxes: a movie's sample tables ----

namespace {

// The children of the box whose contents run from `begin` to `end`, each as (type, contents,
// contents end); at most 4096 of them, and only while each fits inside its parent.
struct ChildBox {
  uint8_t type[4];
  uint64_t contents;
  uint64_t end;
};
std::vector<ChildBox> ChildBoxes(MediumReader& reader, uint64_t begin, uint64_t end) {
  std::vector<ChildBox> children;
  for (uint64_t pos = begin; pos + 8 <= end && children.size() < 4096;) {
    uint8_t head[8];
    if (!reader.Read(pos, head, 8)) break;
    uint64_t size = LoadBe32(head);
    uint64_t header = 8;
    if (size == 1) {
      const auto large = reader.U64(pos + 8, Endian::kBig);
      if (!large) break;
      size = *large;
      header = 16;
    } else if (size == 0) {
      size = end - pos;
    }
    if (size < header || size > end - pos) break;
    ChildBox child;
    std::memcpy(child.type, head + 4, 4);
    child.contents = pos + header;
    child.end = pos + size;
    children.push_back(child);
    pos += size;
  }
  return children;
}

// The first child of type `name`, if any.
std::optional<ChildBox> ChildNamed(const std::vector<ChildBox>& children, const char* name) {
  for (const ChildBox& child : children) {
    if (std::memcmp(child.type, name, 4) == 0) return child;
  }
  return std::nullopt;
}

// Bounds on the tables followed, whatever the medium holds: entries of one table, tracks of a
// movie, extents of a meta box.
constexpr uint64_t kMaxTableEntries = uint64_t{1} << 24;
constexpr int kMaxTracks = 256;
constexpr uint64_t kMaxExtents = uint64_t{1} << 20;

// The end of the last chunk of one track, from the file's start; 0 when its tables do not agree.
uint64_t TrackMediaEnd(MediumReader& reader, const ChildBox& stbl) {
  const std::vector<ChildBox> tables = ChildBoxes(reader, stbl.contents, stbl.end);
  const auto stsc = ChildNamed(tables, "stsc");
  const auto stsz = ChildNamed(tables, "stsz");
  auto offsets = ChildNamed(tables, "co64");
  const bool wide = offsets.has_value();
  if (!wide) offsets = ChildNamed(tables, "stco");
  if (!stsc || !stsz || !offsets) return 0;
  // The chunk that starts last.
  const uint64_t entry_size = wide ? 8 : 4;
  const uint32_t chunks = reader.U32(offsets->contents + 4, Endian::kBig).value_or(0);
  if (chunks == 0 || chunks > kMaxTableEntries ||
      offsets->contents + 8 + chunks * entry_size > offsets->end) {
    return 0;
  }
  uint64_t last_start = 0;
  uint32_t last_chunk = 0;
  for (uint32_t i = 0; i < chunks; ++i) {
    const uint64_t at = offsets->contents + 8 + i * entry_size;
    const std::optional<uint64_t> start =
        wide ? reader.U64(at, Endian::kBig) : std::optional<uint64_t>(reader.U32(at, Endian::kBig));
    if (!start) return 0;
    if (*start >= last_start) {
      last_start = *start;
      last_chunk = i;
    }
  }
  // Its first sample and its sample count, from the runs of the sample-to-chunk table.
  const uint32_t runs = reader.U32(stsc->contents + 4, Endian::kBig).value_or(0);
  if (runs == 0 || runs > kMaxTableEntries ||
      stsc->contents + 8 + uint64_t{runs} * 12 > stsc->end) {
    return 0;
  }
  uint64_t first_sample = 0;
  uint64_t samples = 0;
  for (uint32_t r = 0; r < runs; ++r) {
    const uint64_t at = stsc->contents + 8 + uint64_t{r} * 12;
    const uint32_t first = reader.U32(at, Endian::kBig).value_or(0);
    const uint32_t per_chunk = reader.U32(at + 4, Endian::kBig).value_or(0);
    const uint32_t next = r + 1 < runs ? reader.U32(at + 12, Endian::kBig).value_or(0) : chunks + 1;
    if (first == 0 || next <= first || next > chunks + 1) return 0;
    if (last_chunk + 1 < next) {
      first_sample += uint64_t{last_chunk + 1 - first} * per_chunk;
      samples = per_chunk;
      break;
    }
    first_sample += uint64_t{next - first} * per_chunk;
  }
  // The sizes of those samples.
  const uint32_t fixed = reader.U32(stsz->contents + 4, Endian::kBig).value_or(0);
  const uint32_t sample_count = reader.U32(stsz->contents + 8, Endian::kBig).value_or(0);
  if (samples == 0 || samples > kMaxTableEntries || first_sample + samples > sample_count) return 0;
  uint64_t size = uint64_t{fixed} * samples;
  if (fixed == 0) {
    if (stsz->contents + 12 + uint64_t{sample_count} * 4 > stsz->end) return 0;
    for (uint64_t k = first_sample; k < first_sample + samples; ++k) {
      size += reader.U32(stsz->contents + 12 + k * 4, Endian::kBig).value_or(0);
    }
  }
  return last_start + size;
}

}  // namespace

uint64_t MeasureMoovMediaEnd(SectorSource& source, uint64_t file, uint64_t moov, uint64_t moov_size,
                             uint64_t limit) {
  MediumReader reader(source);
  if (moov < file || moov_size < 8 ||
      moov_size > reader.medium_size() - std::min(moov, reader.medium_size())) {
    return 0;
  }
  uint8_t head[8];
  if (!reader.Read(moov, head, 8)) return 0;
  const uint64_t header = LoadBe32(head) == 1 ? 16 : 8;
  uint64_t end = 0;
  int tracks = 0;
  for (const ChildBox& trak : ChildBoxes(reader, moov + header, moov + moov_size)) {
    if (std::memcmp(trak.type, "trak", 4) != 0) continue;
    if (++tracks > kMaxTracks) return 0;
    std::optional<ChildBox> box = trak;
    for (const char* level : {"mdia", "minf", "stbl"}) {
      if (box) box = ChildNamed(ChildBoxes(reader, box->contents, box->end), level);
    }
    if (!box) return 0;
    const uint64_t track_end = TrackMediaEnd(reader, *box);
    if (track_end == 0) return 0;
    end = std::max(end, track_end);
  }
  return end <= limit ? end : 0;
}

uint64_t MeasureMetaItemsEnd(SectorSource& source, uint64_t file, uint64_t meta, uint64_t meta_size,
                             uint64_t limit) {
  MediumReader reader(source);
  if (meta < file || meta >= reader.medium_size() || meta_size < 12 ||
      meta_size > reader.medium_size() - meta) {
    return 0;
  }
  uint8_t head[8];
  if (!reader.Read(meta, head, 8)) return 0;
  const uint64_t header = LoadBe32(head) == 1 ? 16 : 8;
  // "meta" is a full box: its children follow the version and flags.
  const auto iloc = ChildNamed(ChildBoxes(reader, meta + header + 4, meta + meta_size), "iloc");
  if (!iloc) return 0;
  // A field of `size` bytes (0, 4 or 8) at `*at`, which moves on; nullopt when it cannot be read.
  uint64_t at = iloc->contents;
  auto field = [&](uint32_t size) -> std::optional<uint64_t> {
    if (at + size > iloc->end) return std::nullopt;
    std::optional<uint64_t> value = uint64_t{0};
    if (size == 2) value = reader.U16(at, Endian::kBig);
    if (size == 4) value = reader.U32(at, Endian::kBig);
    if (size == 8) value = reader.U64(at, Endian::kBig);
    if (size != 0 && size != 2 && size != 4 && size != 8) return std::nullopt;
    at += size;
    return value;
  };
  const auto version = reader.U8(at);
  if (!version || *version > 2) return 0;
  at += 4;
  const auto sizes = field(2);
  if (!sizes) return 0;
  const uint32_t offset_size = (*sizes >> 12) & 0xF;
  const uint32_t length_size = (*sizes >> 8) & 0xF;
  const uint32_t base_size = (*sizes >> 4) & 0xF;
  const uint32_t index_size = *version >= 1 ? *sizes & 0xF : 0;
  const auto items = field(*version < 2 ? 2 : 4);
  if (!items || *items > kMaxExtents) return 0;
  uint64_t end = 0;
  uint64_t extents_seen = 0;
  for (uint64_t i = 0; i < *items; ++i) {
    uint64_t method = 0;
    if (!field(*version < 2 ? 2 : 4)) return 0;  // item ID
    if (*version >= 1) {
      const auto method_field = field(2);
      if (!method_field) return 0;
      method = *method_field & 0xF;
    }
    const auto reference = field(2);
    const auto base = field(base_size);
    const auto extents = field(2);
    if (!reference || !base || !extents) return 0;
    extents_seen += *extents;
    if (extents_seen > kMaxExtents) return 0;
    for (uint64_t e = 0; e < *extents; ++e) {
      if (!field(index_size)) return 0;
      const auto extent_offset = field(offset_size);
      const auto extent_length = field(length_size);
      if (!extent_offset || !extent_length) return 0;
      // Items in the meta box's own data or made of other items lie inside the file anyway;
      // items in other files are none of its bytes.
      if (method != 0 || *reference != 0) continue;
      if (*extent_length == 0) return 0;
      const uint64_t extent_start = *base + *extent_offset;
      if (extent_start < *base || *extent_length > limit || extent_start > limit - *extent_length) {
        return 0;
      }
      end = std::max(end, extent_start + *extent_length);
    }
  }
  return end;
}

uint64_t MeasureQuickTimeWhole(SectorSource& source, uint64_t offset) {
  MediumReader reader(source);
  const uint64_t room = RoomAt(reader, offset, kMaxMovieLength);
  constexpr uint64_t kRuleLimit = 0x12C00000;
  auto known = [](const uint8_t* type) {
    return NameIn(type, {"ftyp", "free", "mdat", "moov", "pnot", "skip", "uuid", "wide", "qt  "});
  };
  // The size of the atom at `pos`, 0 when no well-formed atom of a known type starts there.
  auto atom_size = [&](uint64_t pos) -> uint64_t {
    if (pos + 8 > room) return 0;
    uint8_t head[8];
    if (!reader.Read(offset + pos, head, 8) || !known(head + 4)) return 0;
    uint64_t size = LoadBe32(head);
    if (size == 1) {
      const auto large = reader.U64(offset + pos + 8, Endian::kBig);
      size = large && *large >= 16 ? *large : 0;
    } else if (size < 8) {
      size = 0;
    }
    return size <= room - pos ? size : 0;
  };
  uint64_t pos = 0;
  bool seen_moov = false;
  uint64_t moov_at = 0, moov_size = 0;
  for (int atoms = 0; atoms < 65536; ++atoms) {
    const uint64_t size = atom_size(pos);
    if (size == 0) {
      // A media atom "up to the end of the file" behind the moov: the moov's sample tables tell
      // where the media end.
      uint8_t head[8];
      if (seen_moov && pos + 8 <= room && reader.Read(offset + pos, head, 8) &&
          LoadBe32(head) == 0 && std::memcmp(head + 4, "mdat", 4) == 0) {
        const uint64_t media_end = MeasureMoovMediaEnd(source, offset, moov_at, moov_size, room);
        if (media_end >= pos + 8) pos = media_end;
      }
      break;
    }
    if (size > kRuleLimit && !seen_moov && atom_size(pos + size) == 0) break;
    uint8_t type[4];
    if (!seen_moov && reader.Read(offset + pos + 4, type, 4) && std::memcmp(type, "moov", 4) == 0) {
      seen_moov = true;
      moov_at = offset + pos;
      moov_size = size;
    }
    pos += size;
  }
  return pos;
}

uint64_t MeasureJpegWhole(SectorSource& source, uint64_t offset, uint64_t primary_length) {
  MediumReader reader(source);
  const uint64_t room = RoomAt(reader, offset);
  if (primary_length == 0 || primary_length > room) return primary_length;
  // The header segments up to the first start of scan: the MPF index and the XMP packet.
  uint64_t mpf_base = 0;
  uint64_t exif_tiff = 0;
  std::string xmp;
  uint64_t p = offset + 2;
  for (int segments = 0; segments < 256; ++segments) {
    uint8_t marker[4];
    if (!reader.Read(p, marker, 4) || marker[0] != 0xFF) break;
    const uint8_t m = marker[1];
    const uint32_t length = LoadBe16(marker + 2);
    if (m == 0xDA || m == 0xD9 || length < 2) break;
    const uint64_t data = p + 4;
    const uint32_t data_length = length - 2;
    if (m == 0xE2 && data_length > 8) {
      uint8_t tag[4];
      if (reader.Read(data, tag, 4) && std::memcmp(tag, "MPF", 4) == 0) mpf_base = data + 4;
    } else if (m == 0xE1 && exif_tiff == 0 && data_length > 14) {
      uint8_t tag[6];
      if (reader.Read(data, tag, 6) && std::memcmp(tag, "Exif\0\0", 6) == 0) exif_tiff = data + 6;
    }
    if (m == 0xE1 && xmp.empty()) {
      constexpr std::string_view kXmpName = "http://ns.adobe.com/xap/1.0/";
      char name[kXmpName.size() + 1];
      if (data_length > sizeof(name) &&
          reader.Read(data, reinterpret_cast<uint8_t*>(name), sizeof(name)) &&
          std::string_view(name, kXmpName.size()) == kXmpName && name[kXmpName.size()] == 0) {
        xmp.resize(data_length - sizeof(name));
        if (!reader.Read(data + sizeof(name), reinterpret_cast<uint8_t*>(xmp.data()),
                         static_cast<uint32_t>(xmp.size()))) {
          xmp.clear();
        }
      }
    }
    p += 2 + uint64_t{length};
  }

  const uint64_t limit = offset + room;
  const uint64_t primary_end = offset + primary_length;
  uint64_t end = primary_end;
  // The further images the MPF index lists, each measured by its own structure. The index gives
  // where one starts; when no image starts there (some writers get the primary's size wrong), the
  // image that follows the previous one directly is taken.
  if (mpf_base != 0) {
    uint8_t order_mark[2];
    if (reader.Read(mpf_base, order_mark, 2) && order_mark[0] == order_mark[1] &&
        (order_mark[0] == 'I' || order_mark[0] == 'M')) {
      const Endian order = order_mark[0] == 'I' ? Endian::kLittle : Endian::kBig;
      const uint64_t ifd = mpf_base + reader.U32(mpf_base + 4, order).value_or(0);
      const uint16_t count = std::min<uint16_t>(reader.U16(ifd, order).value_or(0), 64);
      std::vector<uint64_t> starts;
      for (uint16_t i = 0; i < count; ++i) {
        const uint64_t entry = ifd + 2 + 12 * uint64_t{i};
        if (reader.U16(entry, order).value_or(0) != 0xB002) continue;
        const uint32_t bytes = reader.U32(entry + 4, order).value_or(0);
        const uint64_t table = mpf_base + reader.U32(entry + 8, order).value_or(0);
        for (uint32_t k = 1; k < std::min<uint32_t>(bytes / 16, 64); ++k) {
          const uint32_t image_offset = reader.U32(table + 16 * uint64_t{k} + 8, order).value_or(0);
          if (image_offset != 0) starts.push_back(mpf_base + image_offset);
        }
      }
      std::sort(starts.begin(), starts.end());
      for (const uint64_t start : starts) {
        uint64_t image_end = start >= end ? JpegEndAt(reader, start, limit) : 0;
        if (image_end == 0) image_end = JpegEndAt(reader, end, limit);
        if (image_end == 0) break;
        end = std::max(end, image_end);
      }
    }
  }
  // A preview kept behind the image and indexed by the maker note.
  if (exif_tiff != 0) {
    const uint64_t preview_end = SonyPreviewEnd(reader, exif_tiff);
    if (preview_end > end && preview_end <= limit) end = preview_end;
  }
  // GContainer items behind the primary image, in the order the directory lists them.
  if (!xmp.empty()) {
    const std::vector<ContainerItem> items = ContainerItems(xmp);
    if (items.size() >= 2) {
      uint64_t pos = primary_end + items[0].padding;
      for (size_t i = 1; i < items.size(); ++i) {
        const ContainerItem& item = items[i];
        uint64_t item_end = 0;
        if (item.mime == "image/jpeg") item_end = JpegEndAt(reader, pos, limit);
        if (item_end == 0 && item.length != 0 && item.length <= limit - pos &&
            BoxChainEnd(reader, pos, pos + item.length) == pos + item.length) {
          item_end = pos + item.length;
        }
        if (item_end == 0 && item.length != 0 && item.mime.substr(0, 6) == "image/" &&
            item.length <= limit - pos) {
          item_end = pos + item.length;
        }
        if (item_end == 0) break;
        pos = item_end;
        end = std::max(end, pos);
      }
    } else if (const auto video = XmpNumber(xmp, "MicroVideoOffset")) {
      // The video is the file's last MicroVideoOffset bytes, right behind the images.
      uint8_t type[4];
      if (*video >= 8 && *video <= limit - end && reader.Read(end + 4, type, 4) &&
          std::memcmp(type, "ftyp", 4) == 0) {
        end += *video;
      }
    }
  }
  return end - offset;
}

uint64_t MeasureCanonTrailer(SectorSource& source, uint64_t at) {
  constexpr std::string_view kName("CANON OPTIONAL DATA\0", 20);
  constexpr uint64_t kHeader = 0x1C;
  constexpr uint64_t kFooter = 0x40;
  MediumReader reader(source);
  const uint64_t room = RoomAt(reader, at);
  uint8_t header[kHeader];
  if (room < kHeader + kFooter || !reader.Read(at, header, kHeader) ||
      std::memcmp(header, kName.data(), kName.size()) != 0) {
    return 0;
  }
  const uint64_t data = LoadBe32(header + 0x18);
  if (data > room - kHeader - kFooter) return 0;
  uint8_t footer[0x18];
  if (!reader.Read(at + kHeader + data, footer, sizeof(footer)) ||
      std::memcmp(footer, kName.data(), kName.size()) != 0 || LoadBe32(footer + 0x14) != data) {
    return 0;
  }
  return kHeader + data + kFooter;
}

}  // namespace pictavo
