#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

// Byte layouts of the modern phone and camera formats, laid out field by field as the formats
// define them: ISO base media files (HEIF, AVIF, MP4, M4A, 3GP, CR3), WebP and Ogg. Payloads are
// seeded bytes; what matters to the recognisers is the structure.
namespace pictavo::samples {

using Bytes = std::vector<uint8_t>;

// An ISO box: 32-bit big-endian size (header included), type, payload.
Bytes IsoBox(std::string_view type, const Bytes& payload);
// A box with a 64-bit size: size field 1, type, 64-bit size, payload.
Bytes IsoLargeBox(std::string_view type, const Bytes& payload);
// The header of a box of `size` bytes, with a 64-bit size field when `large`.
Bytes IsoBoxHeader(std::string_view type, uint64_t size, bool large = false);
// "ftyp" with a major brand, minor version 0 and compatible brands.
Bytes FtypBox(std::string_view major, const std::vector<std::string_view>& compatible);

// The sample tables of one track of a movie: where its chunks start (from the file's start), how
// many samples each chunk holds, and every sample's size.
struct SampleTrack {
  std::vector<uint64_t> chunk_offsets;
  uint32_t samples_per_chunk = 1;
  std::vector<uint32_t> sample_sizes;
  bool wide_offsets = false;  // "co64" instead of "stco"
};
// A "moov" box with one trak > mdia > minf > stbl per track, holding stsc, stsz and stco/co64.
Bytes MoovWithSampleTables(const std::vector<SampleTrack>& tracks);

struct IsoBoxSpec {
  std::string_view type;
  uint32_t payload_bytes = 0;
  bool large = false;
};
struct IsoFileOptions {
  std::string_view major = "heic";
  std::vector<std::string_view> compatible = {"mif1", "heic"};
  // The top-level boxes after ftyp.
  std::vector<IsoBoxSpec> boxes = {{"meta", 300}, {"mdat", 5000}};
  uint32_t seed = 21;
};
Bytes MakeIsoFile(const IsoFileOptions& options);

enum class WebpKind { kLossy, kLossless, kExtended };
struct WebpOptions {
  WebpKind kind = WebpKind::kLossy;
  uint32_t image_bytes = 1500;
  // Chunks after the image chunk (extended files: "EXIF"), each of this many bytes.
  uint32_t trailing_chunks = 0;
  uint32_t seed = 23;
};
// RIFF/WEBP with a first chunk that starts like its kind of data.
Bytes MakeWebp(const WebpOptions& options);

// One Ogg page with its CRC: header fields, lacing values for `packet` (a single packet, ended on
// this page), the packet.
Bytes OggPage(uint8_t flags, uint64_t granule, uint32_t serial, uint32_t sequence,
              const Bytes& packet);
struct OggOptions {
  uint32_t serial = 0x1234;
  // Pages after the first one; the last has the end-of-stream flag when `end_of_stream`.
  uint32_t pages = 4;
  uint32_t packet_bytes = 700;
  bool end_of_stream = true;
  uint32_t seed = 25;
};
// An Ogg Opus stream: an "OpusHead" first page, then audio pages.
Bytes MakeOgg(const OggOptions& options);

struct DngOptions {
  bool little_endian = true;
  std::string_view make = "Apple";
  // Tiles of the raw image in a sub-IFD; strips of the preview in IFD0.
  uint32_t tiles = 4;
  uint32_t tile_bytes = 3000;
  uint32_t preview_bytes = 2000;
  // Bytes of an Exif IFD's out-of-entry value (a maker note), placed last in the file.
  uint32_t maker_note_bytes = 600;
  uint32_t seed = 27;
};
// A DNG with DNGVersion in IFD0, a preview strip, a tiled raw sub-IFD and an Exif IFD whose maker
// note is the last thing in the file; every byte of it belongs to a structure.
Bytes MakeDng(const DngOptions& options);

}  // namespace pictavo::samples
