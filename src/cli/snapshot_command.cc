#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "cli/cli_util.h"
#include "cli/commands.h"
#include "drives/drive_enumeration.h"
#include "platform/output_file.h"
#include "results/recovery.h"
#include "results/scan_checkpoint.h"
#include "results/snapshot.h"

namespace pictavo::cli {
namespace {

constexpr char kSnapshotHelp[] =
    "Usage: pictavo-cli snapshot show [--format FORMAT] [--named] FILE\n"
    "\n"
    "Prints what a recovery snapshot holds (written by 'pictavo-cli scan --snapshot' or by the\n"
    "wizard's \"Save Recovery Snap\"), like the output of the scan that made it, with each\n"
    "file's name as 'pictavo-cli recover' saves it.\n"
    "\n"
    "Options:\n"
    "  --format FORMAT     table (default on a terminal), tsv (default otherwise) or json\n"
    "  --named             print the files with names the snapshot keeps (saved by 'scan\n"
    "                      --names --snapshot'), as 'pictavo-cli files' lists them\n"
    "  -h, --help          show this help\n";

// Why the snapshot may not go to `snapshot_path`; empty when it may. It never goes onto the medium
// being scanned, nor over the source, a device or any file but an earlier snapshot. Beside an
// image file it is welcome: it holds no file contents, so it cannot harm what is recovered.
std::string SnapshotPathProblem(const std::string& snapshot_path, const std::string& source_name,
                                bool overwrite) {
  // The results of a fresh scan have nothing marked, so any free space will do.
  const DestinationCheck check = CheckDestination(snapshot_path, source_name, 0,
                                                  {.allow_same_file_system = true, .roots = {}});
  if (!check.accepted()) {
    return "cannot save the snapshot at " + snapshot_path + ":\n" + check.message;
  }
  std::string problem = OutputFileProblem(snapshot_path, source_name);
  if (!problem.empty()) return "cannot save the snapshot: " + problem;
  struct stat st {};
  if (lstat(snapshot_path.c_str(), &st) == 0) {
    if (!overwrite) {
      return "cannot save the snapshot: " + snapshot_path +
             " already exists. Choose another name, or add --overwrite to replace an earlier "
             "snapshot.";
    }
    if (!S_ISREG(st.st_mode) || !CheckSnapshotFile(snapshot_path)) {
      return "cannot save the snapshot: " + snapshot_path +
             " is not a recovery snapshot; --overwrite replaces only an earlier snapshot file.";
    }
  }
  // "cannot save into FOLDER: Read-only file system."
  return DestinationNotWritableProblem(FolderOf(snapshot_path));
}

// The name stored in the snapshot: a relative path is made absolute, so that saving from the
// snapshot works from any folder; an absolute one is kept as given (a /dev/disk/by-id name
// outlives a reboot, /dev/sdb may not).
std::string StoredSourceName(const std::string& source_name) {
  if (source_name.empty() || source_name.starts_with("/")) return source_name;
  char cwd[4096];
  if (!getcwd(cwd, sizeof(cwd))) return source_name;
  return std::string(cwd) + "/" + source_name;
}

}  // namespace

bool PrepareScanSnapshot(const std::string& snapshot_path, const std::string& source_name,
                         bool overwrite, std::string* label) {
  *label = SourceLabelOf(source_name);
  const std::string problem = SnapshotTextProblem(StoredSourceName(source_name), *label);
  if (!problem.empty()) {
    PrintError("scan: " + problem + " Nothing was scanned.");
    return false;
  }
  const std::string path_problem = SnapshotPathProblem(snapshot_path, source_name, overwrite);
  if (!path_problem.empty()) {
    PrintError("scan: " + path_problem + " Nothing was scanned.");
    return false;
  }
  return true;
}

bool SaveScanSnapshot(const std::string& snapshot_path, const std::string& source_name,
                      const std::string& label, uint64_t source_size, const ScanResults& results,
                      bool overwrite, bool over_own_checkpoint, const FileSystemListing* named) {
  // Looked at again: the scan took a while, and the path may have changed meanwhile. A finished
  // scan's own checkpoint file is no snapshot yet, and is what it replaces.
  if (over_own_checkpoint && !IsScanCheckpointFile(snapshot_path)) {
    PrintError("scan: " + TerminalText(snapshot_path) + " no longer holds the scan's checkpoint");
    return false;
  }
  if (overwrite && !over_own_checkpoint) {
    const std::string problem = SnapshotPathProblem(snapshot_path, source_name, true);
    if (!problem.empty()) {
      PrintError("scan: " + problem);
      return false;
    }
  }
  RecoverySnapshot snapshot;
  snapshot.source_name = StoredSourceName(source_name);
  snapshot.source_label = label;
  snapshot.source_size = source_size;
  snapshot.results = results;
  if (named != nullptr) snapshot.named = *named;
  const SnapshotStatus status = WriteSnapshot(
      snapshot_path, snapshot,
      overwrite || over_own_checkpoint ? ExistingSnapshot::kReplace : ExistingSnapshot::kRefuse);
  if (!status.ok) {
    PrintError(status.message);
    return false;
  }
  std::fprintf(stderr, "pictavo-cli: %s: %s\n", status.message.c_str(),
               TerminalText(snapshot_path).c_str());
  return true;
}

int RunSnapshotCommand(int argc, char** argv, int first) {
  Args args(argc, argv, first);
  if (args.Done() || args.Peek() == "-h" || args.Peek() == "--help") {
    std::fputs(kSnapshotHelp, args.Done() ? stderr : stdout);
    return args.Done() ? 2 : 0;
  }
  const std::string action = args.TakePositional();
  if (action != "show") {
    PrintError("snapshot: unknown action '" + action + "' (see 'pictavo-cli snapshot --help')");
    return 2;
  }
  std::string format_text, path;
  bool named = false;
  while (!args.Done()) {
    if (args.TakeFlag("-h") || args.TakeFlag("--help")) {
      std::fputs(kSnapshotHelp, stdout);
      return 0;
    }
    if (args.TakeOption("--format", &format_text)) continue;
    if (args.TakeFlag("--named")) {
      named = true;
      continue;
    }
    if (!args.error().empty()) break;
    if (args.Peek().starts_with("-")) {
      PrintError("snapshot: unknown option '" + std::string(args.Peek()) + "'");
      return 2;
    }
    if (!path.empty()) {
      PrintError("snapshot: more than one FILE given");
      return 2;
    }
    path = args.TakePositional();
  }
  if (!args.error().empty()) {
    PrintError("snapshot: " + args.error());
    return 2;
  }
  if (path.empty()) {
    PrintError("snapshot show: no FILE given");
    return 2;
  }
  const auto format = ParseOutputFormat(format_text);
  if (!format) {
    PrintError("snapshot: unknown format '" + format_text + "'; use table, tsv or json");
    return 2;
  }

  RecoverySnapshot snapshot;
  const SnapshotStatus status = ReadSnapshot(path, &snapshot);
  if (!status.ok) {
    PrintError(path + ": " + status.message);
    return 1;
  }
  if (named) {
    if (snapshot.named.volumes.empty() && snapshot.named.files.empty() &&
        !snapshot.named.pass_failed) {
      PrintError("snapshot: " + path +
                 " keeps no files with names ('pictavo-cli scan --names --snapshot FILE' saves "
                 "them)");
      return 1;
    }
    PrintNamedFiles(stdout, *format, snapshot.source_name, snapshot.named);
    PrintNotes(snapshot.named);
    return 0;
  }
  const std::vector<std::string> names = RecoveredFileNames(snapshot.results);
  if (*format == OutputFormat::kTable) {
    std::printf("Snapshot %s of \"%s\"\n", TerminalText(path).c_str(),
                TerminalText(snapshot.source_label).c_str());
  }
  ResultsReport report;
  report.source = snapshot.source_name;
  report.size = snapshot.source_size;
  report.results = &snapshot.results;
  report.extra_heading = "name";
  report.extra_column = &names;
  PrintResults(stdout, *format, report);
  if (const std::string warning = SnapshotCountWarning(snapshot); !warning.empty()) {
    PrintError("warning: " + warning);
  }
  return 0;
}

}  // namespace pictavo::cli
