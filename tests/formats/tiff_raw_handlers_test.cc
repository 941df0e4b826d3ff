// The camera raw handlers built on the TIFF structure, on files laid out byte by byte.
#include "formats/tiff_raw_handlers.h"

#include <string>

#include "formats/arw_handler.h"
#include "formats/cr2_handler.h"
#include "formats/dng_handler.h"
#include "formats/tiff_handler.h"
#include "tiff_test_support.h"

namespace pictavo {
namespace {

using namespace tiff_test;

constexpr uint64_t kCap = TiffStructureWalker::kMaxLength;

// Runs a handler on a layout in both byte orders (and a few sectors into the medium) and checks
// that it is accepted with the given length, or rejected when `length` is unset.
template <class Handler, class Build>
void Expect(const char* name, Build build, std::optional<uint64_t> length,
            uint16_t sector_size = 512) {
  for (const bool little : {true, false}) {
    for (const uint32_t lead : {0u, 5u}) {
      SCOPED_TRACE(std::string(name) + (little ? " II" : " MM") + " lead " + std::to_string(lead));
      TiffLayout tiff(little, 8);
      build(tiff);
      const Outcome outcome = RunHandler<Handler>(tiff.bytes(), sector_size, lead);
      ASSERT_TRUE(outcome.matched);
      EXPECT_EQ(outcome.verified, length.has_value());
      if (length) {
        EXPECT_EQ(outcome.length, *length);
      }
    }
  }
}

template <class Handler>
bool Matches(std::initializer_list<uint8_t> bytes) {
  uint8_t head[kSectorHeadSize] = {};
  std::copy(bytes.begin(), bytes.end(), head);
  Handler handler;
  return handler.MatchSignature(head);
}

// ---- NEF ----

// A first directory with a Make text and SubIFDs naming the directory at 400, which holds a
// strip; the first directory's own strip (the preview) is not measured.
void NefWithSubIfd(TiffLayout& t, const char* make) {
  t.PutIfd(8,
           {{271, kAscii, static_cast<uint32_t>(std::string(make).size() + 1), 200},
            {273, kLong, 1, 300},
            {279, kLong, 1, 50},
            {330, kLong, 1, 400}},
           0);
  t.PutText(200, make);
  t.PutIfd(400, {{273, kLong, 1, 100'000}, {279, kLong, 1, 5'000'000}}, 0);
}

TEST(NefHandler, Headers) {
  EXPECT_TRUE(Matches<NefHandler>({'I', 'I', 0x2A, 0}));
  EXPECT_TRUE(Matches<NefHandler>({'M', 'M', 0, 0x2A}));
  EXPECT_TRUE(Matches<NefHandler>({'m', 'm', 0x2A, 0}));
  EXPECT_TRUE(Matches<NefHandler>({'m', 'm', 0, 0x2A}));
  EXPECT_FALSE(Matches<NefHandler>({'I', 'I', 0, 0x2A}));
  EXPECT_FALSE(Matches<NefHandler>({'M', 'm', 0, 0x2A}));
  // "mm" takes the byte order from the version word.
  for (const bool little : {true, false}) {
    TiffLayout t(little, 8);
    NefWithSubIfd(t, "NIKON");
    little ? t.SetMagic('m', 'm', 0x2A, 0) : t.SetMagic('m', 'm', 0, 0x2A);
    EXPECT_EQ(RunHandler<NefHandler>(t.bytes()).length, 5'100'000u);
  }
}

TEST(NefHandler, MakerTest) {
  Expect<NefHandler>(
      "NIKON with more words", [](TiffLayout& t) { NefWithSubIfd(t, "NIKON CORPORATION"); },
      5'100'000);
  Expect<NefHandler>(
      "nikon", [](TiffLayout& t) { NefWithSubIfd(t, "nikon"); }, 5'100'000);
  Expect<NefHandler>(
      "mixed case", [](TiffLayout& t) { NefWithSubIfd(t, "Nikon Corporation"); }, std::nullopt);
  Expect<NefHandler>(
      "cut name", [](TiffLayout& t) { NefWithSubIfd(t, "NIKO"); }, std::nullopt);
  Expect<NefHandler>(
      "Make after SubIFDs",
      [](TiffLayout& t) {
        t.PutIfd(8, {{330, kLong, 1, 400}, {271, kAscii, 6, 200}}, 0);
        t.PutText(200, "NIKON");
      },
      std::nullopt);
  Expect<NefHandler>(
      "Make not of type ASCII",
      [](TiffLayout& t) {
        t.PutIfd(8, {{271, kUndefined, 6, 200}, {330, kLong, 1, 400}}, 0);
        t.PutText(200, "NIKON");
      },
      std::nullopt);
  // Any passing Make entry counts, also a second one.
  Expect<NefHandler>(
      "second Make passes",
      [](TiffLayout& t) {
        t.PutIfd(8, {{271, kAscii, 6, 200}, {271, kAscii, 6, 210}, {330, kLong, 1, 400}}, 0);
        t.PutText(200, "Canon");
        t.PutText(210, "NIKON");
        t.PutIfd(400, {{273, kLong, 1, 1000}, {279, kLong, 1, 24}}, 0);
      },
      1024);
}

TEST(NefHandler, MeasuresTheSubIfdChains) {
  Expect<NefHandler>(
      "no sub-IFDs",
      [](TiffLayout& t) {
        t.PutIfd(8, {{271, kAscii, 6, 200}, {273, kLong, 1, 300}, {279, kLong, 1, 50}}, 0);
        t.PutText(200, "NIKON");
      },
      kCap);
  // The first chain runs through two directories; the second sub-IFD adds its byte count.
  Expect<NefHandler>(
      "two sub-IFD chains",
      [](TiffLayout& t) {
        t.PutIfd(8, {{271, kAscii, 6, 200}, {330, kLong, 2, 220}}, 0);
        t.PutText(200, "NIKON");
        t.PutArray(220, {1000, 2000});
        t.PutIfd(1000, {{273, kLong, 1, 5000}, {279, kLong, 1, 100}}, 1500);
        t.PutIfd(1500, {{273, kLong, 1, 6000}, {279, kLong, 1, 200}}, 0);
        t.PutIfd(2000, {{279, kLong, 1, 7}}, 0);
      },
      6000 + 200 + 7);
  Expect<NefHandler>(
      "multi-strip, directory behind the data",
      [](TiffLayout& t) {
        t.PutIfd(8, {{271, kAscii, 6, 200}, {330, kLong, 1, 9000}}, 0);
        t.PutText(200, "NIKON");
        t.PutIfd(9000, {{273, kLong, 3, 9100}, {279, kLong, 3, 9112}}, 0);
        t.PutArray(9100, {300, 2000, 5000});
        t.PutArray(9112, {1700, 3000, 1000});
      },
      5000 + TiffIfdSize(2) + 1000);
  Expect<NefHandler>(
      "single strip, directory behind the data",
      [](TiffLayout& t) {
        t.PutIfd(8, {{271, kAscii, 6, 200}, {330, kLong, 1, 9000}}, 0);
        t.PutText(200, "NIKON");
        t.PutIfd(9000, {{273, kLong, 1, 5000}, {279, kLong, 1, 1000}}, 0);
      },
      5000 + 1000);
  Expect<NefHandler>(
      "zero last element ends the chain",
      [](TiffLayout& t) {
        t.PutIfd(8, {{271, kAscii, 6, 200}, {330, kLong, 1, 1000}}, 0);
        t.PutText(200, "NIKON");
        t.PutIfd(1000, {{273, kLong, 1, 3000}, {279, kLong, 2, 1100}}, 1500);
        t.PutArray(1100, {50, 0});
        t.PutIfd(1500, {{273, kLong, 1, 6000}, {279, kLong, 1, 200}}, 0);
      },
      3000);
}

TEST(NefHandler, ChainsThatComeBackEnd) {
  Expect<NefHandler>(
      "sub-IFD naming itself",
      [](TiffLayout& t) {
        t.PutIfd(8, {{271, kAscii, 6, 200}, {330, kLong, 1, 1000}}, 0);
        t.PutText(200, "NIKON");
        t.PutIfd(1000, {{273, kLong, 1, 3000}, {279, kLong, 1, 200}}, 1000);
      },
      3200);
  Expect<NefHandler>(
      "two sub-IFDs naming each other",
      [](TiffLayout& t) {
        t.PutIfd(8, {{271, kAscii, 6, 200}, {330, kLong, 2, 220}}, 0);
        t.PutText(200, "NIKON");
        t.PutArray(220, {1000, 2000});
        t.PutIfd(1000, {{273, kLong, 1, 3000}, {279, kLong, 1, 200}}, 2000);
        t.PutIfd(2000, {{279, kLong, 1, 5}}, 1000);
      },
      3205);
  Expect<NefHandler>(
      "sub-IFD chain through the first directory",
      [](TiffLayout& t) {
        t.PutIfd(8, {{271, kAscii, 6, 200}, {273, kLong, 1, 70}, {330, kLong, 1, 1000}}, 1000);
        t.PutText(200, "NIKON");
        t.PutIfd(1000, {{279, kLong, 1, 5}}, 8);
      },
      70);
}

TEST(NefHandler, SubIfdPairAnywhereInALargeSector) {
  // With 4,096-byte sectors the pair array sits 3,000 bytes into its sector.
  Expect<NefHandler>(
      "pair late in a 4 KiB sector",
      [](TiffLayout& t) {
        t.PutIfd(8, {{271, kAscii, 6, 200}, {330, kLong, 2, 4096 + 3000}}, 0);
        t.PutText(200, "NIKON");
        t.PutArray(4096 + 3000, {9000, 0});
        t.PutIfd(9000, {{273, kLong, 1, 20000}, {279, kLong, 1, 300}}, 0);
      },
      20300, 4096);
}

// ---- ORF and Panasonic ----

TEST(OrfHandler, HeadersAndMakerTest) {
  EXPECT_TRUE(Matches<OrfHandler>({'I', 'I', 'R', 'O'}));
  EXPECT_TRUE(Matches<OrfHandler>({'I', 'I', 'R', 'S'}));
  EXPECT_TRUE(Matches<OrfHandler>({'M', 'M', 'O', 'R'}));
  EXPECT_TRUE(Matches<OrfHandler>({'M', 'M', 'S', 'R'}));
  EXPECT_FALSE(Matches<OrfHandler>({'I', 'I', 'O', 'R'}));
  EXPECT_FALSE(Matches<OrfHandler>({'I', 'I', 0x2A, 0}));
  EXPECT_FALSE(Matches<OrfHandler>({'M', 'M', 'R', 'O'}));

  const auto orf = [](const char* make) {
    return [make](TiffLayout& t) {
      t.little_endian() ? t.SetMagic('I', 'I', 'R', 'O') : t.SetMagic('M', 'M', 'O', 'R');
      t.PutIfd(8, {{271, kAscii, 20, 200}, {273, kLong, 1, 3000}, {279, kLong, 1, 1000}}, 0);
      t.PutText(200, make);
    };
  };
  Expect<OrfHandler>("OLYMPUS", orf("OLYMPUS IMAGING CORP."), 4000);
  Expect<OrfHandler>("OLYM", orf("OLYM"), 4000);
  Expect<OrfHandler>("Olympus", orf("Olympus"), std::nullopt);
  // Only the first Make entry is read, whatever its type.
  Expect<OrfHandler>(
      "first Make decides",
      [](TiffLayout& t) {
        t.little_endian() ? t.SetMagic('I', 'I', 'R', 'S') : t.SetMagic('M', 'M', 'S', 'R');
        t.PutIfd(8, {{271, kUndefined, 8, 200}, {271, kAscii, 8, 210}}, 0);
        t.PutText(200, "OLYMPUS");
        t.PutText(210, "NIKON");
      },
      0);
  Expect<OrfHandler>(
      "no Make",
      [](TiffLayout& t) {
        t.little_endian() ? t.SetMagic('I', 'I', 'R', 'O') : t.SetMagic('M', 'M', 'O', 'R');
        t.PutIfd(8, {{273, kLong, 1, 3000}, {279, kLong, 1, 1000}}, 0);
      },
      std::nullopt);
}

// An Olympus file with `ifds` directories in a chain, directory i holding one strip that ends at
// 10,000 x (i + 1).
void OrfChain(TiffLayout& t, uint32_t ifds) {
  t.little_endian() ? t.SetMagic('I', 'I', 'R', 'O') : t.SetMagic('M', 'M', 'O', 'R');
  t.PutText(200, "OLYMPUS");
  for (uint32_t i = 0; i < ifds; ++i) {
    const uint32_t at = i == 0 ? 8 : 300 + 100 * i;
    const uint32_t next = i + 1 < ifds ? 300 + 100 * (i + 1) : 0;
    std::vector<TiffField> fields = {{273, kLong, 1, 10'000 * (i + 1) - 100}, {279, kLong, 1, 100}};
    if (i == 0) fields.insert(fields.begin(), {271, kAscii, 8, 200});
    t.PutIfd(at, fields, next);
  }
}

TEST(OrfHandler, MeasuresTheFirstFourDirectories) {
  Expect<OrfHandler>(
      "one", [](TiffLayout& t) { OrfChain(t, 1); }, 10'000);
  Expect<OrfHandler>(
      "four", [](TiffLayout& t) { OrfChain(t, 4); }, 40'000);
  Expect<OrfHandler>(
      "six", [](TiffLayout& t) { OrfChain(t, 6); }, 40'000);
  // The walk of a directory ends at its first byte counts: the later strip is not seen.
  Expect<OrfHandler>(
      "stops after the byte counts",
      [](TiffLayout& t) {
        t.little_endian() ? t.SetMagic('I', 'I', 'R', 'O') : t.SetMagic('M', 'M', 'O', 'R');
        t.PutIfd(8,
                 {{271, kAscii, 8, 200},
                  {273, kLong, 1, 3000},
                  {279, kLong, 1, 1000},
                  {273, kLong, 1, 9000}},
                 0);
        t.PutText(200, "OLYMPUS");
      },
      4000);
  Expect<OrfHandler>(
      "directory naming itself",
      [](TiffLayout& t) {
        OrfChain(t, 1);
        t.Put32(8 + 2 + 3 * 12, 8);
      },
      10'000);
}

TEST(PanasonicRawHandler, HeadersMakerTestAndUnsetOffset) {
  EXPECT_TRUE(Matches<PanasonicRawHandler>({'I', 'I', 0x55, 0}));
  EXPECT_TRUE(Matches<PanasonicRawHandler>({'M', 'M', 0, 0x55}));
  EXPECT_FALSE(Matches<PanasonicRawHandler>({'I', 'I', 0, 0x55}));
  EXPECT_FALSE(Matches<PanasonicRawHandler>({'I', 'I', 0x2A, 0}));

  const auto rw2 = [](const char* make, uint32_t strip_offset) {
    return [make, strip_offset](TiffLayout& t) {
      t.little_endian() ? t.SetMagic('I', 'I', 0x55, 0) : t.SetMagic('M', 'M', 0, 0x55);
      t.PutIfd(8,
               {{271, kAscii, 20, 200}, {273, kLong, 1, strip_offset}, {279, kLong, 1, 20'000'000}},
               0);
      t.PutText(200, make);
    };
  };
  Expect<PanasonicRawHandler>("Panasonic", rw2("Panasonic", 2048), 2048 + 20'000'000 + 512);
  Expect<PanasonicRawHandler>("LEICA", rw2("LEICA CAMERA AG", 2048), 2048 + 20'000'000 + 512);
  Expect<PanasonicRawHandler>("Leica", rw2("Leica Camera AG", 2048), std::nullopt);
  Expect<PanasonicRawHandler>("PANASONIC", rw2("PANASONIC", 2048), std::nullopt);
  Expect<PanasonicRawHandler>("Panason", rw2("Panason", 2048), std::nullopt);
  // A strip offset stored as 0xFFFFFFFF keeps the length: byte counts plus one sector.
  Expect<PanasonicRawHandler>("unset offset", rw2("Panasonic", 0xFFFFFFFF), 20'000'000 + 512);
  Expect<PanasonicRawHandler>("unset offset, 4 KiB sectors", rw2("Panasonic", 0xFFFFFFFF),
                              20'000'000 + 4096, 4096);
}

// ---- PEF ----

TEST(PefHandler, MeasuresToTheJpegOfTheFirstThreeDirectories) {
  const auto pef = [](std::vector<std::vector<TiffField>> ifds, const char* make) {
    return [ifds, make](TiffLayout& t) {
      t.PutText(200, make);
      for (size_t i = 0; i < ifds.size(); ++i) {
        std::vector<TiffField> fields = ifds[i];
        if (i == 0) fields.insert(fields.begin(), {271, kAscii, 20, 200});
        const uint32_t at = i == 0 ? 8 : 300 + 100 * static_cast<uint32_t>(i);
        const uint32_t next = i + 1 < ifds.size() ? 300 + 100 * static_cast<uint32_t>(i + 1) : 0;
        t.PutIfd(at, fields, next);
      }
    };
  };
  const std::vector<std::vector<TiffField>> four = {
      {{273, kLong, 1, 100'000},
       {279, kLong, 1, 9'000'000},
       {513, kLong, 1, 5000},
       {514, kLong, 1, 1000}},
      {{513, kLong, 1, 8000}, {514, kLong, 1, 500}},
      {{282, kRational, 1, 0}},
      {{513, kLong, 1, 99'999}, {514, kLong, 1, 1}},
  };
  Expect<PefHandler>("PENTAX", pef(four, "PENTAX Corporation"), 8500);
  Expect<PefHandler>("Pentax", pef(four, "Pentax"), std::nullopt);
  Expect<PefHandler>("no JPEG", pef({{{273, kLong, 1, 100}, {279, kLong, 1, 900}}}, "PENTAX"), 0);
}

// ---- CR2 ----

// A Canon CR2: four directories from 16, the fourth holding the raw strip at 20,000.
void Cr2File(TiffLayout& t, const char* make, uint32_t ifds = 4) {
  t.SetFirstIfd(16);
  t.Put8(8, 'C');
  t.Put8(9, 'R');
  t.Put8(10, 2);
  t.PutText(300, make);
  const uint32_t at[] = {16, 400, 500, 600};
  const std::vector<TiffField> fields[] = {
      {{271, kAscii, 20, 300}, {273, kLong, 1, 9000}, {279, kLong, 1, 11'000}},
      {{513, kLong, 1, 1000}, {514, kLong, 1, 2000}},
      {{273, kLong, 1, 3000}, {279, kLong, 1, 6000}},
      {{273, kLong, 1, 20'000}, {279, kLong, 1, 30'000}},
  };
  for (uint32_t i = 0; i < ifds; ++i) t.PutIfd(at[i], fields[i], i + 1 < ifds ? at[i + 1] : 0);
}

TEST(Cr2Handler, Headers) {
  EXPECT_TRUE(Matches<Cr2Handler>({'I', 'I', 0x2A, 0, 16, 0, 0, 0, 'C', 'R'}));
  EXPECT_TRUE(Matches<Cr2Handler>({'M', 'M', 0, 0x2A, 0, 0, 0, 16, 'C', 'R'}));
  EXPECT_TRUE(Matches<Cr2Handler>({0x94, 0x94, 0xA2, 0, 16, 0, 0, 0, 'C', 'R'}));
  EXPECT_FALSE(Matches<Cr2Handler>({'I', 'I', 0x2A, 0, 16, 0, 0, 0, 'R', 'C'}));
  EXPECT_FALSE(Matches<Cr2Handler>({'I', 'I', 0x2A, 0, 8, 0, 0, 0, 0, 0}));
  EXPECT_FALSE(Matches<Cr2Handler>({0x94, 0x94, 0, 0xA2, 16, 0, 0, 0, 'C', 'R'}));
  // The 0x94 0x94 variant is read little-endian.
  TiffLayout t(true, 16);
  Cr2File(t, "Canon");
  t.SetMagic(0x94, 0x94, 0xA2, 0x00);
  EXPECT_EQ(RunHandler<Cr2Handler>(t.bytes()).length, 50'000u);
}

TEST(Cr2Handler, MakerTestAndTheFourthDirectory) {
  Expect<Cr2Handler>(
      "Canon", [](TiffLayout& t) { Cr2File(t, "Canon"); }, 50'000);
  Expect<Cr2Handler>(
      "Canon EOS", [](TiffLayout& t) { Cr2File(t, "Canon EOS 350D"); }, 50'000);
  Expect<Cr2Handler>(
      "Cano", [](TiffLayout& t) { Cr2File(t, "Cano"); }, std::nullopt);
  Expect<Cr2Handler>(
      "CANON", [](TiffLayout& t) { Cr2File(t, "CANON"); }, std::nullopt);
  Expect<Cr2Handler>(
      "three directories", [](TiffLayout& t) { Cr2File(t, "Canon", 3); }, 0);
  Expect<Cr2Handler>(
      "chain coming back",
      [](TiffLayout& t) {
        Cr2File(t, "Canon", 2);
        t.Put32(400 + 2 + 2 * 12, 16);
      },
      0);
  Expect<Cr2Handler>(
      "raw strips before the fourth directory",
      [](TiffLayout& t) {
        Cr2File(t, "Canon");
        t.PutIfd(600, {{273, kLong, 2, 700}, {279, kLong, 2, 708}}, 0);
        t.PutArray(700, {100, 200});
        t.PutArray(708, {100, 50});
      },
      200 + TiffIfdSize(2) + 50);
}

// ---- ARW ----

void SonyFirstIfd(TiffLayout& t, const char* model, std::vector<TiffField> more, uint32_t next) {
  std::vector<TiffField> fields = {{271, kAscii, 5, 200}, {272, kAscii, 20, 210}};
  fields.insert(fields.end(), more.begin(), more.end());
  t.PutIfd(8, fields, next);
  t.PutText(200, "SONY");
  t.PutText(210, model);
}

TEST(ArwHandler, MakerTestAndSubIfds) {
  Expect<ArwHandler>(
      "SONY with a sub-IFD",
      [](TiffLayout& t) {
        SonyFirstIfd(t, "ILCE-7M3", {{330, kLong, 1, 1000}}, 0);
        t.PutIfd(1000, {{273, kLong, 1, 40'000}, {279, kLong, 1, 24'000'000}}, 0);
      },
      24'040'000);
  Expect<ArwHandler>(
      "no SubIFDs", [](TiffLayout& t) { SonyFirstIfd(t, "ILCE-7M3", {}, 0); }, 0);
  Expect<ArwHandler>(
      "over the cap",
      [](TiffLayout& t) {
        SonyFirstIfd(t, "ILCE-7M3", {{330, kLong, 1, 1000}}, 0);
        t.PutIfd(1000, {{273, kLong, 1, 0xF000000}, {279, kLong, 1, 0x1000000}}, 0);
      },
      kCap);
  Expect<ArwHandler>(
      "Sony in mixed case",
      [](TiffLayout& t) {
        SonyFirstIfd(t, "ILCE-7M3", {{330, kLong, 1, 1000}}, 0);
        t.PutText(200, "Sony");
      },
      std::nullopt);
  Expect<ArwHandler>(
      "SubIFDs before Make",
      [](TiffLayout& t) {
        t.PutIfd(8, {{330, kLong, 1, 1000}, {271, kAscii, 5, 200}}, 0);
        t.PutText(200, "SONY");
      },
      std::nullopt);
  Expect<ArwHandler>(
      "two sub-IFDs with chains",
      [](TiffLayout& t) {
        SonyFirstIfd(t, "ILCE-7M3", {{330, kLong, 2, 300}}, 0);
        t.PutArray(300, {1000, 2000});
        t.PutIfd(1000, {{273, kLong, 1, 40'000}, {279, kLong, 1, 1000}}, 1500);
        t.PutIfd(1500, {{273, kLong, 1, 50'000}, {279, kLong, 1, 1000}}, 0);
        t.PutIfd(2000, {{279, kLong, 1, 77}}, 2000);
      },
      51'077);
}

TEST(ArwHandler, JpegTrailerNamesWhereTheFileGoesOn) {
  // Behind the end of the embedded JPEG (2,000 + 500) lies a directory-like block; the value
  // 148 bytes into it is the extent, and the walk goes on there.
  Expect<ArwHandler>(
      "JPEG trailer",
      [](TiffLayout& t) {
        SonyFirstIfd(t, "ILCE-7M3", {{330, kLong, 1, 1000}}, 0);
        t.PutIfd(1000, {{513, kLong, 1, 2000}, {514, kLong, 1, 500}, {273, kLong, 1, 1}}, 0);
        t.Put16(2500, 1);
        t.Put32(2500 + 148, 6000);
        t.PutIfd(6000, {{273, kLong, 1, 7000}, {279, kLong, 1, 100}}, 0);
      },
      7100);
  // The DSLR-A100 is measured from the directory after the first; the SubIFDs value is added to
  // the trailer's value and no chain is followed.
  Expect<ArwHandler>(
      "DSLR-A100",
      [](TiffLayout& t) {
        SonyFirstIfd(t, "DSLR-A100", {{330, kLong, 1, 3000}}, 1000);
        t.PutIfd(1000, {{513, kLong, 1, 2000}, {514, kLong, 1, 500}}, 0);
        t.Put16(2500, 1);
        t.Put32(2500 + 148, 6000);
        t.PutIfd(6000, {{273, kLong, 1, 7000}, {279, kLong, 1, 100}}, 0);
      },
      6000 + 3000);
  Expect<ArwHandler>(
      "DSLR-A100 with strips",
      [](TiffLayout& t) {
        SonyFirstIfd(t, "DSLR-A100", {}, 1000);
        t.PutIfd(1000, {{273, kLong, 1, 10'000}, {279, kLong, 1, 500}}, 1200);
        t.PutIfd(1200, {{273, kLong, 1, 90'000}, {279, kLong, 1, 500}}, 0);
      },
      10'500);
  Expect<ArwHandler>(
      "trailer naming its own directory",
      [](TiffLayout& t) {
        SonyFirstIfd(t, "ILCE-7M3", {{330, kLong, 1, 1000}}, 0);
        t.PutIfd(1000, {{513, kLong, 1, 2000}, {514, kLong, 1, 500}}, 0);
        t.Put16(2500, 1);
        t.Put32(2500 + 148, 1000);
      },
      1000);
}

// ---- DNG ----

void DngFile(TiffLayout& t, const char* make, const char* model, std::vector<TiffField> subs) {
  std::vector<TiffField> fields = {{271, kAscii, 30, 200}};
  fields.insert(fields.end(), subs.begin(), subs.end());
  if (model != nullptr) fields.push_back({50708, kAscii, 30, 240});
  t.PutIfd(8, fields, 0);
  t.PutText(200, make);
  if (model != nullptr) t.PutText(240, model);
}

TEST(DngHandler, AcceptsPentaxAndLeicaOnly) {
  const auto dng = [](const char* make, const char* model) {
    return [make, model](TiffLayout& t) {
      DngFile(t, make, model, {{330, kLong, 1, 1000}});
      t.PutIfd(1000, {{273, kLong, 1, 40'000}, {279, kLong, 1, 10'000'000}}, 0);
    };
  };
  Expect<DngHandler>("Pentax", dng("PENTAX Corporation", "PENTAX K10D"), 10'040'000);
  Expect<DngHandler>("Leica", dng("Leica Camera AG", "LEICA M8"), 10'040'000);
  Expect<DngHandler>("Pentax in the model", dng("RICOH", "PENTAX Corporation K-1"), 10'040'000);
  Expect<DngHandler>("Canon", dng("Canon", "Canon EOS 350D"), std::nullopt);
  Expect<DngHandler>("cut name", dng("PENTAX Corporatio", "K10D"), std::nullopt);
  Expect<DngHandler>("no UniqueCameraModel", dng("PENTAX Corporation", nullptr), std::nullopt);
}

TEST(DngHandler, MeasuresTheSubIfdsStripsAndTiles) {
  Expect<DngHandler>(
      "tiled",
      [](TiffLayout& t) {
        DngFile(t, "PENTAX Corporation", "PENTAX K-5", {{330, kLong, 1, 1000}});
        t.PutIfd(1000, {{324, kLong, 4, 1100}, {325, kLong, 4, 1116}}, 9000);
        t.PutArray(1100, {20'000, 60'000, 100'000, 80'000});
        t.PutArray(1116, {40'000, 40'000, 40'000, 7});
        t.PutIfd(9000, {{273, kLong, 1, 900'000}}, 0);
      },
      80'007);
  Expect<DngHandler>(
      "two sub-IFDs",
      [](TiffLayout& t) {
        DngFile(t, "Leica Camera AG", "LEICA M9", {{330, kLong, 2, 300}});
        t.PutArray(300, {1000, 2000});
        t.PutIfd(1000, {{273, kLong, 1, 40'000}, {279, kLong, 1, 100}}, 0);
        t.PutIfd(2000, {{273, kLong, 1, 3000}, {279, kLong, 1, 100}}, 0);
      },
      3100);
  Expect<DngHandler>(
      "*istD walks only the first sub-IFD",
      [](TiffLayout& t) {
        DngFile(t, "PENTAX Corporation", "Pentax *istD", {{330, kLong, 2, 300}});
        t.PutArray(300, {1000, 2000});
        t.PutIfd(1000, {{273, kLong, 1, 40'000}, {279, kLong, 1, 100}}, 0);
        t.PutIfd(2000, {{273, kLong, 1, 3000}, {279, kLong, 1, 100}}, 0);
      },
      40'100);
  Expect<DngHandler>(
      "three sub-IFDs are not followed",
      [](TiffLayout& t) {
        DngFile(t, "Leica Camera AG", "LEICA M10", {{330, kLong, 3, 300}});
        t.PutArray(300, {1000, 1000, 1000});
        t.PutIfd(1000, {{273, kLong, 1, 40'000}, {279, kLong, 1, 100}}, 0);
      },
      0);
  // The data-before-directory test compares with the first directory and adds its size.
  Expect<DngHandler>(
      "data before the first directory",
      [](TiffLayout& t) {
        t.SetFirstIfd(20'000);
        t.PutText(200, "PENTAX Corporation");
        t.PutText(240, "PENTAX K10D");
        t.PutIfd(20'000, {{271, kAscii, 30, 200}, {330, kLong, 1, 100}, {50708, kAscii, 30, 240}},
                 0);
        t.PutIfd(100, {{273, kLong, 2, 160}, {279, kLong, 2, 168}}, 0);
        t.PutArray(160, {1000, 5000});
        t.PutArray(168, {4000, 3000});
      },
      5000 + TiffIfdSize(3) + 3000);
}

// ---- Trial order ----

TEST(TiffFamily, FirstAcceptingHandlerInTrialOrderClaimsTheSector) {
  // A CR2, a Canon DNG and a Nikon DNG (tiled sub-IFD), each between filler sectors.
  TiffLayout cr2(true, 16);
  Cr2File(cr2, "Canon");
  TiffLayout canon_dng(false, 8);
  DngFile(canon_dng, "Canon", "Canon EOS 350D", {{273, kLong, 1, 600}, {279, kLong, 1, 400}});
  TiffLayout nikon_dng(true, 8);
  DngFile(nikon_dng, "NIKON CORPORATION", "Nikon Z 9",
          {{273, kLong, 1, 600}, {279, kLong, 1, 400}, {330, kLong, 1, 1000}});
  nikon_dng.PutIfd(1000, {{324, kLong, 1, 2000}, {325, kLong, 1, 4000}}, 0);

  std::vector<uint8_t> medium(512 * 400, 0);
  const uint64_t at[] = {512 * 10, 512 * 100, 512 * 200};
  for (const auto& [offset, file] :
       {std::pair{at[0], &cr2}, std::pair{at[1], &canon_dng}, std::pair{at[2], &nikon_dng}}) {
    std::copy(file->bytes().begin(), file->bytes().end(),
              medium.begin() + static_cast<std::ptrdiff_t>(offset));
  }
  struct Case {
    const char* name;
    FileTypeSelection selection;
    FileTypeId types[3];
  };
  // The classic types; the DNGs of other makers have a type of their own among the modern ones.
  FileTypeSelection all;
  all.SelectClassicOnly();
  FileTypeSelection no_cr2 = all;
  no_cr2.Set(kTypeCr2, false);
  FileTypeSelection no_nef = all;
  no_nef.Set(kTypeNef, false);
  const Case cases[] = {
      {"everything", all, {kTypeCr2, kTypeTiff, kTypeNef}},
      {"without CR2", no_cr2, {kTypeTiff, kTypeTiff, kTypeNef}},
      {"without NEF", no_nef, {kTypeCr2, kTypeTiff, kTypeTiff}},
      {"TIFF only", Only({kTypeTiff}), {kTypeTiff, kTypeTiff, kTypeTiff}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto found = Scan(medium, c.selection);
    for (int i = 0; i < 3; ++i) {
      const FoundFile* file = FindAt(found, at[i]);
      ASSERT_NE(file, nullptr) << i;
      EXPECT_EQ(file->type, c.types[i]) << i;
    }
  }
  // As CR2 the fourth directory's strip is the length; as TIFF the chain's last main directory
  // with strips, plus the directory and the Canon JPEG search (nothing behind the strip).
  const auto as_cr2 = Scan(medium, all);
  EXPECT_EQ(FindAt(as_cr2, at[0])->length, 50'000u);
  const auto as_tiff = Scan(medium, no_cr2);
  EXPECT_EQ(FindAt(as_tiff, at[0])->length, 20'000u + 30'000 + TiffIfdSize(2));
  // The Nikon DNG as NEF: its sub-IFD holds tiles, not strips, so the NEF rule finds no length.
  EXPECT_EQ(FindAt(as_cr2, at[2])->length, kCap);
}

}  // namespace
}  // namespace pictavo
