#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "engine/scan_engine.h"
#include "platform/sector_source.h"
#include "results/saving_session.h"

namespace pictavo::cli {

// Which finds `recover` leaves out, from its options. All off by default.
struct RecoverFilters {
  uint64_t min_size = 0;
  // --min-pixels WxH: pictures at least that large either way round (the long side at least
  // the larger number, the short side at least the smaller); --min-pixels N: at least N pixels.
  uint32_t min_long_side = 0;
  uint32_t min_short_side = 0;
  uint64_t min_pixel_count = 0;
  bool skip_failed = false;
  bool unique = false;

  bool any() const { return min_size || min_long_side || min_pixel_count || skip_failed || unique; }
  bool needs_decoding() const { return min_long_side || min_pixel_count || skip_failed; }
};

// "type", "date" or "type,date" (either order).
std::optional<SavingLayout> ParseOrganise(std::string_view text);
// "123", "64K", "2M", "1G" (powers of 1024).
std::optional<uint64_t> ParseByteCount(std::string_view text);
// "320x240" or "76800" into `filters`; false when it is neither.
bool ParseMinPixels(std::string_view text, RecoverFilters* filters);

// What the filters left out.
struct FilterTally {
  uint64_t too_small = 0;
  uint64_t too_few_pixels = 0;
  uint64_t failed = 0;
  uint64_t repeated = 0;
  bool stopped = false;

  uint64_t total() const { return too_small + too_few_pixels + failed + repeated; }
};

// Unmarks the marked finds of `results` that the filters leave out. The content is read only
// for the filters that need it, with progress on standard error; `stop` ends the reading.
FilterTally ApplyRecoverFilters(SectorSource& source, ScanResults& results,
                                const RecoverFilters& filters, const std::atomic<bool>* stop);

// "pictavo-cli: left out 5 files: 3 smaller than 10 KiB, 2 repeating the content of another"
// style line for standard error; empty when nothing was left out.
std::string FilterTallyText(const FilterTally& tally, const RecoverFilters& filters);

}  // namespace pictavo::cli
