#include "results/recovery.h"

#include <errno.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cinttypes>

#include "platform/output_file.h"
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

bool OnSourceDevice(const BlockDeviceRoots& roots, dev_t destination_fs, dev_t source_device) {
  if (destination_fs == source_device) return true;
  const auto destination_device = BlockDeviceOfFileSystem(roots, destination_fs);
  if (!destination_device) return false;
  if (*destination_device == source_device) return true;
  const auto source_disks = DisksUnder(roots, source_device);
  for (const std::string& disk : DisksUnder(roots, *destination_device)) {
    if (source_disks.count(disk)) return true;
  }
  return false;
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
  return "File" + std::to_string(index_in_type) + "." + std::string(ExtensionOf(type));
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

SaveSummary SaveMarkedFiles(SectorSource& source, const ScanResults& results,
                            const std::string& folder, SaveObserver* observer,
                            const std::atomic<bool>* cancel) {
  SaveSummary summary;
  const auto found = results.Found();
  const std::vector<std::string> names = RecoveredFileNames(results);
  uint64_t file_count = 0, total_bytes = 0;
  for (const FoundFile& file : found) {
    if (!file.selected) continue;
    ++file_count;
    total_bytes += file.length;
  }
  if (observer) observer->OnStart(file_count, total_bytes);
  RunProgress progress(observer, total_bytes);

  for (size_t i = 0; i < found.size(); ++i) {
    const FoundFile& file = found[i];
    if (!file.selected) continue;
    if (cancel && cancel->load(std::memory_order_relaxed)) {
      summary.cancelled = true;
      break;
    }
    SavedFile saved;
    saved.record_index = i;
    saved.wanted_name = names[i];
    saved.length = file.length;
    progress.StartFile();
    ExtentCopyResult copy;
    // Another program may take a name between the look and the exclusive create: look again.
    for (int attempt = 0; attempt < 8; ++attempt) {
      saved.name = NextFreeName(folder, saved.wanted_name);
      copy = CopyExtent(source, file, folder + "/" + saved.name, ExistingFile::kRefuse, &progress,
                        cancel);
      if (copy.ok || copy.error_code != EEXIST) break;
    }
    if (copy.cancelled) {
      summary.cancelled = true;
      break;
    }
    if (copy.ok) {
      saved.outcome = copy.damaged() ? SaveOutcome::kDamaged : SaveOutcome::kWritten;
      saved.unreadable_bytes = copy.unreadable_bytes;
      saved.first_unreadable_offset = copy.first_unreadable_offset;
      ++(copy.damaged() ? summary.damaged : summary.written);
      if (saved.name != saved.wanted_name) ++summary.renamed;
    } else {
      saved.outcome = SaveOutcome::kFailed;
      saved.error = copy.message;
      ++summary.failed;
    }
    if (observer) observer->OnFileDone(saved);
    summary.files.push_back(std::move(saved));
    if (!copy.ok && DestinationWide(copy.error_code)) {
      summary.destination_failed = true;
      summary.destination_error = copy.message;
      break;
    }
  }
  return summary;
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
    if (file.outcome == SaveOutcome::kDamaged) {
      std::snprintf(line, sizeof(line),
                    "%s is damaged: %" PRIu64 " of its %" PRIu64
                    " bytes could not be read (first at offset %" PRIu64
                    " of the source) and were written as zeros.\n",
                    file.name.c_str(), file.unreadable_bytes, file.length,
                    file.first_unreadable_offset);
      text += line;
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
  if (summary.destination_failed) {
    text += "Saving stopped: " + summary.destination_error + "\n";
  }
  if (summary.cancelled) text += "Saving was cancelled; the file in hand was deleted.\n";
  return text;
}

}  // namespace pictavo
