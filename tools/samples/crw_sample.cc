#include "samples/crw_sample.h"

#include <string>

namespace pictavo::samples {
namespace {

void Put(std::vector<uint8_t>& out, uint64_t value, int bytes, bool big_endian) {
  for (int i = 0; i < bytes; ++i) {
    const int shift = 8 * (big_endian ? bytes - 1 - i : i);
    out.push_back(static_cast<uint8_t>(value >> shift));
  }
}

}  // namespace

std::vector<uint8_t> MakeCrw(const CrwLayout& layout) {
  const bool be = layout.big_endian;
  std::vector<uint8_t> crw = {static_cast<uint8_t>(be ? 'M' : 'I'),
                              static_cast<uint8_t>(be ? 'M' : 'I')};
  Put(crw, 26, 4, be);
  for (char c : std::string("HEAPCCDR")) crw.push_back(static_cast<uint8_t>(c));
  Put(crw, 0x00010002, 4, be);
  crw.resize(26, 0);
  crw.resize(26 + layout.raw_bytes, 0x11);
  crw.resize(26 + layout.raw_bytes + layout.jpeg_bytes, 0x22);
  const uint64_t directory = crw.size();
  Put(crw, layout.records, 2, be);
  Put(crw, layout.raw_type, 2, be);
  Put(crw, layout.raw_bytes, 4, be);
  Put(crw, 0, 4, be);
  Put(crw, 0x2007, 2, be);
  Put(crw, layout.jpeg_bytes, 4, be);
  Put(crw, layout.raw_bytes, 4, be);
  for (uint16_t i = 2; i < layout.records; ++i) {
    Put(crw, 0x300A, 2, be);
    Put(crw, 16, 4, be);
    Put(crw, 16 * i, 4, be);
  }
  Put(crw, directory - 26 + static_cast<int64_t>(layout.trailer_error), 4, be);
  return crw;
}

}  // namespace pictavo::samples
