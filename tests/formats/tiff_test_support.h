#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <vector>

#include "engine/scan_engine.h"
#include "platform/memory_source.h"
#include "samples/tiff_layout.h"

namespace pictavo::tiff_test {

using samples::TiffField;
using samples::TiffIfdSize;
using samples::TiffLayout;

constexpr uint16_t kAscii = 2;
constexpr uint16_t kShort = 3;
constexpr uint16_t kLong = 4;
constexpr uint16_t kRational = 5;
constexpr uint16_t kUndefined = 7;

// What one handler made of a candidate.
struct Outcome {
  bool matched = false;
  bool verified = false;
  uint64_t length = 0;
};

// Lays `file` into a medium of zeros, `lead_sectors` sectors in, with `tail_sectors` zero
// sectors behind it, and runs the handler's three steps on the candidate there as the scan does.
template <class Handler>
Outcome RunHandler(const std::vector<uint8_t>& file, uint16_t sector_size = 512,
                   uint32_t lead_sectors = 0, uint32_t tail_sectors = 16) {
  const size_t start = size_t{lead_sectors} * sector_size;
  std::vector<uint8_t> medium(start + file.size() + size_t{tail_sectors} * sector_size, 0);
  std::copy(file.begin(), file.end(), medium.begin() + static_cast<std::ptrdiff_t>(start));
  MemorySectorSource source(std::move(medium), sector_size);
  uint8_t head[kSectorHeadSize] = {};
  std::copy_n(source.bytes().begin() + static_cast<std::ptrdiff_t>(start),
              std::min<size_t>(kSectorHeadCopied, source.bytes().size() - start), head);
  Handler handler;
  Outcome outcome;
  outcome.matched = handler.MatchSignature(head);
  if (!outcome.matched) return outcome;
  outcome.verified = handler.Verify(source, start);
  if (!outcome.verified) return outcome;
  outcome.length = handler.MeasureLength(source, start);
  return outcome;
}

inline FileTypeSelection Only(std::initializer_list<FileTypeId> types) {
  FileTypeSelection selection;
  selection.SelectAll(false);
  for (const FileTypeId id : types) selection.Set(id, true);
  return selection;
}

inline std::vector<FoundFile> Scan(const std::vector<uint8_t>& medium,
                                   const FileTypeSelection& selection, uint16_t sector_size = 512) {
  MemorySectorSource source(medium, sector_size);
  ScanResults results;
  EXPECT_TRUE(RunScan(source, selection, results, nullptr, nullptr).ok);
  return {results.Found().begin(), results.Found().end()};
}

// The find at `offset`, if any.
inline const FoundFile* FindAt(const std::vector<FoundFile>& found, uint64_t offset) {
  for (const FoundFile& file : found) {
    if (file.offset == offset) return &file;
  }
  return nullptr;
}

}  // namespace pictavo::tiff_test
