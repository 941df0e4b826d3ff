#include <cinttypes>
#include <cstdio>
#include <optional>
#include <string>

#include "cli/cli_util.h"
#include "cli/commands.h"
#include "cli/decode_check.h"
#include "drives/drive_enumeration.h"
#include "engine/scan_engine.h"
#include "filesystems/named_content.h"
#include "platform/sector_source.h"
#include "platform/system_error.h"
#include "results/scan_checkpoint.h"

namespace pictavo::cli {
namespace {

// The scan finished, but some areas of the source could not be read.
constexpr int kExitUnreadableAreas = 3;

constexpr char kScanHelp[] =
    "Usage: pictavo-cli scan [OPTIONS] SOURCE\n"
    "\n"
    "Reads SOURCE sector by sector and lists the files it recognises by their structure.\n"
    "SOURCE is a disk (/dev/sdb), a partition (/dev/sdb1), a disk image made by pictavo,\n"
    "or any raw dump (dd, ddrescue). Nothing is ever written to SOURCE.\n"
    "\n"
    "Options:\n"
    "  --types LIST        comma-separated types to search for (default: all), by\n"
    "                      extension or name, e.g. jpeg,png,cr2,heic,mp4,dng-other\n"
    "  --sector-size N     sector size of a raw dump in bytes (default 512); devices and\n"
    "                      pictavo images know their own\n"
    "  --format FORMAT     table (default on a terminal), tsv (default otherwise) or json\n"
    "  --exact-ends        measure every file whole by its format's structure (slower on\n"
    "                      some media; also PICTAVO_EXACT_ENDS=1)\n"
    "  --check             decode every photo found and say whether it is complete, partial\n"
    "                      (cut short or damaged) or failed; counts per type in the summary\n"
    "  --snapshot FILE     also save the results as a recovery snapshot (also after Ctrl-C);\n"
    "                      FILE must not exist yet, and never lies on a disk being scanned\n"
    "  --overwrite         let --snapshot replace an earlier snapshot (never any other file)\n"
    "  --checkpoint FILE   keep where the scan stands in FILE (rewritten at least every 30\n"
    "                      seconds and when the scan stops); when the scan ends FILE is a\n"
    "                      recovery snapshot, like --snapshot's\n"
    "  --resume FILE       go on with the scan of SOURCE that FILE's checkpoint describes,\n"
    "                      with its types and modes, keeping the checkpoint in FILE as above;\n"
    "                      a scan of the free space goes on only while SOURCE's live files\n"
    "                      occupy the areas they did when it began\n"
    "  --unallocated       carve only the space that no live file of SOURCE's file systems\n"
    "                      occupies, so that live files are not found a second time; finds\n"
    "                      keep their offsets on SOURCE (see 'pictavo-cli files')\n"
    "  --names             add a column 'name': the folder and name of the file the file\n"
    "                      systems of SOURCE list at the find's first byte, or - (see\n"
    "                      'pictavo-cli files'); not together with --check. With\n"
    "                      --snapshot the files with names are kept in the snapshot too\n"
    "                      ('pictavo-cli snapshot show --named')\n"
    "  -h, --help          show this help\n"
    "\n"
    "tsv prints one header line 'type<TAB>ext<TAB>offset<TAB>length' and one line per file;\n"
    "--check adds a fifth column 'decode' (complete, partial, failed, or - for audio/video).\n"
    "\n"
    "A chunk that cannot be read is read again sector by sector and every readable sector\n"
    "is scanned; the unreadable areas (offset and length) are listed after the results\n"
    "and, with --format json, under \"unreadable\".\n"
    "\n"
    "Exit status: 0 the whole source was scanned, 3 it was scanned except for unreadable\n"
    "areas, 1 an error (the source could not be opened, or shrank during the scan: what\n"
    "was found until then is still printed), 2 a usage error, 130 stopped by Ctrl-C, which\n"
    "still prints what was found.\n";

class CliScanObserver : public ScanObserver {
 public:
  explicit CliScanObserver(ProgressLine* progress) : progress_(progress) {}
  void OnStart(uint64_t source_size, uint16_t sector_size) override {
    total_ = source_size;
    chunk_bytes_ = ChunkSectorsFor(sector_size) * sector_size;
  }
  void OnProgress(uint32_t, uint64_t, uint64_t position) override {
    // The engine reports the start of the chunk it has just finished; show the reading point.
    position_ = position + chunk_bytes_ > total_ ? total_ : position + chunk_bytes_;
    Draw();
  }
  void OnFound(uint64_t found_count, const FoundFile&) override {
    found_ = found_count;
    Draw();
  }

 private:
  void Draw() {
    const std::string detail = "found " + std::to_string(found_);
    progress_->Update(position_, total_, detail);
  }
  ProgressLine* progress_;
  uint64_t total_ = 0;
  uint64_t chunk_bytes_ = 0;
  uint64_t position_ = 0;
  uint64_t found_ = 0;
};

}  // namespace

int RunScanCommand(int argc, char** argv, int first) {
  Args args(argc, argv, first);
  std::string types, sector_size_text, format_text, source_name, snapshot_path, snapshot_label;
  bool overwrite = false;
  std::string checkpoint_path, resume_path;
  bool check = false;
  bool exact_ends = ExactEndsFromEnvironment();
  bool names_wanted = false;
  bool unallocated = false;
  while (!args.Done()) {
    std::string value;
    if (args.TakeFlag("-h") || args.TakeFlag("--help")) {
      std::fputs(kScanHelp, stdout);
      return 0;
    }
    if (args.TakeOption("--types", &types)) continue;
    if (args.TakeOption("--sector-size", &sector_size_text)) continue;
    if (args.TakeOption("--format", &format_text)) continue;
    if (args.TakeFlag("--check")) {
      check = true;
      continue;
    }
    if (args.TakeFlag("--exact-ends")) {
      exact_ends = true;
      continue;
    }
    if (args.TakeFlag("--unallocated")) {
      unallocated = true;
      continue;
    }
    if (args.TakeFlag("--names")) {
      names_wanted = true;
      continue;
    }
    if (args.TakeOption("--checkpoint", &checkpoint_path)) continue;
    if (args.TakeOption("--resume", &resume_path)) continue;
    if (args.TakeOption("--snapshot", &snapshot_path)) continue;
    if (args.TakeFlag("--overwrite")) {
      overwrite = true;
      continue;
    }
    // Once needed for a snapshot beside an image file; still taken, so that scripts keep working.
    if (args.TakeFlag("--allow-same-filesystem")) continue;
    if (!args.error().empty()) break;
    if (!TakeSourceOperand(args, "scan", &source_name)) return 2;
  }
  if (!args.error().empty()) {
    PrintError("scan: " + args.error());
    return 2;
  }
  if (overwrite && snapshot_path.empty()) {
    PrintError("scan: --overwrite applies to --snapshot");
    return 2;
  }
  if (source_name.empty()) {
    PrintError("scan: no SOURCE given (see 'pictavo-cli scan --help')");
    return 2;
  }
  if (!checkpoint_path.empty() + !resume_path.empty() + !snapshot_path.empty() > 1) {
    PrintError("scan: --snapshot, --checkpoint and --resume go one at a time");
    return 2;
  }
  if (check && names_wanted) {
    PrintError("scan: --names and --check cannot be combined");
    return 2;
  }
  std::string error_text;
  auto selection = ParseTypeList(types, &error_text);
  if (!selection) {
    PrintError("scan: " + error_text);
    return 2;
  }
  ScanCheckpoint checkpoint;
  if (!resume_path.empty()) {
    if (!ReadScanCheckpoint(resume_path, &checkpoint, &error_text)) {
      PrintError("scan: " + resume_path + " cannot be resumed: " + error_text);
      return 1;
    }
    if (!types.empty()) {
      PrintError("scan: --resume goes on with the checkpoint's types; leave out --types");
      return 2;
    }
    *selection = checkpoint.selection;
    if (unallocated && !checkpoint.free_space) {
      PrintError("scan: the checkpoint in " + resume_path +
                 " is of a scan of the whole source; leave out --unallocated");
      return 2;
    }
    // A scan of the free space goes on as one, with the areas it began with.
    unallocated = checkpoint.free_space;
  }
  const auto format = ParseOutputFormat(format_text);
  if (!format) {
    PrintError("scan: unknown format '" + format_text + "'; use table, tsv or json");
    return 2;
  }
  OpenOptions open_options;
  if (!ParseSectorSizeOption("scan", sector_size_text, &open_options)) return 2;
  auto source = OpenSourceOrReport(source_name, open_options);
  if (!source) return 1;

  if (!snapshot_path.empty() &&
      !PrepareScanSnapshot(snapshot_path, source_name, overwrite, &snapshot_label)) {
    return 1;
  }
  if (!checkpoint_path.empty() &&
      !PrepareScanSnapshot(checkpoint_path, source_name, overwrite, &snapshot_label)) {
    return 1;
  }
  const std::string keep_path = !checkpoint_path.empty() ? checkpoint_path : resume_path;
  if (!resume_path.empty()) {
    snapshot_label = SourceLabelOf(source_name);
    if (checkpoint.source_size != source->Size() ||
        checkpoint.sector_size != source->SectorSize() ||
        (checkpoint.position % (uint64_t{kChunkSectors} * checkpoint.sector_size) != 0 &&
         checkpoint.position != checkpoint.source_size)) {
      PrintError("scan: the checkpoint in " + resume_path + " is for a source of " +
                 std::to_string(checkpoint.source_size) + " bytes in " +
                 std::to_string(checkpoint.sector_size) + "-byte sectors, not " + source_name +
                 " (" + std::to_string(source->Size()) + " bytes)");
      return 1;
    }
    // A resumed scan goes on in the mode it was started in.
    exact_ends = checkpoint.exact_ends;
    if (checkpoint.literal != LiteralScan()) {
      PrintError("scan: the checkpoint was made in another scan mode");
      return 1;
    }
  } else {
    checkpoint.source_name = source_name;
    checkpoint.selection = *selection;
    checkpoint.literal = LiteralScan();
    checkpoint.exact_ends = exact_ends;
    checkpoint.source_size = source->Size();
    checkpoint.sector_size = source->SectorSize();
    checkpoint.results.records.emplace_back();
  }

  InstallInterruptHandler();
  ScanResults results;
  std::optional<FreeSpacePlan> plan;
  if (unallocated && !(plan = PlanUnallocatedScan(*source))) {
    PrintError("cancelled while reading the file systems; nothing was scanned");
    return 130;
  }
  if (plan && !resume_path.empty()) {
    // The position and the finds so far hold for the areas the scan began with only.
    if (const std::string change = FreeSpacePlanChange(checkpoint.free_space_areas, *plan);
        !change.empty()) {
      PrintError("scan: " + resume_path + " cannot be resumed: " + change +
                 ". Start a new scan with --unallocated; the checkpoint is left as it was.");
      return 1;
    }
  } else if (plan) {
    checkpoint.free_space = true;
    checkpoint.free_space_areas = DigestOfAreas(plan->live_areas);
  }
  ProgressLine progress("Scanning");
  CliScanObserver observer(&progress);
  ScanOptions scan_options;
  scan_options.selection = *selection;
  if (plan) scan_options.skipped = std::move(plan->live_areas);
  scan_options.exact_ends = exact_ends;
  ScanStatus status;
  uint64_t stopped_at = 0;
  if (keep_path.empty()) {
    status = RunScan(*source, scan_options, results, &observer, &InterruptFlag());
  } else {
    ScanResults later;
    CheckpointKeeper keeper(keep_path, checkpoint, later, &observer, std::chrono::seconds(30),
                            &InterruptFlag());
    int error = 0;
    if (!keeper.Save(&error)) {
      progress.Finish();
      PrintError("scan: cannot write the checkpoint " + keep_path + ": " + SystemErrorText(error));
      return 1;
    }
    status = ResumeScan(*source, scan_options, checkpoint.position, checkpoint.results.found_count,
                        later, &keeper, &InterruptFlag());
    if (status.stopped) {
      // What the stopped scan found in its last chunk is left for the resumed one, which reads
      // that chunk again: the listing below and the checkpoint stay the same.
      const ScanCheckpoint kept = keeper.Current();
      results = kept.results;
      stopped_at = kept.position;
      if (!keeper.Save(&error)) {
        progress.Finish();
        PrintError("scan: cannot write the checkpoint " + keep_path + ": " +
                   SystemErrorText(error));
        return 1;
      }
    } else {
      results = CombineScanResults(checkpoint.results, later, checkpoint.position, exact_ends);
    }
  }
  progress.Finish();

  if (!status.ok && results.records.empty()) {
    PrintError("cannot scan " + source_name + ": " + status.message);
    return 1;
  }
  ResultsReport report;
  report.source = source_name;
  report.sector_size = source->SectorSize();
  report.size = source->Size();
  report.results = &results;
  report.unreadable = &status.unreadable;
  DecodeCheck decode_check;
  if (check) {
    decode_check = CheckFoundFiles(*source, results, &InterruptFlag());
    report.extra_heading = "decode";
    report.extra_column = &decode_check.column;
  }
  std::vector<std::string> names;
  FileSystemListing named;
  if (names_wanted && !InterruptFlag().load()) {
    named = ListNamedFiles(*source, false, false);
    PrintNotes(named);
    names = NamesOfFinds(named, results);
    for (std::string& name : names) {
      if (name.empty()) name = "-";
    }
    report.extra_heading = "name";
    report.extra_column = &names;
  }
  PrintResults(stdout, *format, report);
  if (check) PrintDecodeSummary(*format == OutputFormat::kTable ? stdout : stderr, decode_check);
  FlushStandardOutput();
  if (!snapshot_path.empty() &&
      !SaveScanSnapshot(snapshot_path, source_name, snapshot_label, source->Size(), results,
                        overwrite, false, names_wanted ? &named : nullptr)) {
    return 1;
  }

  if (!keep_path.empty() && !status.stopped) {
    // The scan is complete: the checkpoint becomes an ordinary snapshot.
    if (!SaveScanSnapshot(keep_path, source_name, snapshot_label, source->Size(), results, false,
                          true)) {
      return 1;
    }
  }
  ReportSkippedChunks(status, source_name);
  if (!keep_path.empty() && status.stopped) {
    std::fprintf(stderr,
                 "pictavo-cli: the scan stopped at byte %" PRIu64
                 "; 'pictavo-cli scan --resume %s %s' goes on from there\n",
                 stopped_at, keep_path.c_str(), source_name.c_str());
  }
  if (status.stopped || decode_check.stopped) {
    std::fputs("pictavo-cli: scan stopped; the list above holds what was found so far\n", stderr);
    return 130;
  }
  if (!status.ok) {
    if (!status.source_shrank) PrintError("reading " + source_name + " failed: " + status.message);
    return 1;
  }
  return status.unreadable.empty() ? 0 : kExitUnreadableAreas;
}

}  // namespace pictavo::cli
