#pragma once

#include <cerrno>
#include <cstdint>
#include <utility>
#include <vector>

#include "platform/memory_source.h"

namespace pictavo::testing {

// A medium in memory whose reads fail with EIO whenever they touch one of the chosen byte ranges:
// the stand-in for a card with bad sectors. Counts the reads it was asked for.
class FaultySource : public MemorySectorSource {
 public:
  using MemorySectorSource::MemorySectorSource;

  // Reads touching [begin, end) fail.
  void FailRange(uint64_t begin, uint64_t end) { bad_.emplace_back(begin, end); }

  // A read that starts before a failing range delivers the bytes up to it and only the next
  // read fails, as a disk's read does when it stops at a bad sector.
  void DeliverPartially(bool partial) { partial_ = partial; }

  // Serves the readable bytes in place too, as a mapped file does.
  void ServeViews(bool serve) { serve_views_ = serve; }

  int64_t Pread(uint64_t offset, uint8_t* buffer, uint32_t count, int* error) override;
  const uint8_t* View(uint64_t offset, uint32_t count) override;
  const uint8_t* Peek(uint64_t offset, uint32_t count) override { return View(offset, count); }

  uint64_t reads() const { return reads_; }
  const std::vector<std::pair<uint64_t, uint32_t>>& read_log() const { return log_; }

 private:
  std::vector<std::pair<uint64_t, uint64_t>> bad_;
  std::vector<std::pair<uint64_t, uint32_t>> log_;
  uint64_t reads_ = 0;
  bool serve_views_ = false;
  bool partial_ = false;

  bool Touches(uint64_t offset, uint64_t count) const;
};

}  // namespace pictavo::testing
