#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "engine/format_handler.h"
#include "engine/scan_engine.h"
#include "platform/memory_source.h"
#include "samples/image_builder.h"

namespace pictavo::media_test {

// Offers the sector at `offset` to one handler as the scan does: the 26-byte head, then Verify,
// then MeasureLength. nullopt when the handler does not claim the sector.
inline std::optional<uint64_t> Carve(FormatHandler& handler, SectorSource& source,
                                     uint64_t offset = 0) {
  uint8_t head[kSectorHeadSize] = {};
  uint32_t got = 0;
  source.ReadAt(offset, kSectorHeadCopied, head, ReadRule::kData, &got);
  if (!handler.MatchSignature(head)) return std::nullopt;
  if (!handler.Verify(source, offset)) return std::nullopt;
  return handler.MeasureLength(source, offset);
}

// The same over a medium held in memory.
inline std::optional<uint64_t> Carve(FormatHandler& handler, const std::vector<uint8_t>& medium,
                                     uint16_t sector_size = 512, uint64_t offset = 0) {
  MemorySectorSource source(medium, sector_size);
  return Carve(handler, source, offset);
}

// `file` followed by `trailing` bytes and zeros up to a whole number of sectors (at least `pad`
// sectors of zeros after it), so that walks read whole windows behind the file.
inline std::vector<uint8_t> Medium(std::vector<uint8_t> file,
                                   const std::vector<uint8_t>& trailing = {},
                                   uint32_t pad_sectors = 16, uint32_t sector_size = 512) {
  file.insert(file.end(), trailing.begin(), trailing.end());
  const size_t sectors = (file.size() + sector_size - 1) / sector_size + pad_sectors;
  file.resize(sectors * sector_size, 0);
  return file;
}

// A whole scan with every type selected.
inline std::vector<FoundFile> ScanAll(const std::vector<uint8_t>& medium,
                                      uint16_t sector_size = 512) {
  MemorySectorSource source(medium, sector_size);
  ScanResults results;
  EXPECT_TRUE(RunScan(source, FileTypeSelection(), results, nullptr, nullptr).ok);
  return {results.Found().begin(), results.Found().end()};
}

// The find that starts at `offset`, if any.
inline std::optional<FoundFile> FindAt(const std::vector<FoundFile>& found, uint64_t offset) {
  const auto it = std::find_if(found.begin(), found.end(),
                               [offset](const FoundFile& f) { return f.offset == offset; });
  if (it == found.end()) return std::nullopt;
  return *it;
}

// What a scan records for `file` laid into a medium of random bytes, once at the start and once
// behind a few sectors of other bytes; both runs must agree. nullopt when nothing is found there.
struct Placed {
  std::optional<FoundFile> found;
  std::vector<uint8_t> medium;
  uint64_t offset = 0;
};
inline Placed PlaceAndScan(const std::vector<uint8_t>& file, uint32_t lead_sectors,
                           uint16_t sector_size = 512, uint32_t seed = 23) {
  samples::ImageBuilder builder(sector_size, seed);
  if (lead_sectors) builder.Gap(lead_sectors, samples::ImageBuilder::Fill::kRandom);
  Placed placed;
  placed.offset = builder.Place(file, samples::ImageBuilder::Fill::kRandom);
  builder.Gap(24, samples::ImageBuilder::Fill::kRandom);
  placed.medium = builder.bytes();
  placed.found = FindAt(ScanAll(placed.medium, sector_size), placed.offset);
  return placed;
}

inline std::string CorpusFile(const std::string& relative) {
  return std::string(PICTAVO_CORPUS_DIR) + "/" + relative;
}

}  // namespace pictavo::media_test
