#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <string>

#include "cli/cli_util.h"
#include "cli/commands.h"
#include "drives/disk_image.h"
#include "drives/drive_enumeration.h"
#include "platform/system_error.h"
#include "results/snapshot.h"

namespace pictavo::cli {
namespace {

constexpr char kImageHelp[] =
    "Usage: pictavo-cli image create SOURCE IMAGE\n"
    "       pictavo-cli image check FILE\n"
    "\n"
    "create  copies SOURCE (a disk such as /dev/sdb, a partition such as /dev/sdb1, or a file)\n"
    "        byte for byte into the new disk image file IMAGE, which can be scanned and\n"
    "        recovered from later like the disk itself. IMAGE must not exist yet, and its\n"
    "        folder needs more free space than SOURCE holds. Blocks that cannot be read are\n"
    "        stored as zeros and listed at the end. Runs of zeros become holes in IMAGE,\n"
    "        so the image of a card that was never filled takes little space. Ctrl-C\n"
    "        cancels and deletes IMAGE.\n"
    "check   says whether FILE is a disk image made by pictavo (or by the program whose\n"
    "        images it shares) or a recovery snapshot; exit status 0 when it is valid.\n"
    "\n"
    "Exit status: 0 done, 1 failed or not valid, 2 wrong arguments, 130 cancelled.\n";

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

int CheckFile(const std::string& path) {
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
    if (info->trailer.data_size != info->file_size - ImageTrailer::kSize) {
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
    std::printf("%s: recovery snapshot of %s (\"%s\"), %" PRIu64 " found files\n", path.c_str(),
                snapshot.source_name.c_str(), snapshot.source_label.c_str(),
                snapshot.results.found_count);
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
  while (!args.Done()) {
    if (args.TakeFlag("-h") || args.TakeFlag("--help")) {
      std::fputs(kImageHelp, stdout);
      return 0;
    }
    if (args.Peek().starts_with("-") && args.Peek().size() > 1) {
      PrintError("image: unknown option '" + std::string(args.Peek()) + "'");
      return 2;
    }
    positional.push_back(args.TakePositional());
  }
  if (positional.size() == 3 && positional[0] == "create") {
    return CreateImage(positional[1], positional[2]);
  }
  if (positional.size() == 2 && positional[0] == "check") return CheckFile(positional[1]);
  PrintError(
      "image: expected 'create SOURCE IMAGE' or 'check FILE' (see 'pictavo-cli image "
      "--help')");
  return 2;
}

}  // namespace pictavo::cli
