#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "cli/cli_util.h"
#include "engine/scan_engine.h"
#include "platform/sector_source.h"

namespace pictavo::cli {

// Per-type counts of a decode check.
struct DecodeTally {
  uint64_t complete = 0;
  uint64_t partial = 0;
  uint64_t failed = 0;
};

struct DecodeCheck {
  // One text per found file: "complete", "partial", "failed", or "-" for the audio and video
  // types (and for files left unchecked after an interrupt).
  std::vector<std::string> column;
  std::array<DecodeTally, kTypeCount> tallies{};
  bool stopped = false;
};

// Reads every found photo from `source` and decodes it, showing progress on standard error;
// stops early when `stop` is set.
DecodeCheck CheckFoundFiles(SectorSource& source, const ScanResults& results,
                            const std::atomic<bool>* stop);

// The per-type summary: "Decode check:" and one line per type that has photos.
void PrintDecodeSummary(std::FILE* out, const DecodeCheck& check);

}  // namespace pictavo::cli
