#pragma once

#include <cstddef>

#include "filesystems/named_file.h"
#include "platform/sector_source.h"

namespace pictavo {

struct ListingOptions {
  // Lists every regular file, not only those whose name gives a type of the file-type table.
  bool all_types = false;
  // Also looks for deleted files whose folder is gone (FAT and exFAT then read every cluster
  // that may hold a folder, which takes a while on a large medium).
  bool orphans = false;
  // The walk stops after this many files, with a note.
  size_t max_files = 4'000'000;
};

// Reads the partition table and every file system The Sleuth Kit recognises on `source` and
// lists their files, live and deleted, with each file's map on the source. The state of each
// file is not decided here (see ClassifyNamedFiles). Runs the library in this process: callers
// that must survive a crash inside it use ListFileSystemsIsolated.
FileSystemListing ListFileSystemsInProcess(SectorSource& source, const ListingOptions& options);

}  // namespace pictavo
