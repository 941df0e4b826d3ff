#include "formats/mpeg_handler.h"

#include <algorithm>

#include "formats/byte_reader.h"
#include "formats/chain_window.h"
#include "formats/exact_measure.h"

namespace pictavo {

bool MpegHandler::MatchSignature(const uint8_t* sector_head) {
  length_ = 0;
  return LoadBe32(sector_head) == kPackStart;
}

uint64_t MpegHandler::MeasureStream(SectorSource& source, uint64_t offset) {
  // A pack the last walk went over leads along the same chain to the same end, so the packs of a
  // long stream cost one walk, not one each.
  if (offset >= stream_start_ && offset < stream_end_ &&
      std::binary_search(stream_packs_.begin(), stream_packs_.end(),
                         static_cast<uint32_t>(offset - stream_start_))) {
    return stream_end_ - offset;
  }
  std::vector<uint64_t> packs;
  const uint64_t length = MeasureMpegStream(source, offset, &packs);
  stream_packs_.clear();
  stream_start_ = offset;
  stream_end_ = offset;
  // A walk cut by the longest length a find can have would go further from a later pack.
  if (length + kMaxPackSize >= kMaxExactLength) return length;
  const uint16_t sector_size = GetSectorSize(source);
  for (const uint64_t pack : packs) {
    // Only packs on a sector boundary can be asked about again.
    if (sector_size != 0 && pack % sector_size == 0 && stream_packs_.size() < kMaxRememberedPacks) {
      stream_packs_.push_back(static_cast<uint32_t>(pack - offset));
    }
  }
  stream_end_ = offset + length;
  return length;
}

uint64_t MpegHandler::MeasureLength(SectorSource& source, uint64_t offset) {
  length_ = 0;
  if (exact_ends()) return length_ = MeasureStream(source, offset);
  const uint16_t sector_size = GetSectorSize(source);
  if (sector_size == 0) return 0;
  ChainWindow window(sector_size, kWindowSectors);
  if (!window.Load(source, offset)) return 0;

  // The walk starts at the 16-bit value at offset 16. In an MPEG-1 stream whose 12-byte pack
  // header is followed by a system header for two elementary streams, that value (the system
  // header's length) is 12, the system header's own offset.
  uint64_t position = window.U16At(offset + 16, Endian::kBig);  // file-relative
  // Packs are stepped over as 12-byte MPEG-1 pack headers; everything else is a packet of a start
  // code, a 16-bit length and that many bytes. The item that ends the walk (the program end code,
  // or the first bytes that are no start code) is counted too, and 2 bytes are taken off at the
  // end. Every step moves at least 6 bytes on and reads past the end of the medium fail.
  for (;;) {
    const uint64_t item = offset + position;
    if (!window.Reach(source, offset + position - position % sector_size, item, 6)) break;
    const uint32_t code = window.U32At(item, Endian::kBig);
    position += code == kPackStart ? 12 : uint64_t{window.U16At(item + 4, Endian::kBig)} + 6;
    if (code < 0x100 || code > 0x1FF || code == kProgramEnd) break;
  }
  // Only a failed read right at the start could leave less than 2 bytes; that is no stream.
  length_ = position >= 2 ? position - 2 : 0;
  return length_;
}

}  // namespace pictavo
