// WAV and AVI: RIFF files measured by walking their chunks while the identifiers are known.
#include <gtest/gtest.h>

#include "carve_harness.h"
#include "formats/avi_handler.h"
#include "formats/wav_handler.h"
#include "samples/media_samples.h"
#include "support/faulty_source.h"

namespace pictavo {
namespace {

using media_test::Carve;
using media_test::Medium;
using samples::Bytes;
using samples::RiffChunk;
using samples::RiffFile;

// A chunk header whose data is left to the medium (for sizes larger than a test wants to hold).
Bytes ChunkHeader(std::string_view id, uint32_t size) {
  Bytes header;
  samples::AppendText(header, id);
  samples::AppendLe32(header, size);
  return header;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) samples::Append(out, part);
  return out;
}

const Bytes kFmt16(16, 0x11);
const Bytes kOther = {'z', 'z', 'z', 'z', 4, 0, 0, 0, 1, 2, 3, 4};

TEST(WavHandler, ChunkWalkRules) {
  struct Case {
    const char* name;
    Bytes file;  // laid at offset 0, followed by zeros
    uint64_t expected;
  };
  const Bytes sound(1000, 0x42);
  const Case cases[] = {
      {"canonical, then other data",
       Concat({RiffFile("WAVE", {RiffChunk("fmt ", kFmt16), RiffChunk("data", sound)}), kOther}),
       44 + 1000},
      {"first chunk's identifier is never examined",
       RiffFile("WAVE", {RiffChunk("wxyz", Bytes(20, 1)), RiffChunk("fmt ", kFmt16),
                         RiffChunk("data", sound)}),
       12 + 28 + 24 + 1008},
      {"every known identifier continues the walk",
       RiffFile("WAVE", {RiffChunk("fmt ", kFmt16), RiffChunk("fact", Bytes(4, 0)),
                         RiffChunk("bext", Bytes(10, 0)), RiffChunk("levl", Bytes(6, 0)),
                         RiffChunk("mext", Bytes(2, 0)), RiffChunk("aux ", Bytes(8, 0)),
                         RiffChunk("BWF ", Bytes(4, 0)), RiffChunk("JUNK", Bytes(30, 0)),
                         RiffChunk("LIST", Bytes(12, 0)), RiffChunk("data", sound)}),
       12 + 24 + 12 + 18 + 14 + 10 + 16 + 12 + 38 + 20 + 1008},
      {"identifiers are case-sensitive",
       RiffFile("WAVE", {RiffChunk("fmt ", kFmt16), RiffChunk("DATA", sound)}), 12 + 24},
      // The pad byte after the 5 bytes of LIST is not skipped: the next identifier is read one
      // byte early ("\0dat") and ends the walk.
      {"odd chunk with its pad byte",
       RiffFile("WAVE", {RiffChunk("fmt ", kFmt16), RiffChunk("LIST", Bytes(5, 7)),
                         RiffChunk("data", sound)}),
       12 + 24 + 13},
      {"a private chunk after the sound ends the file before it",
       RiffFile("WAVE", {RiffChunk("fmt ", kFmt16), RiffChunk("data", sound),
                         RiffChunk("id3 ", Bytes(64, 3))}),
       12 + 24 + 1008},
      // The RIFF size is ignored: here it says 4 bytes.
      {"RIFF size is not used",
       Concat({{'R', 'I', 'F', 'F', 4, 0, 0, 0, 'W', 'A', 'V', 'E'},
               RiffChunk("fmt ", kFmt16),
               RiffChunk("data", sound)}),
       12 + 24 + 1008},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (const uint16_t sector_size : {512, 4096}) {
      WavHandler handler;
      EXPECT_EQ(Carve(handler, Medium(c.file, {}, 16, sector_size), sector_size), c.expected);
    }
  }
}

TEST(WavHandler, OversizedDataChunkRunsPastTheFileWhileTheMediumLasts) {
  const Bytes head = Concat({RiffFile("WAVE", {RiffChunk("fmt ", kFmt16)}),
                             ChunkHeader("data", 1'000'000), Bytes(100, 5)});
  WavHandler handler;
  // The medium goes on past the declared end: the length is not capped or compared.
  EXPECT_EQ(Carve(handler, Medium(head, {}, 2100)), 44 + 1'000'000);
  // The medium ends first: the read of the next header fails and the data chunk is not counted.
  EXPECT_EQ(Carve(handler, Medium(head, {}, 100)), 12 + 24);
}

TEST(WavHandler, ChainOfEmptyChunksEndsAtTheEndOfTheMedium) {
  // 8-byte "JUNK" headers with no data up to the last byte of the medium: the walk steps over
  // each one, and the last is not counted because the read after it fails.
  Bytes medium = RiffFile("WAVE", {RiffChunk("JUNK", Bytes(4, 0))});
  while (medium.size() < 65536) samples::Append(medium, ChunkHeader("JUNK", 0));
  ASSERT_EQ(medium.size(), 65536u);
  WavHandler handler;
  EXPECT_EQ(Carve(handler, medium), 65536 - 8);
}

TEST(WavHandler, ReadFailures) {
  const Bytes file =
      RiffFile("WAVE", {RiffChunk("fmt ", Bytes(10'000, 1)), RiffChunk("data", Bytes(100, 2))});
  {
    testing::FaultySource source(Medium(file), 512);
    source.FailRange(0, 512);
    WavHandler handler;
    uint8_t head[kSectorHeadSize] = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E'};
    ASSERT_TRUE(handler.MatchSignature(head));
    EXPECT_EQ(handler.MeasureLength(source, 0), 0u);
  }
  {
    // The header of the second chunk lies in a sector that cannot be read: the first chunk is
    // not counted.
    testing::FaultySource source(Medium(file), 512);
    const uint64_t second = 12 + 8 + 10'000;
    source.FailRange(second, second + 1);
    WavHandler handler;
    EXPECT_EQ(Carve(handler, source), 12u);
  }
}

TEST(WavHandler, EncodedSoundIsFoundWithItsExactSize) {
  for (const uint16_t sector_size : {512, 4096}) {
    for (const auto& options :
         {samples::WavOptions{},
          samples::WavOptions{
              .sample_rate = 22050, .channels = 2, .frames = 30001, .title = "Memo"}}) {
      const Bytes wav = samples::MakeWav(options);
      for (const uint32_t lead : {0u, 3u}) {
        const auto placed = media_test::PlaceAndScan(wav, lead, sector_size);
        ASSERT_TRUE(placed.found.has_value());
        EXPECT_EQ(placed.found->type, kTypeWav);
        EXPECT_EQ(placed.found->length, wav.size());
      }
    }
  }
}

TEST(AviHandler, ChunkWalkRules) {
  // The layout from the format's description: hdrl, movi and idx1 lists followed by other data.
  const Bytes described = Concat({{'R', 'I', 'F', 'F', 0, 0, 0, 0, 'A', 'V', 'I', ' '},
                                  ChunkHeader("LIST", 8'000),
                                  Bytes(8'000, 1),
                                  ChunkHeader("LIST", 1'000'000),
                                  Bytes(1'000'000, 2),
                                  ChunkHeader("idx1", 16'000),
                                  Bytes(16'000, 3),
                                  kOther});
  struct Case {
    const char* name;
    Bytes file;
    uint64_t expected;
  };
  const Case cases[] = {
      {"hdrl, movi, idx1, then other data", described, 12 + 8'008 + 1'000'008 + 16'008},
      {"the first chunk is counted whatever its identifier",
       Concat({RiffFile("AVI ", {RiffChunk("abcd", Bytes(40, 1)), RiffChunk("LIST", Bytes(60, 2))}),
               kOther}),
       12 + 48 + 68},
      {"JUNK and hdrl continue the walk",
       Concat({RiffFile("AVI ", {RiffChunk("LIST", Bytes(40, 1)), RiffChunk("JUNK", Bytes(100, 0)),
                                 RiffChunk("hdrl", Bytes(8, 0)), RiffChunk("idx1", Bytes(16, 0))}),
               kOther}),
       12 + 48 + 108 + 16 + 24},
      // Odd sizes are used as stored: the 3 bytes of JUNK are followed by a pad byte, so the
      // next header is read one byte early ("\0LIS") and ends the walk after JUNK.
      {"odd chunk shifts the next header",
       Concat({RiffFile("AVI ", {RiffChunk("LIST", Bytes(40, 1)), RiffChunk("JUNK", Bytes(3, 0)),
                                 RiffChunk("LIST", Bytes(60, 2))}),
               kOther}),
       12 + 48 + 11},
      {"RIFF size is not used",
       Concat({{'R', 'I', 'F', 'F', 0xFF, 0xFF, 0xFF, 0xFF, 'A', 'V', 'I', ' '},
               RiffChunk("LIST", Bytes(40, 1)),
               RiffChunk("idx1", Bytes(32, 2)),
               kOther}),
       12 + 48 + 40},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (const uint16_t sector_size : {512, 4096}) {
      AviHandler handler;
      EXPECT_EQ(Carve(handler, Medium(c.file, {}, 16, sector_size), sector_size), c.expected);
    }
  }
}

TEST(AviHandler, MediumEndingRightAfterTheFile) {
  // Each step reads at the sector that holds (the current chunk's data sector + its size), which
  // lies before the next header unless the chunk's data starts on a sector boundary. So when the
  // medium ends right after the file, the last chunk is counted (its next "header" reads as
  // zeros) unless its data starts on a sector boundary: then that read lies past the end, fails,
  // and the last chunk is left out.
  const Bytes riff = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'A', 'V', 'I', ' '};
  const Bytes unaligned =
      Concat({riff, RiffChunk("LIST", Bytes(100, 1)), RiffChunk("idx1", Bytes(896, 2))});
  ASSERT_EQ(unaligned.size(), 1024u);
  AviHandler handler;
  EXPECT_EQ(Carve(handler, unaligned), 1024u);

  const Bytes aligned =
      Concat({riff, RiffChunk("LIST", Bytes(484, 1)), RiffChunk("idx1", Bytes(512, 2))});
  ASSERT_EQ(aligned.size(), 1024u);  // idx1's data starts at 512
  EXPECT_EQ(Carve(handler, aligned), 12u + 492);
}

TEST(AviHandler, FirstReadFailingGivesZero) {
  testing::FaultySource source(Medium(samples::MakeAvi({})), 512);
  source.FailRange(0, 1);
  AviHandler handler;
  uint8_t head[kSectorHeadSize] = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'A', 'V', 'I', ' '};
  ASSERT_TRUE(handler.MatchSignature(head));
  EXPECT_EQ(handler.MeasureLength(source, 0), 0u);
}

// A medium of 4.5 GiB that is zero everywhere except at a few pieces, without holding it.
class SparseSource : public SectorSource {
 public:
  explicit SparseSource(std::vector<std::pair<uint64_t, Bytes>> pieces)
      : pieces_(std::move(pieces)) {}
  int64_t Pread(uint64_t offset, uint8_t* buffer, uint32_t count, int*) override {
    if (offset >= kSize) return 0;
    const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(count, kSize - offset));
    std::fill_n(buffer, n, 0);
    for (const auto& [at, bytes] : pieces_) {
      for (size_t i = 0; i < bytes.size(); ++i) {
        if (at + i >= offset && at + i < offset + n) buffer[at + i - offset] = bytes[i];
      }
    }
    return n;
  }
  uint16_t SectorSize() override { return 512; }
  uint64_t Size() const override { return kSize; }
  const std::string& Name() const override { return name_; }

 private:
  static constexpr uint64_t kSize = 0x1'2000'0000;
  std::vector<std::pair<uint64_t, Bytes>> pieces_;
  std::string name_ = "sparse";
};

TEST(AviHandler, LengthsOf4GiBAndMoreAreNotCutByTheHandler) {
  const uint32_t movi = 0xFFFF'0000;
  const uint64_t idx1_at = 12 + 48 + 8 + uint64_t{movi};
  SparseSource source(
      {{0, Concat({{'R', 'I', 'F', 'F', 0, 0, 0, 0, 'A', 'V', 'I', ' '},
                   RiffChunk("LIST", Bytes(40, 1)),
                   ChunkHeader("LIST", movi)})},
       {idx1_at, Concat({ChunkHeader("idx1", 0x20000), Bytes(0x20000, 1), kOther})}});
  AviHandler handler;
  const uint64_t expected = 12 + 48 + (uint64_t{movi} + 8) + (0x20000 + 8);
  EXPECT_EQ(Carve(handler, source), expected);
}

TEST(AviHandler, EncodedMjpegMovieIsFoundWithItsExactSize) {
  for (const uint16_t sector_size : {512, 4096}) {
    for (const auto& options :
         {samples::AviOptions{},
          samples::AviOptions{.width = 96, .height = 64, .frames = 12, .movi_at = 2048}}) {
      const Bytes avi = samples::MakeAvi(options);
      for (const uint32_t lead : {0u, 5u}) {
        const auto placed = media_test::PlaceAndScan(avi, lead, sector_size);
        ASSERT_TRUE(placed.found.has_value());
        EXPECT_EQ(placed.found->type, kTypeAvi);
        EXPECT_EQ(placed.found->length, avi.size());
      }
    }
  }
}

// Real files: laid into random bytes, each is found as AVI or WAV at its offset; the length is
// the file's size unless its own chunks make the walk stop elsewhere.
TEST(RiffCorpus, SamplesAreMeasuredByTheirChunks) {
  struct Sample {
    const char* path;
    FileTypeId type;
    uint64_t expected;  // 0: the file's size
  };
  const Sample samples_list[] = {
      {"wav/plain-pcm16.wav", kTypeWav, 0},
      // fmt, data and LIST/INFO are counted; the trailing "id3 " chunk (10,432 bytes and its
      // header) is not a known identifier and is left out.
      {"wav/pcm16-list-id3.wav", kTypeWav, 12 + 24 + 176'408 + 108},
      // Its RIFF size says 208 bytes, but the chunks (the last an empty "data") run to 224.
      {"wav/pentax-optio-wp-voice-stripped.wav", kTypeWav, 0},
      {"avi/canon-mvi-mjpeg.avi", kTypeAvi, 0},
      // Ends with LIST/INFO after idx1; LIST is known, so it is counted.
      {"avi/sunplus-camera-mjpeg.avi", kTypeAvi, 0},
      // After the hdrl list comes an "ID32" tag chunk, which is not one of the identifiers an
      // AVI walk continues on: only the RIFF header and hdrl are counted, 62,830 bytes short.
      {"avi/virtualdubmod-xvid-trailing-junk.avi", kTypeAvi, 12 + 8'838},
  };
  int tried = 0;
  for (const Sample& s : samples_list) {
    const Bytes file = samples::ReadFile(media_test::CorpusFile(s.path));
    if (file.empty()) continue;
    ++tried;
    SCOPED_TRACE(s.path);
    for (const uint32_t lead : {0u, 7u}) {
      const auto placed = media_test::PlaceAndScan(file, lead);
      ASSERT_TRUE(placed.found.has_value());
      EXPECT_EQ(placed.found->type, s.type);
      EXPECT_EQ(placed.found->length, s.expected ? s.expected : file.size());
    }
  }
  if (tried == 0) GTEST_SKIP() << "corpus not present at " << PICTAVO_CORPUS_DIR;
}

}  // namespace
}  // namespace pictavo
