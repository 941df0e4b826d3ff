#include "formats/mpeg_handler.h"

#include "formats/byte_reader.h"
#include "formats/chain_window.h"

namespace pictavo {

bool MpegHandler::MatchSignature(const uint8_t* sector_head) {
  length_ = 0;
  return LoadBe32(sector_head) == kPackStart;
}

uint64_t MpegHandler::MeasureLength(SectorSource& source, uint64_t offset) {
  length_ = 0;
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
