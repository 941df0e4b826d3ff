#pragma once

#include <cstring>
#include <span>
#include <string>
#include <typeinfo>
#include <vector>

#include "platform/sector_source.h"

namespace pictavo {

// A medium held in memory: for the fuzzers, for tests, and for scanning bytes that are already
// loaded.
class MemorySectorSource : public SectorSource {
 public:
  MemorySectorSource(std::vector<uint8_t> bytes, uint16_t sector_size, std::string name = "memory")
      : bytes_(std::move(bytes)), sector_size_(sector_size), name_(std::move(name)) {}

  int64_t Pread(uint64_t offset, uint8_t* buffer, uint32_t count, int*) override {
    if (offset >= bytes_.size()) return 0;
    const uint64_t available = bytes_.size() - offset;
    const uint32_t n = available < count ? static_cast<uint32_t>(available) : count;
    std::memcpy(buffer, bytes_.data() + offset, n);
    return n;
  }
  const uint8_t* View(uint64_t offset, uint32_t count) override {
    if (count == 0 || offset > bytes_.size() || count > bytes_.size() - offset) return nullptr;
    return bytes_.data() + offset;
  }
  const uint8_t* Peek(uint64_t offset, uint32_t count) override { return View(offset, count); }
  uint16_t SectorSize() override { return sector_size_; }
  uint64_t Size() const override { return bytes_.size(); }
  const std::string& Name() const override { return name_; }

  const std::vector<uint8_t>& bytes() const { return bytes_; }

  // Only a plain memory source clones itself; a subclass that changes how reads behave must not
  // be replaced by one that does not.
  std::unique_ptr<SectorSource> Clone() const override {
    if (typeid(*this) != typeid(MemorySectorSource)) return nullptr;
    return std::make_unique<MemorySectorSource>(bytes_, sector_size_, name_);
  }

 private:
  std::vector<uint8_t> bytes_;
  uint16_t sector_size_;
  std::string name_;
};

}  // namespace pictavo
