#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "engine/handler_set.h"
#include "formats/carve_harness.h"
#include "formats/exact_measure.h"
#include "platform/memory_source.h"
#include "platform/sector_source.h"
#include "samples/image_builder.h"
#include "samples/jpeg2000_sample.h"
#include "samples/jpeg_sample.h"
#include "samples/media_samples.h"
#include "samples/modern_samples.h"
#include "samples/png_sample.h"
#include "samples/tiff_layout.h"

namespace pictavo {
namespace {

using media_test::CorpusFile;
using media_test::FindAt;
using samples::Bytes;
using samples::TiffField;
using samples::TiffLayout;

// A scan of `medium` with every type selected, in the exact-ends mode or not.
std::vector<FoundFile> ScanMedium(const Bytes& medium, bool exact_ends) {
  MemorySectorSource source(medium, 512);
  ScanOptions options;
  options.exact_ends = exact_ends;
  ScanResults results;
  EXPECT_TRUE(RunScan(source, options, results, nullptr, nullptr).ok);
  return {results.Found().begin(), results.Found().end()};
}

// `file` at sector 4 of a medium of random bytes, with random bytes behind it.
struct Laid {
  Bytes medium;
  uint64_t offset = 0;
};
Laid Lay(const Bytes& file, uint32_t seed = 5) {
  samples::ImageBuilder builder(512, seed);
  builder.Gap(4, samples::ImageBuilder::Fill::kRandom);
  Laid laid;
  laid.offset = builder.Place(file, samples::ImageBuilder::Fill::kRandom);
  builder.Gap(64, samples::ImageBuilder::Fill::kRandom);
  laid.medium = builder.bytes();
  return laid;
}

struct ExactCase {
  const char* name;
  Bytes file;
  FileTypeId type;
};

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

// ---- TIFF layouts ----

// Strips before the first directory, an EXIF directory and a value far behind everything else.
Bytes TiffStripsFirstExifLast(bool little_endian) {
  TiffLayout t(little_endian, 3000);
  t.PutBytes(8, samples::SeededBytes(2900, 3));  // two strips: 8..1508 and 1508..2908
  t.PutArray(2920, {8, 1508});
  t.PutArray(2940, {1500, 1400});
  t.PutIfd(3000,
           {{0x0100, 3, 1, 40}, {0x0111, 4, 2, 2920}, {0x0117, 4, 2, 2940}, {0x8769, 4, 1, 3200}},
           0);
  // The EXIF directory keeps a 300-byte user comment at the very end.
  t.PutIfd(3200, {{0x9286, 7, 300, 4000}}, 0);
  t.PutBytes(4000, samples::SeededBytes(300, 4));
  return t.bytes();
}

// A tiled image whose largest tile end is neither the first nor the last tile listed.
Bytes TiffTiled() {
  TiffLayout t(true, 8);
  t.PutIfd(8, {{0x0100, 3, 1, 64}, {0x0142, 3, 1, 32}, {0x0144, 4, 3, 200}, {0x0145, 4, 3, 220}},
           0);
  t.PutArray(200, {1000, 5000, 3000});
  t.PutArray(220, {2000, 700, 1500});  // ends 3000, 5700, 4500
  t.PutBytes(1000, samples::SeededBytes(4700, 5));
  return t.bytes();
}

// A raw whose data hangs off two SubIFDs, the first one's data last in the file.
Bytes TiffSubIfds() {
  TiffLayout t(false, 8);
  t.PutText(100, "NIKON CORPORATION");
  t.PutIfd(8, {{0x010F, 2, 18, 100}, {0x014A, 4, 2, 150}}, 0);
  t.PutArray(150, {400, 600});
  t.PutIfd(400, {{0x0111, 4, 1, 3000}, {0x0117, 4, 1, 2222}}, 0);
  t.PutIfd(600, {{0x0111, 4, 1, 2000}, {0x0117, 4, 1, 500}}, 0);
  t.PutBytes(2000, samples::SeededBytes(3222, 6));
  return t.bytes();
}

// Panasonic: the raw data at RawDataOffset, the strip offset left unset.
Bytes PanasonicRw2() {
  TiffLayout t(true, 24);
  t.SetMagic('I', 'I', 0x55, 0x00);
  t.PutText(200, "Panasonic");
  t.PutIfd(24,
           {{0x010F, 2, 10, 200},
            {0x0111, 4, 1, 0xFFFFFFFF},
            {0x0117, 4, 1, 4000},
            {0x0118, 4, 1, 1024}},
           0);
  t.PutBytes(1024, samples::SeededBytes(4000, 7));
  return t.bytes();
}

// ---- JPEG layouts ----

// `jpeg` with `segment` (marker, payload) inserted right after its start-of-image marker.
Bytes WithSegment(const Bytes& jpeg, uint8_t marker, const Bytes& payload) {
  Bytes out(jpeg.begin(), jpeg.begin() + 2);
  out.push_back(0xFF);
  out.push_back(marker);
  samples::AppendBe16(out, static_cast<uint16_t>(payload.size() + 2));
  samples::Append(out, payload);
  out.insert(out.end(), jpeg.begin() + 2, jpeg.end());
  return out;
}

// The payload of an MPF segment listing the primary image (`primary_size` bytes) and one more
// image `second_offset` bytes from the MPF header.
Bytes MpfPayload(uint32_t primary_size, uint32_t second_size, uint32_t second_offset) {
  Bytes p;
  samples::AppendText(p, std::string_view("MPF\0", 4));
  samples::AppendText(p, "MM");
  samples::AppendBe16(p, 42);
  samples::AppendBe32(p, 8);
  samples::AppendBe16(p, 2);
  for (const uint16_t tag : {0xB000, 0xB002}) {
    samples::AppendBe16(p, tag);
    samples::AppendBe16(p, 7);
    samples::AppendBe32(p, tag == 0xB000 ? 4 : 32);
    if (tag == 0xB000) {
      samples::AppendText(p, "0100");
    } else {
      samples::AppendBe32(p, 8 + 2 + 24 + 4);
    }
  }
  samples::AppendBe32(p, 0);
  for (const auto& [size, offset] : {std::pair{primary_size, 0u}, {second_size, second_offset}}) {
    samples::AppendBe32(p, offset == 0 ? 0x20030000 : 0);
    samples::AppendBe32(p, size);
    samples::AppendBe32(p, offset);
    samples::AppendBe32(p, 0);
  }
  return p;
}

constexpr uint32_t kMpfPayloadSize = 4 + 8 + 2 + 24 + 4 + 32;

// A primary JPEG with an MPF index and a second JPEG behind it; `offset_error` moves the listed
// start of the second image (some phones write a primary size that is too small).
Bytes MultiPicture(int32_t offset_error) {
  const Bytes primary = samples::EncodeJpeg({.width = 96, .height = 64, .seed = 21});
  const Bytes second = samples::EncodeJpeg({.width = 48, .height = 32, .seed = 22});
  const uint32_t primary_size = static_cast<uint32_t>(primary.size() + 4 + kMpfPayloadSize);
  const uint32_t mpf_base = 2 + 4 + 4;  // SOI, marker and length, "MPF\0"
  const Bytes with_index =
      WithSegment(primary, 0xE2,
                  MpfPayload(primary_size, static_cast<uint32_t>(second.size()),
                             static_cast<uint32_t>(primary_size - mpf_base + offset_error)));
  return Concat({with_index, second});
}

Bytes XmpPayload(const std::string& xml) {
  Bytes p;
  samples::AppendText(p, "http://ns.adobe.com/xap/1.0/");
  p.push_back(0);
  samples::AppendText(p, xml);
  return p;
}

Bytes SmallMp4(uint32_t seed) {
  Bytes ftyp;
  samples::AppendText(ftyp, "mp42");
  samples::AppendBe32(ftyp, 0);
  samples::AppendText(ftyp, "isommp42");
  return Concat({samples::Atom("ftyp", ftyp),
                 samples::Atom("mdat", samples::SeededBytes(3000, seed)),
                 samples::Atom("moov", samples::SeededBytes(200, seed + 1))});
}

// A Motion Photo: a JPEG whose GContainer directory lists the video appended to it.
Bytes MotionPhoto() {
  const Bytes video = SmallMp4(31);
  const std::string xml =
      "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><rdf:RDF><rdf:Description "
      "GCamera:MotionPhoto=\"1\"><Container:Directory><rdf:Seq>"
      "<rdf:li rdf:parseType=\"Resource\"><Container:Item Item:Mime=\"image/jpeg\" "
      "Item:Semantic=\"Primary\" Item:Length=\"0\" Item:Padding=\"0\"/></rdf:li>"
      "<rdf:li rdf:parseType=\"Resource\"><Container:Item Item:Mime=\"video/mp4\" "
      "Item:Semantic=\"MotionPhoto\" Item:Length=\"" +
      std::to_string(video.size()) +
      "\"/></rdf:li></rdf:Seq></Container:Directory></rdf:Description></rdf:RDF></x:xmpmeta>";
  const Bytes primary = samples::EncodeJpeg({.width = 80, .height = 60, .seed = 32});
  return Concat({WithSegment(primary, 0xE1, XmpPayload(xml)), video});
}

// The older Motion Photo form: the video's length as MicroVideoOffset.
Bytes MicroVideo() {
  const Bytes video = SmallMp4(41);
  const std::string xml = "<rdf:Description GCamera:MicroVideo=\"1\" GCamera:MicroVideoOffset=\"" +
                          std::to_string(video.size()) + "\"/>";
  const Bytes primary = samples::EncodeJpeg({.width = 80, .height = 60, .seed = 42});
  return Concat({WithSegment(primary, 0xE1, XmpPayload(xml)), video});
}

// ---- the other formats ----

Bytes PngWithPrivateChunk() {
  return samples::EncodePng({.width = 40, .height = 30, .private_chunk_bytes = 3000, .seed = 3});
}

Bytes MpegWithoutEndCode() {
  return samples::MakeMpeg({.packs = 12, .packets_per_pack = 3, .end_code = false, .seed = 4});
}

// An MPEG-2 program stream: 14-byte pack headers with stuffing bytes, and the end code.
Bytes Mpeg2WithStuffing() {
  Bytes out;
  for (uint8_t pack = 0; pack < 6; ++pack) {
    samples::AppendBe32(out, 0x000001BA);
    const uint8_t header[10] = {0x44, 0, 4,    0,    4,
                                1,    1, 0x89, 0xC3, static_cast<uint8_t>(0xF8 | (pack % 4))};
    out.insert(out.end(), header, header + 10);
    for (uint8_t s = 0; s < pack % 4; ++s) out.push_back(0xFF);
    samples::Append(out, samples::MpegPacket(0xE0, samples::SeededBytes(700, pack)));
  }
  samples::AppendBe32(out, 0x000001B9);
  return out;
}

Bytes WavWithId3() {
  samples::WavOptions options;
  options.frames = 500;
  Bytes wav = samples::MakeWav(options);
  samples::Append(wav, samples::RiffChunk("id3 ", samples::SeededBytes(333, 8)));
  samples::PutLe32(wav, 4, static_cast<uint32_t>(wav.size() - 8));
  return wav;
}

Bytes AviWithId32() {
  Bytes avi = samples::MakeAvi({.frames = 2});
  samples::Append(avi, samples::RiffChunk("ID32", samples::SeededBytes(129, 9)));
  samples::PutLe32(avi, 4, static_cast<uint32_t>(avi.size() - 8));
  return avi;
}

Bytes Jp2WithBoxesAfterCodestream() {
  Bytes jp2 = samples::EncodeJpeg2000({.jp2 = true, .seed = 5});
  Bytes xml;
  samples::AppendText(xml, "<meta>boxes after the codestream</meta>");
  samples::Append(jp2, samples::Atom("xml ", xml));
  samples::Append(jp2, samples::Atom("uuid", samples::SeededBytes(40, 10)));
  return jp2;
}

// A QuickTime movie whose media atom has a 64-bit size.
Bytes MovWith64BitMdat() {
  Bytes ftyp;
  samples::AppendText(ftyp, "qt  ");
  samples::AppendBe32(ftyp, 0);
  samples::AppendText(ftyp, "qt  ");
  Bytes mdat;
  samples::AppendBe32(mdat, 1);
  samples::AppendText(mdat, "mdat");
  samples::AppendBe32(mdat, 0);
  samples::AppendBe32(mdat, 16 + 5000);
  samples::Append(mdat, samples::SeededBytes(5000, 11));
  return Concat(
      {samples::Atom("ftyp", ftyp), mdat, samples::Atom("moov", samples::SeededBytes(300, 12))});
}

// Canon's recipe trailer with `data` bytes of recipe: header, data, and the footer repeating the
// name and the length.
Bytes CanonTrailer(uint32_t data, uint32_t footer_length) {
  Bytes out;
  samples::AppendText(out, std::string_view("CANON OPTIONAL DATA\0", 20));
  samples::AppendBe32(out, 0x00010000);
  samples::AppendBe32(out, data);
  samples::Append(out, samples::SeededBytes(data, 15));
  samples::AppendText(out, std::string_view("CANON OPTIONAL DATA\0", 20));
  samples::AppendBe32(out, footer_length);
  out.resize(out.size() + 36, 0);
  samples::AppendLe32(out, 1234);
  return out;
}

// A Canon CRW: the raw data and the embedded JPEG in the heap, the root directory behind them.
Bytes Crw() {
  Bytes out;
  samples::AppendText(out, "II");
  samples::AppendLe32(out, 26);
  samples::AppendText(out, "HEAPCCDR");
  samples::AppendLe32(out, 0x00010002);
  samples::AppendLe32(out, 0);
  samples::AppendLe32(out, 0);
  const Bytes raw = samples::SeededBytes(2000, 16);
  const Bytes jpeg = samples::EncodeJpeg({.width = 32, .height = 24, .seed = 17});
  samples::Append(out, raw);
  samples::Append(out, jpeg);
  samples::AppendLe16(out, 2);
  for (const auto& [type, size, at] :
       {std::tuple{0x2005u, raw.size(), size_t{0}}, {0x2007u, jpeg.size(), raw.size()}}) {
    samples::AppendLe16(out, static_cast<uint16_t>(type));
    samples::AppendLe32(out, static_cast<uint32_t>(size));
    samples::AppendLe32(out, static_cast<uint32_t>(at));
  }
  samples::AppendLe32(out, static_cast<uint32_t>(raw.size() + jpeg.size()));
  return out;
}

// A QuickTime movie whose media atom has size 0 ("to the end of the file") behind its moov.
Bytes MovOpenEndedMdat() {
  Bytes ftyp;
  samples::AppendText(ftyp, "qt  ");
  samples::AppendBe32(ftyp, 0);
  samples::AppendText(ftyp, "qt  ");
  const Bytes head = samples::Atom("ftyp", ftyp);
  auto tracks = [](uint64_t media) {
    return std::vector<samples::SampleTrack>{
        {{media, media + 2000}, 3, {500, 600, 700, 800, 900, 100}}};
  };
  const uint64_t media = head.size() + samples::MoovWithSampleTables(tracks(0)).size() + 8;
  return Concat({head, samples::MoovWithSampleTables(tracks(media)), samples::AtomHeader("mdat", 0),
                 samples::SeededBytes(3800, 20)});
}

std::vector<ExactCase> Cases() {
  return {
      {"TiffStripsFirstExifLastLittle", TiffStripsFirstExifLast(true), kTypeTiff},
      {"TiffStripsFirstExifLastBig", TiffStripsFirstExifLast(false), kTypeTiff},
      {"TiffTiled", TiffTiled(), kTypeTiff},
      {"NefSubIfds", TiffSubIfds(), kTypeNef},
      {"PanasonicRawDataOffset", PanasonicRw2(), kTypeRaw},
      {"JpegMpfSecondImage", MultiPicture(0), kTypeJpeg},
      {"JpegMpfPrimarySizeShort", MultiPicture(-307), kTypeJpeg},
      {"JpegMotionPhotoContainer", MotionPhoto(), kTypeJpeg},
      {"JpegMicroVideoOffset", MicroVideo(), kTypeJpeg},
      {"PngPrivateChunk", PngWithPrivateChunk(), kTypePng},
      {"MpegWithoutEndCode", MpegWithoutEndCode(), kTypeMpeg},
      {"Mpeg2PackStuffing", Mpeg2WithStuffing(), kTypeMpeg},
      {"WavId3Chunk", WavWithId3(), kTypeWav},
      {"AviId32Chunk", AviWithId32(), kTypeAvi},
      {"Jp2BoxesAfterCodestream", Jp2WithBoxesAfterCodestream(), kTypeJp2},
      {"Mov64BitSize", MovWith64BitMdat(), kTypeMov},
      {"MovOpenEndedMdatAfterMoov", MovOpenEndedMdat(), kTypeMov},
      {"CrwCanonRecipeTrailer", Concat({Crw(), CanonTrailer(468, 468)}), kTypeCrw},
      {"JpegCanonRecipeTrailer",
       Concat(
           {samples::EncodeJpeg({.width = 64, .height = 48, .seed = 18}), CanonTrailer(300, 300)}),
       kTypeJpeg},
  };
}

class ExactEndsTest : public ::testing::TestWithParam<ExactCase> {};

TEST_P(ExactEndsTest, MeasuresTheWholeFile) {
  const ExactCase& c = GetParam();
  const Laid laid = Lay(c.file);
  const auto found = FindAt(ScanMedium(laid.medium, true), laid.offset);
  ASSERT_TRUE(found.has_value());
  EXPECT_EQ(found->type, c.type);
  EXPECT_EQ(found->length, c.file.size());
}

// The rules keep measuring as they always did: none of these files comes out whole without
// the mode, which is what the mode is for.
TEST_P(ExactEndsTest, TheRuleAloneDoesNotMeasureItWhole) {
  const ExactCase& c = GetParam();
  const Laid laid = Lay(c.file);
  const auto found = FindAt(ScanMedium(laid.medium, false), laid.offset);
  if (found) {
    EXPECT_NE(found->length, c.file.size());
  }
}

INSTANTIATE_TEST_SUITE_P(Formats, ExactEndsTest, ::testing::ValuesIn(Cases()),
                         [](const auto& info) { return std::string(info.param.name); });

// Structures that do not hold together leave the rule's length in place.
TEST(ExactEnds, BrokenStructuresKeepTheRuleLength) {
  Bytes png = PngWithPrivateChunk();
  png[40] ^= 0xFF;  // inside the first chunk after IHDR: its CRC no longer matches
  Bytes wav = WavWithId3();
  samples::PutLe32(wav, 4, static_cast<uint32_t>(wav.size() + 100));  // RIFF size past the chain
  for (const Bytes& file : {png, wav}) {
    const Laid laid = Lay(file);
    const auto rule = FindAt(ScanMedium(laid.medium, false), laid.offset);
    const auto exact = FindAt(ScanMedium(laid.medium, true), laid.offset);
    ASSERT_TRUE(rule && exact);
    EXPECT_EQ(*rule, *exact);
  }
}

// A recipe trailer is taken only when its footer repeats its length; a CRW without one keeps the
// directory's end in both modes.
TEST(ExactEnds, CanonTrailerNeedsItsFooter) {
  const Bytes crw = Crw();
  const Bytes medium = Concat({crw, CanonTrailer(468, 469), samples::SeededBytes(600, 19)});
  MemorySectorSource source(medium, 512);
  EXPECT_EQ(MeasureCanonTrailer(source, crw.size()), 0u);
  const Bytes good = Concat({crw, CanonTrailer(468, 468)});
  MemorySectorSource good_source(good, 512);
  EXPECT_EQ(MeasureCanonTrailer(good_source, crw.size()), 28u + 468 + 64);
  EXPECT_EQ(MeasureCanonTrailer(good_source, crw.size() + 1), 0u);
  for (const bool exact : {false, true}) {
    const Laid laid = Lay(crw);
    const auto found = FindAt(ScanMedium(laid.medium, exact), laid.offset);
    ASSERT_TRUE(found.has_value());
    EXPECT_EQ(found->type, kTypeCrw);
    EXPECT_EQ(found->length, crw.size());
  }
}

// A JP2 whose boxes before the codestream fill more than the first sector.
TEST(ExactEnds, FindsJp2WhoseCodestreamStartsBeyondTheFirstSector) {
  const Bytes plain = samples::EncodeJpeg2000({.jp2 = true, .seed = 6});
  // Insert a large xml box right behind the file-type box (jP 12 bytes, ftyp 20 bytes).
  Bytes xml;
  samples::AppendText(xml, std::string(1500, 'x'));
  Bytes jp2(plain.begin(), plain.begin() + 32);
  samples::Append(jp2, samples::Atom("xml ", xml));
  jp2.insert(jp2.end(), plain.begin() + 32, plain.end());
  const Laid laid = Lay(jp2);
  EXPECT_FALSE(FindAt(ScanMedium(laid.medium, false), laid.offset).has_value());
  const auto found = FindAt(ScanMedium(laid.medium, true), laid.offset);
  ASSERT_TRUE(found.has_value());
  EXPECT_EQ(found->type, kTypeJp2);
  EXPECT_EQ(found->length, jp2.size());
}

// An MPEG-1 program stream whose packs are exactly one sector each.
Bytes SectorPacks(uint32_t packs, bool end_code) {
  Bytes out;
  for (uint32_t i = 0; i < packs; ++i) {
    samples::Append(out, samples::MpegPackHeader(i * 1000));
    samples::Append(out, samples::MpegPacket(0xE0, samples::SeededBytes(512 - 12 - 6, i)));
  }
  if (end_code) samples::AppendBe32(out, 0x000001B9);
  return out;
}

// An MPEG program stream of packs that each start on a sector boundary is one find.
TEST(ExactEnds, PacksInsideAStreamAreNoFindsOfTheirOwn) {
  const Bytes stream = SectorPacks(40, true);
  const Laid laid = Lay(stream);
  std::vector<FoundFile> mpeg_rule, mpeg_exact;
  for (const FoundFile& f : ScanMedium(laid.medium, false)) {
    if (f.type == kTypeMpeg) mpeg_rule.push_back(f);
  }
  for (const FoundFile& f : ScanMedium(laid.medium, true)) {
    if (f.type == kTypeMpeg) mpeg_exact.push_back(f);
  }
  EXPECT_GE(mpeg_rule.size(), 40u);
  ASSERT_EQ(mpeg_exact.size(), 1u);
  EXPECT_EQ(mpeg_exact[0].offset, laid.offset);
  EXPECT_EQ(mpeg_exact[0].length, stream.size());
}

// Two streams without end codes recorded back to back: the second one's clock starts again.
TEST(ExactEnds, AStreamEndsWhereTheNextOnesClockStartsAgain) {
  const Bytes first = SectorPacks(12, false);
  const Bytes second = SectorPacks(9, false);
  const Laid laid = Lay(Concat({first, second}));
  const auto found = ScanMedium(laid.medium, true);
  const auto a = FindAt(found, laid.offset);
  const auto b = FindAt(found, laid.offset + first.size());
  ASSERT_TRUE(a && b);
  EXPECT_EQ(a->length, first.size());
  EXPECT_EQ(b->length, second.size());
}

// A handler answers from its last walk for a pack of that stream exactly as a fresh walk does.
TEST(ExactEnds, APackOfTheLastStreamMeasuresAsAFreshWalk) {
  const Bytes stream = SectorPacks(30, false);
  const Laid laid = Lay(stream);
  MemorySectorSource source(laid.medium, 512);
  auto walked = MakeHandler(kTypeMpeg);
  walked->set_exact_ends(true);
  ASSERT_EQ(media_test::Carve(*walked, source, laid.offset), stream.size());
  for (uint64_t pack = 1; pack < 30; ++pack) {
    const uint64_t at = laid.offset + pack * 512;
    auto fresh = MakeHandler(kTypeMpeg);
    fresh->set_exact_ends(true);
    EXPECT_EQ(media_test::Carve(*walked, source, at), media_test::Carve(*fresh, source, at));
  }
}

// A movie whose media atom is over the rule's limit, followed by its moov: laid out in a sparse
// file, so that the 400 MiB of media cost no memory.
TEST(ExactEnds, FollowsAMediaAtomOverTheRuleLimit) {
  Bytes ftyp;
  samples::AppendText(ftyp, "qt  ");
  samples::AppendBe32(ftyp, 0);
  const uint32_t media = 400u << 20;
  const Bytes head = Concat({samples::Atom("ftyp", ftyp), samples::Atom("wide", {}),
                             samples::AtomHeader("mdat", media + 8)});
  const Bytes moov = samples::Atom("moov", samples::SeededBytes(500, 13));
  samples::TempDir dir;
  const std::string path = dir.File("clip.bin");
  ASSERT_TRUE(samples::WriteFile(path, head));
  const uint64_t moov_at = head.size() + media;
  {
    std::FILE* f = std::fopen(path.c_str(), "r+b");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(fseeko(f, static_cast<off_t>(moov_at), SEEK_SET), 0);
    ASSERT_EQ(std::fwrite(moov.data(), 1, moov.size(), f), moov.size());
    const Bytes tail = samples::SeededBytes(4096, 14);
    ASSERT_EQ(std::fwrite(tail.data(), 1, tail.size(), f), tail.size());
    std::fclose(f);
  }
  for (const bool exact : {false, true}) {
    ScanOptions options;
    options.exact_ends = exact;
    ScanResults results;
    ASSERT_TRUE(RunScan(path, options, results, nullptr, nullptr).ok);
    const auto found = FindAt({results.Found().begin(), results.Found().end()}, 0);
    ASSERT_TRUE(found.has_value());
    EXPECT_EQ(found->type, kTypeMov);
    // The rule stops in front of the media atom.
    EXPECT_EQ(found->length, exact ? moov_at + moov.size() : head.size() - 8);
  }
}

// The ISO family is measured by its box chain in both modes, 64-bit sizes included.
TEST(ExactEnds, IsoFamilyMeasuredByItsBoxChainInBothModes) {
  struct Case {
    FileTypeId type;
    samples::IsoFileOptions file;
  };
  const Case cases[] = {
      {kTypeHeic, {"heic", {"mif1", "heic"}, {{"meta", 300}, {"mdat", 5000}}}},
      {kTypeAvif, {"avif", {"mif1", "avif"}, {{"meta", 200}, {"mdat", 3000, true}}}},
      {kTypeMp4, {"mp42", {"isom", "mp42"}, {{"mdat", 7000, true}, {"moov", 400}}}},
      {kTypeM4a, {"M4A ", {"M4A ", "mp42"}, {{"wide", 0}, {"mdat", 2000}, {"moov", 300}}}},
      {kType3gp, {"3gp4", {"isom", "3gp4"}, {{"free", 0}, {"mdat", 900}, {"moov", 300}}}},
      {kTypeCr3, {"crx ", {"crx ", "isom"}, {{"moov", 900}, {"uuid", 300}, {"mdat", 4000}}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file.major);
    const Bytes file = samples::MakeIsoFile(c.file);
    const Laid laid = Lay(file);
    for (const bool exact : {false, true}) {
      const auto found = FindAt(ScanMedium(laid.medium, exact), laid.offset);
      ASSERT_TRUE(found.has_value());
      EXPECT_EQ(found->type, c.type);
      EXPECT_EQ(found->length, file.size());
    }
  }
}

// A movie of more than 4 GiB, laid out in a sparse file: its length is kept whole.
TEST(ExactEnds, MeasuresAMoviePast4GiB) {
  Bytes ftyp;
  samples::AppendText(ftyp, "qt  ");
  samples::AppendBe32(ftyp, 0);
  samples::AppendText(ftyp, "qt  ");
  const uint64_t media = (uint64_t{5} << 30) + 16;
  const Bytes head =
      Concat({samples::Atom("ftyp", ftyp), samples::Atom("moov", samples::SeededBytes(300, 21)),
              samples::IsoBoxHeader("mdat", media, true)});
  const uint64_t expected = head.size() - 16 + media;
  samples::TempDir dir;
  const std::string path = dir.File("movie.bin");
  ASSERT_TRUE(samples::WriteFile(path, head));
  ASSERT_EQ(truncate(path.c_str(), static_cast<off_t>(expected + 4096)), 0);
  int error = 0;
  const auto source = FileSectorSource::Open(path, OpenOptions{}, &error);
  ASSERT_NE(source, nullptr);
  auto handler = MakeHandler(kTypeMov);
  handler->set_exact_ends(true);
  EXPECT_EQ(media_test::Carve(*handler, *source, 0), expected);
  EXPECT_GT(expected, uint64_t{UINT32_MAX});
  // The scan records the whole length too, where the rules' finds keep their low 32 bits.
  ScanOptions options;
  options.exact_ends = true;
  ScanResults results;
  ASSERT_TRUE(RunScan(*source, options, results, nullptr, nullptr).ok);
  const auto found = FindAt({results.Found().begin(), results.Found().end()}, 0);
  ASSERT_TRUE(found.has_value());
  EXPECT_EQ(found->type, kTypeMov);
  EXPECT_EQ(found->length, expected);
}

TEST(ExactEnds, RecordedLengthsKeepAllTheirBitsInTheMode) {
  const uint64_t measured = (uint64_t{5} << 30) + 7;
  EXPECT_EQ(RecordedLength(kTypeMov, measured), measured & 0xFFFFFFFFu);
  EXPECT_EQ(RecordedLength(kTypeMov, measured, true), measured);
  EXPECT_EQ(RecordedLength(kTypeMp4, measured), measured);
}

// ---- real files ----

struct CorpusCase {
  const char* path;
};

class ExactEndsCorpusTest : public ::testing::TestWithParam<CorpusCase> {};

TEST_P(ExactEndsCorpusTest, RecoversTheSampleByteForByte) {
  // PICTAVO_CORPUS_DIR in the environment points a build outside the usual tree at the samples.
  const char* corpus = std::getenv("PICTAVO_CORPUS_DIR");
  const std::string path =
      corpus ? std::string(corpus) + "/" + GetParam().path : CorpusFile(GetParam().path);
  if (!std::filesystem::exists(path)) GTEST_SKIP() << "corpus sample absent: " << path;
  const Bytes file = samples::ReadFile(path);
  const Laid laid = Lay(file);
  const auto found = FindAt(ScanMedium(laid.medium, true), laid.offset);
  ASSERT_TRUE(found.has_value());
  EXPECT_EQ(found->length, file.size());
}

INSTANTIATE_TEST_SUITE_P(
    Samples, ExactEndsCorpusTest,
    ::testing::Values(
        CorpusCase{"png/fireworks-private-chunks.png"}, CorpusCase{"png/palette-with-eXIf.png"},
        CorpusCase{"jp2/boxes-after-codestream.jp2"}, CorpusCase{"jp2/balloon-tiled.jp2"},
        CorpusCase{"jp2/test-card-rreq-tiled.jp2"}, CorpusCase{"wav/pcm16-list-id3.wav"},
        CorpusCase{"mpeg/taglib-turning-lime-mpeg1ps.mpg"}, CorpusCase{"mpeg/filetype-mpeg1ps.mpg"},
        CorpusCase{"mpeg/generated-mpeg2-dvd.mpg"},
        CorpusCase{"dng/nikon-z9-adobe-dng-complete.dng"},
        CorpusCase{"dng/canon-350d-dng-stripped-bigendian.dng"},
        CorpusCase{"crw/canon-digital-rebel-stripped.crw"},
        CorpusCase{"nef/nikon-d70-stripped.nef"}, CorpusCase{"tiff/bali-lzw-bigendian.tif"},
        CorpusCase{"tiff/cramps-tiled-bigendian.tif"}, CorpusCase{"tiff/fuji-mx2900-camera.tif"},
        CorpusCase{"jpeg_modern/pixel6pro-ultrahdr-gainmap-mpf.jpg"},
        CorpusCase{"jpeg_modern/iphone13mini-hdr-gainmap-mpf.jpg"},
        CorpusCase{"jpeg_modern/motionphoto-v1-jpeg-plus-mp4.jpg"},
        CorpusCase{"jpeg_modern/nintendo3ds-stereo.mpo"}),
    [](const auto& info) {
      std::string name = info.param.path;
      for (char& c : name) {
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
      }
      return name;
    });

}  // namespace
}  // namespace pictavo
