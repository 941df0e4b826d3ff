#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "formats/byte_reader.h"
#include "platform/sector_source.h"

namespace pictavo {

// The measurements of the exact-ends mode: each follows its format's own structure to the file's
// real end, wherever the parts lie. Offsets are absolute positions on the medium. Each returns 0
// when the structure does not hold together, and the handler then keeps its rule's length. No
// length reaches past the end of the medium; none passes 2^32 - 1 bytes except a movie's, which
// may reach kMaxMovieLength.

// Random reads of a few bytes anywhere on the medium, through one block-sized buffer read at
// sector boundaries. Every read is bounds-checked; a read the medium cannot fully deliver fails.
class MediumReader {
 public:
  explicit MediumReader(SectorSource& source);

  bool Read(uint64_t offset, uint8_t* out, uint32_t count);
  std::optional<uint8_t> U8(uint64_t offset);
  std::optional<uint16_t> U16(uint64_t offset, Endian order);
  std::optional<uint32_t> U32(uint64_t offset, Endian order);
  std::optional<uint64_t> U64(uint64_t offset, Endian order);
  // The buffered bytes from `offset` on (at least one), loading the block that holds it; null when
  // nothing can be read there. `*available` receives how many follow in the buffer.
  const uint8_t* BytesAt(uint64_t offset, uint32_t* available);
  uint64_t medium_size() const { return medium_size_; }

 private:
  static constexpr uint32_t kBlockSectors = 128;
  SectorSource& source_;
  uint64_t medium_size_;
  uint16_t sector_size_;
  std::vector<uint8_t> buffer_;
  uint64_t block_offset_ = UINT64_MAX;
  uint32_t delivered_ = 0;
};

// The largest length a find of this mode may have, and that of a movie (a 4K phone video passes
// 4 GiB).
constexpr uint64_t kMaxExactLength = UINT32_MAX;
constexpr uint64_t kMaxMovieLength = uint64_t{64} << 30;

// TIFF and the raws built on it: the largest end of the header, every directory reached from the
// first (the next-IFD chain, SubIFDs, EXIF, GPS, interoperability), every value stored outside its
// entry, every strip and tile, the JPEG interchange stream and Panasonic's RawDataOffset.
uint64_t MeasureTiffWhole(SectorSource& source, uint64_t offset);

// An MPEG program stream from the pack at `offset`: consecutive MPEG-1 and MPEG-2 packs and their
// packets, up to and including the program end code, or up to the first bytes that are no pack
// and no packet. `pack_offsets`, when given, receives the offset of every pack walked over.
uint64_t MeasureMpegStream(SectorSource& source, uint64_t offset,
                           std::vector<uint64_t>* pack_offsets);

// PNG: every chunk whose name is four letters and whose CRC matches continues the walk; IEND ends
// it. 0 when the walk does not reach IEND.
uint64_t MeasurePngWhole(SectorSource& source, uint64_t offset);

// RIFF (WAV, AVI): the RIFF size, when the chain of chunks inside it lands exactly on its end
// (chunks padded to even sizes, the last one possibly not). AVI's "AVIX" extension lists that
// follow right behind are counted too.
uint64_t MeasureRiffWhole(SectorSource& source, uint64_t offset);

// JP2: the chain of boxes by their lengths; the boxes after the codestream box count as long as
// they are well-formed boxes of JPEG 2000 file types. `codestream`, when given, receives the
// offset of the codestream box's contents. 0 without a codestream box.
uint64_t MeasureJp2Whole(SectorSource& source, uint64_t offset, uint64_t* codestream);

// QuickTime: the chain of top-level atoms of known types, with 64-bit sizes, and atoms over the
// rule's limit followed when the chain is plausible (the next atom is well-formed, or the movie
// already has its moov and the atom ends within the medium). A media atom of size 0 ("up to the
// end of the file") that follows the moov ends where the last sample the moov lists ends.
uint64_t MeasureQuickTimeWhole(SectorSource& source, uint64_t offset);

// The end of the media a movie's "moov" box lists: over all its tracks, the largest end of a
// chunk (the chunk's offset from the sample-to-chunk table plus the sizes of its samples). `file`
// is where the file starts (chunk offsets count from there), `moov` where the box starts and
// `moov_size` its size. Returns the end's distance from `file`, at most `limit`; 0 when the box
// lists no chunk, or its tables are cut short or disagree.
uint64_t MeasureMoovMediaEnd(SectorSource& source, uint64_t file, uint64_t moov, uint64_t moov_size,
                             uint64_t limit);

// The end of the data a HEIF or AVIF "meta" box locates: the largest end of an extent its item
// location box ("iloc") places in the file itself (construction method 0, this file). Arguments
// and result as for MeasureMoovMediaEnd; 0 also when an extent runs "to the end of the file".
uint64_t MeasureMetaItemsEnd(SectorSource& source, uint64_t file, uint64_t meta, uint64_t meta_size,
                             uint64_t limit);

// JPEG: given a JPEG at `offset` whose own image ends `primary_length` bytes on, the length of the
// whole file when its MPF index lists further images (gain maps, multi-picture files) or its XMP
// names an appended video or items (Motion Photos, GContainer); `primary_length` otherwise.
uint64_t MeasureJpegWhole(SectorSource& source, uint64_t offset, uint64_t primary_length);

// Canon's recipe trailer ("CANON OPTIONAL DATA"), which Canon's raw converter and metadata tools
// append to CRW, CR2 and JPEG files: a 28-byte header holding the data's length, the data, and a
// 64-byte footer that repeats the name and the length. Returns the length of the trailer that
// starts at `at` (its name, length and footer all agreeing), 0 when there is none.
uint64_t MeasureCanonTrailer(SectorSource& source, uint64_t at);

}  // namespace pictavo
