#include <cinttypes>
#include <cstdio>
#include <string>

#include "cli/cli_util.h"
#include "cli/commands.h"
#include "cli/decode_check.h"
#include "engine/scan_engine.h"
#include "platform/sector_source.h"

namespace pictavo::cli {
namespace {

constexpr char kScanHelp[] =
    "Usage: pictavo-cli scan [OPTIONS] SOURCE\n"
    "\n"
    "Reads SOURCE sector by sector and lists the files it recognises by their structure.\n"
    "SOURCE is a disk (/dev/sdb), a partition (/dev/sdb1), a disk image made by pictavo,\n"
    "or any raw dump (dd, ddrescue). Nothing is ever written to SOURCE.\n"
    "\n"
    "Options:\n"
    "  --types LIST        comma-separated extensions to search for (default: all),\n"
    "                      e.g. jpeg,png,cr2\n"
    "  --sector-size N     sector size of a raw dump in bytes (default 512); devices and\n"
    "                      pictavo images know their own\n"
    "  --format FORMAT     table (default on a terminal), tsv (default otherwise) or json\n"
    "  --check             decode every photo found and say whether it is complete, partial\n"
    "                      (cut short or damaged) or failed; counts per type in the summary\n"
    "  --names             add a column 'name': the folder and name of the file the file\n"
    "                      systems of SOURCE list at the find's first byte, or - (see\n"
    "                      'pictavo-cli files'); not together with --check\n"
    "  --snapshot FILE     also save the results as a recovery snapshot (also after Ctrl-C)\n"
    "  --allow-same-filesystem  let the snapshot of an image file go on the image's file system\n"
    "  -h, --help          show this help\n"
    "\n"
    "tsv prints one header line 'type<TAB>ext<TAB>offset<TAB>length' and one line per file;\n"
    "--check adds a fifth column 'decode' (complete, partial, failed, or - for audio/video).\n"
    "Ctrl-C stops the scan and still prints what was found (exit status 130).\n";

class CliScanObserver : public ScanObserver {
 public:
  explicit CliScanObserver(ProgressLine* progress) : progress_(progress) {}
  void OnStart(uint64_t source_size, uint16_t sector_size) override {
    total_ = source_size;
    chunk_bytes_ = uint64_t{kChunkSectors} * sector_size;
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
  bool allow_same_fs = false;
  bool check = false, names_wanted = false;
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
    if (args.TakeFlag("--names")) {
      names_wanted = true;
      continue;
    }
    if (args.TakeOption("--snapshot", &snapshot_path)) continue;
    if (args.TakeFlag("--allow-same-filesystem")) {
      allow_same_fs = true;
      continue;
    }
    if (!args.error().empty()) break;
    if (RejectUnknownOption(args, "scan")) return 2;
    if (!source_name.empty()) {
      PrintError("scan: more than one SOURCE given");
      return 2;
    }
    source_name = args.TakePositional();
  }
  if (!args.error().empty()) {
    PrintError("scan: " + args.error());
    return 2;
  }
  if (source_name.empty()) {
    PrintError("scan: no SOURCE given (see 'pictavo-cli scan --help')");
    return 2;
  }
  if (check && names_wanted) {
    PrintError("scan: --names and --check cannot be combined");
    return 2;
  }
  std::string error_text;
  const auto selection = ParseTypeList(types, &error_text);
  if (!selection) {
    PrintError("scan: " + error_text);
    return 2;
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
      !PrepareScanSnapshot(snapshot_path, source_name, allow_same_fs, &snapshot_label)) {
    return 1;
  }

  InstallInterruptHandler();
  ScanResults results;
  ProgressLine progress("Scanning");
  CliScanObserver observer(&progress);
  const ScanStatus status = RunScan(*source, *selection, results, &observer, &InterruptFlag());
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
  DecodeCheck decode_check;
  if (check) {
    decode_check = CheckFoundFiles(*source, results, &InterruptFlag());
    report.extra_heading = "decode";
    report.extra_column = &decode_check.column;
  }
  std::vector<std::string> names;
  if (names_wanted && !InterruptFlag().load()) {
    names = NamesOfFinds(*source, results);
    report.extra_heading = "name";
    report.extra_column = &names;
  }
  PrintResults(stdout, *format, report);
  if (check) PrintDecodeSummary(*format == OutputFormat::kTable ? stdout : stderr, decode_check);
  std::fflush(stdout);
  if (!snapshot_path.empty() &&
      !SaveScanSnapshot(snapshot_path, source_name, snapshot_label, source->Size(), results)) {
    return 1;
  }

  ReportSkippedChunks(status, source_name);
  if (status.stopped || decode_check.stopped) {
    std::fputs("pictavo-cli: scan stopped; the list above holds what was found so far\n", stderr);
    return 130;
  }
  if (!status.ok) {
    PrintError("reading " + source_name + " failed at its end: " + status.message);
    return 1;
  }
  return 0;
}

}  // namespace pictavo::cli
