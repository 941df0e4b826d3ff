#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "engine/scan_engine.h"
#include "platform/sector_source.h"

namespace pictavo {

// The machine-readable forms of a list of finds, for the command line and any other front end.
enum class ResultsFormat { kTsv, kJson };

// What a scan or a snapshot holds, as written out.
struct ResultsListing {
  std::string source;
  uint16_t sector_size = 0;
  uint64_t size = 0;
  const ScanResults* results = nullptr;
  // Optional extra column (one text per found file), with its heading.
  std::string extra_heading;
  const std::vector<std::string>* extra_column = nullptr;
  // The scan's unreadable areas, listed by the json format when set.
  const std::vector<ByteRange>* unreadable = nullptr;
};

// tsv: a header line "type<TAB>ext<TAB>offset<TAB>length" (and the extra heading) and one line
// per find. json: the source, its sector size and size, the found count, the finds, the per-type
// tallies and, when given, the unreadable areas. Written as it goes, so a million finds take no
// memory beyond the list itself.
void WriteResults(std::FILE* out, ResultsFormat format, const ResultsListing& listing);

// `text` as the inside of a JSON string: quotes, backslashes and control characters escaped.
std::string JsonEscape(std::string_view text);

}  // namespace pictavo
