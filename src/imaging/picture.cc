#include "imaging/picture.h"

#include <algorithm>
#include <cmath>
#include <new>

namespace pictavo {
namespace {

// One source sample contributing to an output sample along one axis.
struct Tap {
  int index;
  float weight;
};

// For each output position along an axis: the first of its taps in `taps` and their count.
struct AxisWeights {
  std::vector<Tap> taps;
  std::vector<int> first;
  std::vector<int> count;
  int max_count = 0;
};

AxisWeights AreaWeights(int source, int target) {
  AxisWeights axis;
  axis.first.resize(target);
  axis.count.resize(target);
  const double scale = static_cast<double>(source) / target;
  for (int i = 0; i < target; ++i) {
    const double begin = i * scale;
    const double end = std::min<double>(source, (i + 1) * scale);
    const int first = static_cast<int>(begin);
    const int last = std::min(source - 1, static_cast<int>(std::ceil(end)) - 1);
    axis.first[i] = static_cast<int>(axis.taps.size());
    float total = 0;
    for (int s = first; s <= last; ++s) {
      const double overlap = std::min<double>(end, s + 1) - std::max<double>(begin, s);
      if (overlap <= 0) continue;
      axis.taps.push_back({s, static_cast<float>(overlap)});
      total += static_cast<float>(overlap);
    }
    if (axis.taps.size() == static_cast<size_t>(axis.first[i])) {
      axis.taps.push_back({std::min(first, source - 1), 1.0f});
      total = 1.0f;
    }
    for (size_t t = axis.first[i]; t < axis.taps.size(); ++t) axis.taps[t].weight /= total;
    axis.count[i] = static_cast<int>(axis.taps.size()) - axis.first[i];
    axis.max_count = std::max(axis.max_count, axis.count[i]);
  }
  return axis;
}

AxisWeights BilinearWeights(int source, int target) {
  AxisWeights axis;
  axis.first.resize(target);
  axis.count.resize(target);
  const double scale = static_cast<double>(source) / target;
  for (int i = 0; i < target; ++i) {
    // Pixel centres map onto pixel centres.
    double position = (i + 0.5) * scale - 0.5;
    position = std::clamp(position, 0.0, static_cast<double>(source - 1));
    const int low = static_cast<int>(position);
    const int high = std::min(low + 1, source - 1);
    const float fraction = static_cast<float>(position - low);
    axis.first[i] = static_cast<int>(axis.taps.size());
    axis.taps.push_back({low, 1.0f - fraction});
    if (high != low && fraction > 0) axis.taps.push_back({high, fraction});
    axis.count[i] = static_cast<int>(axis.taps.size()) - axis.first[i];
    axis.max_count = std::max(axis.max_count, axis.count[i]);
  }
  return axis;
}

AxisWeights WeightsFor(int source, int target, ResampleFilter filter) {
  if (filter == ResampleFilter::kAreaAverage && target <= source)
    return AreaWeights(source, target);
  return BilinearWeights(source, target);
}

// Resamples one source row horizontally into `out` (4 floats per output pixel: alpha and the
// alpha-weighted colours).
void ResampleRow(const uint32_t* row, const AxisWeights& axis, int target, float* out) {
  for (int x = 0; x < target; ++x) {
    float a = 0, r = 0, g = 0, b = 0;
    const Tap* tap = axis.taps.data() + axis.first[x];
    for (int t = 0; t < axis.count[x]; ++t, ++tap) {
      const uint32_t p = row[tap->index];
      const float pa = static_cast<float>(p >> 24) * tap->weight;
      a += pa;
      r += pa * static_cast<float>((p >> 16) & 0xFF);
      g += pa * static_cast<float>((p >> 8) & 0xFF);
      b += pa * static_cast<float>(p & 0xFF);
    }
    out[x * 4 + 0] = a;
    out[x * 4 + 1] = r;
    out[x * 4 + 2] = g;
    out[x * 4 + 3] = b;
  }
}

uint32_t ToChannel(float value) {
  return static_cast<uint32_t>(std::clamp(value + 0.5f, 0.0f, 255.0f));
}

}  // namespace

bool Picture::Allocate(int new_width, int new_height, uint32_t fill) {
  width = height = 0;
  pixels.clear();
  if (new_width <= 0 || new_height <= 0) return false;
  const size_t count = static_cast<size_t>(new_width) * static_cast<size_t>(new_height);
  try {
    pixels.assign(count, fill);
  } catch (const std::bad_alloc&) {
    pixels = {};
    return false;
  }
  width = new_width;
  height = new_height;
  return true;
}

bool ResamplePicture(Picture& picture, int width, int height, ResampleFilter filter) {
  if (width <= 0 || height <= 0 || picture.Empty()) return false;
  if (width == picture.width && height == picture.height) return true;
  const AxisWeights across = WeightsFor(picture.width, width, filter);
  const AxisWeights down = WeightsFor(picture.height, height, filter);

  Picture result;
  if (!result.Allocate(width, height)) return false;
  // Horizontally resampled source rows, kept while the following output rows still need them:
  // consecutive output rows share at most a few source rows.
  const int slots = down.max_count + 1;
  std::vector<float> cache(static_cast<size_t>(slots) * width * 4);
  std::vector<int> cached_row(slots, -1);
  std::vector<float> sum(static_cast<size_t>(width) * 4);
  for (int y = 0; y < height; ++y) {
    std::fill(sum.begin(), sum.end(), 0.0f);
    for (int t = 0; t < down.count[y]; ++t) {
      const Tap& tap = down.taps[down.first[y] + t];
      const int slot = tap.index % slots;
      float* row = cache.data() + static_cast<size_t>(slot) * width * 4;
      if (cached_row[slot] != tap.index) {
        ResampleRow(picture.Row(tap.index), across, width, row);
        cached_row[slot] = tap.index;
      }
      for (int i = 0; i < width * 4; ++i) sum[i] += row[i] * tap.weight;
    }
    uint32_t* out = result.Row(y);
    for (int x = 0; x < width; ++x) {
      const float a = sum[x * 4];
      if (a <= 0.0f) {
        out[x] = 0;
        continue;
      }
      out[x] = PackArgb(ToChannel(a), ToChannel(sum[x * 4 + 1] / a), ToChannel(sum[x * 4 + 2] / a),
                        ToChannel(sum[x * 4 + 3] / a));
    }
  }
  picture = std::move(result);
  return true;
}

PictureSize FitWithin(int width, int height, int box_width, int box_height) {
  if (width <= 0 || height <= 0 || box_width <= 0 || box_height <= 0) return {0, 0};
  if (width <= box_width && height <= box_height) return {width, height};
  const double factor =
      std::min(static_cast<double>(box_height) / height, static_cast<double>(box_width) / width);
  return {std::max(1, static_cast<int>(width * factor)),
          std::max(1, static_cast<int>(factor * height))};
}

}  // namespace pictavo
