#include "results/results_serializer.h"

#include <cinttypes>

namespace pictavo {

std::string JsonEscape(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  for (const char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
          char escaped[8];
          std::snprintf(escaped, sizeof(escaped), "\\u%04x", c);
          out += escaped;
        } else {
          out += c;
        }
    }
  }
  return out;
}

void WriteResults(std::FILE* out, ResultsFormat format, const ResultsListing& listing) {
  const auto found = listing.results->Found();
  const bool extra = listing.extra_column && listing.extra_column->size() == found.size();
  switch (format) {
    case ResultsFormat::kTsv: {
      std::fprintf(out, "type\text\toffset\tlength%s%s\n", extra ? "\t" : "",
                   extra ? listing.extra_heading.c_str() : "");
      for (size_t i = 0; i < found.size(); ++i) {
        const FoundFile& f = found[i];
        std::fprintf(out, "%u\t%s\t%" PRIu64 "\t%" PRIu64 "%s%s\n", f.type,
                     std::string(ExtensionOf(f.type)).c_str(), f.offset, f.length,
                     extra ? "\t" : "", extra ? (*listing.extra_column)[i].c_str() : "");
      }
      break;
    }
    case ResultsFormat::kJson: {
      std::fprintf(out,
                   "{\n  \"source\": \"%s\",\n  \"sector_size\": %u,\n  \"size\": %" PRIu64
                   ",\n  \"found_count\": %" PRIu64 ",\n  \"files\": [",
                   JsonEscape(listing.source).c_str(), listing.sector_size, listing.size,
                   listing.results->found_count);
      for (size_t i = 0; i < found.size(); ++i) {
        const FoundFile& f = found[i];
        std::fprintf(
            out,
            "%s\n    {\"type\": %u, \"ext\": \"%s\", \"offset\": %" PRIu64 ", \"length\": %" PRIu64,
            i ? "," : "", f.type, std::string(ExtensionOf(f.type)).c_str(), f.offset, f.length);
        if (extra) {
          std::fprintf(out, ", \"%s\": \"%s\"", JsonEscape(listing.extra_heading).c_str(),
                       JsonEscape((*listing.extra_column)[i]).c_str());
        }
        std::fprintf(out, "}");
      }
      std::fprintf(out, "%s],\n  \"tallies\": [", found.empty() ? "" : "\n  ");
      bool first = true;
      for (FileTypeId id = 0; id < kTypeCount; ++id) {
        const TypeTally& t = listing.results->tallies[id];
        if (!t.present) continue;
        std::fprintf(out,
                     "%s\n    {\"type\": %u, \"ext\": \"%s\", \"count\": %" PRIu64
                     ", \"total_bytes\": %" PRIu64 "}",
                     first ? "" : ",", id, std::string(ExtensionOf(id)).c_str(), t.count,
                     t.total_bytes);
        first = false;
      }
      std::fprintf(out, "%s]", first ? "" : "\n  ");
      if (listing.unreadable) {
        std::fprintf(out, ",\n  \"unreadable\": [");
        for (size_t i = 0; i < listing.unreadable->size(); ++i) {
          const ByteRange& range = (*listing.unreadable)[i];
          std::fprintf(out, "%s\n    {\"offset\": %" PRIu64 ", \"length\": %" PRIu64 "}",
                       i ? "," : "", range.offset, range.length);
        }
        std::fprintf(out, "%s]", listing.unreadable->empty() ? "" : "\n  ");
      }
      std::fprintf(out, "\n}\n");
      break;
    }
  }
}

}  // namespace pictavo
