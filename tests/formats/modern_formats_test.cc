// The recognisers of the modern phone and camera formats: ISO base media files by their brands
// and box chains, WebP by its RIFF size, Ogg by its pages, and the DNGs of other makers by the
// extent of their structures. Layouts are built field by field; real samples come from the corpus.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "carve_harness.h"
#include "engine/handler_set.h"
#include "formats/dng_other_handler.h"
#include "formats/iso_media_handler.h"
#include "formats/ogg_handler.h"
#include "formats/webp_handler.h"
#include "platform/memory_source.h"
#include "platform/sector_source.h"
#include "samples/image_builder.h"
#include "samples/media_samples.h"
#include "samples/modern_samples.h"

namespace pictavo {
namespace {

using media_test::Carve;
using media_test::FindAt;
using media_test::Medium;
using samples::Bytes;
using samples::IsoFileOptions;

constexpr FileTypeId kIsoTypes[] = {kTypeHeic, kTypeAvif, kTypeMp4, kTypeM4a, kType3gp, kTypeCr3};

// Which ISO recogniser claims the file at the start of `medium`, and the length it measures.
struct IsoClaim {
  FileTypeId type = kTypeNone;
  uint64_t length = 0;
  int claims = 0;
};
IsoClaim ClaimIso(const Bytes& medium) {
  IsoClaim claim;
  for (const FileTypeId type : kIsoTypes) {
    IsoMediaHandler handler(type);
    if (const auto length = Carve(handler, medium)) {
      claim = {type, *length, claim.claims + 1};
    }
  }
  return claim;
}

struct IsoCase {
  const char* name;
  IsoFileOptions file;
  FileTypeId type;
  uint64_t length;
};

// ftyp with n compatible brands: 16 + 4 n bytes.
const IsoCase kIsoCases[] = {
    {"heic",
     {"heic", {"mif1", "heic"}, {{"meta", 300}, {"mdat", 5000}}},
     kTypeHeic,
     24 + 308 + 5'008},
    {"heix",
     {"heix", {"mif1", "heix"}, {{"meta", 100}, {"free", 50}, {"mdat", 900}}},
     kTypeHeic,
     24 + 108 + 58 + 908},
    {"generic heif brand with heic",
     {"mif1", {"mif1", "heic", "hevc"}, {{"meta", 90}}},
     kTypeHeic,
     28 + 98},
    {"avif",
     {"avif", {"mif1", "avif", "miaf"}, {{"meta", 200}, {"mdat", 700}}},
     kTypeAvif,
     28 + 208 + 708},
    {"generic heif brand with avif",
     {"mif1", {"mif1", "avif"}, {{"meta", 40}, {"mdat", 64}}},
     kTypeAvif,
     24 + 48 + 72},
    {"avif sequence",
     {"avis", {"avis", "msf1"}, {{"meta", 40}, {"moov", 400}, {"mdat", 64}}},
     kTypeAvif,
     24 + 48 + 408 + 72},
    {"mp4 isom",
     {"isom", {"isom", "iso2", "mp41"}, {{"free", 0}, {"mdat", 4000}, {"moov", 600}}},
     kTypeMp4,
     28 + 8 + 4'008 + 608},
    {"mp4 mp42",
     {"mp42", {"isom", "mp42"}, {{"moov", 600}, {"mdat", 4000}, {"uuid", 300}}},
     kTypeMp4,
     24 + 608 + 4'008 + 308},
    {"m4v", {"M4V ", {"M4V ", "mp42"}, {{"moov", 60}, {"mdat", 400}}}, kTypeMp4, 24 + 68 + 408},
    {"m4a",
     {"M4A ", {"M4A ", "mp42", "isom"}, {{"wide", 0}, {"mdat", 900}, {"moov", 300}}},
     kTypeM4a,
     28 + 8 + 908 + 308},
    {"m4b", {"M4B ", {"M4B "}, {{"moov", 300}, {"mdat", 900}}}, kTypeM4a, 20 + 308 + 908},
    {"3gp",
     {"3gp4", {"isom", "3gp4"}, {{"free", 0}, {"mdat", 900}, {"moov", 300}}},
     kType3gp,
     24 + 8 + 908 + 308},
    {"3g2", {"3g2a", {"3g2a"}, {{"moov", 300}, {"mdat", 900}}}, kType3gp, 20 + 308 + 908},
    {"cr3",
     {"crx ", {"crx ", "isom"}, {{"moov", 900}, {"uuid", 300}, {"uuid", 500}, {"mdat", 4000}}},
     kTypeCr3,
     24 + 908 + 308 + 508 + 4'008},
    {"64-bit mdat size",
     {"mp42", {"mp42"}, {{"moov", 100}, {"mdat", 3000, true}}},
     kTypeMp4,
     20 + 108 + 3'016},
    {"unknown printable box is followed",
     {"heic", {"heic"}, {{"meta", 40}, {"mpvd", 90}, {"mdat", 9}}},
     kTypeHeic,
     20 + 48 + 98 + 17},
    {"quicktime is not ours", {"qt  ", {"qt  "}, {{"moov", 100}, {"mdat", 500}}}, kTypeNone, 0},
    {"unknown brand", {"abcd", {"wxyz"}, {{"moov", 100}}}, kTypeNone, 0},
    {"quicktime among unknown brands", {"abcd", {"qt  ", "isom"}, {{"moov", 100}}}, kTypeNone, 0},
    {"ftyp alone", {"heic", {"heic"}, {}}, kTypeNone, 0},
};

TEST(IsoMedia, BrandsNameTheTypeAndBoxesTheLength) {
  for (const IsoCase& c : kIsoCases) {
    SCOPED_TRACE(c.name);
    const Bytes file = samples::MakeIsoFile(c.file);
    if (c.type != kTypeNone) {
      EXPECT_EQ(file.size(), c.length);
    }
    // Random bytes behind the file: the chain ends at the first bytes that are no box.
    const IsoClaim claim = ClaimIso(Medium(file, samples::RandomBytes(700, 5)));
    EXPECT_EQ(claim.type, c.type);
    EXPECT_EQ(claim.length, c.length);
    EXPECT_LE(claim.claims, 1);
  }
}

TEST(IsoMedia, SecondFtypEndsTheChain) {
  const Bytes first = samples::MakeIsoFile({"heic", {"heic"}, {{"meta", 40}, {"mdat", 100}}});
  Bytes medium = first;
  samples::Append(medium, samples::MakeIsoFile({"heic", {"heic"}, {{"meta", 50}}}));
  const IsoClaim claim = ClaimIso(Medium(medium));
  EXPECT_EQ(claim.type, kTypeHeic);
  EXPECT_EQ(claim.length, first.size());
}

TEST(IsoMedia, OpenEndedBoxEndsAtTheEndOfTheMedium) {
  Bytes file = samples::FtypBox("mp42", {"mp42"});
  samples::Append(file, samples::IsoBox("moov", samples::SeededBytes(100, 1)));
  samples::Append(file, samples::IsoBoxHeader("mdat", 0));
  const Bytes medium = Medium(file, samples::SeededBytes(3000, 2));
  MemorySectorSource source(medium, 512);
  IsoMediaHandler handler(kTypeMp4);
  EXPECT_EQ(Carve(handler, source), medium.size());
  EXPECT_EQ(handler.last_chain().end, IsoChainEnd::kOpenEnded);
}

TEST(IsoMedia, KnownBoxPastTheMediumIsCutThereUnknownOneEndsTheChain) {
  Bytes file = samples::FtypBox("mp42", {"mp42"});
  samples::Append(file, samples::IsoBox("moov", samples::SeededBytes(100, 1)));
  const size_t before_box = file.size();
  samples::Append(file, samples::IsoBoxHeader("mdat", 1'000'000));
  const Bytes medium = Medium(file);
  MemorySectorSource source(medium, 512);
  IsoMediaHandler handler(kTypeMp4);
  EXPECT_EQ(Carve(handler, source), medium.size());
  EXPECT_EQ(handler.last_chain().end, IsoChainEnd::kLimit);

  Bytes odd = samples::FtypBox("mp42", {"mp42"});
  samples::Append(odd, samples::IsoBox("moov", samples::SeededBytes(100, 1)));
  samples::Append(odd, samples::IsoBoxHeader("zzzz", 1'000'000));
  EXPECT_EQ(Carve(handler, Medium(odd)), before_box);
}

TEST(IsoMedia, ImplausibleBoxesEndTheChain) {
  struct Tail {
    const char* name;
    Bytes bytes;
  };
  const Tail tails[] = {
      {"zeros", Bytes(64, 0)},
      {"size below 8", samples::IsoBoxHeader("free", 7)},
      {"type not printable", {0, 0, 0, 16, 'f', 0xE9, 'e', 'e', 0, 0, 0, 0, 0, 0, 0, 0}},
      {"64-bit size below 16", samples::IsoBoxHeader("mdat", 15, true)},
      {"jpeg behind", {0xFF, 0xD8, 0xFF, 0xE0, 0, 16, 'J', 'F', 'I', 'F', 0}},
  };
  const Bytes file = samples::MakeIsoFile({"avif", {"avif"}, {{"meta", 40}, {"mdat", 100}}});
  for (const Tail& tail : tails) {
    SCOPED_TRACE(tail.name);
    EXPECT_EQ(ClaimIso(Medium(file, tail.bytes)).length, file.size());
  }
}

// A movie whose media box has size 0 ("to the end of the file"), behind a moov whose sample
// tables list two tracks; the second track's chunk ends last, 1,000 bytes into the media.
Bytes OpenEndedMovie(std::string_view major, bool wide_offsets, int64_t shift = 0) {
  const Bytes ftyp = samples::FtypBox(major, {major});
  auto tracks = [&](uint64_t media) {
    const uint64_t at = static_cast<uint64_t>(static_cast<int64_t>(media) + shift);
    return std::vector<samples::SampleTrack>{
        {{at + 300, at}, 2, {100, 200, 50, 250}, wide_offsets},
        {{at + 600}, 1, {400}, wide_offsets},
    };
  };
  const uint64_t media = ftyp.size() + samples::MoovWithSampleTables(tracks(0)).size() + 8;
  Bytes file = ftyp;
  samples::Append(file, samples::MoovWithSampleTables(tracks(media)));
  samples::Append(file, samples::IsoBoxHeader("mdat", 0));
  samples::Append(file, samples::SeededBytes(1000, 7));
  return file;
}

TEST(IsoMedia, OpenEndedMediaBoxEndsWithTheLastSampleInTheExactEndsMode) {
  for (const bool wide : {false, true}) {
    SCOPED_TRACE(wide ? "co64" : "stco");
    const Bytes file = OpenEndedMovie("mp42", wide);
    const Bytes medium = Medium(file, samples::SeededBytes(3000, 8));
    MemorySectorSource source(medium, 512);
    IsoMediaHandler handler(kTypeMp4);
    handler.set_exact_ends(true);
    EXPECT_EQ(Carve(handler, source), file.size());
    EXPECT_EQ(handler.last_chain().end, IsoChainEnd::kOpenEndedByMoov);
    // Without the mode the file runs to the limit, as the box says.
    handler.set_exact_ends(false);
    EXPECT_EQ(Carve(handler, source), medium.size());
    EXPECT_EQ(handler.last_chain().end, IsoChainEnd::kOpenEnded);
  }
}

// A HEIF still whose media box has size 0, behind a meta box whose item locations (version 0 or
// 1) place two items in it, the second one ending 1,200 bytes into it; version 1 also lists an
// item kept in the meta box's own data.
Bytes OpenEndedHeif(uint8_t iloc_version) {
  const Bytes ftyp = samples::FtypBox("heic", {"mif1", "heic"});
  auto meta = [&](uint32_t data) {
    Bytes iloc = {iloc_version, 0, 0, 0};
    samples::AppendBe16(iloc, 0x4440);  // 4-byte offsets, lengths and base offsets
    samples::AppendBe16(iloc, iloc_version == 0 ? 2 : 3);
    struct Item {
      uint16_t method;
      uint32_t base, offset, length;
    };
    const Item items[] = {{0, data, 0, 700}, {0, 0, data + 700, 500}, {1, 0, 5, 10}};
    for (uint16_t i = 0; i < (iloc_version == 0 ? 2 : 3); ++i) {
      samples::AppendBe16(iloc, static_cast<uint16_t>(i + 1));
      if (iloc_version == 1) samples::AppendBe16(iloc, items[i].method);
      samples::AppendBe16(iloc, 0);
      samples::AppendBe32(iloc, items[i].base);
      samples::AppendBe16(iloc, 1);
      samples::AppendBe32(iloc, items[i].offset);
      samples::AppendBe32(iloc, items[i].length);
    }
    Bytes contents = {0, 0, 0, 0};
    samples::Append(contents, samples::IsoBox("hdlr", samples::SeededBytes(25, 3)));
    samples::Append(contents, samples::IsoBox("iloc", iloc));
    samples::Append(contents, samples::IsoBox("idat", samples::SeededBytes(20, 4)));
    return samples::IsoBox("meta", contents);
  };
  const uint32_t data = static_cast<uint32_t>(ftyp.size() + meta(0).size() + 8);
  Bytes file = ftyp;
  samples::Append(file, meta(data));
  samples::Append(file, samples::IsoBoxHeader("mdat", 0));
  samples::Append(file, samples::SeededBytes(1200, 5));
  return file;
}

TEST(IsoMedia, OpenEndedStillEndsWithItsLastItemInTheExactEndsMode) {
  for (const uint8_t version : {0, 1}) {
    SCOPED_TRACE(version);
    const Bytes file = OpenEndedHeif(version);
    const Bytes medium = Medium(file, samples::SeededBytes(3000, 8));
    MemorySectorSource source(medium, 512);
    IsoMediaHandler handler(kTypeHeic);
    handler.set_exact_ends(true);
    EXPECT_EQ(Carve(handler, source), file.size());
    EXPECT_EQ(handler.last_chain().end, IsoChainEnd::kOpenEndedByMoov);
    handler.set_exact_ends(false);
    EXPECT_EQ(Carve(handler, source), medium.size());
  }
}

TEST(IsoMedia, OpenEndedMediaBoxWhoseTablesDoNotFitRunsToTheLimit) {
  struct Case {
    const char* name;
    int64_t shift;
  };
  // Samples that end before the media box starts, or beyond the end of the medium.
  for (const Case& c : {Case{"before", -2000}, Case{"beyond", 1 << 20}}) {
    SCOPED_TRACE(c.name);
    const Bytes medium =
        Medium(OpenEndedMovie("mp42", false, c.shift), samples::SeededBytes(900, 9));
    MemorySectorSource source(medium, 512);
    IsoMediaHandler handler(kTypeMp4);
    handler.set_exact_ends(true);
    EXPECT_EQ(Carve(handler, source), medium.size());
    EXPECT_EQ(handler.last_chain().end, IsoChainEnd::kOpenEnded);
  }
}

// A sparse file stands for a medium with a 5 GiB movie: the chain reads only box headers.
std::unique_ptr<FileSectorSource> SparseMedium(const samples::TempDir& dir, const Bytes& head,
                                               uint64_t size) {
  const std::string path = dir.File("sparse.img");
  EXPECT_TRUE(samples::WriteFile(path, head));
  EXPECT_EQ(truncate(path.c_str(), static_cast<off_t>(size)), 0);
  int error = 0;
  return FileSectorSource::Open(path, OpenOptions{}, &error);
}

TEST(IsoMedia, LengthsPast4GiBAreKeptWhole) {
  Bytes file = samples::FtypBox("mp42", {"mp42"});
  samples::Append(file, samples::IsoBox("moov", samples::SeededBytes(100, 1)));
  const uint64_t mdat_size = (uint64_t{5} << 30) + 24;
  samples::Append(file, samples::IsoBoxHeader("mdat", mdat_size, true));
  const uint64_t expected = file.size() - 16 + mdat_size;
  samples::TempDir dir;
  const auto source = SparseMedium(dir, file, expected + 8192);
  ASSERT_NE(source, nullptr);
  IsoMediaHandler handler(kTypeMp4);
  EXPECT_EQ(Carve(handler, *source), expected);
  EXPECT_GT(expected, uint64_t{0xFFFFFFFF});
}

struct WebpCase {
  const char* name;
  samples::WebpOptions options;
};

TEST(Webp, RiffSizeGivesTheLength) {
  const WebpCase cases[] = {
      {"lossy", {samples::WebpKind::kLossy, 1500, 0}},
      {"lossy, odd image size padded", {samples::WebpKind::kLossy, 1501, 0}},
      {"lossless", {samples::WebpKind::kLossless, 900, 0}},
      {"extended with metadata after the image", {samples::WebpKind::kExtended, 1200, 3}},
  };
  for (const WebpCase& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes file = samples::MakeWebp(c.options);
    WebpHandler handler;
    EXPECT_EQ(Carve(handler, Medium(file, samples::RandomBytes(900, 3))), file.size());
  }
}

TEST(Webp, FirstChunkMustFitAndStartLikeItsData) {
  struct Damage {
    const char* name;
    size_t at;
    uint8_t value;
  };
  const Damage damages[] = {
      {"first chunk larger than the RIFF size", 19, 0x10},
      {"lossy without the key-frame start code", 24, 0x00},
      {"lossless without its signature byte", 20, 0x00},  // the lossy frame tag stays lossy-like
      {"unknown first chunk", 15, 'Q'},
      {"odd RIFF size", 4, 0x01},
  };
  for (const Damage& d : damages) {
    SCOPED_TRACE(d.name);
    Bytes file = samples::MakeWebp(
        {d.at == 20 ? samples::WebpKind::kLossless : samples::WebpKind::kLossy, 1500, 0});
    file[d.at] = d.value;
    WebpHandler handler;
    EXPECT_EQ(Carve(handler, Medium(file)), std::nullopt);
  }
}

TEST(Ogg, PagesUpToTheEndOfTheFirstStream) {
  const Bytes file = samples::MakeOgg({});
  OggHandler handler;
  MemorySectorSource source(Medium(file, samples::RandomBytes(3000, 4)), 512);
  EXPECT_EQ(Carve(handler, source), file.size());
  EXPECT_TRUE(handler.last_ended_at_eos());

  // A second file right behind: the first ends at its end-of-stream page.
  Bytes two = file;
  samples::Append(two, samples::MakeOgg({.serial = 99}));
  EXPECT_EQ(Carve(handler, Medium(two)), file.size());
}

TEST(Ogg, CutStreamEndsBeforeTheNextFile) {
  const Bytes cut = samples::MakeOgg({.pages = 3, .end_of_stream = false});
  Bytes medium = cut;
  samples::Append(medium, samples::MakeOgg({.serial = 77}));
  OggHandler handler;
  EXPECT_EQ(Carve(handler, Medium(medium)), cut.size());
  EXPECT_FALSE(handler.last_ended_at_eos());
}

TEST(Ogg, DamagedPageEndsTheFile) {
  const samples::OggOptions options{.pages = 5, .packet_bytes = 300};
  Bytes file = samples::MakeOgg(options);
  // The first page holds 27 + 1 + 19 bytes, each audio page 27 + 2 + 300.
  const size_t first_page = 27 + 1 + 19;
  const size_t audio_page = 27 + 2 + 300;
  file[first_page + 2 * audio_page + 100] ^= 0x40;  // inside the third audio page
  OggHandler handler;
  EXPECT_EQ(Carve(handler, Medium(file)), first_page + 2 * audio_page);
  // A damaged first page is no candidate.
  Bytes bad_first = samples::MakeOgg(options);
  bad_first[40] ^= 1;
  EXPECT_EQ(Carve(handler, Medium(bad_first)), std::nullopt);
}

TEST(Ogg, OnlyTheFirstPageOfAStreamStartsAFile) {
  const Bytes file = samples::MakeOgg({});
  const Bytes second_page(file.begin() + 47, file.end());
  OggHandler handler;
  EXPECT_EQ(Carve(handler, Medium(second_page)), std::nullopt);
}

TEST(DngOther, ExtentOfEveryStructure) {
  for (const bool little_endian : {true, false}) {
    SCOPED_TRACE(little_endian ? "II" : "MM");
    const Bytes file = samples::MakeDng({.little_endian = little_endian});
    DngOtherHandler handler;
    EXPECT_EQ(Carve(handler, Medium(file, samples::RandomBytes(5000, 6))), file.size());
  }
  // A maker note of 4 bytes is held in its entry: the 4 bytes the layout also writes at the
  // end belong to no structure, and the file ends with the Exif IFD.
  const Bytes short_note = samples::MakeDng({.maker_note_bytes = 4});
  DngOtherHandler handler;
  EXPECT_EQ(Carve(handler, Medium(short_note)), short_note.size() - 4);
}

TEST(DngOther, NeedsDngVersionInTheFirstIfd) {
  Bytes file = samples::MakeDng({});
  // IFD0's last entry is DNGVersion (0xC612), at 8 + 2 + 6 * 12.
  file[8 + 2 + 6 * 12] = 0x13;
  DngOtherHandler handler;
  EXPECT_EQ(Carve(handler, Medium(file)), std::nullopt);
}

// With every type selected, the modern files are found whole under their own types; with only
// the classic types, exactly what the classic recognisers find.
TEST(ModernScan, EachFileFoundWholeUnderItsType) {
  struct Placed {
    FileTypeId type;
    Bytes bytes;
    uint64_t offset = 0;
  };
  std::vector<Placed> files = {
      {kTypeHeic, samples::MakeIsoFile({})},
      {kTypeAvif, samples::MakeIsoFile({"avif", {"mif1", "avif"}, {{"meta", 90}, {"mdat", 3000}}})},
      {kTypeMp4, samples::MakeIsoFile({"isom", {"isom"}, {{"mdat", 9000}, {"moov", 700}}})},
      {kTypeM4a, samples::MakeIsoFile({"M4A ", {"M4A "}, {{"mdat", 2000}, {"moov", 300}}})},
      {kType3gp, samples::MakeIsoFile({"3gp5", {"3gp5"}, {{"moov", 500}, {"mdat", 2000}}})},
      {kTypeCr3, samples::MakeIsoFile({"crx ", {"crx "}, {{"moov", 800}, {"mdat", 6000}}})},
      {kTypeWebp, samples::MakeWebp({})},
      {kTypeOgg, samples::MakeOgg({})},
      {kTypeDngOther, samples::MakeDng({})},
  };
  samples::ImageBuilder builder(512, 31);
  for (Placed& file : files) {
    builder.Gap(3, samples::ImageBuilder::Fill::kRandom);
    file.offset = builder.Place(file.bytes, samples::ImageBuilder::Fill::kRandom);
  }
  builder.Gap(8, samples::ImageBuilder::Fill::kRandom);
  const auto found = media_test::ScanAll(builder.bytes());
  for (const Placed& file : files) {
    SCOPED_TRACE(TypeNameOf(file.type));
    const auto find = FindAt(found, file.offset);
    ASSERT_TRUE(find.has_value());
    EXPECT_EQ(find->type, file.type);
    EXPECT_EQ(find->length, file.bytes.size());
  }

  MemorySectorSource source(builder.bytes(), 512);
  FileTypeSelection classic;
  classic.SelectClassicOnly();
  ScanResults results;
  ASSERT_TRUE(RunScan(source, classic, results, nullptr, nullptr).ok);
  for (const FoundFile& find : results.Found()) EXPECT_TRUE(IsClassicType(find.type));
  // The DNG is a TIFF to the classic types.
  const auto dng = FindAt({results.Found().begin(), results.Found().end()}, files.back().offset);
  ASSERT_TRUE(dng.has_value());
  EXPECT_EQ(dng->type, kTypeTiff);
}

// Real files from phones and cameras, laid between random bytes. Complete files must be found
// whole; the others are listed with what happens to them.
struct CorpusSample {
  const char* path;
  FileTypeId type;
  // True when the file is complete and must be found with exactly its own length.
  bool whole;
  const char* why;
};

const CorpusSample kCorpus[] = {
    {"heic/iphone13pro-grid8x6-depth.heic", kTypeHeic, true, ""},
    {"heic/samsung-s22plus-motionphoto-mpvd-sefd.heic", kTypeHeic, true, ""},
    {"heic/samsung-s25u-mdat-first-gainmap-sefd.heic", kTypeHeic, true, ""},
    {"heic/sony-a7s3-10bit-heix-grid2x2.hif", kTypeHeic, true, ""},
    {"heic/libheif-example-five-mdat-boxes.heic", kTypeHeic, true, ""},
    {"avif/ms-tomsk-grid5x4-6400x2880.avif", kTypeAvif, true, ""},
    {"avif/ms-bbb-4k-alpha-exif.avif", kTypeAvif, true, ""},
    {"avif/ms-tomsk-with-thumbnails.avif", kTypeAvif, true, ""},
    {"avif/xiph-fruits-2layer-progressive.avif", kTypeAvif, true, ""},
    {"avif/linku-fox-10bit-420.avif", kTypeAvif, true, ""},
    {"avif/linku-star-10bit-alpha-animated.avifs", kTypeAvif, true, ""},
    {"webp/libwebp-vp8-simple-riff-info-chunks.webp", kTypeWebp, true, ""},
    {"webp/libwebp-vp8l-lossless-1000x307.webp", kTypeWebp, true, ""},
    {"webp/libwebp-vp8x-alph-lossy-alpha.webp", kTypeWebp, true, ""},
    {"webp/pillow-animated-42frames.webp", kTypeWebp, true, ""},
    {"webp/exiv2-nikon-d5300-iccp-exif-xmp.webp", kTypeWebp, true, ""},
    {"mp4/android6-phone-1080p-moov-last.mp4", kTypeMp4, true, ""},
    {"mp4/apple-h264-540p-moov-first-xmp-uuid-after-mdat.mp4", kTypeMp4, true, ""},
    {"mp4/ffmpeg-hevc-aac-tiny.mp4", kTypeMp4, true, ""},
    {"3gp/quicktime-mpeg4-amr-2005-moov-first.3gp", kType3gp, true, ""},
    {"3gp/ffmpeg-h263-amr-3gp4-moov-last.3gp", kType3gp, true, ""},
    {"m4a/faac-aac-moov-last.m4a", kTypeMp4, true,
     "found whole as MP4: its brands (mp42, isom) do not say that it holds sound only"},
    {"m4a/coremedia-m4a-brand-wide-mdat-moov.m4a", kTypeM4a, true, ""},
    {"ogg/vorbis-stereo-libvorbis.ogg", kTypeOgg, true, ""},
    {"ogg/flac-in-ogg.oga", kTypeOgg, true, ""},
    {"opus/libopus-mono.opus", kTypeOgg, true, ""},
    {"opus/opusenc-stereo-tags.opus", kTypeOgg, true, ""},
    {"cr3/canon-m50-stripped.cr3", kTypeCr3, true,
     "stripped, but its boxes end at the end of the file, so the box chain covers it whole"},
    {"cr3/canon-r6-pruned-no-mdat.cr3", kTypeCr3, true,
     "pruned of its mdat; the remaining boxes end at the end of the file"},
    {"cr3/canon-eosr-first-128KiB.cr3", kTypeCr3, false,
     "cut at 128 KiB inside its PRVW uuid box, whose size points 272,170 bytes further: the "
     "chain takes the whole box into random bytes"},
    {"dng/iphone12pro-proraw-first-64104B.dng", kTypeDngOther, false,
     "cut at 64,104 bytes; its tiles point up to byte 29,195,592, which is what is measured"},
    {"dng/canon-350d-dng-stripped-bigendian.dng", kTypeDngOther, true, ""},
    {"dng/nikon-z9-adobe-dng-complete.dng", kTypeNef, false,
     "the NEF recogniser of the classic set claims it first (Make NIKON)"},
    {"dng/leica-m10-first100000B.dng", kTypeDng, false,
     "cut at 100,000 bytes; a Leica DNG belongs to the classic DNG recogniser"},
};

// The corpus folder: PICTAVO_CORPUS in the environment, or the one beside the source tree.
std::string CorpusRoot() {
  const char* root = std::getenv("PICTAVO_CORPUS");
  return root && *root ? root : PICTAVO_CORPUS_DIR;
}

TEST(ModernCorpus, RealFilesFoundWholeBetweenRandomBytes) {
  int tried = 0;
  for (const CorpusSample& sample : kCorpus) {
    const Bytes bytes = samples::ReadFile(CorpusRoot() + "/" + sample.path);
    if (bytes.empty()) continue;
    ++tried;
    SCOPED_TRACE(std::string(sample.path) + (*sample.why ? ": " : "") + sample.why);
    for (const uint32_t lead : {0u, 5u}) {
      const auto placed = media_test::PlaceAndScan(bytes, lead);
      ASSERT_TRUE(placed.found.has_value());
      EXPECT_EQ(placed.found->type, sample.type);
      if (sample.whole) {
        EXPECT_EQ(placed.found->length, bytes.size());
      } else {
        EXPECT_NE(placed.found->length, bytes.size());
      }
    }
  }
  if (tried == 0) GTEST_SKIP() << "corpus not present at " << CorpusRoot();
}

}  // namespace
}  // namespace pictavo
