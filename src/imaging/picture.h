#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace pictavo {

// A decoded picture: rows top to bottom, each pixel 0xAARRGGBB in a 32-bit word (the layout the
// GUI's ARGB32 images use, so they can wrap the pixels without converting them).
struct Picture {
  int width = 0;
  int height = 0;
  std::vector<uint32_t> pixels;

  bool Empty() const { return width <= 0 || height <= 0; }
  // Allocates width x height pixels filled with `fill`; false (and an empty picture) when the
  // size is not positive or would not fit in memory.
  bool Allocate(int new_width, int new_height, uint32_t fill = 0xFF000000u);
  uint32_t* Row(int y) {
    return pixels.data() + static_cast<size_t>(y) * static_cast<size_t>(width);
  }
  const uint32_t* Row(int y) const {
    return pixels.data() + static_cast<size_t>(y) * static_cast<size_t>(width);
  }
  uint32_t At(int x, int y) const { return Row(y)[x]; }
};

constexpr uint32_t PackArgb(uint32_t a, uint32_t r, uint32_t g, uint32_t b) {
  return (a << 24) | (r << 16) | (g << 8) | b;
}
constexpr uint32_t PackRgb(uint32_t r, uint32_t g, uint32_t b) { return PackArgb(255, r, g, b); }

enum class ResampleFilter {
  // Each output pixel is the average of the source area it covers (weighted by the fraction of
  // each source pixel inside it); along an axis that grows, bilinear interpolation.
  kAreaAverage,
  // Bilinear interpolation along both axes.
  kBilinear,
};

// Resamples `picture` in place to width x height. Colours are averaged weighted by alpha, so
// transparent pixels do not bleed their colour into their neighbours. False when a size is not
// positive or the picture is empty; the picture is then unchanged.
bool ResamplePicture(Picture& picture, int width, int height,
                     ResampleFilter filter = ResampleFilter::kAreaAverage);

// The size of a width x height picture shrunk to fit a box_width x box_height box, keeping its
// proportions: the smaller of the two factors, results cut to whole numbers (at least 1). A
// picture that already fits keeps its size; nothing is enlarged.
struct PictureSize {
  int width = 0;
  int height = 0;
  friend bool operator==(const PictureSize&, const PictureSize&) = default;
};
PictureSize FitWithin(int width, int height, int box_width, int box_height);

}  // namespace pictavo
