#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

// Byte layouts of the movie, sound and non-TIFF raw formats, laid out field by field as the
// formats define them. The AVI holds real MJPEG frames and the WAV real PCM sound; the raw files
// carry their real headers with seeded bytes standing in for the sensor data.
namespace pictavo::samples {

using Bytes = std::vector<uint8_t>;

void AppendBe16(Bytes& out, uint16_t value);
void AppendBe32(Bytes& out, uint32_t value);
void AppendLe16(Bytes& out, uint16_t value);
void AppendLe32(Bytes& out, uint32_t value);
void AppendText(Bytes& out, std::string_view text);
void Append(Bytes& out, const Bytes& more);
void PutBe32(Bytes& out, size_t at, uint32_t value);
void PutLe32(Bytes& out, size_t at, uint32_t value);
// `count` bytes from a seeded generator.
Bytes SeededBytes(size_t count, uint32_t seed);

// A RIFF chunk: identifier, little-endian data size, data, and (when `pad` is set and the size
// is odd) the pad byte the RIFF rules ask for.
Bytes RiffChunk(std::string_view id, const Bytes& data, bool pad = true);
// A LIST chunk of `list_type` holding `chunks`.
Bytes RiffList(std::string_view list_type, const std::vector<Bytes>& chunks);
// "RIFF", the size of what follows, the form type, then `chunks`.
Bytes RiffFile(std::string_view form_type, const std::vector<Bytes>& chunks);

struct WavOptions {
  uint32_t sample_rate = 8000;
  uint16_t channels = 1;
  // Frames of 16-bit PCM: a sine tone.
  uint32_t frames = 800;
  // A LIST/INFO chunk with this title after the sound data (none when empty).
  std::string_view title;
};
// A canonical PCM WAVE file: "fmt " (16 bytes), "data", optionally LIST/INFO.
Bytes MakeWav(const WavOptions& options);

struct AviOptions {
  int width = 32;
  int height = 24;
  uint32_t frames = 3;
  // Pad the header with a JUNK chunk so that "movi" starts at this offset (0: no JUNK).
  uint32_t movi_at = 0;
  uint32_t seed = 7;
};
// An MJPEG AVI: LIST hdrl (avih, strl with strh and strf), optional JUNK, LIST movi with one
// "00dc" chunk per JPEG frame, idx1.
Bytes MakeAvi(const AviOptions& options);

// A QuickTime atom: 32-bit big-endian size (header included), type, payload.
Bytes Atom(std::string_view type, const Bytes& payload);
// A header of an atom of `size` bytes whose payload is not included.
Bytes AtomHeader(std::string_view type, uint32_t size);
struct MovOptions {
  // "qt  " for QuickTime; an MP4-family brand such as "M4V " makes an MP4.
  std::string_view brand = "qt  ";
  uint32_t media_bytes = 3000;
  uint32_t seed = 9;
};
// ftyp, wide, mdat of `media_bytes`, moov holding a movie header.
Bytes MakeMov(const MovOptions& options);

// An MPEG-1 pack header (12 bytes) with system clock `scr`.
Bytes MpegPackHeader(uint32_t scr);
// A system header describing a video and an audio stream (12 bytes of data after its length).
Bytes MpegSystemHeader();
// A packet: start code 0x000001 `stream_id`, 16-bit length, `payload`.
Bytes MpegPacket(uint8_t stream_id, const Bytes& payload);
struct MpegOptions {
  uint32_t packs = 3;
  uint32_t packets_per_pack = 2;
  uint32_t payload_bytes = 300;
  bool end_code = true;
  uint32_t seed = 11;
};
// An MPEG-1 program stream: packs with a system header in the first, video and audio packets,
// and the program end code.
Bytes MakeMpeg(const MpegOptions& options);

// A Fuji RAF: the 15-byte signature, version and camera name, the offsets and lengths of the
// embedded JPEG, the CFA header and the CFA data, and seeded bytes up to the end of the CFA data.
struct RafLayout {
  uint32_t jpeg_offset = 148;
  uint32_t jpeg_length = 300;
  uint32_t cfa_offset = 512;   // the value at 100
  uint32_t cfa_length = 1024;  // the value at 104
  uint32_t value_at_132 = 0;
  // Bytes written: the whole file when 0, else only this many (at least the 136-byte header).
  uint32_t written = 0;
  uint32_t seed = 13;
};
Bytes MakeRaf(const RafLayout& layout);

// A Minolta MRW: the MRM block holding the PRD block (after `blocks_before_prd` TTW-like blocks),
// a WBG block and PAD up to the MRM length, then `raw_bytes` of seeded raw data.
struct MrwLayout {
  uint16_t sensor_height = 24;
  uint16_t sensor_width = 32;
  uint8_t storage = 0x59;
  uint32_t blocks_before_prd = 0;
  uint32_t raw_bytes = 0;  // 0: as much as the sensor size asks for
  uint32_t seed = 17;
};
Bytes MakeMrw(const MrwLayout& layout);
// The MRM length of the file MakeMrw builds (bytes 4 to 7).
uint32_t MrwHeaderLength(const Bytes& mrw);

// A Sigma X3F: the 232-byte "FOVb" header, a property section at 232, seeded section data, the
// directory section "SECd" at `directory_at` with `entries` 12-byte entries, and the directory's
// offset in the last 4 bytes.
struct X3fLayout {
  uint32_t directory_at = 1000;
  uint32_t entries = 3;
  uint32_t seed = 19;
};
Bytes MakeX3f(const X3fLayout& layout);

}  // namespace pictavo::samples
