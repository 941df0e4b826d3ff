#include "results/recovery.h"

#include <errno.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cinttypes>
#include <cstdio>

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
