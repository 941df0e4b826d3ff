#include <cstdio>
#include <string>

#include "cli/cli_util.h"
#include "cli/commands.h"
#include "drives/drive_enumeration.h"

namespace pictavo::cli {
namespace {

constexpr char kDrivesHelp[] =
    "Usage: pictavo-cli drives [--format FORMAT]\n"
    "\n"
    "Lists the disks of this machine and their partitions, with sizes and file systems: the\n"
    "sources that 'pictavo-cli scan', 'image create' and 'recover' can read. A card reader\n"
    "without a card is listed without a size. Needs no privileges; file systems are only\n"
    "known for partitions whose device can be read, or that udev has recorded.\n"
    "\n"
    "Options:\n"
    "  --format FORMAT     table (default on a terminal), tsv (default otherwise) or json\n"
    "  -h, --help          show this help\n"
    "\n"
    "tsv prints 'kind<TAB>name<TAB>disk<TAB>size<TAB>file_system<TAB>removable<TAB>label'.\n";

void PrintTable(const std::vector<DiskRecord>& disks) {
  if (disks.empty()) {
    std::puts("No disks found.");
    return;
  }
  for (const DiskRecord& disk : disks) {
    // Labels hold a medium's own texts (model names, volume labels), which may hold anything.
    std::printf("%-16s %s%s\n", disk.name.c_str(), TerminalText(disk.label).c_str(),
                disk.removable ? "  [removable]" : "");
    for (const VolumeRecord& volume : disk.volumes) {
      std::printf("  %s\n", TerminalText(volume.label).c_str());
    }
  }
}

void PrintTsv(const std::vector<DiskRecord>& disks) {
  std::puts("kind\tname\tdisk\tsize\tfile_system\tremovable\tlabel");
  for (const DiskRecord& disk : disks) {
    std::printf("disk\t%s\t\t%s\t\t%d\t%s\n", disk.name.c_str(), disk.size_text.c_str(),
                disk.removable, TerminalText(disk.label).c_str());
    for (const VolumeRecord& volume : disk.volumes) {
      std::printf("volume\t%s\t%s\t%s\t%s\t%d\t%s\n", volume.name.c_str(), disk.name.c_str(),
                  volume.size_text.c_str(), volume.file_system.c_str(), volume.removable,
                  TerminalText(volume.label).c_str());
    }
  }
}

void PrintJson(const std::vector<DiskRecord>& disks) {
  std::printf("{\n  \"disks\": [");
  for (size_t i = 0; i < disks.size(); ++i) {
    const DiskRecord& disk = disks[i];
    std::printf(
        "%s\n    {\"name\": \"%s\", \"model\": \"%s\", \"label\": \"%s\", \"size\": %s, "
        "\"removable\": %s, \"volumes\": [",
        i ? "," : "", JsonEscape(disk.name).c_str(), JsonEscape(disk.model).c_str(),
        JsonEscape(disk.label).c_str(), disk.size_text.c_str(), disk.removable ? "true" : "false");
    for (size_t k = 0; k < disk.volumes.size(); ++k) {
      const VolumeRecord& volume = disk.volumes[k];
      std::printf(
          "%s\n      {\"name\": \"%s\", \"label\": \"%s\", \"size\": %s, "
          "\"file_system\": \"%s\", \"removable\": %s}",
          k ? "," : "", JsonEscape(volume.name).c_str(), JsonEscape(volume.label).c_str(),
          volume.size_text.c_str(), JsonEscape(volume.file_system).c_str(),
          volume.removable ? "true" : "false");
    }
    std::printf("%s]}", disk.volumes.empty() ? "" : "\n    ");
  }
  std::printf("%s]\n}\n", disks.empty() ? "" : "\n  ");
}

}  // namespace

int RunDrivesCommand(int argc, char** argv, int first) {
  Args args(argc, argv, first);
  std::string format_text;
  while (!args.Done()) {
    if (args.TakeFlag("-h") || args.TakeFlag("--help")) {
      std::fputs(kDrivesHelp, stdout);
      return 0;
    }
    if (args.TakeOption("--format", &format_text)) continue;
    if (!args.error().empty()) break;
    PrintError("drives: unexpected argument '" + std::string(args.Peek()) +
               "' (see 'pictavo-cli drives --help')");
    return 2;
  }
  if (!args.error().empty()) {
    PrintError("drives: " + args.error());
    return 2;
  }
  const auto format = ParseOutputFormat(format_text);
  if (!format) {
    PrintError("drives: unknown format '" + format_text + "'; use table, tsv or json");
    return 2;
  }
  const std::vector<DiskRecord> disks = EnumerateDrives();
  switch (*format) {
    case OutputFormat::kTable:
      PrintTable(disks);
      break;
    case OutputFormat::kTsv:
      PrintTsv(disks);
      break;
    case OutputFormat::kJson:
      PrintJson(disks);
      break;
  }
  return 0;
}

}  // namespace pictavo::cli
