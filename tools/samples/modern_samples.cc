#include "samples/modern_samples.h"

#include "formats/ogg_handler.h"
#include "samples/media_samples.h"
#include "samples/tiff_layout.h"

namespace pictavo::samples {

Bytes IsoBoxHeader(std::string_view type, uint64_t size, bool large) {
  Bytes out;
  AppendBe32(out, large ? 1 : static_cast<uint32_t>(size));
  AppendText(out, type);
  if (large) {
    AppendBe32(out, static_cast<uint32_t>(size >> 32));
    AppendBe32(out, static_cast<uint32_t>(size));
  }
  return out;
}

Bytes IsoBox(std::string_view type, const Bytes& payload) {
  Bytes out = IsoBoxHeader(type, 8 + payload.size());
  Append(out, payload);
  return out;
}

Bytes MoovWithSampleTables(const std::vector<SampleTrack>& tracks) {
  Bytes traks;
  for (const SampleTrack& track : tracks) {
    Bytes stsc(4, 0);
    AppendBe32(stsc, 1);
    AppendBe32(stsc, 1);
    AppendBe32(stsc, track.samples_per_chunk);
    AppendBe32(stsc, 1);
    Bytes stsz(4, 0);
    AppendBe32(stsz, 0);
    AppendBe32(stsz, static_cast<uint32_t>(track.sample_sizes.size()));
    for (const uint32_t size : track.sample_sizes) AppendBe32(stsz, size);
    Bytes offsets(4, 0);
    AppendBe32(offsets, static_cast<uint32_t>(track.chunk_offsets.size()));
    for (const uint64_t offset : track.chunk_offsets) {
      if (track.wide_offsets) AppendBe32(offsets, static_cast<uint32_t>(offset >> 32));
      AppendBe32(offsets, static_cast<uint32_t>(offset));
    }
    Bytes stbl = IsoBox("stsd", Bytes(8, 0));
    Append(stbl, IsoBox("stsc", stsc));
    Append(stbl, IsoBox("stsz", stsz));
    Append(stbl, IsoBox(track.wide_offsets ? "co64" : "stco", offsets));
    Bytes minf = IsoBox("vmhd", Bytes(12, 0));
    Append(minf, IsoBox("stbl", stbl));
    Bytes mdia = IsoBox("mdhd", Bytes(24, 0));
    Append(mdia, IsoBox("minf", minf));
    Bytes trak = IsoBox("tkhd", Bytes(84, 0));
    Append(trak, IsoBox("mdia", mdia));
    Append(traks, IsoBox("trak", trak));
  }
  Bytes moov = IsoBox("mvhd", Bytes(100, 0));
  Append(moov, traks);
  return IsoBox("moov", moov);
}

Bytes IsoLargeBox(std::string_view type, const Bytes& payload) {
  Bytes out = IsoBoxHeader(type, 16 + payload.size(), true);
  Append(out, payload);
  return out;
}

Bytes FtypBox(std::string_view major, const std::vector<std::string_view>& compatible) {
  Bytes payload;
  AppendText(payload, major);
  AppendBe32(payload, 0);
  for (const std::string_view brand : compatible) AppendText(payload, brand);
  return IsoBox("ftyp", payload);
}

Bytes MakeIsoFile(const IsoFileOptions& options) {
  Bytes out = FtypBox(options.major, options.compatible);
  uint32_t seed = options.seed;
  for (const IsoBoxSpec& box : options.boxes) {
    const Bytes payload = SeededBytes(box.payload_bytes, seed++);
    Append(out, box.large ? IsoLargeBox(box.type, payload) : IsoBox(box.type, payload));
  }
  return out;
}

Bytes MakeWebp(const WebpOptions& options) {
  Bytes image = SeededBytes(options.image_bytes, options.seed);
  std::vector<Bytes> chunks;
  switch (options.kind) {
    case WebpKind::kLossy:
    case WebpKind::kExtended: {
      // A key frame tag (bit 0 clear) and the start code 9D 01 2A, then width and height.
      const uint8_t frame[] = {0x50, 0x32, 0x00, 0x9D, 0x01, 0x2A, 0x40, 0x00, 0x30, 0x00};
      for (size_t i = 0; i < sizeof(frame) && i < image.size(); ++i) image[i] = frame[i];
      if (options.kind == WebpKind::kExtended) {
        Bytes header = {0x08, 0, 0, 0};  // flags: Exif present
        AppendLe16(header, 63);          // canvas width - 1, 24 bits
        header.push_back(0);
        AppendLe16(header, 47);  // canvas height - 1
        header.push_back(0);
        chunks.push_back(RiffChunk("VP8X", header));
      }
      chunks.push_back(RiffChunk("VP8 ", image));
      break;
    }
    case WebpKind::kLossless:
      image[0] = 0x2F;
      chunks.push_back(RiffChunk("VP8L", image));
      break;
  }
  for (uint32_t i = 0; i < options.trailing_chunks; ++i) {
    chunks.push_back(RiffChunk("EXIF", SeededBytes(101 + i, options.seed + 1 + i)));
  }
  return RiffFile("WEBP", chunks);
}

Bytes OggPage(uint8_t flags, uint64_t granule, uint32_t serial, uint32_t sequence,
              const Bytes& packet) {
  Bytes out;
  AppendText(out, "OggS");
  out.push_back(0);
  out.push_back(flags);
  AppendLe32(out, static_cast<uint32_t>(granule));
  AppendLe32(out, static_cast<uint32_t>(granule >> 32));
  AppendLe32(out, serial);
  AppendLe32(out, sequence);
  AppendLe32(out, 0);  // CRC, filled in below
  // Lacing: 255 for every full segment, then the remainder (0 when the packet fills its last
  // segment exactly), which ends the packet on this page.
  Bytes lacing(packet.size() / 255, 255);
  lacing.push_back(static_cast<uint8_t>(packet.size() % 255));
  out.push_back(static_cast<uint8_t>(lacing.size()));
  Append(out, lacing);
  Append(out, packet);
  PutLe32(out, 22, OggPageCrc(out));
  return out;
}

Bytes MakeOgg(const OggOptions& options) {
  Bytes head;
  AppendText(head, "OpusHead");
  head.push_back(1);  // version
  head.push_back(1);  // channels
  AppendLe16(head, 312);
  AppendLe32(head, 48000);
  AppendLe16(head, 0);
  head.push_back(0);
  Bytes out = OggPage(0x02, 0, options.serial, 0, head);
  for (uint32_t page = 1; page <= options.pages; ++page) {
    const bool last = page == options.pages && options.end_of_stream;
    Append(out, OggPage(last ? 0x04 : 0x00, uint64_t{page} * 960, options.serial, page,
                        SeededBytes(options.packet_bytes, options.seed + page)));
  }
  return out;
}

Bytes MakeDng(const DngOptions& options) {
  constexpr uint16_t kByte = 1, kAscii = 2, kLong = 4, kUndefined = 7;
  const uint32_t make_at = 8 + TiffIfdSize(7);
  const uint32_t sub_ifd = (make_at + static_cast<uint32_t>(options.make.size()) + 1 + 3) & ~3u;
  const uint32_t tile_offsets_at = sub_ifd + TiffIfdSize(2);
  const uint32_t tile_counts_at = tile_offsets_at + 4 * options.tiles;
  const uint32_t preview_at = tile_counts_at + 4 * options.tiles;
  const uint32_t tiles_at = preview_at + options.preview_bytes;
  const uint32_t exif_ifd = tiles_at + options.tiles * options.tile_bytes;
  const uint32_t note_at = exif_ifd + TiffIfdSize(1);

  TiffLayout layout(options.little_endian, 8);
  const uint32_t version = options.little_endian ? 0x00000401u : 0x01040000u;
  layout.PutIfd(8,
                {{0x0100, kLong, 1, 64},
                 {0x010F, kAscii, static_cast<uint32_t>(options.make.size()) + 1, make_at},
                 {0x0111, kLong, 1, preview_at},
                 {0x0117, kLong, 1, options.preview_bytes},
                 {0x014A, kLong, 1, sub_ifd},
                 {0x8769, kLong, 1, exif_ifd},
                 {0xC612, kByte, 4, version}},
                0);
  layout.PutText(make_at, options.make);
  layout.PutIfd(sub_ifd,
                {{0x0144, kLong, options.tiles, tile_offsets_at},
                 {0x0145, kLong, options.tiles, tile_counts_at}},
                0);
  std::vector<uint32_t> offsets, counts;
  for (uint32_t i = 0; i < options.tiles; ++i) {
    offsets.push_back(tiles_at + i * options.tile_bytes);
    counts.push_back(options.tile_bytes);
  }
  layout.PutArray(tile_offsets_at, offsets);
  layout.PutArray(tile_counts_at, counts);
  layout.PutBytes(preview_at, SeededBytes(options.preview_bytes, options.seed));
  layout.PutBytes(tiles_at, SeededBytes(options.tiles * options.tile_bytes, options.seed + 1));
  layout.PutIfd(exif_ifd, {{0x927C, kUndefined, options.maker_note_bytes, note_at}}, 0);
  layout.PutBytes(note_at, SeededBytes(options.maker_note_bytes, options.seed + 2));
  layout.Extend(note_at + options.maker_note_bytes);
  return layout.bytes();
}

}  // namespace pictavo::samples
