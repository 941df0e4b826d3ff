#include "samples/media_samples.h"

#include <cmath>
#include <cstring>
#include <random>

#include "samples/jpeg_sample.h"

namespace pictavo::samples {

void AppendBe16(Bytes& out, uint16_t value) {
  out.push_back(static_cast<uint8_t>(value >> 8));
  out.push_back(static_cast<uint8_t>(value));
}
void AppendBe32(Bytes& out, uint32_t value) {
  AppendBe16(out, static_cast<uint16_t>(value >> 16));
  AppendBe16(out, static_cast<uint16_t>(value));
}
void AppendLe16(Bytes& out, uint16_t value) {
  out.push_back(static_cast<uint8_t>(value));
  out.push_back(static_cast<uint8_t>(value >> 8));
}
void AppendLe32(Bytes& out, uint32_t value) {
  AppendLe16(out, static_cast<uint16_t>(value));
  AppendLe16(out, static_cast<uint16_t>(value >> 16));
}
void AppendText(Bytes& out, std::string_view text) {
  out.insert(out.end(), text.begin(), text.end());
}
void Append(Bytes& out, const Bytes& more) { out.insert(out.end(), more.begin(), more.end()); }
void PutBe32(Bytes& out, size_t at, uint32_t value) {
  for (int i = 0; i < 4; ++i) out[at + i] = static_cast<uint8_t>(value >> (24 - 8 * i));
}
void PutLe32(Bytes& out, size_t at, uint32_t value) {
  for (int i = 0; i < 4; ++i) out[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

Bytes SeededBytes(size_t count, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes bytes(count);
  for (auto& b : bytes) b = static_cast<uint8_t>(rng());
  return bytes;
}

Bytes RiffChunk(std::string_view id, const Bytes& data, bool pad) {
  Bytes chunk;
  AppendText(chunk, id.substr(0, 4));
  AppendLe32(chunk, static_cast<uint32_t>(data.size()));
  Append(chunk, data);
  if (pad && data.size() % 2) chunk.push_back(0);
  return chunk;
}

Bytes RiffList(std::string_view list_type, const std::vector<Bytes>& chunks) {
  Bytes data;
  AppendText(data, list_type.substr(0, 4));
  for (const Bytes& chunk : chunks) Append(data, chunk);
  return RiffChunk("LIST", data);
}

Bytes RiffFile(std::string_view form_type, const std::vector<Bytes>& chunks) {
  Bytes body;
  AppendText(body, form_type.substr(0, 4));
  for (const Bytes& chunk : chunks) Append(body, chunk);
  Bytes file;
  AppendText(file, "RIFF");
  AppendLe32(file, static_cast<uint32_t>(body.size()));
  Append(file, body);
  return file;
}

Bytes MakeWav(const WavOptions& options) {
  Bytes format;
  AppendLe16(format, 1);  // PCM
  AppendLe16(format, options.channels);
  AppendLe32(format, options.sample_rate);
  AppendLe32(format, options.sample_rate * options.channels * 2u);
  AppendLe16(format, static_cast<uint16_t>(options.channels * 2));
  AppendLe16(format, 16);
  Bytes sound;
  for (uint32_t frame = 0; frame < options.frames; ++frame) {
    const double t = static_cast<double>(frame) / options.sample_rate;
    const auto sample = static_cast<int16_t>(8000 * std::sin(2 * M_PI * 440 * t));
    for (uint16_t c = 0; c < options.channels; ++c)
      AppendLe16(sound, static_cast<uint16_t>(sample));
  }
  std::vector<Bytes> chunks = {RiffChunk("fmt ", format), RiffChunk("data", sound)};
  if (!options.title.empty()) {
    Bytes title;
    AppendText(title, options.title);
    title.push_back(0);
    chunks.push_back(RiffList("INFO", {RiffChunk("INAM", title)}));
  }
  return RiffFile("WAVE", chunks);
}

Bytes MakeAvi(const AviOptions& options) {
  std::vector<Bytes> frames;
  uint32_t largest = 0;
  for (uint32_t i = 0; i < options.frames; ++i) {
    frames.push_back(
        EncodeJpeg({.width = options.width, .height = options.height, .seed = options.seed + i}));
    largest = std::max(largest, static_cast<uint32_t>(frames.back().size()));
  }
  const auto width = static_cast<uint32_t>(options.width);
  const auto height = static_cast<uint32_t>(options.height);

  Bytes main_header;                // avih
  AppendLe32(main_header, 100000);  // microseconds per frame: 10 frames per second
  AppendLe32(main_header, largest * 10);
  AppendLe32(main_header, 0);
  AppendLe32(main_header, 0x10);  // has an index
  AppendLe32(main_header, options.frames);
  AppendLe32(main_header, 0);
  AppendLe32(main_header, 1);  // streams
  AppendLe32(main_header, largest);
  AppendLe32(main_header, width);
  AppendLe32(main_header, height);
  for (int i = 0; i < 4; ++i) AppendLe32(main_header, 0);

  Bytes stream_header;  // strh
  AppendText(stream_header, "vidsMJPG");
  AppendLe32(stream_header, 0);
  AppendLe16(stream_header, 0);
  AppendLe16(stream_header, 0);
  AppendLe32(stream_header, 0);
  AppendLe32(stream_header, 1);   // scale
  AppendLe32(stream_header, 10);  // rate
  AppendLe32(stream_header, 0);
  AppendLe32(stream_header, options.frames);
  AppendLe32(stream_header, largest);
  AppendLe32(stream_header, 0xFFFFFFFF);  // default quality
  AppendLe32(stream_header, 0);
  AppendLe16(stream_header, 0);
  AppendLe16(stream_header, 0);
  AppendLe16(stream_header, static_cast<uint16_t>(width));
  AppendLe16(stream_header, static_cast<uint16_t>(height));

  Bytes stream_format;  // strf: BITMAPINFOHEADER
  AppendLe32(stream_format, 40);
  AppendLe32(stream_format, width);
  AppendLe32(stream_format, height);
  AppendLe16(stream_format, 1);
  AppendLe16(stream_format, 24);
  AppendText(stream_format, "MJPG");
  AppendLe32(stream_format, width * height * 3);
  for (int i = 0; i < 4; ++i) AppendLe32(stream_format, 0);

  std::vector<Bytes> chunks;
  chunks.push_back(RiffList("hdrl", {RiffChunk("avih", main_header),
                                     RiffList("strl", {RiffChunk("strh", stream_header),
                                                       RiffChunk("strf", stream_format)})}));
  const uint32_t after_header = 12 + static_cast<uint32_t>(chunks[0].size());
  if (options.movi_at >= after_header + 8) {
    chunks.push_back(RiffChunk("JUNK", Bytes(options.movi_at - after_header - 8, 0)));
  }

  std::vector<Bytes> frame_chunks;
  Bytes index;
  uint32_t movi_offset = 4;  // idx1 offsets count from the "movi" list type
  for (const Bytes& frame : frames) {
    frame_chunks.push_back(RiffChunk("00dc", frame));
    AppendText(index, "00dc");
    AppendLe32(index, 0x10);  // key frame
    AppendLe32(index, movi_offset);
    AppendLe32(index, static_cast<uint32_t>(frame.size()));
    movi_offset += static_cast<uint32_t>(frame_chunks.back().size());
  }
  chunks.push_back(RiffList("movi", frame_chunks));
  chunks.push_back(RiffChunk("idx1", index));
  return RiffFile("AVI ", chunks);
}

Bytes AtomHeader(std::string_view type, uint32_t size) {
  Bytes header;
  AppendBe32(header, size);
  AppendText(header, type.substr(0, 4));
  return header;
}

Bytes Atom(std::string_view type, const Bytes& payload) {
  Bytes atom = AtomHeader(type, static_cast<uint32_t>(payload.size() + 8));
  Append(atom, payload);
  return atom;
}

Bytes MakeMov(const MovOptions& options) {
  Bytes brands;
  AppendText(brands, options.brand.substr(0, 4));
  AppendBe32(brands, 0x200);
  AppendText(brands, options.brand.substr(0, 4));
  Bytes movie_header;  // mvhd, version 0
  AppendBe32(movie_header, 0);
  AppendBe32(movie_header, 0xDB3F2A00);  // creation and modification time
  AppendBe32(movie_header, 0xDB3F2A00);
  AppendBe32(movie_header, 600);      // time scale
  AppendBe32(movie_header, 1200);     // duration
  AppendBe32(movie_header, 0x10000);  // rate 1.0
  AppendBe16(movie_header, 0x100);    // volume 1.0
  movie_header.resize(movie_header.size() + 10, 0);
  for (const uint32_t m : {0x10000u, 0u, 0u, 0u, 0x10000u, 0u, 0u, 0u, 0x40000000u}) {
    AppendBe32(movie_header, m);
  }
  movie_header.resize(movie_header.size() + 24, 0);
  AppendBe32(movie_header, 2);  // next track id
  Bytes file = Atom("ftyp", brands);
  Append(file, Atom("wide", {}));
  Append(file, Atom("mdat", SeededBytes(options.media_bytes, options.seed)));
  Append(file, Atom("moov", Atom("mvhd", movie_header)));
  return file;
}

Bytes MpegPackHeader(uint32_t scr) {
  Bytes pack = {0x00, 0x00, 0x01, 0xBA};
  // '0010', SCR bits 32..30, marker; bits 29..15, marker; bits 14..0, marker.
  pack.push_back(static_cast<uint8_t>(0x21 | ((uint64_t{scr} >> 29) & 0x0E)));
  pack.push_back(static_cast<uint8_t>(scr >> 22));
  pack.push_back(static_cast<uint8_t>(((scr >> 14) & 0xFE) | 1));
  pack.push_back(static_cast<uint8_t>(scr >> 7));
  pack.push_back(static_cast<uint8_t>(((scr << 1) & 0xFE) | 1));
  // marker, 22-bit mux rate (in 50-byte units), marker.
  const uint32_t mux_rate = 2800;
  pack.push_back(static_cast<uint8_t>(0x80 | ((mux_rate >> 15) & 0x7F)));
  pack.push_back(static_cast<uint8_t>(mux_rate >> 7));
  pack.push_back(static_cast<uint8_t>(((mux_rate << 1) & 0xFE) | 1));
  return pack;
}

Bytes MpegSystemHeader() {
  Bytes data = {0x80, 0x15, 0xE1,   // marker, rate bound, marker
                0x04,               // audio bound 1, not fixed, not constrained
                0xE1,               // audio and video locked, marker, video bound 1
                0xFF,               // reserved
                0xC0, 0x20, 0x20,   // audio stream: buffer bound scale 0, 32 x 128 bytes
                0xE0, 0xE0, 0x2E};  // video stream: buffer bound scale 1, 46 x 1024 bytes
  Bytes header = {0x00, 0x00, 0x01, 0xBB};
  AppendBe16(header, static_cast<uint16_t>(data.size()));
  Append(header, data);
  return header;
}

Bytes MpegPacket(uint8_t stream_id, const Bytes& payload) {
  Bytes packet = {0x00, 0x00, 0x01, stream_id};
  AppendBe16(packet, static_cast<uint16_t>(payload.size()));
  Append(packet, payload);
  return packet;
}

Bytes MakeMpeg(const MpegOptions& options) {
  Bytes stream;
  uint32_t seed = options.seed;
  for (uint32_t pack = 0; pack < options.packs; ++pack) {
    Append(stream, MpegPackHeader(3600 * pack));
    if (pack == 0) Append(stream, MpegSystemHeader());
    for (uint32_t i = 0; i < options.packets_per_pack; ++i) {
      Bytes payload = {0x0F};  // no stuffing, no time stamps
      Append(payload, SeededBytes(options.payload_bytes, seed++));
      // Keep start codes out of the payload, as the elementary streams' own syntax does.
      for (size_t k = 2; k < payload.size(); ++k) {
        if (payload[k - 2] == 0 && payload[k - 1] == 0 && payload[k] == 1) payload[k] = 2;
      }
      Append(stream, MpegPacket(i % 2 ? 0xC0 : 0xE0, payload));
    }
  }
  if (options.end_code) Append(stream, {0x00, 0x00, 0x01, 0xB9});
  return stream;
}

Bytes MakeRaf(const RafLayout& layout) {
  const uint64_t end = uint64_t{layout.cfa_offset} + layout.cfa_length + layout.value_at_132;
  const uint64_t size = layout.written ? layout.written : std::max<uint64_t>(end, 160);
  Bytes file = SeededBytes(static_cast<size_t>(std::max<uint64_t>(size, 148)), layout.seed);
  std::memset(file.data(), 0, 148);
  std::memcpy(file.data(), "FUJIFILMCCD-RAW 0201FF129502", 28);
  std::memcpy(file.data() + 28, "FinePix Test", 12);
  std::memcpy(file.data() + 60, "0100", 4);
  PutBe32(file, 84, layout.jpeg_offset);
  PutBe32(file, 88, layout.jpeg_length);
  PutBe32(file, 92, layout.jpeg_offset + layout.jpeg_length);  // CFA header
  PutBe32(file, 96, 0);
  PutBe32(file, 100, layout.cfa_offset);
  PutBe32(file, 104, layout.cfa_length);
  PutBe32(file, 132, layout.value_at_132);
  file.resize(static_cast<size_t>(size));
  return file;
}

Bytes MakeMrw(const MrwLayout& layout) {
  Bytes blocks;
  for (uint32_t i = 0; i < layout.blocks_before_prd; ++i) {
    Append(blocks, {0x00, 'T', 'T', 'W'});
    AppendBe32(blocks, 40);
    Append(blocks, SeededBytes(40, layout.seed + i));
  }
  Append(blocks, {0x00, 'P', 'R', 'D'});
  AppendBe32(blocks, 24);
  AppendText(blocks, "27730001");
  AppendBe16(blocks, layout.sensor_height);
  AppendBe16(blocks, layout.sensor_width);
  AppendBe16(blocks, layout.sensor_height);
  AppendBe16(blocks, layout.sensor_width);
  const bool packed = layout.storage == 0x59;
  blocks.push_back(packed ? 12 : 16);  // data size
  blocks.push_back(12);                // pixel size
  blocks.push_back(layout.storage);
  Append(blocks, {0x00, 0x00, 0x00, 0x00, 0x01});  // unknown bytes and the Bayer pattern
  Append(blocks, {0x00, 'W', 'B', 'G'});
  AppendBe32(blocks, 12);
  Append(blocks, {0, 0, 0, 0, 0x01, 0x00, 0x01, 0x00, 0x01, 0x00, 0x01, 0x00});
  // PAD brings the header to a multiple of 16 bytes.
  const size_t pad = 16 - (blocks.size() + 8 + 8) % 16;
  Append(blocks, {0x00, 'P', 'A', 'D'});
  AppendBe32(blocks, static_cast<uint32_t>(pad));
  blocks.resize(blocks.size() + pad, 0);

  Bytes file = {0x00, 'M', 'R', 'M'};
  AppendBe32(file, static_cast<uint32_t>(blocks.size()));
  Append(file, blocks);
  const uint64_t pixels = uint64_t{layout.sensor_height} * layout.sensor_width;
  const uint64_t raw = layout.raw_bytes ? layout.raw_bytes : packed ? pixels * 3 / 2 : pixels * 2;
  Append(file, SeededBytes(static_cast<size_t>(raw), layout.seed));
  return file;
}

uint32_t MrwHeaderLength(const Bytes& mrw) {
  return (uint32_t{mrw[4]} << 24) | (uint32_t{mrw[5]} << 16) | (uint32_t{mrw[6]} << 8) | mrw[7];
}

Bytes MakeX3f(const X3fLayout& layout) {
  const size_t size = size_t{layout.directory_at} + 16 + size_t{12} * layout.entries;
  Bytes file = SeededBytes(size, layout.seed);
  // Seeded bytes must not hold a directory tag of their own at a 4-aligned position.
  for (size_t pos = 0; pos + 4 <= layout.directory_at; pos += 4) {
    if (std::memcmp(file.data() + pos, "SECd", 4) == 0) file[pos] = 'X';
  }
  std::memset(file.data(), 0, 232);
  std::memcpy(file.data(), "FOVb", 4);
  PutLe32(file, 4, 0x00020002);  // version 2.2
  std::memcpy(file.data() + 8, "0123456789ABCDEF", 16);
  PutLe32(file, 28, 2268);  // columns
  PutLe32(file, 32, 1512);  // rows
  std::memcpy(file.data() + 40, "Auto", 4);
  // A property section right after the header.
  std::memcpy(file.data() + 232, "SECp", 4);
  PutLe32(file, 236, 0x00020000);
  PutLe32(file, 240, 0);
  // The directory, its entries (offset, length, type) and its own offset at the very end.
  size_t at = layout.directory_at;
  std::memcpy(file.data() + at, "SECd", 4);
  PutLe32(file, at + 4, 0x00020000);
  PutLe32(file, at + 8, layout.entries);
  at += 12;
  for (uint32_t i = 0; i < layout.entries; ++i, at += 12) {
    PutLe32(file, at, 232);
    PutLe32(file, at + 4, 16);
    std::memcpy(file.data() + at + 8, i == 0 ? "PROP" : "IMAG", 4);
  }
  PutLe32(file, at, layout.directory_at);
  return file;
}

}  // namespace pictavo::samples
