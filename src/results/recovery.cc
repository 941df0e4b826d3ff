#include "results/recovery.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cinttypes>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <optional>
#include <thread>

#include "platform/output_file.h"
#include "platform/system_error.h"
#include "results/extent_copy.h"

namespace pictavo {
namespace {

// The nearest existing folder (or file) on the way up from `path`.
bool StatNearest(std::string path, struct stat* st, std::string* found) {
  for (int depth = 0; depth < 4096 && !path.empty(); ++depth) {
    if (stat(path.c_str(), st) == 0) {
      *found = path;
      return true;
    }
    const std::string parent = FolderOf(path);
    if (parent == path) break;
    path = parent;
  }
  return false;
}

bool Intersect(const std::set<FileIdentity>& a, const std::set<FileIdentity>& b) {
  for (const FileIdentity& file : a) {
    if (b.count(file)) return true;
  }
  return false;
}

bool OnSourceDevice(const BlockDeviceRoots& roots, dev_t destination_fs, dev_t source_device) {
  if (destination_fs == source_device) return true;
  const auto destination_device = BlockDeviceOfFileSystem(roots, destination_fs);
  if (!destination_device) return false;
  if (*destination_device == source_device) return true;
  const auto source_disks = DisksUnder(roots, source_device);
  for (const std::string& disk : DisksUnder(roots, *destination_device)) {
    if (source_disks.count(disk)) return true;
  }
  // Two loop devices over one file are one medium.
  const auto source_files = LoopBackingFilesUnder(roots, source_device);
  return !source_files.empty() &&
         Intersect(source_files, LoopBackingFilesUnder(roots, *destination_device));
}

// A file system mounted from a loop device over the source file lies inside the source.
bool InsideSourceFile(const BlockDeviceRoots& roots, dev_t destination_fs,
                      const FileIdentity& source_file) {
  const auto destination_device = BlockDeviceOfFileSystem(roots, destination_fs);
  return destination_device &&
         LoopBackingFilesUnder(roots, *destination_device).count(source_file) != 0;
}

// The files that make up the medium read from: an image file itself, or the files behind a loop
// device.
std::set<FileIdentity> SourceFiles(const std::string& source_name, const BlockDeviceRoots& roots) {
  struct stat st {};
  if (stat(source_name.c_str(), &st) != 0) return {};
  if (S_ISREG(st.st_mode)) return {{st.st_dev, st.st_ino}};
  if (S_ISBLK(st.st_mode)) return LoopBackingFilesUnder(roots, st.st_rdev);
  return {};
}

std::string KindOfFile(mode_t mode) {
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISDIR(mode)) return "a folder";
  if (S_ISFIFO(mode)) return "a named pipe";
  if (S_ISSOCK(mode)) return "a socket";
  return "not a regular file";
}

// Failures that will hit every later file as well.
bool DestinationWide(int error) {
  return error == ENOSPC || error == EDQUOT || error == EROFS || error == ENOENT ||
         error == ENOTDIR || error == EACCES;
}

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

}  // namespace

std::string RecoveredFileName(FileTypeId type, uint32_t index_in_type) {
  const FileTypeInfo* info = FindFileType(type);
  const std::string_view stem = info ? info->name_stem : "File";
  return std::string(stem) + std::to_string(index_in_type) + "." + std::string(ExtensionOf(type));
}

std::vector<std::string> RecoveredFileNames(const ScanResults& results) {
  std::vector<std::string> names;
  const auto found = results.Found();
  names.reserve(found.size());
  std::array<uint32_t, kTypeCount> next_index{};
  uint32_t next_other = 0;
  for (const FoundFile& file : found) {
    uint32_t& index = file.type < kTypeCount ? next_index[file.type] : next_other;
    names.push_back(RecoveredFileName(file.type, index++));
  }
  return names;
}

DestinationCheck CheckDestination(const std::string& destination, const std::string& source_name,
                                  uint64_t selected_total, const DestinationCheckOptions& options) {
  DestinationCheck check;
  struct stat destination_st {};
  std::string nearest;
  const bool destination_known = StatNearest(destination, &destination_st, &nearest);
  struct stat source_st {};
  if (destination_known && stat(source_name.c_str(), &source_st) == 0) {
    bool same = false;
    if (S_ISBLK(source_st.st_mode)) {
      same = OnSourceDevice(options.roots, destination_st.st_dev, source_st.st_rdev);
    } else if (S_ISREG(source_st.st_mode) &&
               InsideSourceFile(options.roots, destination_st.st_dev,
                                {source_st.st_dev, source_st.st_ino})) {
      same = true;
    } else if (S_ISREG(source_st.st_mode) && destination_st.st_dev == source_st.st_dev) {
      same = !options.allow_same_file_system;
      check.same_file_system_allowed = options.allow_same_file_system;
    }
    if (same) {
      check.verdict = DestinationVerdict::kSameMedium;
      check.message = kSameDriveMessage;
      return check;
    }
  }
  const uint64_t free_space = destination_known ? GetFreeSpace(nearest) : 0;
  if (!(free_space > selected_total)) {
    check.verdict = DestinationVerdict::kNoFreeSpace;
    check.message = kNoSpaceToSaveMessage;
  }
  return check;
}

std::string OpenedFileProblem(const struct stat& opened, const std::string& path,
                              const std::string& source_name, const BlockDeviceRoots& roots) {
  if (!S_ISREG(opened.st_mode)) {
    return path + " is " + KindOfFile(opened.st_mode) + ", not a file that can be written.";
  }
  if (SourceFiles(source_name, roots).count({opened.st_dev, opened.st_ino})) {
    return path + " is the source being recovered from; it is never written to.";
  }
  return {};
}

std::string OutputFileProblem(const std::string& path, const std::string& source_name,
                              const BlockDeviceRoots& roots) {
  struct stat st {};
  if (stat(path.c_str(), &st) == 0) {
    std::string problem = OpenedFileProblem(st, path, source_name, roots);
    if (!problem.empty()) return problem;
  }
  const DestinationCheck check =
      CheckDestination(path, source_name, 0, {.allow_same_file_system = true, .roots = roots});
  if (check.verdict == DestinationVerdict::kSameMedium) {
    return path + " lies on the medium being recovered from, which is never written to.";
  }
  return {};
}

std::string DestinationNotWritableProblem(const std::string& destination) {
  struct stat st {};
  std::string nearest;
  if (!StatNearest(destination, &st, &nearest)) {
    return "cannot save into " + destination + ": " + SystemErrorText(ENOENT) + ".";
  }
  if (!S_ISDIR(st.st_mode)) {
    return "cannot save into " + destination + ": " + nearest + " is " +
           (S_ISREG(st.st_mode) ? std::string("a file") : KindOfFile(st.st_mode)) +
           ", not a folder.";
  }
  // access() answers for this user (root included) and reports a read-only file system.
  if (access(nearest.c_str(), W_OK | X_OK) != 0) {
    return "cannot save into " + destination + ": " + SystemErrorText(errno) + ".";
  }
  struct statvfs vfs {};
  if (statvfs(nearest.c_str(), &vfs) == 0 && (vfs.f_flag & ST_RDONLY)) {
    return "cannot save into " + destination + ": " + SystemErrorText(EROFS) + ".";
  }
  return {};
}

namespace {

void ReplaceAll(std::string& text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
}

// Flushes a finished file to its medium, so that it is complete before it gets its name: a power
// cut must not leave an empty file under a name that looks finished.
bool FlushToMedium(const std::string& path, int* error) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *error = errno;
    return false;
  }
  const bool ok = fdatasync(fd) == 0 || errno == EINVAL;
  if (!ok) *error = errno;
  close(fd);
  return ok;
}

// Copies one marked file under its list name, or the next free one when that is taken.
struct SaveAttempt {
  SavedFile saved;
  ExtentCopyResult copy;
};

SaveAttempt SaveOne(SectorSource& source, const FoundFile& file, size_t index,
                    const std::string& wanted_name, const std::string& folder,
                    ExtentCopyObserver* progress, const std::atomic<bool>* cancel) {
  SaveAttempt attempt;
  SavedFile& saved = attempt.saved;
  saved.record_index = index;
  saved.wanted_name = wanted_name;
  saved.length = file.length;
  saved.name = wanted_name;
  const std::string temp_path = folder + "/" + PartialFileName(wanted_name);
  attempt.copy = CopyExtent(source, file, temp_path, ExistingFile::kRefuse, progress, cancel);
  ExtentCopyResult& copy = attempt.copy;
  ReplaceAll(copy.message, temp_path, folder + "/" + wanted_name);
  if (copy.ok) {
    int error = 0;
    bool placed = FlushToMedium(temp_path, &error);
    // Another program may take a name between the look and the move: look again.
    for (int tries = 0; placed && tries < 8; ++tries) {
      saved.name = NextFreeName(folder, wanted_name);
      if (MoveIntoPlace(temp_path, folder + "/" + saved.name, &error)) break;
      if (error != EEXIST || tries == 7) placed = false;
    }
    if (!placed) {
      unlink(temp_path.c_str());
      saved.name = wanted_name;
      copy.ok = false;
      copy.error_code = error;
      copy.message = "cannot write " + folder + "/" + wanted_name + ": " + SystemErrorText(error);
    }
  }
  if (copy.ok) {
    saved.outcome = copy.damaged() ? SaveOutcome::kDamaged : SaveOutcome::kWritten;
    saved.unreadable_bytes = copy.unreadable_bytes;
    saved.first_unreadable_offset = copy.first_unreadable_offset;
    saved.unreadable = copy.unreadable;
    saved.cut_short = copy.cut_short;
    saved.saved_length = copy.bytes_written;
  } else {
    saved.outcome = SaveOutcome::kFailed;
    saved.error = copy.message;
  }
  return attempt;
}

// Adds one file's outcome to the summary; false when the run must end there.
bool Account(SaveAttempt& attempt, SaveSummary& summary, SaveObserver* observer) {
  const ExtentCopyResult& copy = attempt.copy;
  if (copy.cancelled) {
    summary.cancelled = true;
    return false;
  }
  SavedFile& saved = attempt.saved;
  if (copy.ok) {
    ++(copy.damaged() ? summary.damaged : summary.written);
    if (saved.name != saved.wanted_name) ++summary.renamed;
  } else {
    ++summary.failed;
  }
  if (observer) observer->OnFileDone(saved);
  summary.files.push_back(std::move(saved));
  if (!copy.ok && DestinationWide(copy.error_code)) {
    summary.destination_failed = true;
    summary.destination_error = copy.message;
    return false;
  }
  return true;
}

// Counts bytes written by several copying threads; the running thread reports them.
class SharedProgress : public ExtentCopyObserver {
 public:
  explicit SharedProgress(std::atomic<uint64_t>* total) : total_(total) {}
  void OnCopied(uint64_t written, uint64_t) override {
    total_->fetch_add(written - last_, std::memory_order_relaxed);
    last_ = written;
  }

 private:
  std::atomic<uint64_t>* total_;
  uint64_t last_ = 0;
};

}  // namespace

SaveSummary SaveMarkedFiles(SectorSource& source, const ScanResults& results,
                            const std::string& folder, SaveObserver* observer,
                            const std::atomic<bool>* cancel, int threads) {
  SaveSummary summary;
  const auto found = results.Found();
  const std::vector<std::string> names = RecoveredFileNames(results);
  uint64_t total_bytes = 0;
  std::vector<size_t> marked;
  for (size_t i = 0; i < found.size(); ++i) {
    if (!found[i].selected) continue;
    marked.push_back(i);
    total_bytes += found[i].length;
  }
  summary.stale_partial_files_removed = RemoveStalePartialFiles(folder);
  if (observer) observer->OnStart(marked.size(), total_bytes);

  std::vector<std::unique_ptr<SectorSource>> clones;
  for (int t = 0; threads > 1 && t < threads && marked.size() > 1; ++t) {
    auto clone = source.Clone();
    if (!clone) {
      clones.clear();
      break;
    }
    clones.push_back(std::move(clone));
  }

  if (clones.empty()) {
    RunProgress progress(observer, total_bytes);
    for (const size_t i : marked) {
      if (cancel && cancel->load(std::memory_order_relaxed)) {
        summary.cancelled = true;
        break;
      }
      progress.StartFile();
      SaveAttempt attempt = SaveOne(source, found[i], i, names[i], folder, &progress, cancel);
      if (!Account(attempt, summary, observer)) break;
    }
    return summary;
  }

  // Several files are copied at once, each thread through its own handle on the medium; the
  // outcomes are taken in list order, so the summary and the reports are those of one thread.
  // Files copied past the point where the run ended (a cancel, a full destination) are removed.
  std::mutex mutex;
  std::condition_variable done;
  std::vector<std::optional<SaveAttempt>> attempts(marked.size());
  size_t next = 0;
  bool quit = false;
  std::atomic<uint64_t> bytes_done{0};
  auto worker = [&](SectorSource* handle) {
    for (;;) {
      size_t slot;
      {
        std::lock_guard lock(mutex);
        if (quit || next >= marked.size()) return;
        slot = next++;
      }
      const size_t i = marked[slot];
      SharedProgress progress(&bytes_done);
      SaveAttempt attempt;
      if (cancel && cancel->load(std::memory_order_relaxed)) {
        attempt.copy.cancelled = true;
      } else {
        attempt = SaveOne(*handle, found[i], i, names[i], folder, &progress, cancel);
      }
      {
        std::lock_guard lock(mutex);
        attempts[slot] = std::move(attempt);
      }
      done.notify_all();
    }
  };
  std::vector<std::thread> workers;
  for (auto& clone : clones) workers.emplace_back(worker, clone.get());

  size_t slot = 0;
  for (; slot < marked.size(); ++slot) {
    std::optional<SaveAttempt> attempt;
    {
      std::unique_lock lock(mutex);
      while (!attempts[slot]) {
        done.wait_for(lock, std::chrono::milliseconds(100));
        if (!attempts[slot] && observer) {
          lock.unlock();
          observer->OnProgress(bytes_done.load(), total_bytes);
          lock.lock();
        }
      }
      attempt = std::move(attempts[slot]);
      attempts[slot].reset();
    }
    if (observer) observer->OnProgress(bytes_done.load(), total_bytes);
    if (!Account(*attempt, summary, observer)) break;
  }
  {
    std::lock_guard lock(mutex);
    quit = true;
  }
  for (auto& thread : workers) thread.join();
  for (size_t later = slot + 1; later < marked.size(); ++later) {
    if (attempts[later] && attempts[later]->copy.ok) {
      std::remove((folder + "/" + attempts[later]->saved.name).c_str());
    }
  }
  return summary;
}

bool SaveOneFileInto(SectorSource& source, const FoundFile& file, size_t record_index,
                     const std::string& wanted_name, const std::string& folder,
                     SaveSummary& summary, SaveObserver* observer, ExtentCopyObserver* progress,
                     const std::atomic<bool>* cancel) {
  SaveAttempt attempt = SaveOne(source, file, record_index, wanted_name, folder, progress, cancel);
  return Account(attempt, summary, observer);
}

std::string SaveSummaryText(const SaveSummary& summary, const std::string& folder) {
  char line[512];
  const uint64_t saved = summary.written + summary.damaged;
  std::snprintf(line, sizeof(line),
                "Saved %" PRIu64 " file%s to %s: %" PRIu64 " whole, %" PRIu64 " damaged, %" PRIu64
                " failed.\n",
                saved, saved == 1 ? "" : "s", folder.c_str(), summary.written, summary.damaged,
                summary.failed);
  std::string text = line;
  for (const SavedFile& file : summary.files) {
    if (file.outcome == SaveOutcome::kDamaged && file.cut_short) {
      std::snprintf(line, sizeof(line),
                    "%s is cut short: the source ends after %" PRIu64 " of its %" PRIu64
                    " bytes.\n",
                    file.name.c_str(), file.saved_length, file.length);
      text += line;
    }
    if (file.outcome == SaveOutcome::kDamaged && file.unreadable_bytes > 0) {
      std::snprintf(line, sizeof(line),
                    "%s is damaged: %" PRIu64 " of its %" PRIu64
                    " bytes could not be read (first at offset %" PRIu64
                    " of the source) and were written as zeros.\n",
                    file.name.c_str(), file.unreadable_bytes, file.length,
                    file.first_unreadable_offset);
      text += line;
      text += "  Unreadable on the source:";
      size_t listed = 0;
      for (const ByteRange& range : file.unreadable) {
        if (listed == 16) {
          text += " ...";
          break;
        }
        std::snprintf(line, sizeof(line), "%s %" PRIu64 " bytes at offset %" PRIu64,
                      listed ? "," : "", range.length, range.offset);
        text += line;
        ++listed;
      }
      text += ".\n";
    } else if (file.outcome == SaveOutcome::kFailed) {
      text += file.wanted_name + " was not saved: " + file.error + "\n";
    }
  }
  if (summary.renamed) {
    std::snprintf(line, sizeof(line),
                  "%" PRIu64 " file%s saved under the next free name because %s taken:",
                  summary.renamed, summary.renamed == 1 ? " was" : "s were",
                  summary.renamed == 1 ? "its name was" : "their names were");
    text += line;
    size_t listed = 0;
    for (const SavedFile& file : summary.files) {
      if (file.outcome == SaveOutcome::kFailed || file.name == file.wanted_name) continue;
      if (listed == 20) {
        text += " ...";
        break;
      }
      text += (listed ? ", " : " ") + file.wanted_name + " as " + file.name;
      ++listed;
    }
    text += ".\n";
  }
  if (summary.stale_partial_files_removed) {
    std::snprintf(line, sizeof(line),
                  "%" PRIu64 " unfinished temporary file%s left by an earlier run %s removed.\n",
                  summary.stale_partial_files_removed,
                  summary.stale_partial_files_removed == 1 ? "" : "s",
                  summary.stale_partial_files_removed == 1 ? "was" : "were");
    text += line;
  }
  if (summary.destination_failed) {
    text += "Saving stopped: " + summary.destination_error + "\n";
  }
  if (summary.cancelled) text += "Saving was cancelled; the file in hand was deleted.\n";
  return text;
}

}  // namespace pictavo
