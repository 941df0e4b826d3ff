#pragma once

#include <sys/stat.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/scan_engine.h"
#include "platform/block_devices.h"
#include "platform/sector_source.h"
#include "results/extent_copy.h"

namespace pictavo {

// Texts shown to the user.
inline constexpr char kSameDriveMessage[] =
    "You have selected the same drive from which you want to recover photos.\nPlease select "
    "another location to avoid any loss of data.";
inline constexpr char kNoSpaceToSaveMessage[] =
    "There is no enough free disk space to save data.\nPlease select another destination";

// The name a found file is listed and saved under: "File%u" with its index among the files of
// its type (in found order), ".", and the type's extension. A type without an extension gives a
// name ending in the dot.
std::string RecoveredFileName(FileTypeId type, uint32_t index_in_type);

// The names of all found files of `results` (without the spare record), in found order.
std::vector<std::string> RecoveredFileNames(const ScanResults& results);

enum class DestinationVerdict { kAccepted, kSameMedium, kNoFreeSpace };

struct DestinationCheck {
  DestinationVerdict verdict = DestinationVerdict::kAccepted;
  // kSameDriveMessage or kNoSpaceToSaveMessage when refused.
  std::string message;
  // Set when the destination shares the file system of an image-file source and the caller
  // allowed that.
  bool same_file_system_allowed = false;

  bool accepted() const { return verdict == DestinationVerdict::kAccepted; }
};

struct DestinationCheckOptions {
  // An image file (or raw dump) as the source normally refuses every destination on the file
  // system that holds it. This lifts that refusal, for file sources only: a destination on a
  // device being recovered from is always refused, and the free-space rule always applies.
  bool allow_same_file_system = false;
  BlockDeviceRoots roots;
};

// Decides whether recovered files (or a snapshot) may be written at `destination`, a folder or a
// file path (which need not exist yet: its nearest existing folder is judged).
//  - Refused with kSameDriveMessage when it lies on the medium read from: for a device source the
//    same device, a partition of it, the disk it is a partition of or another partition of that
//    disk, also through device-mapper or RAID layers; for an image or dump file the file system
//    that holds it.
//  - Refused with kNoSpaceToSaveMessage unless the free bytes there are strictly more than
//    `selected_total`.
// A source that does not exist (a snapshot's disk that is gone) is judged by free space alone.
DestinationCheck CheckDestination(const std::string& destination, const std::string& source_name,
                                  uint64_t selected_total,
                                  const DestinationCheckOptions& options = {});

// Why an output file (a snapshot, a preview's picture) may not be written at `path`; empty when it
// may. Files are told apart by device and inode numbers, so that links and other names of the
// source are caught as well:
//  - the source itself, or the file behind a loop device being recovered from;
//  - a block device, or anything else that is not a regular file;
//  - a path on the medium being recovered from (CheckDestination's same-medium rule; a file beside
//    an image file is allowed, since it does not change the image).
std::string OutputFileProblem(const std::string& path, const std::string& source_name,
                              const BlockDeviceRoots& roots = {});

// The same test for a file already open, from its fstat(): a caller that opens an existing file
// before writing it checks what it really opened.
std::string OpenedFileProblem(const struct stat& opened, const std::string& path,
                              const std::string& source_name, const BlockDeviceRoots& roots = {});

// Why nothing could be written into the folder `destination` (which need not exist yet: the
// nearest existing folder above it is judged): a read-only file system, no permission, or a file
// in the way. Empty when writing there looks possible. Lets a long run fail before it starts.
std::string DestinationNotWritableProblem(const std::string& destination);

enum class SaveOutcome {
  kWritten,  // the whole file was read and written
  kDamaged,  // written with zeros for the sectors that could not be read, or cut short where
             // the source ends
  kFailed,   // not written (nothing is left of it)
};

struct SavedFile {
  size_t record_index = 0;  // index in the found-file list
  std::string wanted_name;  // "File3.jpeg"
  std::string name;         // the name it got: the wanted one, or the next free one
  SaveOutcome outcome = SaveOutcome::kFailed;
  uint64_t length = 0;
  uint64_t unreadable_bytes = 0;
  uint64_t first_unreadable_offset = 0;  // on the source
  std::vector<ByteRange> unreadable;     // runs of unreadable bytes, source offsets
  bool cut_short = false;                // the source ends before the file
  uint64_t saved_length = 0;             // bytes written
  std::string error;                     // why it failed
};

struct SaveSummary {
  std::vector<SavedFile> files;
  uint64_t written = 0;
  uint64_t damaged = 0;
  uint64_t failed = 0;
  uint64_t renamed = 0;  // files saved under another name because theirs was taken
  // Temporary files of an earlier run that ended before finishing them, removed first.
  uint64_t stale_partial_files_removed = 0;
  bool cancelled = false;
  // The destination filled up or became read-only: the files after that were not tried.
  bool destination_failed = false;
  std::string destination_error;

  bool all_written() const {
    return damaged == 0 && failed == 0 && !cancelled && !destination_failed;
  }
};

// Reports of a saving run, on the thread that runs it.
class SaveObserver {
 public:
  virtual ~SaveObserver() = default;
  virtual void OnStart(uint64_t /*file_count*/, uint64_t /*total_bytes*/) {}
  // Bytes written so far over all files, after each chunk.
  virtual void OnProgress(uint64_t /*bytes_done*/, uint64_t /*total_bytes*/) {}
  virtual void OnFileDone(const SavedFile& /*file*/) {}
};

// Turns the bytes written of one file after another into the whole run's progress for
// `observer`: call StartFile before each file's copy.
class RunProgress : public ExtentCopyObserver {
 public:
  RunProgress(SaveObserver* observer, uint64_t total) : observer_(observer), total_(total) {}
  void StartFile() {
    done_before_ += last_;
    last_ = 0;
  }
  void OnCopied(uint64_t written, uint64_t) override {
    last_ = written;
    if (observer_) observer_->OnProgress(done_before_ + written, total_);
  }

 private:
  SaveObserver* observer_;
  uint64_t total_;
  uint64_t done_before_ = 0;
  uint64_t last_ = 0;
};

// Writes every found file whose selected flag is set into `folder` (which must exist), under its
// list name; a name that is taken gets the next free one ("File3 (2).jpeg"), so nothing is ever
// overwritten. Each file is written under a temporary name (PartialFileName) and gets its own name
// only when complete; temporary files that an earlier run left behind are removed first. `cancel`
// is read between chunks: the file in hand is deleted and the run ends. Does not check the
// destination: callers run CheckDestination first. With `threads` above 1, several files are copied
// at once when the source can be opened again; the summary and the reports (all on the calling
// thread) are the same as with one.
SaveSummary SaveMarkedFiles(SectorSource& source, const ScanResults& results,
                            const std::string& folder, SaveObserver* observer,
                            const std::atomic<bool>* cancel, int threads = 1);

// Saves one file as SaveMarkedFiles saves each of its files: into `folder` under `wanted_name`,
// or the next free name when that is taken, and adds the outcome to `summary` (and `observer`).
// `progress` follows this file's bytes. False when the run must end there: cancelled, or a
// failure that every later file would meet too.
bool SaveOneFileInto(SectorSource& source, const FoundFile& file, size_t record_index,
                     const std::string& wanted_name, const std::string& folder,
                     SaveSummary& summary, SaveObserver* observer, ExtentCopyObserver* progress,
                     const std::atomic<bool>* cancel);

// "Saved 12 files to /media/backup: 10 whole, 1 damaged, 1 failed." with the details that follow
// (damaged and failed files, renamed files), one sentence per line.
std::string SaveSummaryText(const SaveSummary& summary, const std::string& folder);

}  // namespace pictavo
