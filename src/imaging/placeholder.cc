#include "imaging/placeholder.h"

#include <unistd.h>

#include <cmath>
#include <cstdlib>

#include "imaging/image_decoder.h"

namespace pictavo {
namespace {

constexpr int kWidth = 160;
constexpr int kHeight = 120;

void Put16(std::vector<uint8_t>& out, uint32_t value) {
  out.push_back(static_cast<uint8_t>(value));
  out.push_back(static_cast<uint8_t>(value >> 8));
}
void Put32(std::vector<uint8_t>& out, uint32_t value) {
  Put16(out, value & 0xFFFF);
  Put16(out, value >> 16);
}

// The symbol: a framed picture (sky, a hill) torn by a jagged line, on light grey.
uint32_t PixelAt(int x, int y) {
  const uint32_t background = PackRgb(0xE4, 0xE4, 0xE4);
  const int left = 40, top = 25, right = 120, bottom = 95;
  if (x < left || x >= right || y < top || y >= bottom) return background;
  if (x < left + 2 || x >= right - 2 || y < top + 2 || y >= bottom - 2) {
    return PackRgb(0x70, 0x70, 0x70);
  }
  // The tear: a zigzag from top to bottom, a few pixels wide.
  const int zig = 80 + ((y / 6) % 2 == 0 ? (y % 6) : 6 - (y % 6)) * 2 - 6;
  if (std::abs(x - zig) <= 1) return background;
  const int shift = x > zig ? 3 : 0;  // the right half sits a little lower
  const int yy = y - shift;
  const double hill = 75 - 12 * std::sin((x - left) / 14.0);
  if (yy > hill) return PackRgb(0x6A, 0x9A, 0x5B);
  if (std::hypot(x - 60, yy - 45) < 7) return PackRgb(0xE8, 0xB0, 0x30);
  return PackRgb(0xA8, 0xC8, 0xE8);
}

}  // namespace

std::vector<uint8_t> MakePlaceholderBitmap() {
  const uint32_t stride = (kWidth * 3 + 3) & ~3u;
  const uint32_t data_size = stride * kHeight;
  std::vector<uint8_t> out = {'B', 'M'};
  Put32(out, 14 + 40 + data_size);
  Put32(out, 0);
  Put32(out, 14 + 40);
  Put32(out, 40);
  Put32(out, kWidth);
  Put32(out, kHeight);  // bottom-up rows
  Put16(out, 1);
  Put16(out, 24);
  Put32(out, 0);  // BI_RGB
  Put32(out, data_size);
  Put32(out, 2835);  // 72 dpi
  Put32(out, 2835);
  Put32(out, 0);
  Put32(out, 0);
  for (int row = kHeight - 1; row >= 0; --row) {
    for (int x = 0; x < kWidth; ++x) {
      const uint32_t p = PixelAt(x, row);
      out.push_back(static_cast<uint8_t>(p));
      out.push_back(static_cast<uint8_t>(p >> 8));
      out.push_back(static_cast<uint8_t>(p >> 16));
    }
    for (uint32_t pad = kWidth * 3; pad < stride; ++pad) out.push_back(0);
  }
  return out;
}

std::string FindPlaceholderFile() {
  std::vector<std::string> candidates;
  char self[4096];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
  if (n > 0) {
    std::string path(self, static_cast<size_t>(n));
    const size_t slash = path.rfind('/');
    if (slash != std::string::npos)
      candidates.push_back(path.substr(0, slash + 1) + kPlaceholderFileName);
  }
#ifdef PICTAVO_DATA_DIR
  candidates.push_back(std::string(PICTAVO_DATA_DIR) + "/" + kPlaceholderFileName);
#endif
  for (const std::string& candidate : candidates) {
    if (access(candidate.c_str(), R_OK) == 0) return candidate;
  }
  return {};
}

Picture LoadPlaceholderPicture() {
  const std::string path = FindPlaceholderFile();
  if (!path.empty()) {
    DecodeResult result = DecodeImageFile(path, FormatHint::kBitmapFirst);
    if (result.ok()) return std::move(result.picture);
  }
  return DecodeImage(MakePlaceholderBitmap()).picture;
}

}  // namespace pictavo
