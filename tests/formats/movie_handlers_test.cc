// QuickTime and MPEG: movies measured by following their chains of atoms or packs and packets.
#include <gtest/gtest.h>

#include "carve_harness.h"
#include "formats/mov_handler.h"
#include "formats/mpeg_handler.h"
#include "samples/media_samples.h"
#include "support/faulty_source.h"

namespace pictavo {
namespace {

using media_test::Carve;
using media_test::Medium;
using samples::Atom;
using samples::AtomHeader;
using samples::Bytes;

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) samples::Append(out, part);
  return out;
}

Bytes Ftyp(std::string_view brand) {
  Bytes brands;
  samples::AppendText(brands, brand);
  samples::AppendBe32(brands, 0);
  samples::AppendText(brands, brand);
  return Atom("ftyp", brands);
}

TEST(MovHandler, AtomChainRules) {
  struct Case {
    const char* name;
    Bytes file;                        // followed by zeros on the medium
    std::optional<uint64_t> expected;  // nullopt: not a QuickTime candidate
  };
  const Bytes media(3000, 0x5A);
  const Case cases[] = {
      {"ftyp qt, wide, mdat, moov",
       Concat({Ftyp("qt  "), Atom("wide", {}), Atom("mdat", media), Atom("moov", Bytes(100, 1))}),
       20 + 8 + 3008 + 108},
      {"every known top-level type continues the walk",
       Concat({Atom("free", {}), Atom("skip", Bytes(3, 0)), Atom("pnot", Bytes(12, 0)),
               Atom("uuid", Bytes(16, 0)), Atom("qt  ", Bytes(4, 0)), Atom("mdat", media),
               Atom("moov", Bytes(40, 0))}),
       8 + 11 + 20 + 24 + 12 + 3008 + 48},
      {"a sector starting with an empty free atom is a candidate", Atom("free", {}), 8},
      {"an unknown type ends the walk before it",
       Concat({Atom("moov", Bytes(40, 0)), Atom("mdat", media), Atom("meta", Bytes(20, 0))}),
       48 + 3008},
      // An atom of size 1 announces a 64-bit size after its type: it adds 1 byte, and the walk
      // then looks one byte further on, where the test fails.
      {"extended size adds one byte",
       Concat({Atom("moov", Bytes(40, 0)), AtomHeader("mdat", 1), {0, 0, 0, 0, 0, 0, 0x10, 0x10}}),
       48 + 1},
      {"an atom beyond 300 MiB ends the walk at its start",
       Concat({Ftyp("qt  "), Atom("wide", {}), AtomHeader("mdat", MovHandler::kMaxAtomSize + 1)}),
       20 + 8},
      {"an atom of exactly 300 MiB is counted",
       Concat({Atom("moov", Bytes(40, 0)), AtomHeader("mdat", MovHandler::kMaxAtomSize)}),
       48 + uint64_t{MovHandler::kMaxAtomSize}},
      {"first atom of size 0", AtomHeader("moov", 0), std::nullopt},
      {"first atom of unknown type", Atom("mvhd", Bytes(20, 0)), std::nullopt},
      {"first atom beyond 300 MiB", AtomHeader("mdat", MovHandler::kMaxAtomSize + 1), std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (const uint16_t sector_size : {512, 4096}) {
      MovHandler handler;
      EXPECT_EQ(Carve(handler, Medium(c.file, {}, 16, sector_size), sector_size), c.expected);
    }
  }
}

TEST(MovHandler, Mp4FamilyMarksInTheFirst500BytesRejectTheCandidate) {
  for (const char* brand : {"mp41", "M4A ", "M4B ", "M4V "}) {
    SCOPED_TRACE(brand);
    MovHandler handler;
    EXPECT_EQ(Carve(handler, Medium(samples::MakeMov({.brand = brand}))), std::nullopt);
  }
  // A mark anywhere among positions 0 to 499 counts, even inside the media data.
  struct Case {
    uint32_t mark_at;
    bool rejected;
  };
  for (const Case c : {Case{28 + 8, true}, Case{497, true}, Case{499, true}, Case{500, false}}) {
    SCOPED_TRACE(c.mark_at);
    Bytes mov = samples::MakeMov({.media_bytes = 1000});
    std::copy_n("M4V", 3, mov.begin() + c.mark_at);
    MovHandler handler;
    const auto length = Carve(handler, Medium(mov));
    if (c.rejected) {
      EXPECT_EQ(length, std::nullopt);
    } else {
      EXPECT_EQ(length, mov.size());
    }
  }
}

TEST(MovHandler, RejectedMp4IsOfferedToTheNextHandler) {
  // An MP4 is never taken for QuickTime: the scan asks the handlers after it, and none of the
  // classic ones claims an ftyp atom, so nothing is found there. With every type selected the
  // MP4 recogniser, asked before QuickTime, finds it whole.
  const Bytes mp4 = samples::MakeMov({.brand = "M4V "});
  samples::ImageBuilder builder(512, 23);
  builder.Gap(2, samples::ImageBuilder::Fill::kRandom);
  const uint64_t at = builder.Place(mp4, samples::ImageBuilder::Fill::kRandom);
  builder.Gap(24, samples::ImageBuilder::Fill::kRandom);
  MemorySectorSource source(builder.bytes(), 512);
  FileTypeSelection classic;
  classic.SelectClassicOnly();
  ScanResults results;
  ASSERT_TRUE(RunScan(source, classic, results, nullptr, nullptr).ok);
  for (const FoundFile& f : results.Found()) EXPECT_NE(f.offset, at);
  const auto placed = media_test::PlaceAndScan(mp4, 2);
  ASSERT_TRUE(placed.found.has_value());
  EXPECT_EQ(placed.found->type, kTypeMp4);
  EXPECT_EQ(placed.found->length, mp4.size());
  const auto qt = media_test::PlaceAndScan(samples::MakeMov({}), 2);
  ASSERT_TRUE(qt.found.has_value());
  EXPECT_EQ(qt.found->type, kTypeMov);
  EXPECT_EQ(qt.found->length, samples::MakeMov({}).size());
}

TEST(MovHandler, WalkEndsAtTheEndOfTheMedium) {
  // 8-byte free atoms to the last byte of the medium: each is counted before the read of the
  // next fails.
  Bytes medium;
  while (medium.size() < 32768) samples::Append(medium, Atom("free", {}));
  MovHandler handler;
  EXPECT_EQ(Carve(handler, medium), 32768u);

  testing::FaultySource source(Medium(samples::MakeMov({})), 512);
  source.FailRange(0, 1);
  uint8_t head[kSectorHeadSize] = {0, 0, 0, 8, 'f', 'r', 'e', 'e'};
  ASSERT_TRUE(handler.MatchSignature(head));
  EXPECT_FALSE(handler.Verify(source, 0));
  EXPECT_EQ(handler.MeasureLength(source, 0), 0u);
}

TEST(MpegHandler, PackAndPacketChainRules) {
  const Bytes stream = samples::MakeMpeg({});
  const Bytes without_end = samples::MakeMpeg({.end_code = false});
  struct Case {
    const char* name;
    Bytes file;
    Bytes after;  // the bytes that follow on the medium, then zeros
    uint64_t expected;
  };
  const Case cases[] = {
      // The end code is counted as an item whose length is the value 4 bytes after it (0 here)
      // plus 6, then 2 bytes are taken off: exactly the stream.
      {"program end code, then zeros", stream, {}, stream.size() - 4 + 0 + 6 - 2},
      {"program end code, then other bytes",
       stream,
       {0x12, 0x34},
       stream.size() - 4 + 0x1234 + 6 - 2},
      // Cut off by other data: that data's first item is added the same way (a JPEG here: its
      // first four bytes are no start code, and the value after them is the APP0 length 16).
      {"cut off by a JPEG",
       without_end,
       {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F'},
       without_end.size() + 16 + 6 - 2},
      {"cut off by zeros", without_end, {}, without_end.size() + 0 + 6 - 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (const uint16_t sector_size : {512, 4096}) {
      MpegHandler handler;
      EXPECT_EQ(Carve(handler, Medium(c.file, c.after, 16, sector_size), sector_size), c.expected);
    }
  }
}

TEST(MpegHandler, WalkStartsAtTheValueInBytes16And17) {
  // No system header: bytes 16 and 17 are the first packet's length (40), so the walk starts
  // inside that packet's payload, where an end code is planted.
  Bytes payload(40, 0x77);
  const Bytes planted = {0x00, 0x00, 0x01, 0xB9, 0x00, 0x03};
  std::copy(planted.begin(), planted.end(), payload.begin() + (40 - 18));
  const Bytes file = Concat({samples::MpegPackHeader(0), samples::MpegPacket(0xE0, payload)});
  ASSERT_EQ(file[16] * 256 + file[17], 40);
  MpegHandler handler;
  EXPECT_EQ(Carve(handler, Medium(file)), 40u + 3 + 6 - 2);
}

TEST(MpegHandler, ReadFailures) {
  const Bytes stream =
      samples::MakeMpeg({.packs = 30, .packets_per_pack = 4, .payload_bytes = 500});
  {
    testing::FaultySource source(Medium(stream), 512);
    source.FailRange(0, 1);
    MpegHandler handler;
    uint8_t head[kSectorHeadSize] = {0x00, 0x00, 0x01, 0xBA};
    ASSERT_TRUE(handler.MatchSignature(head));
    EXPECT_EQ(handler.MeasureLength(source, 0), 0u);
  }
  {
    // A bad sector far into the stream stops the walk at the first item that lies in it.
    testing::FaultySource source(Medium(stream), 512);
    source.FailRange(40'000, 40'001);
    MpegHandler handler;
    const auto length = Carve(handler, source);
    ASSERT_TRUE(length.has_value());
    EXPECT_LT(*length, 40'000u);
    EXPECT_GT(*length, 40'000u - 8 * 512 - 600);
  }
}

TEST(MovieHandlers, LaidOutFilesAreFoundWithTheirExactSize) {
  for (const uint16_t sector_size : {512, 4096}) {
    const Bytes mov = samples::MakeMov({.media_bytes = 50'000});
    const Bytes mpeg =
        samples::MakeMpeg({.packs = 20, .packets_per_pack = 3, .payload_bytes = 700});
    for (const uint32_t lead : {0u, 4u}) {
      const auto placed_mov = media_test::PlaceAndScan(mov, lead, sector_size);
      ASSERT_TRUE(placed_mov.found.has_value());
      EXPECT_EQ(placed_mov.found->type, kTypeMov);
      EXPECT_EQ(placed_mov.found->length, mov.size());
      const auto placed_mpeg = media_test::PlaceAndScan(mpeg, lead, sector_size);
      ASSERT_TRUE(placed_mpeg.found.has_value());
      EXPECT_EQ(placed_mpeg.found->type, kTypeMpeg);
      // The end code's item takes its length from the two random bytes 4 bytes after it.
      const auto& m = placed_mpeg.medium;
      const size_t end = placed_mpeg.offset + mpeg.size();
      EXPECT_EQ(placed_mpeg.found->length, mpeg.size() + (m[end] * 256u + m[end + 1]));
    }
  }
}

// Real files laid into random bytes.
TEST(MovieCorpus, SamplesAreMeasuredByTheirChains) {
  int tried = 0;
  for (const char* path : {"mov/iphone6-with-gps.mov", "mov/mjpeg-mdat-first-no-ftyp.mov",
                           "mov/pentax-moov-first-stripped.mov"}) {
    const Bytes file = samples::ReadFile(media_test::CorpusFile(path));
    if (file.empty()) continue;
    ++tried;
    SCOPED_TRACE(path);
    for (const uint32_t lead : {0u, 7u}) {
      const auto placed = media_test::PlaceAndScan(file, lead);
      ASSERT_TRUE(placed.found.has_value());
      EXPECT_EQ(placed.found->type, kTypeMov);
      EXPECT_EQ(placed.found->length, file.size());
    }
  }
  struct Mpeg {
    const char* path;
    // What the walk adds beyond the file: the streams carry no program end code, so the first
    // item after them (the random bytes that follow) is counted: its 16-bit value 4 bytes in,
    // + 6 - 2. The MPEG-2 stream is measured from the MPEG-1 layout: its pack header is 14
    // bytes, bytes 16 and 17 are the system header's start code (0x01BB = 443), and the item
    // found at 443 is no start code, so only 443 + 6 + its value - 2 bytes are reported.
    bool mpeg2;
  };
  for (const Mpeg& s :
       {Mpeg{"mpeg/taglib-turning-lime-mpeg1ps.mpg", false},
        Mpeg{"mpeg/filetype-mpeg1ps.mpg", false}, Mpeg{"mpeg/generated-mpeg2-dvd.mpg", true}}) {
    const Bytes file = samples::ReadFile(media_test::CorpusFile(s.path));
    if (file.empty()) continue;
    ++tried;
    SCOPED_TRACE(s.path);
    for (const uint32_t lead : {0u, 7u}) {
      const auto placed = media_test::PlaceAndScan(file, lead);
      ASSERT_TRUE(placed.found.has_value());
      EXPECT_EQ(placed.found->type, kTypeMpeg);
      const auto& m = placed.medium;
      if (s.mpeg2) {
        ASSERT_EQ(file[16] * 256 + file[17], 443);
        EXPECT_EQ(placed.found->length, 443u + (file[447] * 256u + file[448]) + 6 - 2);
      } else {
        const size_t end = placed.offset + file.size();
        EXPECT_EQ(placed.found->length, file.size() + (m[end + 4] * 256u + m[end + 5]) + 6 - 2);
      }
    }
  }
  if (tried == 0) GTEST_SKIP() << "corpus not present at " << PICTAVO_CORPUS_DIR;
}

}  // namespace
}  // namespace pictavo
