#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "cli/cli_util.h"
#include "cli/commands.h"
#include "engine/scan_engine.h"
#include "platform/system_error.h"

namespace {

struct Command {
  const char* name;
  int (*run)(int argc, char** argv, int first);
  const char* summary;
};

constexpr Command kCommands[] = {
    {"scan", pictavo::cli::RunScanCommand,
     "scan a disk, partition or image and list what it finds"},
    {"preview", pictavo::cli::RunPreviewCommand, "decode one found photo into a PNG file"},
    {"snapshot", pictavo::cli::RunSnapshotCommand, "show a saved recovery snapshot"},
    {"image", pictavo::cli::RunImageCommand, "copy a disk into a disk image file, or check one"},
    {"drives", pictavo::cli::RunDrivesCommand, "list the disks and partitions that can be read"},
    {"recover", pictavo::cli::RunRecoverCommand, "scan and copy the found files into a folder"},
    {"files", pictavo::cli::RunFilesCommand,
     "list the files of the file systems, live and deleted, by name"},
};

void PrintUsage(std::FILE* out) {
  std::fputs(
      "Usage: pictavo-cli COMMAND [OPTIONS] ...\n"
      "\n"
      "Recovers photos, raw camera files and media from disks, memory cards and disk images by\n"
      "recognising the files' own structure (carving). Nothing is ever written to the medium\n"
      "being recovered from.\n"
      "\n"
      "Commands:\n",
      out);
  for (const Command& command : kCommands) {
    std::fprintf(out, "  %-10s %s\n", command.name, command.summary);
  }
  std::fputs(
      "\n"
      "Options:\n"
      "  -h, --help     show this help\n"
      "  --version      show the version\n"
      "\n"
      "'pictavo-cli COMMAND --help' explains a command's options.\n",
      out);
}

// Results that did not reach standard output (a full disk, a closed terminal) are a failure, not
// a success: the status says so, and so does a message on standard error.
int WithCheckedOutput(int status) {
  const int error = pictavo::cli::StandardOutputError();
  if (error == 0) return status;
  pictavo::cli::PrintError("cannot write to standard output: " + pictavo::SystemErrorText(error));
  return status == 0 ? 1 : status;
}

}  // namespace

int main(int argc, char** argv) {
  // For benchmarks and comparisons: scan exactly as the rules are written, on one thread,
  // without the dispatch by first byte or reading in place. The finds are the same.
  if (const char* literal = std::getenv("PICTAVO_LITERAL_SCAN"); literal && *literal == '1') {
    pictavo::SetLiteralScan(true);
  }
  if (argc < 2) {
    PrintUsage(stderr);
    return 2;
  }
  const std::string_view first = argv[1];
  if (first == "-h" || first == "--help" || first == "help") {
    PrintUsage(stdout);
    return 0;
  }
  if (first == "--version") {
    std::printf("pictavo-cli %s\n", PICTAVO_VERSION);
    return 0;
  }
  for (const Command& command : kCommands) {
    if (first == command.name) return WithCheckedOutput(command.run(argc, argv, 2));
  }
  pictavo::cli::PrintError("unknown command '" + std::string(first) +
                           "' (see 'pictavo-cli --help')");
  return 2;
}
