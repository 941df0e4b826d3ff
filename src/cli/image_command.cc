#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <string>

#include "cli/cli_util.h"
#include "cli/commands.h"
#include "drives/disk_image.h"
#include "drives/drive_enumeration.h"
#include "drives/rescue_image.h"
#include "platform/sector_source.h"
#include "platform/system_error.h"
#include "results/recovery.h"
#include "results/snapshot.h"

namespace pictavo::cli {
namespace {

constexpr char kImageHelp[] =
    "Usage: pictavo-cli image create SOURCE IMAGE [--map FILE [--retries N] [--reverse]\n"
    "                                [--read-timeout SECONDS] [--map-interval SECONDS]]\n"
    "       pictavo-cli image check FILE\n"
    "\n"
    "create  copies SOURCE (a disk such as /dev/sdb, a partition such as /dev/sdb1, or a file)\n"
    "        byte for byte into the new disk image file IMAGE, which can be scanned and\n"
    "        recovered from later like the disk itself. IMAGE must not exist yet, and its\n"
    "        folder needs more free space than SOURCE holds. Sectors that cannot be read\n"
    "        are stored as zeros and listed at the end. Runs of zeros become holes in\n"
    "        IMAGE, so the image of a card that was never filled takes little space.\n"
    "        Ctrl-C cancels and deletes IMAGE.\n"
    "        With --map, imaging rescues a failing medium as GNU ddrescue does and keeps\n"
    "        a ddrescue-style map in FILE: a first pass in large reads that skips ahead\n"
    "        past failures, then trimming and scraping of the failed areas sector by\n"
    "        sector, then N retry passes over the bad sectors (--retries, default 0).\n"
    "        --reverse reads from the end. The map is saved at least every 30 seconds\n"
    "        (--map-interval). Ctrl-C, a crash or a removed medium keep IMAGE and FILE,\n"
    "        and the same command run again resumes without reading again what was\n"
    "        read. Unread areas are holes (zeros) in IMAGE. --read-timeout abandons a\n"
    "        read that takes longer and counts its area as failed for that pass.\n"
    "check   says whether FILE is a disk image made by pictavo (or by the program whose\n"
    "        images it shares) or a recovery snapshot; exit status 0 when it is valid.\n"
    "\n"
    "Exit status: 0 done, 1 failed or not valid, 2 wrong arguments, 130 cancelled\n"
    "(with --map: stopped, resumable); 3 with --map when the source went away\n"
    "(resumable).\n";

class CliImageObserver : public ImageCreationObserver {
 public:
  explicit CliImageObserver(ProgressLine* progress) : progress_(progress) {}
  void OnProgress(uint32_t, uint64_t copied, uint64_t total) override {
    progress_->Update(
        copied, total,
        unreadable_ ? "unreadable " + std::to_string(unreadable_) : std::string("copying"));
  }
  void OnUnreadable(uint64_t, uint32_t length, int) override { unreadable_ += length; }

 private:
  ProgressLine* progress_;
  uint64_t unreadable_ = 0;
};

int CreateImage(const std::string& source_name, const std::string& image_path) {
  if (const std::string unusable = UnusableSourceText(source_name); !unusable.empty()) {
    PrintError(unusable);
    return 1;
  }
  // Never onto the medium being imaged: not on the disk or any of its partitions, nor through a
  // second loop device over the same file. Beside a source that is a file is fine.
  const DestinationCheck check =
      CheckDestination(image_path, source_name, 0, {.allow_same_file_system = true, .roots = {}});
  if (check.verdict == DestinationVerdict::kSameMedium) {
    PrintError("cannot create " + image_path + ":\n" + check.message);
    return 1;
  }
  InstallInterruptHandler();
  ProgressLine progress("Imaging");
  CliImageObserver observer(&progress);
  const ImageCreationResult result =
      CreateDiskImage(source_name, image_path, &observer, &InterruptFlag());
  progress.Finish();
  switch (result.outcome) {
    case ImageOutcome::kCreated:
      std::printf("%s\n%s: %" PRIu64 " bytes of %s (%u-byte sectors) and the trailer, in %s\n",
                  result.message.c_str(), image_path.c_str(), result.data_size, source_name.c_str(),
                  result.sector_size, FormatDuration(progress.ElapsedSeconds()).c_str());
      if (!result.detail.empty())
        std::fprintf(stderr, "pictavo-cli: warning: %s\n", result.detail.c_str());
      return 0;
    case ImageOutcome::kCancelled:
      PrintError(result.message + " The partial image file " + image_path + " was deleted.");
      return 130;
    default:
      PrintError(result.message + (result.detail.empty() ? "" : " " + result.detail));
      if (result.outcome == ImageOutcome::kSourceUnusable) PrintPrivilegeAdvice(result.error_code);
      return 1;
  }
}

class CliRescueObserver : public RescueObserver {
 public:
  explicit CliRescueObserver(ProgressLine* progress) : progress_(progress) {}
  void OnStart(uint64_t data_size, uint16_t, bool resumed) override {
    if (resumed)
      std::fprintf(stderr, "Resuming imaging of %" PRIu64 " bytes from the map\n", data_size);
  }
  void OnStatus(const RescueProgress& p) override {
    const char* phase = "copying";
    switch (p.phase) {
      case RescuePhase::kCopying:
        phase = "copying";
        break;
      case RescuePhase::kTrimming:
        phase = "trimming";
        break;
      case RescuePhase::kScraping:
        phase = "scraping";
        break;
      case RescuePhase::kRetrying:
        phase = "retrying";
        break;
      case RescuePhase::kFinished:
        phase = "finished";
        break;
    }
    char detail[200];
    std::snprintf(detail, sizeof(detail),
                  "%s pass %d, rescued %" PRIu64 ", errors %zu (%" PRIu64
                  " bytes), %.1f MB/s, last good read %.0f s ago",
                  phase, p.pass, p.rescued, p.error_areas, p.failed_bytes, p.rate / 1e6,
                  p.seconds_since_good_read);
    progress_->Update(p.rescued + p.failed_bytes, p.map->size(), detail);
  }

 private:
  ProgressLine* progress_;
};

std::string QuoteArgs(int argc, char** argv) {
  std::string out;
  for (int i = 0; i < argc; ++i) {
    if (i) out += ' ';
    for (const char* c = argv[i]; *c; ++c) out += (*c == '\n' || *c == '\r') ? ' ' : *c;
  }
  return out;
}

int CreateImageWithMap(const std::string& source_name, const std::string& image_path,
                       const RescueOptions& options) {
  InstallInterruptHandler();
  ProgressLine progress("Imaging");
  CliRescueObserver observer(&progress);
  const ImageCreationResult result =
      RescueDiskImage(source_name, image_path, options, &observer, &InterruptFlag());
  progress.Finish();
  switch (result.outcome) {
    case ImageOutcome::kCreated:
      std::printf("%s\n%s: %" PRIu64 " bytes of %s (%u-byte sectors) and the trailer, %" PRIu64
                  " bytes rescued, map in %s, in %s\n",
                  result.message.c_str(), image_path.c_str(), result.data_size, source_name.c_str(),
                  result.sector_size, result.copied, options.map_path.c_str(),
                  FormatDuration(progress.ElapsedSeconds()).c_str());
      if (!result.detail.empty())
        std::fprintf(stderr, "pictavo-cli: warning: %s\n", result.detail.c_str());
      return 0;
    case ImageOutcome::kStopped:
    case ImageOutcome::kSourceLost:
      PrintError(result.message + (result.detail.empty() ? "" : " " + result.detail));
      std::fprintf(stderr, "Rescued so far: %" PRIu64 " of %" PRIu64 " bytes.\n", result.copied,
                   result.data_size);
      return result.outcome == ImageOutcome::kStopped ? 130 : 3;
    default:
      PrintError(result.message + (result.detail.empty() ? "" : " " + result.detail));
      if (result.outcome == ImageOutcome::kSourceUnusable &&
          (result.error_code == EACCES || result.error_code == EPERM)) {
        std::fputs(
            "Reading a disk needs privileges: run as root, through pkexec, or as a "
            "member of the 'disk' group.\n",
            stderr);
      }
      return 1;
  }
}

int CheckFile(const std::string& path) {
  if (const auto bad = ReadImageInfo(path); bad && !bad->problem.empty()) {
    PrintError(path + ": not a usable disk image: " + bad->problem);
    return 1;
  }
  if (CheckImageFile(path)) {
    const auto info = ReadImageInfo(path);
    if (!info) {
      // The magic is there but not the whole trailer: too short to be read as an image.
      PrintError(path + ": " + kNotAnImageMessage);
      return 1;
    }
    std::printf("%s: disk image, %s\n  data: %" PRIu64 " bytes, %u-byte sectors\n", path.c_str(),
                ImageEntryLabel(info->file_size).c_str(), info->trailer.data_size,
                info->trailer.sector_size);
    if (info->trailer.data_size > info->file_size - ImageTrailer::kSize) {
      std::fprintf(stderr,
                   "pictavo-cli: warning: the image is cut short: the trailer gives %" PRIu64
                   " bytes of data but the file holds %" PRIu64 " (%" PRIu64
                   " bytes missing); only the bytes present are scanned\n",
                   info->trailer.data_size, info->file_size - ImageTrailer::kSize,
                   info->trailer.data_size - (info->file_size - ImageTrailer::kSize));
    } else if (info->trailer.data_size != info->file_size - ImageTrailer::kSize) {
      std::fprintf(stderr,
                   "pictavo-cli: warning: the trailer gives %" PRIu64
                   " bytes of data but the file holds %" PRIu64
                   "; only the bytes present are scanned\n",
                   info->trailer.data_size, info->file_size - ImageTrailer::kSize);
    }
    if (info->trailer.sector_size == 0) {
      std::fputs("pictavo-cli: warning: the sector size is 0, so the image cannot be scanned\n",
                 stderr);
    }
    return 0;
  }
  if (CheckSnapshotFile(path)) {
    RecoverySnapshot snapshot;
    const SnapshotStatus status = ReadSnapshot(path, &snapshot);
    if (!status.ok) {
      PrintError(path + ": " + status.message);
      return 1;
    }
    std::printf("%s: recovery snapshot of %s (\"%s\"), %" PRIu64 " found files\n",
                TerminalText(path).c_str(), TerminalText(snapshot.source_name).c_str(),
                TerminalText(snapshot.source_label).c_str(), snapshot.results.found_count);
    if (const std::string warning = SnapshotCountWarning(snapshot); !warning.empty()) {
      PrintError("warning: " + warning);
    }
    return 0;
  }
  FILE* file = std::fopen(path.c_str(), "rb");
  const int error = errno;
  if (file) std::fclose(file);
  // Snapshots are .dat files; a file of that name gets the snapshot's message.
  const bool snapshot_name = path.size() > 4 && path.compare(path.size() - 4, 4, ".dat") == 0;
  PrintError(path + ": " + (snapshot_name ? kNotASnapshotMessage : kNotAnImageMessage) +
             (file ? std::string() : " " + SystemErrorText(error)));
  return 1;
}

}  // namespace

int RunImageCommand(int argc, char** argv, int first) {
  Args args(argc, argv, first);
  std::vector<std::string> positional;
  RescueOptions rescue;
  bool retries_given = false;
  bool reverse_given = false;
  bool timeout_given = false;
  std::string value;
  while (!args.Done()) {
    if (args.TakeFlag("-h") || args.TakeFlag("--help")) {
      std::fputs(kImageHelp, stdout);
      return 0;
    }
    if (args.TakeOption("--map", &value)) {
      if (!args.error().empty() || value.empty()) {
        PrintError("image: --map needs a file name");
        return 2;
      }
      rescue.map_path = value;
      continue;
    }
    if (args.TakeOption("--retries", &value)) {
      const auto n = ParseUnsigned(value);
      if (!args.error().empty() || !n || *n > 1000) {
        PrintError("image: --retries needs a number from 0 to 1000");
        return 2;
      }
      rescue.retries = static_cast<int>(*n);
      retries_given = true;
      continue;
    }
    if (args.TakeOption("--read-timeout", &value)) {
      const auto n = ParseUnsigned(value);
      if (!args.error().empty() || !n || *n == 0 || *n > 86400) {
        PrintError("image: --read-timeout needs a number of seconds from 1 to 86400");
        return 2;
      }
      rescue.read_timeout_seconds = static_cast<double>(*n);
      timeout_given = true;
      continue;
    }
    if (args.TakeOption("--map-interval", &value)) {
      const auto n = ParseUnsigned(value);
      if (!args.error().empty() || !n || *n == 0 || *n > 3600) {
        PrintError("image: --map-interval needs a number of seconds from 1 to 3600");
        return 2;
      }
      rescue.map_save_seconds = static_cast<double>(*n);
      timeout_given = true;
      continue;
    }
    if (args.TakeFlag("--reverse")) {
      rescue.reverse = true;
      reverse_given = true;
      continue;
    }
    if (args.Peek().starts_with("-") && args.Peek().size() > 1) {
      PrintError("image: unknown option '" + std::string(args.Peek()) + "'");
      return 2;
    }
    positional.push_back(args.TakePositional());
  }
  if (!args.error().empty()) {
    PrintError("image: " + args.error());
    return 2;
  }
  if ((retries_given || reverse_given || timeout_given) && rescue.map_path.empty()) {
    PrintError("image: --retries, --reverse, --read-timeout and --map-interval need --map FILE");
    return 2;
  }
  if (!rescue.map_path.empty() && !(positional.size() == 3 && positional[0] == "create")) {
    PrintError("image: --map goes with 'create SOURCE IMAGE'");
    return 2;
  }
  if (positional.size() == 3 && positional[0] == "create") {
    if (!rescue.map_path.empty()) {
      rescue.command_line = QuoteArgs(argc, argv);
      return CreateImageWithMap(positional[1], positional[2], rescue);
    }
    return CreateImage(positional[1], positional[2]);
  }
  if (positional.size() == 2 && positional[0] == "check") return CheckFile(positional[1]);
  PrintError(
      "image: expected 'create SOURCE IMAGE' or 'check FILE' (see 'pictavo-cli image "
      "--help')");
  return 2;
}

}  // namespace pictavo::cli
