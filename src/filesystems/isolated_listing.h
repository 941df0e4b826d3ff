#pragma once

#include <atomic>
#include <chrono>

#include "filesystems/named_file.h"
#include "filesystems/tsk_listing.h"
#include "platform/sector_source.h"

namespace pictavo {

// The note the results show when the file-system pass died or did not finish.
inline constexpr char kFileSystemPassFailedNote[] = "the file-system pass failed";

struct IsolationOptions {
  // The child is stopped after this long; its listing is then lost.
  std::chrono::seconds time_limit{600};
  // Read between waits for the child; when set, the child is stopped and the pass fails.
  const std::atomic<bool>* cancel = nullptr;
};

// ListFileSystemsInProcess run in a child process that hands its listing back through a pipe,
// so that a crash inside the file-system library (which reads whatever the medium holds) cannot
// take the caller down. A child that crashes, is stopped or hands back something malformed gives
// a listing with pass_failed set and a note that begins with kFileSystemPassFailedNote.
FileSystemListing ListFileSystemsIsolated(SectorSource& source, const ListingOptions& options,
                                          const IsolationOptions& isolation = {});

}  // namespace pictavo
