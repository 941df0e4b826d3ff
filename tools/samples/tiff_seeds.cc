#include "samples/tiff_seeds.h"

#include "samples/image_builder.h"
#include "samples/jpeg_sample.h"
#include "samples/tiff_layout.h"

namespace pictavo::samples {
namespace {

constexpr uint16_t kAscii = 2;
constexpr uint16_t kLong = 4;
constexpr uint16_t kRational = 5;

// A Canon TIFF: two strips after its directory, a sub-IFD, a thumbnail directory and a JPEG
// right behind the last strip.
std::vector<uint8_t> CanonTiff() {
  TiffLayout t(true, 8);
  t.PutIfd(8,
           {{271, kAscii, 6, 120},
            {273, kLong, 2, 128},
            {279, kLong, 2, 136},
            {282, kRational, 1, 144},
            {330, kLong, 1, 160}},
           200);
  t.PutText(120, "Canon");
  t.PutArray(128, {240, 300});
  t.PutArray(136, {60, 40});
  t.PutIfd(160, {{279, kLong, 1, 4}}, 0);
  t.PutIfd(200, {{273, kLong, 1, 240}, {279, kLong, 1, 100}}, 0);
  t.PutBytes(342, EncodeJpeg({.width = 8, .height = 8, .quality = 30}));
  return t.bytes();
}

std::vector<uint8_t> Cr2() {
  TiffLayout t(true, 16);
  t.Put8(8, 'C');
  t.Put8(9, 'R');
  t.Put8(10, 2);
  t.PutIfd(16, {{271, kAscii, 10, 100}, {273, kLong, 1, 400}, {279, kLong, 1, 8}}, 120);
  t.PutText(100, "Canon EOS");
  t.PutIfd(120, {{513, kLong, 1, 408}, {514, kLong, 1, 8}}, 160);
  t.PutIfd(160, {{273, kLong, 1, 416}, {279, kLong, 1, 8}}, 200);
  t.PutIfd(200, {{273, kLong, 2, 240}, {279, kLong, 2, 248}}, 0);
  t.PutArray(240, {424, 432});
  t.PutArray(248, {8, 8});
  t.Extend(440);
  return t.bytes();
}

std::vector<uint8_t> Nef() {
  TiffLayout t(false, 8);
  t.SetMagic('m', 'm', 0x00, 0x2A);
  t.PutIfd(8, {{271, kAscii, 18, 100}, {330, kLong, 2, 120}}, 0);
  t.PutText(100, "NIKON CORPORATION");
  t.PutArray(120, {200, 300});
  t.PutIfd(200, {{273, kLong, 1, 400}, {279, kLong, 1, 50}}, 250);
  t.PutIfd(250, {{279, kLong, 1, 6}}, 0);
  t.PutIfd(300, {{273, kLong, 3, 340}, {279, kLong, 3, 352}}, 0);
  t.PutArray(340, {400, 420, 440});
  t.PutArray(352, {20, 20, 20});
  t.Extend(460);
  return t.bytes();
}

std::vector<uint8_t> Orf() {
  TiffLayout t(true, 8);
  t.SetMagic('I', 'I', 'R', 'O');
  t.PutIfd(8, {{271, kAscii, 8, 100}, {273, kLong, 1, 200}, {279, kLong, 1, 100}}, 120);
  t.PutText(100, "OLYMPUS");
  t.PutIfd(120, {{273, kLong, 1, 300}, {279, kLong, 1, 50}}, 0);
  t.Extend(350);
  return t.bytes();
}

std::vector<uint8_t> Rw2() {
  TiffLayout t(true, 24);
  t.SetMagic('I', 'I', 0x55, 0x00);
  t.PutIfd(24, {{271, kAscii, 10, 100}, {273, kLong, 1, 0xFFFFFFFF}, {279, kLong, 1, 300}}, 0);
  t.PutText(100, "Panasonic");
  t.Extend(400);
  return t.bytes();
}

std::vector<uint8_t> Pef() {
  TiffLayout t(false, 8);
  t.PutIfd(8, {{271, kAscii, 19, 100}, {513, kLong, 1, 200}, {514, kLong, 1, 60}}, 120);
  t.PutText(100, "PENTAX Corporation");
  t.PutIfd(120, {{513, kLong, 1, 260}, {514, kLong, 1, 40}}, 0);
  t.Extend(300);
  return t.bytes();
}

// A DSLR-A100 style file: the directory after the first names an embedded JPEG whose trailer
// holds the position of the raw data.
std::vector<uint8_t> Arw() {
  TiffLayout t(true, 8);
  t.PutIfd(8, {{271, kAscii, 5, 100}, {272, kAscii, 10, 108}, {330, kLong, 1, 64}}, 120);
  t.PutText(100, "SONY");
  t.PutText(108, "DSLR-A100");
  t.PutIfd(120, {{513, kLong, 1, 160}, {514, kLong, 1, 40}}, 0);
  t.Put16(200, 1);
  t.Put32(200 + 148, 400);
  t.Extend(464);
  return t.bytes();
}

std::vector<uint8_t> Dng() {
  TiffLayout t(true, 8);
  t.PutIfd(8, {{271, kAscii, 16, 100}, {330, kLong, 2, 120}, {50708, kAscii, 9, 140}}, 0);
  t.PutText(100, "Leica Camera AG");
  t.PutText(140, "LEICA M9");
  t.PutArray(120, {200, 300});
  t.PutIfd(200, {{324, kLong, 2, 240}, {325, kLong, 2, 248}}, 0);
  t.PutArray(240, {400, 420});
  t.PutArray(248, {20, 20});
  t.PutIfd(300, {{273, kLong, 1, 440}, {279, kLong, 1, 10}}, 0);
  t.Extend(450);
  return t.bytes();
}

std::vector<uint8_t> Medium(const std::vector<std::vector<uint8_t>>& files) {
  ImageBuilder image(512, 9);
  for (const auto& file : files) {
    image.Place(file, ImageBuilder::Fill::kZeros);
  }
  return image.bytes();
}

}  // namespace

std::vector<std::pair<std::string, std::vector<uint8_t>>> TiffFamilySeedMedia() {
  return {
      {"tiff-canon-cr2-nef", Medium({CanonTiff(), Cr2(), Nef()})},
      {"tiff-raws-orf-rw2-pef", Medium({Orf(), Rw2(), Pef()})},
      {"tiff-raws-arw-dng", Medium({Arw(), Dng()})},
  };
}

}  // namespace pictavo::samples
