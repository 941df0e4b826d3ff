#include "cli/recover_filters.h"

#include <algorithm>
#include <vector>

#include "cli/cli_util.h"
#include "results/find_details.h"

namespace pictavo::cli {
namespace {

std::string Plural(uint64_t count, const char* one, const char* many) {
  return std::to_string(count) + " " + (count == 1 ? one : many);
}

// Whether a decoded picture is below the size asked for. A picture whose size is unknown (its
// decode failed) is not judged by size: --skip-failed is there for those.
bool TooFewPixels(const FindPicture& picture, const RecoverFilters& filters) {
  if (!picture.is_picture || picture.width <= 0 || picture.height <= 0) return false;
  const auto long_side = static_cast<uint32_t>(std::max(picture.width, picture.height));
  const auto short_side = static_cast<uint32_t>(std::min(picture.width, picture.height));
  if (long_side < filters.min_long_side || short_side < filters.min_short_side) return true;
  return picture.pixels() < filters.min_pixel_count;
}

}  // namespace

std::optional<SavingLayout> ParseOrganise(std::string_view text) {
  SavingLayout layout;
  while (!text.empty()) {
    const size_t comma = text.find(',');
    const std::string_view item = text.substr(0, comma);
    text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
    if (item == "type" && !layout.by_type) {
      layout.by_type = true;
    } else if (item == "date" && !layout.by_date) {
      layout.by_date = true;
    } else {
      return std::nullopt;
    }
  }
  if (layout.flat()) return std::nullopt;
  return layout;
}

std::optional<uint64_t> ParseByteCount(std::string_view text) {
  uint64_t unit = 1;
  if (!text.empty()) {
    switch (text.back()) {
      case 'k':
      case 'K':
        unit = uint64_t{1} << 10;
        break;
      case 'm':
      case 'M':
        unit = uint64_t{1} << 20;
        break;
      case 'g':
      case 'G':
        unit = uint64_t{1} << 30;
        break;
    }
    if (unit != 1) text.remove_suffix(1);
  }
  const std::optional<uint64_t> number = ParseUnsigned(text);
  if (!number || *number > UINT64_MAX / unit) return std::nullopt;
  return *number * unit;
}

bool ParseMinPixels(std::string_view text, RecoverFilters* filters) {
  const size_t x = text.find_first_of("xX");
  if (x == std::string_view::npos) {
    const auto count = ParseUnsigned(text);
    if (!count || *count == 0) return false;
    filters->min_pixel_count = *count;
    return true;
  }
  const auto width = ParseUnsigned(text.substr(0, x));
  const auto height = ParseUnsigned(text.substr(x + 1));
  if (!width || !height || *width == 0 || *height == 0 || *width > UINT32_MAX ||
      *height > UINT32_MAX) {
    return false;
  }
  filters->min_long_side = static_cast<uint32_t>(std::max(*width, *height));
  filters->min_short_side = static_cast<uint32_t>(std::min(*width, *height));
  return true;
}

FilterTally ApplyRecoverFilters(SectorSource& source, ScanResults& results,
                                const RecoverFilters& filters, const std::atomic<bool>* stop) {
  FilterTally tally;
  auto found = results.Found();
  uint64_t total = 0;
  for (FoundFile& file : found) {
    if (!file.selected) continue;
    if (file.length < filters.min_size) {
      file.selected = 0;
      ++tally.too_small;
    } else {
      total += file.length;
    }
  }
  if (!filters.needs_decoding() && !filters.unique) return tally;

  FindDetailParts parts;
  parts.picture = filters.needs_decoding();
  parts.digest = filters.unique;
  // One digest per find only when duplicates are looked for: 24 bytes each.
  std::vector<std::optional<ContentDigest>> digests;
  if (filters.unique) digests.resize(found.size());
  ProgressLine progress("Checking");
  uint64_t done = 0, checked = 0;
  for (size_t i = 0; i < found.size(); ++i) {
    FoundFile& file = found[i];
    if (!file.selected) continue;
    if (stop && stop->load()) {
      tally.stopped = true;
      break;
    }
    progress.Update(done, total, "file " + std::to_string(checked + 1));
    const FindDetails details = ReadFindDetails(source, file, parts);
    done += file.length;
    ++checked;
    if (details.picture && filters.skip_failed && details.picture->is_picture &&
        details.picture->status == DecodeStatus::kFailed) {
      file.selected = 0;
      ++tally.failed;
      continue;
    }
    if (details.picture && TooFewPixels(*details.picture, filters)) {
      file.selected = 0;
      ++tally.too_few_pixels;
      continue;
    }
    if (filters.unique) digests[i] = details.digest;
  }
  progress.Finish();
  if (tally.stopped || !filters.unique) return tally;
  const std::vector<bool> repeated = RepeatedFinds(digests);
  for (size_t i = 0; i < found.size(); ++i) {
    if (repeated[i] && found[i].selected) {
      found[i].selected = 0;
      ++tally.repeated;
    }
  }
  return tally;
}

std::string FilterTallyText(const FilterTally& tally, const RecoverFilters& filters) {
  if (tally.total() == 0) return {};
  std::vector<std::string> parts;
  if (tally.too_small) {
    parts.push_back(std::to_string(tally.too_small) + " smaller than " +
                    std::to_string(filters.min_size) + " bytes");
  }
  if (tally.too_few_pixels) {
    std::string limit = filters.min_long_side ? std::to_string(filters.min_long_side) + "x" +
                                                    std::to_string(filters.min_short_side)
                                              : std::to_string(filters.min_pixel_count);
    parts.push_back(std::to_string(tally.too_few_pixels) + " smaller than " + limit + " pixels");
  }
  if (tally.failed) parts.push_back(std::to_string(tally.failed) + " that do not decode");
  if (tally.repeated) {
    parts.push_back(std::to_string(tally.repeated) + " repeating the content of another");
  }
  std::string text = "left out " + Plural(tally.total(), "file", "files") + ":";
  for (size_t i = 0; i < parts.size(); ++i) text += (i ? ", " : " ") + parts[i];
  return text;
}

}  // namespace pictavo::cli
