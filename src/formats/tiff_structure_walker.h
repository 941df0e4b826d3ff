#pragma once

#include <bitset>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/format_handler.h"
#include "formats/byte_reader.h"
#include "formats/scan_window.h"

namespace pictavo {

// Tags of the TIFF structure that the recognisers of this family look at.
enum TiffTag : uint16_t {
  kTagMake = 0x010F,
  kTagModel = 0x0110,
  kTagStripOffsets = 0x0111,
  kTagStripByteCounts = 0x0117,
  kTagTileOffsets = 0x0144,
  kTagTileByteCounts = 0x0145,
  kTagSubIfds = 0x014A,
  kTagJpegInterchangeFormat = 0x0201,
  kTagJpegInterchangeFormatLength = 0x0202,
  kTagUniqueCameraModel = 0xC614,
};

// Bytes per value of a TIFF field type; 0 for types the format does not define.
inline uint32_t TiffFieldTypeSize(uint16_t type) {
  switch (type) {
    case 1:  // BYTE
    case 2:  // ASCII
    case 6:  // SBYTE
    case 7:  // UNDEFINED
      return 1;
    case 3:  // SHORT
    case 8:  // SSHORT
      return 2;
    case 4:   // LONG
    case 9:   // SLONG
    case 11:  // FLOAT
    case 13:  // IFD
      return 4;
    case 5:   // RATIONAL
    case 10:  // SRATIONAL
    case 12:  // DOUBLE
      return 8;
    default:
      return 0;
  }
}

enum TiffFieldType : uint16_t {
  kTiffAscii = 2,
  kTiffShort = 3,
  kTiffLong = 4,
  kTiffRational = 5,
};

// One 12-byte directory entry, decoded in the file's byte order.
struct IfdEntry {
  uint16_t tag = 0;
  uint16_t type = 0;
  uint32_t count = 0;
  uint32_t value = 0;
};

// Remembers the directories walked for one candidate, so that a chain of next-IFD offsets that
// comes back to a directory already walked ends there, and so that no candidate walks more than
// a fixed number of directories whatever its offsets say.
class IfdVisitLog {
 public:
  // Far more directories than any camera or scanner file holds (a multi-page fax has a few
  // hundred); a chain longer than this is taken to be garbage.
  static constexpr size_t kMaxIfds = 1024;

  void Reset() { visited_.clear(); }
  // True when `offset` may be walked: not walked before for this candidate and within the bound.
  // Records it.
  bool Enter(uint32_t offset);
  size_t size() const { return visited_.size(); }

 private:
  std::vector<uint32_t> visited_;  // kept sorted
};

// The shared basis of the recognisers of TIFF-structured files (TIFF and the camera raws built on
// it). It keeps the state of one walk over the candidate's directories and reads small windows of
// whole sectors around the structures it needs, at offsets counted from the candidate's first
// byte. Every number it reads comes from the medium: no read leaves its window, and a directory
// whose entries run past the eight-sector window ends where the window ends.
class TiffStructureWalker : public FormatHandler {
 public:
  // The longest length any handler of this family reports; longer structures are reported with
  // exactly this length.
  static constexpr uint64_t kMaxLength = 0xFA00000;
  static constexpr uint32_t kWindowSectors = 8;
  // The text and sub-IFD reads take two sectors.
  static constexpr uint32_t kSmallWindowSectors = 2;

  // "II" and "MM": the byte-order marks of the standard header and of most variants.
  std::bitset<256> SignatureFirstBytes() const override {
    return std::bitset<256>().set('I').set('M');
  }

 protected:
  // Where a file-relative offset is read: the whole sectors before it and its position in what
  // was read.
  struct SplitOffset {
    uint64_t start = 0;
    uint32_t position = 0;
  };

  // Recognises "II" with little-endian 42 and "MM" with big-endian 42, records the byte order and
  // takes the first IFD offset into current_ifd_offset_.
  bool MatchTiffHeader(const uint8_t* sector_head);

  // Records the source and its sector size; false when the source reports no sector size.
  bool AttachSource(SectorSource& source);

  // An offset split into whole sectors and a remainder. Without `always`, offsets up to one
  // sector are read from the candidate start with the offset itself as position.
  SplitOffset Split(uint32_t offset, bool always) const;

  // A window of eight sectors for the directory reads.
  ScanWindow MakeWindow() const { return ScanWindow(sector_size_, kWindowSectors); }

  // Reads the eight sectors holding the IFD at `ifd_offset` into `window` and takes its entry
  // count; false when the read fails (the entry count is then 0).
  bool ReadIfdHeader(uint64_t base, uint32_t ifd_offset, ScanWindow& window);
  // Entry `index` of the IFD last read, or nothing when it lies (partly) beyond the window.
  std::optional<IfdEntry> EntryAt(const ScanWindow& window, uint32_t index) const;
  // The next-IFD offset behind the `entries_before` entries of the IFD last read, or nothing when
  // it lies beyond the window.
  std::optional<uint32_t> ValueBehindEntries(const ScanWindow& window,
                                             uint32_t entries_before) const;
  // The 32-bit value at `position` of the window, in the file's byte order.
  std::optional<uint32_t> WindowU32(const ScanWindow& window, uint32_t position) const;

  // The last element of an array of `count` 32-bit values at `array_offset`; 0 when it cannot be
  // read.
  uint32_t ReadArrayTail(uint64_t base, uint32_t array_offset, uint32_t count);
  // The sub-IFD offsets a SubIFDs entry lists into `offsets`: its value when it lists one, the
  // two 32-bit values it points at when it lists two (zeros when they cannot be read). Any
  // other count leaves `offsets` as they are.
  void TakeSubIfdOffsets(uint64_t base, const IfdEntry& entry, uint32_t offsets[2]);
  // The next-IFD offset of the IFD at `ifd_offset` with `entry_count` entries, read straight from
  // the source; 0 when it cannot be read.
  uint32_t ReadNextIfdOffset(uint64_t base, uint32_t ifd_offset, uint32_t entry_count);
  // The text of `count` bytes at `text_offset`, ending at its first zero byte and at the end of
  // the two-sector window; nothing when the offset cannot be positioned. The offset is used as an
  // offset even for texts of four bytes or less.
  std::optional<std::string> ReadText(uint64_t base, uint32_t text_offset, uint32_t count);
  // True when the text at `text_offset`, cut to its first `length` characters, equals one of
  // `accepted`.
  bool MatchAsciiTag(uint64_t base, uint32_t text_offset, uint32_t count, size_t length,
                     std::initializer_list<std::string_view> accepted);

  // Reads the first IFD (at current_ifd_offset_) and returns its first Make entry, whatever its
  // field type; nothing when the IFD cannot be read or has none.
  std::optional<IfdEntry> FindFirstMake(uint64_t base);

  // The strip rule, one entry at a time. StripOffsets: with one value the extent becomes it; with
  // more, the last element does, plus the size of the directory (12 x `ifd_entries` + 6) when
  // the data lies before the directory at `ifd_offset`. StripByteCounts adds its value or last
  // element. Both return false when the last element reads as 0: the directory is abandoned.
  bool ApplyStripOffsets(uint64_t base, const IfdEntry& entry, uint32_t ifd_offset,
                         uint32_t ifd_entries);
  bool ApplyStripByteCounts(uint64_t base, const IfdEntry& entry);

  // Which entries a strip walk acts on and how it ends; see WalkStripIfd.
  struct StripWalkRules {
    uint16_t offsets_tag = kTagStripOffsets;
    uint16_t byte_counts_tag = kTagStripByteCounts;
    // Tags acted on like the two above (0: none); tiled images keep their data this way.
    uint16_t more_offsets_tag = 0;
    uint16_t more_byte_counts_tag = 0;
    // Stop right after the first byte-counts entry has been added.
    bool stop_after_byte_counts = false;
    // An offsets entry with one value of 0xFFFFFFFF leaves the extent as it is.
    bool skip_unset_offset = false;
    // The directory the data-before-directory test compares with; unset: the one walked.
    std::optional<uint32_t> reference_ifd_offset;
    uint32_t reference_ifd_entries = 0;
  };
  enum class IfdWalkEnd {
    kUnreadable,  // the directory could not be read
    kAbandoned,   // a strip array ended in 0, or the entries ran past the window
    kStopped,     // stop_after_byte_counts ended it
    kComplete,    // every entry was looked at
  };
  // Reads the IFD at current_ifd_offset_ into `window` and applies the strip rule to its entries
  // in file order, skipping every other tag.
  IfdWalkEnd WalkStripIfd(uint64_t base, ScanWindow& window, const StripWalkRules& rules);
  // The next-IFD offset of the IFD last read, from the window: 0 for a directory without entries
  // or when it lies beyond the window.
  uint32_t NextIfdOffsetFromWindow(const ScanWindow& window) const;

  static uint64_t CapLength(uint64_t length) { return length > kMaxLength ? kMaxLength : length; }

  Endian order() const { return little_endian_ ? Endian::kLittle : Endian::kBig; }

  SectorSource* source_ = nullptr;
  uint16_t sector_size_ = 0;
  bool little_endian_ = false;
  uint32_t current_ifd_offset_ = 0;
  // Entry count and position in the window of the IFD last read.
  uint16_t entry_count_ = 0;
  uint32_t ifd_position_ = 0;
  uint64_t extent_ = 0;
  IfdVisitLog visits_;

 private:
  // Reads `sectors` sectors at base + start into a fresh zeroed buffer.
  std::vector<uint8_t> ReadSectors(uint64_t base, uint64_t start, uint32_t sectors);
  // The 32-bit value at a file-relative byte offset, read through the sectors holding it.
  uint32_t ReadU32At(uint64_t base, uint64_t relative);
};

}  // namespace pictavo
