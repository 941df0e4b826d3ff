#include <sys/stat.h>

#include <cinttypes>
#include <cstdio>
#include <filesystem>
#include <string>

#include "cli/cli_util.h"
#include "cli/commands.h"
#include "cli/recover_filters.h"
#include "engine/scan_engine.h"
#include "filesystems/named_content.h"
#include "platform/sector_source.h"
#include "results/recovery.h"
#include "results/saving_session.h"
#include "results/snapshot.h"

namespace pictavo::cli {
namespace {

constexpr char kRecoverHelp[] =
    "Usage: pictavo-cli recover [OPTIONS] SOURCE --to DIR\n"
    "       pictavo-cli recover --snapshot FILE [--select LIST] --to DIR\n"
    "       pictavo-cli recover SOURCE --by-name --to DIR [--deleted-only] [--types LIST]\n"
    "       pictavo-cli recover --snapshot FILE --by-name --to DIR [--deleted-only]\n"
    "                           [--types LIST]\n"
    "\n"
    "Scans SOURCE (a disk, a partition, a pictavo disk image or a raw dump) and copies every\n"
    "file it finds into DIR, or copies files listed in a recovery snapshot out of the source\n"
    "the snapshot was made of. Files are named as the wizard lists them: File0.jpeg,\n"
    "File1.jpeg, ..., File0.png, ... A name that is taken in DIR gets the next free one\n"
    "(File0 (2).jpeg): nothing is ever overwritten. Parts of a file that cannot be read are\n"
    "written as zeros and the file is reported as damaged.\n"
    "\n"
    "DIR must not lie on the medium being recovered from, and needs more free space than the\n"
    "files take. It is created when missing.\n"
    "\n"
    "Options:\n"
    "  --to DIR            the folder to write the files into (required)\n"
    "  --types LIST        comma-separated types to search for (default: all), by\n"
    "                      extension or name, e.g. jpeg,heic,mp4,dng-other\n"
    "  --sector-size N     sector size of a raw dump in bytes (default 512)\n"
    "  --exact-ends        measure every file whole by its format's structure (also\n"
    "                      PICTAVO_EXACT_ENDS=1)\n"
    "  --unallocated       carve only the space that no live file of SOURCE's file systems\n"
    "                      occupies (see 'pictavo-cli scan --unallocated')\n"
    "  --snapshot FILE     save from a snapshot instead of scanning\n"
    "  --select LIST       with --snapshot: the files to save, as names (File3.jpeg), numbers\n"
    "                      from 'pictavo-cli snapshot show' (the # column) or types (jpeg);\n"
    "                      default: the files marked in the snapshot, or all when none is\n"
    "  --allow-same-filesystem\n"
    "                      when SOURCE is an image file, allow DIR on the file system that\n"
    "                      holds it (the image itself is never written to). Never lifts the\n"
    "                      refusal of a DIR on a disk or partition being recovered from\n"
    "  --by-name           save the files the file systems of SOURCE still describe, live\n"
    "                      and deleted, under their folders and names and with their\n"
    "                      modification times, instead of carving (see 'pictavo-cli files');\n"
    "                      deleted files whose content is overwritten are skipped. With\n"
    "                      --snapshot: the files with names the snapshot keeps ('pictavo-cli\n"
    "                      scan --names --snapshot FILE'), saved from its source\n"
    "  --deleted-only      with --by-name: save deleted files only\n"
    "  --names             name each carved file after the file that the file systems of\n"
    "                      SOURCE list at its first byte (IMG_0001.JPG), in the folder\n"
    "                      --organise gives it; other files keep their numbered names.\n"
    "                      With --snapshot, the files with names the snapshot keeps are\n"
    "                      used ('pictavo-cli scan --names --snapshot'), or else those of\n"
    "                      the snapshot's source\n"
    "  --organise HOW      lay the files out in folders: 'type' (jpeg/, cr2/, ...), 'date'\n"
    "                      (2024/2024-07-13/, photos named after the time they were taken,\n"
    "                      2024-07-13 18.22.05.jpeg, with that time as modification time;\n"
    "                      files without a date keep their numbered name, in undated/), or\n"
    "                      'type,date'\n"
    "  --min-size BYTES    leave out files smaller than BYTES (suffixes K, M, G: 1024, ...)\n"
    "  --min-pixels WxH    leave out pictures smaller than W x H pixels either way round (the\n"
    "                      long side below the larger number or the short side below the\n"
    "                      smaller); a single number N leaves out pictures of fewer than N\n"
    "                      pixels. Pictures whose size is unknown are kept (see --skip-failed)\n"
    "  --skip-failed       leave out pictures that do not decode at all\n"
    "  --unique            save files with the same content once (the first in the list)\n"
    "  -h, --help          show this help\n"
    "\n"
    "The filters read the files first, with progress on standard error. Files left out keep\n"
    "their numbers, so the names of the others do not change.\n"
    "\n"
    "Exit status: 0 every file saved whole, 1 something damaged, failed or refused,\n"
    "2 wrong arguments, 130 cancelled with Ctrl-C.\n";

class CliScanProgress : public ScanObserver {
 public:
  explicit CliScanProgress(ProgressLine* progress) : progress_(progress) {}
  void OnStart(uint64_t size, uint16_t sector_size) override {
    total_ = size;
    chunk_ = ChunkSectorsFor(sector_size) * sector_size;
  }
  void OnProgress(uint32_t, uint64_t, uint64_t position) override {
    position_ = std::min(total_, position + chunk_);
    progress_->Update(position_, total_, "found " + std::to_string(found_));
  }
  void OnFound(uint64_t found_count, const FoundFile&) override { found_ = found_count; }

 private:
  ProgressLine* progress_;
  uint64_t total_ = 0, chunk_ = 0, position_ = 0, found_ = 0;
};

class CliSaveProgress : public SavingObserver {
 public:
  explicit CliSaveProgress(ProgressLine* progress) : progress_(progress) {}
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

// Marks the snapshot's files that `list` names; false (with the reason) for an unknown item.
bool SelectFromList(std::string_view list, ScanResults& results, std::string* error) {
  const std::vector<std::string> names = RecoveredFileNames(results);
  auto found = results.Found();
  for (FoundFile& file : found) file.selected = 0;
  while (!list.empty()) {
    const size_t comma = list.find(',');
    const std::string item(list.substr(0, comma));
    list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 1);
    if (item.empty()) continue;
    bool matched = false;
    if (const auto number = ParseUnsigned(item)) {
      if (*number >= 1 && *number <= found.size()) {
        found[*number - 1].selected = 1;
        matched = true;
      }
    } else {
      const std::optional<FileTypeId> type = TypeFromName(item);
      for (size_t i = 0; i < found.size(); ++i) {
        if (names[i] == item || (type && found[i].type == *type)) {
          found[i].selected = 1;
          matched = true;
        }
      }
    }
    if (!matched) {
      *error = "'" + item + "' names no file of the snapshot (see 'pictavo-cli snapshot show')";
      return false;
    }
  }
  return true;
}

// Applies the destination check and prints its verdict; true when saving may go ahead.
bool DestinationAccepted(const std::string& folder, const std::string& source_name,
                         uint64_t selected_total, bool allow_same_file_system, bool final_check) {
  DestinationCheckOptions options;
  options.allow_same_file_system = allow_same_file_system;
  const DestinationCheck check = CheckDestination(folder, source_name, selected_total, options);
  if (!check.accepted()) {
    PrintError("cannot save into " + folder + ":\n" + check.message);
    struct stat st {};
    if (check.verdict == DestinationVerdict::kSameMedium && stat(source_name.c_str(), &st) == 0 &&
        S_ISREG(st.st_mode)) {
      std::fputs(
          "The folder is on the file system that holds the image; choose another one, or "
          "add --allow-same-filesystem.\n",
          stderr);
    }
    return false;
  }
  if (check.same_file_system_allowed && final_check) {
    std::fputs(
        "pictavo-cli: warning: saving onto the file system that holds the image "
        "(--allow-same-filesystem); the image itself is not written to\n",
        stderr);
  }
  return true;
}

}  // namespace

int RunRecoverCommand(int argc, char** argv, int first) {
  Args args(argc, argv, first);
  std::string folder, types, sector_size_text, snapshot_path, select, source_name;
  bool allow_same_file_system = false, by_name = false, deleted_only = false;
  bool exact_ends_flag = false;
  bool unallocated = false, names_wanted = false;
  std::string organise_text, min_size_text, min_pixels_text;
  RecoverFilters filters;
  while (!args.Done()) {
    if (args.TakeFlag("-h") || args.TakeFlag("--help")) {
      std::fputs(kRecoverHelp, stdout);
      return 0;
    }
    if (args.TakeOption("--to", &folder) || args.TakeOption("--types", &types) ||
        args.TakeOption("--sector-size", &sector_size_text) ||
        args.TakeOption("--snapshot", &snapshot_path) || args.TakeOption("--select", &select) ||
        args.TakeOption("--organise", &organise_text) ||
        args.TakeOption("--min-size", &min_size_text) ||
        args.TakeOption("--min-pixels", &min_pixels_text)) {
      continue;
    }
    if (args.TakeFlag("--skip-failed")) {
      filters.skip_failed = true;
      continue;
    }
    if (args.TakeFlag("--unique")) {
      filters.unique = true;
      continue;
    }
    if (args.TakeFlag("--allow-same-filesystem")) {
      allow_same_file_system = true;
      continue;
    }
    if (args.TakeFlag("--exact-ends")) {
      exact_ends_flag = true;
      continue;
    }
    if (args.TakeFlag("--unallocated")) {
      unallocated = true;
      continue;
    }
    if (args.TakeFlag("--by-name")) {
      by_name = true;
      continue;
    }
    if (args.TakeFlag("--deleted-only")) {
      deleted_only = true;
      continue;
    }
    if (args.TakeFlag("--names")) {
      names_wanted = true;
      continue;
    }
    if (!args.error().empty()) break;
    if (!TakeSourceOperand(args, "recover", &source_name)) return 2;
  }
  if (!args.error().empty()) {
    PrintError("recover: " + args.error());
    return 2;
  }
  if (folder.empty()) {
    PrintError("recover: no destination folder given (--to DIR)");
    return 2;
  }
  if (snapshot_path.empty() == source_name.empty()) {
    PrintError("recover: give either a SOURCE to scan or --snapshot FILE");
    return 2;
  }
  if (!snapshot_path.empty() && ((!types.empty() && !by_name) || !sector_size_text.empty())) {
    PrintError("recover: --types and --sector-size apply to a scan, not to --snapshot");
    return 2;
  }
  if (!snapshot_path.empty() && exact_ends_flag) {
    PrintError("recover: --exact-ends applies to a scan, not to --snapshot");
    return 2;
  }
  if (deleted_only && !by_name) {
    PrintError("recover: --deleted-only goes with --by-name");
    return 2;
  }
  if (by_name && !select.empty()) {
    PrintError("recover: --select picks carved files; --by-name takes --types and --deleted-only");
    return 2;
  }
  if (unallocated && (!snapshot_path.empty() || by_name)) {
    PrintError("recover: --unallocated applies to a scan, not to --snapshot or --by-name");
    return 2;
  }
  if (names_wanted && by_name) {
    PrintError("recover: --names names carved files; --by-name saves files with names already");
    return 2;
  }
  if (snapshot_path.empty() && !select.empty()) {
    PrintError("recover: --select applies to --snapshot");
    return 2;
  }
  SavingLayout layout;
  if (!organise_text.empty()) {
    const auto parsed = ParseOrganise(organise_text);
    if (!parsed) {
      PrintError("recover: --organise takes type, date or type,date");
      return 2;
    }
    layout = *parsed;
  }
  if (!min_size_text.empty()) {
    const auto bytes = ParseByteCount(min_size_text);
    if (!bytes) {
      PrintError("recover: --min-size takes a byte count such as 20000, 64K or 2M");
      return 2;
    }
    filters.min_size = *bytes;
  }
  if (!min_pixels_text.empty() && !ParseMinPixels(min_pixels_text, &filters)) {
    PrintError("recover: --min-pixels takes WIDTHxHEIGHT such as 320x240, or a pixel count");
    return 2;
  }
  if (by_name && (filters.any() || !layout.flat())) {
    PrintError(
        "recover: --organise, --min-size, --min-pixels, --skip-failed and --unique apply to "
        "carved files, not to --by-name");
    return 2;
  }
  std::string error_text;
  const auto selection = ParseTypeList(types, &error_text);
  if (!selection) {
    PrintError("recover: " + error_text);
    return 2;
  }
  OpenOptions open_options;
  if (!ParseSectorSizeOption("recover", sector_size_text, &open_options)) return 2;

  ScanResults results;
  FileSystemListing kept_named;
  uint64_t expected_size = 0;
  if (!snapshot_path.empty()) {
    RecoverySnapshot snapshot;
    const SnapshotStatus status = ReadSnapshot(snapshot_path, &snapshot);
    if (!status.ok) {
      PrintError(snapshot_path + ": " + status.message);
      return 1;
    }
    if (const std::string warning = SnapshotCountWarning(snapshot); !warning.empty()) {
      PrintError("warning: " + warning);
    }
    source_name = snapshot.source_name;
    expected_size = snapshot.source_size;
    results = std::move(snapshot.results);
    if (by_name && snapshot.named.volumes.empty() && snapshot.named.files.empty()) {
      PrintNotes(snapshot.named);
      PrintError("recover: " + snapshot_path +
                 " keeps no files with names: it was made without --names, or no file system "
                 "on its source could be read ('pictavo-cli recover --snapshot' without "
                 "--by-name saves its carved files)");
      return 1;
    }
    kept_named = std::move(snapshot.named);
    if (!select.empty()) {
      if (!SelectFromList(select, results, &error_text)) {
        PrintError("recover: " + error_text);
        return 2;
      }
    } else if (SelectedTotal(results) == 0) {
      for (FoundFile& file : results.Found()) file.selected = 1;
    }
  }
  if (allow_same_file_system) {
    struct stat st {};
    if (stat(source_name.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
      std::fputs("pictavo-cli: note: --allow-same-filesystem applies to image files only\n",
                 stderr);
    }
  }

  auto source = OpenSourceOrReport(source_name, open_options);
  if (!source) return 1;
  if (expected_size && source->Size() != expected_size) {
    std::fprintf(stderr,
                 "pictavo-cli: warning: %s now holds %" PRIu64
                 " bytes; the snapshot was made of "
                 "%" PRIu64 " bytes. It may not be the same medium.\n",
                 TerminalText(source_name).c_str(), source->Size(), expected_size);
  }
  // The same-medium rule and whether the folder can be written at all are checked before a long
  // scan; the free space once the files are known.
  if (!DestinationAccepted(folder, source_name, 0, allow_same_file_system, false)) return 1;
  if (const std::string problem = DestinationNotWritableProblem(folder); !problem.empty()) {
    PrintError(problem + (snapshot_path.empty() ? " Nothing was scanned." : ""));
    return 1;
  }

  InstallInterruptHandler();
  if (by_name) {
    const auto accepted = [&](uint64_t total) {
      return DestinationAccepted(folder, source_name, total, allow_same_file_system, true);
    };
    if (!snapshot_path.empty()) {
      return RecoverByNameFromSnapshot(*source, std::move(kept_named), folder, *selection,
                                       deleted_only, accepted);
    }
    return RecoverByName(*source, folder, *selection, deleted_only, accepted);
  }
  if (snapshot_path.empty()) {
    std::optional<FreeSpacePlan> plan;
    if (unallocated && !(plan = PlanUnallocatedScan(*source))) {
      PrintError("cancelled while reading the file systems; nothing was saved");
      return 130;
    }
    ProgressLine progress("Scanning");
    CliScanProgress observer(&progress);
    ScanOptions scan_options;
    scan_options.selection = *selection;
    if (plan) scan_options.skipped = std::move(plan->live_areas);
    scan_options.exact_ends = exact_ends_flag || ExactEndsFromEnvironment();
    const ScanStatus status = RunScan(*source, scan_options, results, &observer, &InterruptFlag());
    progress.Finish();
    if (status.stopped) {
      PrintError("cancelled during the scan; nothing was saved");
      return 130;
    }
    if (!status.ok && results.records.empty()) {
      PrintError("cannot scan " + source_name + ": " + status.message);
      return 1;
    }
    ReportSkippedChunks(status, source_name);
    for (FoundFile& file : results.Found()) file.selected = 1;
    std::fprintf(stderr, "pictavo-cli: found %" PRIu64 " file%s\n", results.found_count,
                 results.found_count == 1 ? "" : "s");
  }

  if (results.Found().empty() && SelectedTotal(results) == 0) {
    std::puts("Nothing to save: no file was found.");
    return 0;
  }
  if (filters.any()) {
    const FilterTally tally = ApplyRecoverFilters(*source, results, filters, &InterruptFlag());
    if (tally.stopped) {
      PrintError("cancelled while reading the files; nothing was saved");
      return 130;
    }
    if (const std::string text = FilterTallyText(tally, filters); !text.empty()) {
      std::fprintf(stderr, "pictavo-cli: %s\n", text.c_str());
    }
  }
  const uint64_t selected_total = SelectedTotal(results);
  if (!DestinationAccepted(folder, source_name, selected_total, allow_same_file_system, true)) {
    return 1;
  }
  std::error_code made;
  std::filesystem::create_directories(folder, made);
  if (made) {
    PrintError("cannot create " + folder + ": " + made.message());
    return 1;
  }

  std::vector<std::string> names;
  if (names_wanted) {
    if (kept_named.volumes.empty() && kept_named.files.empty()) {
      kept_named = ListNamedFiles(*source, false, false);
      PrintNotes(kept_named);
    }
    names = NamesOfFinds(kept_named, results);
    layout.file_system_names = &names;
  }

  ProgressLine progress("Saving");
  CliSaveProgress observer(&progress);
  SavingOptions saving;
  saving.layout = layout;
  saving.threads = 2;
  const SaveSummary summary =
      SavingSession(*source, results, folder, saving).Run(&observer, &InterruptFlag());
  progress.Finish();
  std::fputs(SaveSummaryText(summary, folder).c_str(), stdout);
  if (summary.cancelled) return 130;
  return summary.all_written() ? 0 : 1;
}

}  // namespace pictavo::cli
