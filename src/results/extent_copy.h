#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/scan_engine.h"
#include "platform/sector_source.h"

namespace pictavo {

// Found files are copied out in chunks of 10 MiB; the last chunk is read rounded up to whole
// sectors and written cut to the file's size.
inline constexpr uint32_t kExtentChunkBytes = 10485760;

// What to do when the destination file exists: the preview's temporary file is replaced, a
// recovered file never is (the copy fails with EEXIST and the caller picks another name).
enum class ExistingFile { kReplace, kRefuse };

struct ExtentCopyResult {
  // The destination holds the file (with zeros where the source could not be read, and cut
  // where the source ends when `cut_short`).
  bool ok = false;
  bool cancelled = false;
  // errno of the failure, and a sentence naming what failed.
  int error_code = 0;
  std::string message;
  uint64_t bytes_written = 0;
  // Bytes of the file written as zeros because their sectors could not be read, the source
  // offset of the first of them, and every such run of bytes (source offsets, in order).
  uint64_t unreadable_bytes = 0;
  uint64_t first_unreadable_offset = 0;
  std::vector<ByteRange> unreadable;
  // The source ended before the file did: only `bytes_written` bytes are saved. Bytes beyond
  // the end of the source are not data and are never written as zeros.
  bool cut_short = false;

  bool damaged() const { return unreadable_bytes > 0 || cut_short; }
};

// Called after each chunk with the bytes of this file written so far.
class ExtentCopyObserver {
 public:
  virtual ~ExtentCopyObserver() = default;
  virtual void OnCopied(uint64_t /*bytes_written*/, uint64_t /*file_size*/) {}
};

// Copies `file`'s bytes from `source` into a new file at `destination_path`. A chunk that cannot
// be read is read again in smaller pieces down to single sectors; only the sectors that still
// fail are written as zeros, so that later bytes keep their offsets, and are counted in
// `unreadable_bytes`. A file that starts at or beyond the end of the source fails without a
// file being made; one that runs past the end is saved up to there and marked `cut_short`. A failed
// write, or `cancel` set between two chunks, deletes the partial file. Synchronous; keeps no state
// between calls.
ExtentCopyResult CopyExtent(SectorSource& source, const FoundFile& file,
                            const std::string& destination_path, ExistingFile existing,
                            ExtentCopyObserver* observer = nullptr,
                            const std::atomic<bool>* cancel = nullptr);

// The same, opening the source by name for this one copy (the preview's use).
ExtentCopyResult CopyExtent(const std::string& source_name, const FoundFile& file,
                            const std::string& destination_path, ExistingFile existing);

}  // namespace pictavo
