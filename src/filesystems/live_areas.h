#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "filesystems/isolated_listing.h"
#include "filesystems/named_file.h"
#include "platform/sector_source.h"
#include "results/scan_checkpoint.h"

namespace pictavo {

// The areas of the source that live files occupy, by the listing: every block of every live
// file's map that has a place on the source, a partly used last block counted whole. Ascending
// and joined where they touch, ready for ScanOptions::skipped.
std::vector<ByteRange> LiveFileAreas(const FileSystemListing& listing);

// What the file systems of a medium say about the space in use, for carving the rest only.
struct FreeSpacePlan {
  std::vector<ByteRange> live_areas;
  uint64_t live_bytes = 0;
  uint64_t live_files = 0;
  // No file system was recognised, or the pass failed: nothing is skipped.
  bool file_system_found = false;
  // Problems the file-system pass met, as the listing states them.
  std::vector<std::string> notes;

  // One sentence for the user: what is skipped, or why the whole source is carved.
  std::string Summary() const;
};

// Lists every live file of every type on `source` (in a child process, see
// ListFileSystemsIsolated) and gathers the areas they occupy.
FreeSpacePlan PlanFreeSpaceScan(SectorSource& source, const IsolationOptions& isolation = {});

// A stopped scan of the free space goes on only with the plan it began with: its areas are
// given in source offsets, and what the chunks before the stop left out is not looked at again.
// Empty when `plan` (made again on the source) leaves out exactly what `recorded` describes;
// otherwise a sentence on why the scan cannot go on (the file systems can no longer be read, or
// their live files have changed).
std::string FreeSpacePlanChange(const FreeSpaceDigest& recorded, const FreeSpacePlan& plan);

}  // namespace pictavo
