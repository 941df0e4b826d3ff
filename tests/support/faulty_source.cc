#include "support/faulty_source.h"

namespace pictavo::testing {

int64_t FaultySource::Pread(uint64_t offset, uint8_t* buffer, uint32_t count, int* error) {
  ++reads_;
  log_.emplace_back(offset, count);
  for (const auto& [begin, end] : bad_) {
    if (offset < end && offset + count > begin) {
      *error = EIO;
      return -1;
    }
  }
  return MemorySectorSource::Pread(offset, buffer, count, error);
}

}  // namespace pictavo::testing
