#include "filesystems/live_areas.h"

#include <algorithm>

#include "results/size_text.h"

namespace pictavo {

std::vector<ByteRange> LiveFileAreas(const FileSystemListing& listing) {
  std::vector<ByteRange> pieces;
  for (const NamedFile& file : listing.files) {
    if (file.deleted || file.resident) continue;
    const uint64_t block =
        file.volume < listing.volumes.size() ? listing.volumes[file.volume].block_size : 0;
    for (const FileRun& run : file.runs) {
      if (run.sparse || run.length == 0) continue;
      uint64_t length = run.length;
      if (block > 1 && length % block != 0) length += block - length % block;
      if (run.source_offset > UINT64_MAX - length) length = UINT64_MAX - run.source_offset;
      pieces.push_back(ByteRange{run.source_offset, length});
    }
  }
  std::sort(pieces.begin(), pieces.end(),
            [](const ByteRange& a, const ByteRange& b) { return a.offset < b.offset; });
  std::vector<ByteRange> areas;
  for (const ByteRange& piece : pieces) {
    if (!areas.empty() && piece.offset <= areas.back().end()) {
      areas.back().length = std::max(areas.back().end(), piece.end()) - areas.back().offset;
    } else {
      areas.push_back(piece);
    }
  }
  return areas;
}

std::string FreeSpacePlan::Summary() const {
  if (!file_system_found) {
    return "no file system was recognised on the source, so the whole source is carved";
  }
  return std::to_string(live_files) + " live file" + (live_files == 1 ? "" : "s") + " occupy " +
         SizeText(live_bytes) + ", which is not carved; only the rest of the source is";
}

FreeSpacePlan PlanFreeSpaceScan(SectorSource& source, const IsolationOptions& isolation) {
  ListingOptions options;
  options.all_types = true;
  const FileSystemListing listing = ListFileSystemsIsolated(source, options, isolation);
  FreeSpacePlan plan;
  plan.notes = listing.notes;
  plan.file_system_found = !listing.pass_failed && !listing.volumes.empty();
  if (!plan.file_system_found) return plan;
  plan.live_areas = LiveFileAreas(listing);
  for (const ByteRange& area : plan.live_areas) plan.live_bytes += area.length;
  for (const NamedFile& file : listing.files) plan.live_files += file.deleted ? 0 : 1;
  return plan;
}

std::string FreeSpacePlanChange(const FreeSpaceDigest& recorded, const FreeSpacePlan& plan) {
  const FreeSpaceDigest now = DigestOfAreas(plan.live_areas);
  if (now == recorded) return "";
  if (!plan.file_system_found) {
    return "the file systems of the source can no longer be read, so the free space the scan "
           "carved is not known any more";
  }
  if (recorded.areas == 0) {
    return "the scan carved the whole source, on which no live file was known, but its file "
           "systems now describe live files";
  }
  return "the live files of the source have changed since the scan began (" +
         SizeText(recorded.bytes) + " in " + std::to_string(recorded.areas) + " area" +
         (recorded.areas == 1 ? "" : "s") + " then, " + SizeText(now.bytes) + " in " +
         std::to_string(now.areas) + " area" + (now.areas == 1 ? "" : "s") +
         " now), so the free space is not the one the scan began with";
}

}  // namespace pictavo
