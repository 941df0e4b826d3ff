#include "formats/tiff_structure_walker.h"

#include <algorithm>

namespace pictavo {

bool IfdVisitLog::Enter(uint32_t offset) {
  if (visited_.size() >= kMaxIfds) return false;
  const auto at = std::lower_bound(visited_.begin(), visited_.end(), offset);
  if (at != visited_.end() && *at == offset) return false;
  visited_.insert(at, offset);
  return true;
}

bool TiffStructureWalker::MatchTiffHeader(const uint8_t* sector_head) {
  if (sector_head[0] == 'I' && sector_head[1] == 'I' && LoadLe16(sector_head + 2) == 42) {
    little_endian_ = true;
    current_ifd_offset_ = LoadLe32(sector_head + 4);
    return true;
  }
  if (sector_head[0] == 'M' && sector_head[1] == 'M' && LoadBe16(sector_head + 2) == 42) {
    little_endian_ = false;
    current_ifd_offset_ = LoadBe32(sector_head + 4);
    return true;
  }
  return false;
}

bool TiffStructureWalker::AttachSource(SectorSource& source) {
  source_ = &source;
  sector_size_ = GetSectorSize(source);
  return sector_size_ != 0;
}

TiffStructureWalker::SplitOffset TiffStructureWalker::Split(uint32_t offset, bool always) const {
  if (sector_size_ == 0) return {0, offset};
  if (always || offset > sector_size_) {
    return {uint64_t{sector_size_} * (offset / sector_size_), offset % sector_size_};
  }
  return {0, offset};
}

bool TiffStructureWalker::ReadIfdHeader(uint64_t base, uint32_t ifd_offset, ScanWindow& window) {
  entry_count_ = 0;
  if (source_ == nullptr || sector_size_ == 0) return false;
  const SplitOffset split = Split(ifd_offset, false);
  if (!SeekTo(*source_, base + split.start)) return false;
  if (!window.Load(*source_, base + split.start)) return false;
  ifd_position_ = split.position;
  const ByteReader reader({window.data(), window.data_bytes()}, order());
  entry_count_ = reader.U16At(ifd_position_).value_or(0);
  return true;
}

std::optional<IfdEntry> TiffStructureWalker::EntryAt(const ScanWindow& window,
                                                     uint32_t index) const {
  const ByteReader reader({window.data(), window.data_bytes()}, order());
  const uint64_t pos = uint64_t{ifd_position_} + 2 + 12 * uint64_t{index};
  if (!reader.Has(pos, 12)) return std::nullopt;
  return IfdEntry{*reader.U16At(pos), *reader.U16At(pos + 2), *reader.U32At(pos + 4),
                  *reader.U32At(pos + 8)};
}

std::optional<uint32_t> TiffStructureWalker::ValueBehindEntries(const ScanWindow& window,
                                                                uint32_t entries_before) const {
  const uint64_t pos = uint64_t{ifd_position_} + 2 + 12 * uint64_t{entries_before};
  if (pos > UINT32_MAX) return std::nullopt;
  return WindowU32(window, static_cast<uint32_t>(pos));
}

std::optional<uint32_t> TiffStructureWalker::WindowU32(const ScanWindow& window,
                                                       uint32_t position) const {
  const ByteReader reader({window.data(), window.data_bytes()}, order());
  return reader.U32At(position);
}

std::vector<uint8_t> TiffStructureWalker::ReadSectors(uint64_t base, uint64_t start,
                                                      uint32_t sectors) {
  std::vector<uint8_t> buffer(size_t{sector_size_} * sectors, 0);
  if (source_ != nullptr && !buffer.empty() && SeekTo(*source_, base + start)) {
    // A failed read leaves zeros, which the callers read as absent values.
    ReadAt(*source_, base + start, static_cast<uint32_t>(buffer.size()), buffer.data());
  }
  return buffer;
}

uint32_t TiffStructureWalker::ReadU32At(uint64_t base, uint64_t relative) {
  if (sector_size_ == 0) return 0;
  const uint64_t start = uint64_t{sector_size_} * (relative / sector_size_);
  const uint32_t position = static_cast<uint32_t>(relative % sector_size_);
  const uint32_t sectors = (position + 4 + sector_size_ - 1) / sector_size_;
  const std::vector<uint8_t> buffer = ReadSectors(base, start, sectors);
  return ByteReader(buffer, order()).U32At(position).value_or(0);
}

uint32_t TiffStructureWalker::ReadArrayTail(uint64_t base, uint32_t array_offset, uint32_t count) {
  if (count == 0) return 0;
  const SplitOffset split = Split(array_offset, false);
  // Only the sectors that hold the last element are read, however long the array claims to be;
  // what lies beyond the medium reads as zero.
  return ReadU32At(base, split.start + split.position + 4 * (uint64_t{count} - 1));
}

void TiffStructureWalker::TakeSubIfdOffsets(uint64_t base, const IfdEntry& entry,
                                            uint32_t offsets[2]) {
  if (entry.count == 1) {
    offsets[0] = entry.value;
    return;
  }
  if (entry.count != 2 || source_ == nullptr || sector_size_ == 0) return;
  const SplitOffset split = Split(entry.value, true);
  if (!SeekTo(*source_, base + split.start)) return;
  const std::vector<uint8_t> buffer = ReadSectors(base, split.start, kSmallWindowSectors);
  const ByteReader reader(buffer, order());
  offsets[0] = reader.U32At(split.position).value_or(0);
  offsets[1] = reader.U32At(uint64_t{split.position} + 4).value_or(0);
}

uint32_t TiffStructureWalker::ReadNextIfdOffset(uint64_t base, uint32_t ifd_offset,
                                                uint32_t entry_count) {
  if (source_ == nullptr || sector_size_ == 0) return 0;
  const SplitOffset split = Split(ifd_offset, true);
  if (!SeekTo(*source_, base + split.start)) return 0;
  return ReadU32At(base, split.start + split.position + 2 + 12 * uint64_t{entry_count});
}

std::optional<std::string> TiffStructureWalker::ReadText(uint64_t base, uint32_t text_offset,
                                                         uint32_t count) {
  if (source_ == nullptr || sector_size_ == 0) return std::nullopt;
  const SplitOffset split = Split(text_offset, true);
  if (!SeekTo(*source_, base + split.start)) return std::nullopt;
  const std::vector<uint8_t> buffer = ReadSectors(base, split.start, kSmallWindowSectors);
  std::string text;
  // Characters beyond the two-sector window are absent: the text ends there.
  const uint64_t end = std::min<uint64_t>(uint64_t{split.position} + count, buffer.size());
  for (uint64_t pos = split.position; pos < end && buffer[pos] != 0; ++pos) {
    text.push_back(static_cast<char>(buffer[pos]));
  }
  return text;
}

bool TiffStructureWalker::MatchAsciiTag(uint64_t base, uint32_t text_offset, uint32_t count,
                                        size_t length,
                                        std::initializer_list<std::string_view> accepted) {
  const std::optional<std::string> text = ReadText(base, text_offset, count);
  if (!text) return false;
  const std::string_view cut = std::string_view(*text).substr(0, length);
  return std::find(accepted.begin(), accepted.end(), cut) != accepted.end();
}

std::optional<IfdEntry> TiffStructureWalker::FindFirstMake(uint64_t base) {
  ScanWindow window = MakeWindow();
  if (!ReadIfdHeader(base, current_ifd_offset_, window)) return std::nullopt;
  for (uint32_t i = 0; i < entry_count_; ++i) {
    const std::optional<IfdEntry> entry = EntryAt(window, i);
    if (!entry) break;
    if (entry->tag == kTagMake) return entry;
  }
  return std::nullopt;
}

bool TiffStructureWalker::ApplyStripOffsets(uint64_t base, const IfdEntry& entry,
                                            uint32_t ifd_offset, uint32_t ifd_entries) {
  if (entry.count <= 1) {
    extent_ = entry.value;
    return true;
  }
  const uint32_t last = ReadArrayTail(base, entry.value, entry.count);
  if (last == 0) return false;
  extent_ = last;
  if (last < ifd_offset) extent_ += 12 * uint64_t{ifd_entries} + 6;
  return true;
}

bool TiffStructureWalker::ApplyStripByteCounts(uint64_t base, const IfdEntry& entry) {
  if (entry.count <= 1) {
    extent_ += entry.value;
    return true;
  }
  const uint32_t last = ReadArrayTail(base, entry.value, entry.count);
  if (last == 0) return false;
  extent_ += last;
  return true;
}

TiffStructureWalker::IfdWalkEnd TiffStructureWalker::WalkStripIfd(uint64_t base, ScanWindow& window,
                                                                  const StripWalkRules& rules) {
  const uint32_t ifd_offset = current_ifd_offset_;
  if (!ReadIfdHeader(base, ifd_offset, window)) return IfdWalkEnd::kUnreadable;
  const uint32_t reference_offset = rules.reference_ifd_offset.value_or(ifd_offset);
  const uint32_t reference_entries =
      rules.reference_ifd_offset ? rules.reference_ifd_entries : entry_count_;
  for (uint32_t i = 0; i < entry_count_; ++i) {
    const std::optional<IfdEntry> entry = EntryAt(window, i);
    if (!entry) return IfdWalkEnd::kAbandoned;
    const uint16_t tag = entry->tag;
    if (tag == rules.offsets_tag ||
        (rules.more_offsets_tag != 0 && tag == rules.more_offsets_tag)) {
      if (rules.skip_unset_offset && entry->count <= 1 && entry->value == 0xFFFFFFFF) continue;
      if (!ApplyStripOffsets(base, *entry, reference_offset, reference_entries)) {
        return IfdWalkEnd::kAbandoned;
      }
    } else if (tag == rules.byte_counts_tag ||
               (rules.more_byte_counts_tag != 0 && tag == rules.more_byte_counts_tag)) {
      if (!ApplyStripByteCounts(base, *entry)) return IfdWalkEnd::kAbandoned;
      if (rules.stop_after_byte_counts) return IfdWalkEnd::kStopped;
    }
  }
  return IfdWalkEnd::kComplete;
}

uint32_t TiffStructureWalker::NextIfdOffsetFromWindow(const ScanWindow& window) const {
  if (entry_count_ == 0) return 0;
  return ValueBehindEntries(window, entry_count_).value_or(0);
}

}  // namespace pictavo
