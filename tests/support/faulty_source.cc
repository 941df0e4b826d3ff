#include "support/faulty_source.h"

#include <algorithm>

namespace pictavo::testing {

bool FaultySource::Touches(uint64_t offset, uint64_t count) const {
  for (const auto& [begin, end] : bad_) {
    if (offset < end && offset + count > begin) return true;
  }
  return false;
}

int64_t FaultySource::Pread(uint64_t offset, uint8_t* buffer, uint32_t count, int* error) {
  ++reads_;
  log_.emplace_back(offset, count);
  if (Touches(offset, count)) {
    uint64_t first_bad = UINT64_MAX;
    for (const auto& [begin, end] : bad_) {
      if (offset < end && offset + count > begin) first_bad = std::min(first_bad, begin);
    }
    if (!partial_ || first_bad <= offset) {
      *error = EIO;
      return -1;
    }
    count = static_cast<uint32_t>(first_bad - offset);
  }
  return MemorySectorSource::Pread(offset, buffer, count, error);
}

const uint8_t* FaultySource::View(uint64_t offset, uint32_t count) {
  if (!serve_views_ || count == 0 || offset > bytes().size() || count > bytes().size() - offset ||
      Touches(offset, count)) {
    return nullptr;
  }
  return MemorySectorSource::View(offset, count);
}

}  // namespace pictavo::testing
