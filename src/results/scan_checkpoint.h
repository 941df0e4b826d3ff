#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/file_types.h"
#include "engine/scan_engine.h"
#include "platform/sector_source.h"

namespace pictavo {

// What a scan of the free space only left out, as a digest of the areas: their number, the
// bytes they cover and an FNV-1a hash of every offset and length. Enough to tell whether a plan
// made again later leaves out exactly the same, without keeping every area in the file.
struct FreeSpaceDigest {
  uint64_t areas = 0;
  uint64_t bytes = 0;
  uint64_t hash = 0;

  friend bool operator==(const FreeSpaceDigest&, const FreeSpaceDigest&) = default;
};
FreeSpaceDigest DigestOfAreas(const std::vector<ByteRange>& areas);

// Where a scan that can be paused stands: every chunk before `position` has been scanned and
// `results` holds exactly what those chunks gave (the spare record last). Kept in its own text
// file, which snapshot readers refuse, until the scan ends and the file becomes a snapshot.
struct ScanCheckpoint {
  std::string source_name;
  uint64_t source_size = 0;
  uint16_t sector_size = 0;
  FileTypeSelection selection;
  // The literal scan mode was on.
  bool literal = false;
  // The exact-ends mode was on.
  bool exact_ends = false;
  // The scan carves only the space no live file occupies: the areas in `free_space_areas` (as
  // the file systems described them when the scan began) are left out, in source offsets like
  // `position`. A resumed scan makes the plan again and goes on only when it is the same.
  bool free_space = false;
  FreeSpaceDigest free_space_areas;
  uint64_t position = 0;
  ScanResults results;
};

// The first line of a checkpoint file. A scan of the whole source is written as format 1; one of
// the free space only as format 2, which adds the line "space free AREAS BYTES HASH" (readers of
// format 1 refuse it as no checkpoint rather than go on over the whole source).
inline constexpr char kCheckpointMagic[] = "pictavo scan checkpoint 1";
inline constexpr char kFreeSpaceCheckpointMagic[] = "pictavo scan checkpoint 2";

// Writes through a temporary file in the same folder, flushed and renamed over `path`. False with
// the errno value.
bool WriteScanCheckpoint(const std::string& path, const ScanCheckpoint& checkpoint, int* error);
// Reads a checkpoint; false with the reason.
bool ReadScanCheckpoint(const std::string& path, ScanCheckpoint* out, std::string* error);
bool IsScanCheckpointFile(const std::string& path);

// Scans `source` from `position` (a chunk boundary) to its end as the scan would have gone on
// from there, into `later`; CombineScanResults then adds them to what the chunks before gave.
// The chunks before `position` are not read. `observer` sees the whole medium's progress, and
// found counts that go on from `earlier_found`.
ScanStatus ResumeScan(SectorSource& source, const ScanOptions& options, uint64_t position,
                      uint64_t earlier_found, ScanResults& later, ScanObserver* observer,
                      const std::atomic<bool>* stop_flag);

inline ScanStatus ResumeScan(SectorSource& source, const FileTypeSelection& selection,
                             uint64_t position, uint64_t earlier_found, ScanResults& later,
                             ScanObserver* observer, const std::atomic<bool>* stop_flag) {
  ScanOptions options;
  options.selection = selection;
  return ResumeScan(source, options, position, earlier_found, later, observer, stop_flag);
}

// Watches a scan (one started afresh, or one resumed with the results of `base`) and keeps its
// checkpoint at `path`, rewritten at least every `interval`. Pass it as the scan's observer; it
// passes every report on to `next`. `stop_flag` is the scan's: a chunk reported once it is set
// may have been cut short, so the checkpoint stays before it.
class CheckpointKeeper : public ScanObserver {
 public:
  CheckpointKeeper(std::string path, ScanCheckpoint base, const ScanResults& live,
                   ScanObserver* next, std::chrono::steady_clock::duration interval,
                   const std::atomic<bool>* stop_flag);

  void OnStart(uint64_t source_size, uint16_t sector_size) override;
  void OnProgress(uint32_t percent, uint64_t position_mib, uint64_t position) override;
  void OnFound(uint64_t found_count, const FoundFile& file) override;

  // The checkpoint as of the last chunk that was reported whole; written now.
  bool Save(int* error);
  ScanCheckpoint Current() const;
  int save_error() const { return save_error_; }

 private:
  std::string path_;
  ScanCheckpoint base_;
  const ScanResults& live_;
  ScanObserver* next_;
  std::chrono::steady_clock::duration interval_;
  const std::atomic<bool>* stop_flag_;
  std::chrono::steady_clock::time_point last_save_;
  uint64_t chunk_bytes_ = 0;
  // The live results as they stood after the last whole chunk.
  uint64_t position_ = 0;
  size_t records_ = 0;
  FoundFile spare_;
  bool have_state_ = false;
  int save_error_ = 0;
};

// Adds what a resumed scan found (`later`, from `position` on) to what the scan before had
// (`earlier`), as one uninterrupted scan would have recorded them. In the exact-ends mode the
// packs of an MPEG stream that began before `position` stay part of it.
ScanResults CombineScanResults(const ScanResults& earlier, const ScanResults& later,
                               uint64_t position, bool exact_ends = false);

}  // namespace pictavo
