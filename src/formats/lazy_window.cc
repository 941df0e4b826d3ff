#include "formats/lazy_window.h"

#include <algorithm>
#include <cstring>

namespace pictavo {
namespace {

// Blocks are whole sectors and at least this many bytes: small enough that a walk over chunk
// heads reads little, large enough that a walk over every byte needs few calls.
constexpr uint32_t kMinBlockBytes = 4096;

}  // namespace

bool LazyWindow::Open(SectorSource& source, uint64_t offset, uint64_t size) {
  source_ = &source;
  offset_ = offset;
  size_ = size;
  data_end_ = size;
  block_start_ = 0;
  const uint32_t sector_size = source.SectorSize();
  if (sector_size == 0 || size == 0) {
    data_end_ = 0;
    return false;
  }
  block_bytes_ = (kMinBlockBytes + sector_size - 1) / sector_size * sector_size;
  block_.assign(block_bytes_, 0);
  Fetch(0);
  return data_end_ > 0;
}

void LazyWindow::Fetch(uint64_t pos) {
  block_start_ = pos / block_bytes_ * block_bytes_;
  std::memset(block_.data(), 0, block_.size());
  const uint64_t wanted = std::min<uint64_t>(block_bytes_, size_ - block_start_);
  uint32_t delivered = 0;
  source_->ReadAt(offset_ + block_start_, static_cast<uint32_t>(wanted), block_.data(),
                  ReadRule::kData, &delivered);
  if (delivered < wanted) data_end_ = std::min(data_end_, block_start_ + delivered);
}

uint64_t LazyWindow::FirstNonZero(uint64_t pos, uint64_t limit) {
  while (pos < limit && pos < data_end_) {
    if (pos < block_start_ || pos - block_start_ >= block_bytes_) Fetch(pos);
    const uint64_t end = std::min({limit, data_end_, block_start_ + block_bytes_});
    if (pos >= end) break;
    const uint8_t* begin = block_.data() + (pos - block_start_);
    const uint8_t* stop = block_.data() + (end - block_start_);
    const uint8_t* hit = std::find_if(begin, stop, [](uint8_t byte) { return byte != 0; });
    if (hit != stop) return block_start_ + static_cast<uint64_t>(hit - block_.data());
    pos = end;
  }
  return limit;
}

}  // namespace pictavo
