#include <sys/stat.h>

#include <cinttypes>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "cli/cli_util.h"
#include "cli/commands.h"
#include "filesystems/isolated_listing.h"
#include "filesystems/live_areas.h"
#include "filesystems/named_content.h"
#include "platform/sector_source.h"
#include "results/recovery.h"
#include "results/size_text.h"

namespace pictavo::cli {
namespace {

constexpr char kFilesHelp[] =
    "Usage: pictavo-cli files [OPTIONS] SOURCE\n"
    "\n"
    "Reads the partition table and the file systems of SOURCE (FAT12/16/32, exFAT, NTFS,\n"
    "ext2/3/4, HFS+, ISO 9660, ...) and lists the photos, raw camera files and media they\n"
    "hold, live and deleted, with their folders and names. A deleted file is 'deleted,\n"
    "recoverable' when its first cluster is free and its content still starts as its type's\n"
    "does, else 'deleted, overwritten'. A deleted FAT short name has lost its first letter:\n"
    "it is shown as '_'. Nothing is ever written to SOURCE.\n"
    "\n"
    "Options:\n"
    "  --deleted-only      list deleted files only\n"
    "  --all               list files of every type, not only the recognised ones\n"
    "  --orphans           also look for deleted files whose folder is gone (slower)\n"
    "  --sector-size N     sector size of a raw dump in bytes (default 512)\n"
    "  --format FORMAT     table (default on a terminal), tsv (default otherwise) or json\n"
    "  -h, --help          show this help\n"
    "\n"
    "tsv prints one header line and one line per file with the columns state, type, size,\n"
    "path, modified (UTC, ISO 8601) and offset: the first byte's offset on SOURCE when the\n"
    "file lies in one piece, else '-'. Tabs, newlines and backslashes in names are written\n"
    "as \\t, \\n and \\\\. Problems met in the file systems are printed on standard error.\n"
    "\n"
    "Exit status: 0 listed (even when empty), 1 SOURCE unreadable or the file-system pass\n"
    "failed, 2 wrong arguments.\n";

std::string TimeText(int64_t seconds) {
  if (seconds <= 0) return "-";
  const time_t t = static_cast<time_t>(seconds);
  tm parts{};
  if (gmtime_r(&t, &parts) == nullptr) return "-";
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
  return text;
}

std::string TsvField(std::string_view text) {
  std::string out;
  for (const char c : text) {
    if (c == '\t') {
      out += "\\t";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\\') {
      out += "\\\\";
    } else {
      out += c;
    }
  }
  return out;
}

std::string TypeText(FileTypeId type) {
  return type == kTypeNone ? "-" : std::string(ExtensionOf(type));
}

std::string OffsetText(const NamedFile& file) {
  const auto offset = file.ContiguousOffset();
  return offset ? std::to_string(*offset) : "-";
}

void PrintListing(std::FILE* out, OutputFormat format, const std::string& source_name,
                  const FileSystemListing& listing, const std::vector<size_t>& shown) {
  switch (format) {
    case OutputFormat::kTsv:
      std::fputs("state\ttype\tsize\tpath\tmodified\toffset\n", out);
      for (const size_t i : shown) {
        const NamedFile& f = listing.files[i];
        std::fprintf(out, "%s\t%s\t%" PRIu64 "\t%s\t%s\t%s\n",
                     std::string(NamedFileStateText(f.state)).c_str(), TypeText(f.type).c_str(),
                     f.size, TsvField(NamedFileShownPath(listing, f)).c_str(),
                     TimeText(f.modified).c_str(), OffsetText(f).c_str());
      }
      break;
    case OutputFormat::kJson: {
      std::fprintf(out, "{\n  \"source\": \"%s\",\n  \"file_systems\": [",
                   JsonEscape(source_name).c_str());
      for (size_t v = 0; v < listing.volumes.size(); ++v) {
        const FileSystemVolume& volume = listing.volumes[v];
        std::fprintf(out,
                     "%s\n    {\"type\": \"%s\", \"partition\": \"%s\", \"offset\": %" PRIu64
                     ", \"size\": %" PRIu64 ", \"block_size\": %u}",
                     v ? "," : "", JsonEscape(volume.type_name).c_str(),
                     JsonEscape(volume.partition_name).c_str(), volume.offset, volume.size,
                     volume.block_size);
      }
      std::fputs(listing.volumes.empty() ? "],\n  \"notes\": [" : "\n  ],\n  \"notes\": [", out);
      for (size_t n = 0; n < listing.notes.size(); ++n) {
        std::fprintf(out, "%s\n    \"%s\"", n ? "," : "", JsonEscape(listing.notes[n]).c_str());
      }
      std::fputs(listing.notes.empty() ? "],\n  \"files\": [" : "\n  ],\n  \"files\": [", out);
      bool first = true;
      for (const size_t i : shown) {
        const NamedFile& f = listing.files[i];
        const auto offset = f.ContiguousOffset();
        std::fprintf(
            out,
            "%s\n    {\"state\": \"%s\", \"type\": \"%s\", \"size\": %" PRIu64
            ", \"path\": \"%s\", \"modified\": \"%s\", \"offset\": %s}",
            first ? "" : ",", std::string(NamedFileStateText(f.state)).c_str(),
            TypeText(f.type).c_str(), f.size, JsonEscape(NamedFileShownPath(listing, f)).c_str(),
            TimeText(f.modified).c_str(), offset ? std::to_string(*offset).c_str() : "null");
        first = false;
      }
      std::fputs(first ? "]\n}\n" : "\n  ]\n}\n", out);
      break;
    }
    case OutputFormat::kTable: {
      std::fprintf(out, "Source: %s\n", source_name.c_str());
      for (const FileSystemVolume& volume : listing.volumes) {
        std::fprintf(out, "File system: %s%s%s at byte %" PRIu64 ", %s\n",
                     volume.partition_name.c_str(), volume.partition_name.empty() ? "" : ", ",
                     volume.type_name.c_str(), volume.offset, SizeText(volume.size).c_str());
      }
      if (listing.volumes.empty() && !listing.pass_failed) {
        std::fputs("No file system was recognised.\n", out);
      }
      std::fputs("\n", out);
      if (!shown.empty()) {
        std::fprintf(out, "%-21s %-5s %14s  %-20s  %s\n", "state", "type", "size", "modified",
                     "path");
      }
      for (const size_t i : shown) {
        const NamedFile& f = listing.files[i];
        std::fprintf(out, "%-21s %-5s %14" PRIu64 "  %-20s  %s\n",
                     std::string(NamedFileStateText(f.state)).c_str(), TypeText(f.type).c_str(),
                     f.size, TimeText(f.modified).c_str(), NamedFileShownPath(listing, f).c_str());
      }
      uint64_t live = 0, recoverable = 0, overwritten = 0;
      for (const size_t i : shown) {
        const NamedFileState state = listing.files[i].state;
        ++(state == NamedFileState::kLive                 ? live
           : state == NamedFileState::kDeletedRecoverable ? recoverable
                                                          : overwritten);
      }
      std::fprintf(out,
                   "\n%zu file%s: %" PRIu64 " live, %" PRIu64 " deleted and recoverable, %" PRIu64
                   " deleted and overwritten\n",
                   shown.size(), shown.size() == 1 ? "" : "s", live, recoverable, overwritten);
      break;
    }
  }
}

class NamedSaveProgress : public SaveObserver {
 public:
  explicit NamedSaveProgress(ProgressLine* progress) : progress_(progress) {}
  void OnStart(uint64_t count, uint64_t) override { count_ = count; }
  void OnProgress(uint64_t done, uint64_t total) override {
    progress_->Update(done, total,
                      "file " + std::to_string(done_ + 1) + "/" + std::to_string(count_));
  }
  void OnFileDone(const SavedFile&) override { ++done_; }

 private:
  ProgressLine* progress_;
  uint64_t count_ = 0, done_ = 0;
};

// Saves the files of `listing` that the options pick, skipping deleted ones whose content is
// overwritten, after `destination_accepted` approved the folder for their bytes.
int SaveByName(SectorSource& source, const FileSystemListing& listing, const std::string& folder,
               const FileTypeSelection& selection, bool deleted_only,
               const std::function<bool(uint64_t)>& destination_accepted) {
  std::vector<size_t> which;
  uint64_t overwritten = 0;
  for (size_t i = 0; i < listing.files.size(); ++i) {
    const NamedFile& file = listing.files[i];
    if ((deleted_only && !file.deleted) || !selection.IsSelected(file.type)) continue;
    if (file.state == NamedFileState::kDeletedOverwritten) {
      ++overwritten;
      continue;
    }
    which.push_back(i);
  }
  if (overwritten > 0) {
    std::fprintf(stderr,
                 "pictavo-cli: %" PRIu64
                 " deleted file%s overwritten and not saved by name; carving may still find "
                 "%s content\n",
                 overwritten, overwritten == 1 ? " was" : "s were",
                 overwritten == 1 ? "its" : "their");
  }
  if (which.empty()) {
    std::puts("Nothing to save: no file with a name matches.");
    return 0;
  }
  if (!destination_accepted(NamedFilesBytes(listing, which))) return 1;
  std::error_code made;
  std::filesystem::create_directories(folder, made);
  if (made) {
    PrintError("cannot create " + folder + ": " + made.message());
    return 1;
  }
  ProgressLine progress("Saving");
  NamedSaveProgress observer(&progress);
  const SaveSummary summary =
      SaveNamedFiles(source, listing, which, folder, &observer, &InterruptFlag());
  progress.Finish();
  std::fputs(SaveSummaryText(summary, folder).c_str(), stdout);
  if (summary.cancelled) return 130;
  return summary.all_written() ? 0 : 1;
}

}  // namespace

void PrintNotes(const FileSystemListing& listing) {
  for (const std::string& note : listing.notes) {
    std::fprintf(stderr, "pictavo-cli: note: %s\n", note.c_str());
  }
}

void PrintNamedFiles(std::FILE* out, OutputFormat format, const std::string& source_name,
                     const FileSystemListing& listing) {
  std::vector<size_t> all(listing.files.size());
  for (size_t i = 0; i < all.size(); ++i) all[i] = i;
  PrintListing(out, format, source_name, listing, all);
}

FileSystemListing ListNamedFiles(SectorSource& source, bool all_types, bool orphans) {
  ListingOptions options;
  options.all_types = all_types;
  options.orphans = orphans;
  IsolationOptions isolation;
  isolation.cancel = &InterruptFlag();
  FileSystemListing listing = ListFileSystemsIsolated(source, options, isolation);
  ClassifyNamedFiles(source, listing);
  return listing;
}

std::optional<FreeSpacePlan> PlanUnallocatedScan(SectorSource& source) {
  IsolationOptions isolation;
  isolation.cancel = &InterruptFlag();
  FreeSpacePlan plan = PlanFreeSpaceScan(source, isolation);
  if (InterruptFlag().load()) return std::nullopt;
  for (const std::string& note : plan.notes) {
    std::fprintf(stderr, "pictavo-cli: note: %s\n", note.c_str());
  }
  std::fprintf(stderr, "pictavo-cli: %s\n", plan.Summary().c_str());
  return plan;
}

int RunFilesCommand(int argc, char** argv, int first) {
  Args args(argc, argv, first);
  std::string format_text, sector_size_text, source_name;
  bool deleted_only = false, all_types = false, orphans = false;
  while (!args.Done()) {
    if (args.TakeFlag("-h") || args.TakeFlag("--help")) {
      std::fputs(kFilesHelp, stdout);
      return 0;
    }
    if (args.TakeOption("--format", &format_text) ||
        args.TakeOption("--sector-size", &sector_size_text)) {
      continue;
    }
    if (args.TakeFlag("--deleted-only")) {
      deleted_only = true;
      continue;
    }
    if (args.TakeFlag("--all")) {
      all_types = true;
      continue;
    }
    if (args.TakeFlag("--orphans")) {
      orphans = true;
      continue;
    }
    if (!args.error().empty()) break;
    if (!TakeSourceOperand(args, "files", &source_name)) return 2;
  }
  if (!args.error().empty()) {
    PrintError("files: " + args.error());
    return 2;
  }
  if (source_name.empty()) {
    PrintError("files: no SOURCE given (see 'pictavo-cli files --help')");
    return 2;
  }
  const auto format = ParseOutputFormat(format_text);
  if (!format) {
    PrintError("files: unknown format '" + format_text + "' (table, tsv or json)");
    return 2;
  }
  OpenOptions open_options;
  if (!ParseSectorSizeOption("files", sector_size_text, &open_options)) return 2;
  auto source = OpenSourceOrReport(source_name, open_options);
  if (!source) return 1;
  InstallInterruptHandler();

  const FileSystemListing listing = ListNamedFiles(*source, all_types, orphans);
  if (InterruptFlag().load()) {
    PrintError("cancelled");
    return 130;
  }
  std::vector<size_t> shown;
  for (size_t i = 0; i < listing.files.size(); ++i) {
    if (!deleted_only || listing.files[i].deleted) shown.push_back(i);
  }
  PrintListing(stdout, *format, source_name, listing, shown);
  std::fflush(stdout);
  PrintNotes(listing);
  return listing.pass_failed ? 1 : 0;
}

int RecoverByName(SectorSource& source, const std::string& folder,
                  const FileTypeSelection& selection, bool deleted_only,
                  const std::function<bool(uint64_t)>& destination_accepted) {
  const FileSystemListing listing = ListNamedFiles(source, false, false);
  PrintNotes(listing);
  if (InterruptFlag().load()) {
    PrintError("cancelled while reading the file systems; nothing was saved");
    return 130;
  }
  if (listing.pass_failed) {
    PrintError("nothing was saved by name; 'pictavo-cli recover' without --by-name still carves");
    return 1;
  }
  if (listing.volumes.empty()) {
    std::puts("Nothing to save: no file system was recognised on the source.");
    return 0;
  }
  return SaveByName(source, listing, folder, selection, deleted_only, destination_accepted);
}

int RecoverByNameFromSnapshot(SectorSource& source, FileSystemListing listing,
                              const std::string& folder, const FileTypeSelection& selection,
                              bool deleted_only,
                              const std::function<bool(uint64_t)>& destination_accepted) {
  PrintNotes(listing);
  // The maps are the snapshot's; whether each file still starts as its type's is judged on the
  // source as it is now, as a fresh listing would, so content overwritten since is not saved.
  std::vector<bool> matched_then(listing.files.size());
  for (size_t i = 0; i < listing.files.size(); ++i) {
    matched_then[i] = listing.files[i].content_matches;
  }
  ClassifyNamedFiles(source, listing);
  uint64_t checked = 0, changed = 0;
  for (size_t i = 0; i < listing.files.size(); ++i) {
    if (!matched_then[i] || listing.files[i].type == kTypeNone) continue;
    ++checked;
    if (!listing.files[i].content_matches) ++changed;
  }
  if (checked > 0 && changed == checked) {
    PrintError(TerminalText(source.Name()) +
               " does not hold the files the snapshot lists: none of them starts as it did "
               "when the snapshot was made. It is not the medium the snapshot was made of, or "
               "it was written over since; nothing was saved");
    return 1;
  }
  if (changed > 0) {
    std::fprintf(stderr,
                 "pictavo-cli: warning: %" PRIu64 " of %" PRIu64
                 " files no longer start as when the snapshot was made: the source was written "
                 "to since, or is not the same medium\n",
                 changed, checked);
  }
  return SaveByName(source, listing, folder, selection, deleted_only, destination_accepted);
}

}  // namespace pictavo::cli
