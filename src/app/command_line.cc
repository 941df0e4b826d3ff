#include "app/command_line.h"

#include <string_view>

namespace pictavo::app {

const char* ProgramTitleWithVersion() { return "Pictavo Photo Recovery " PICTAVO_VERSION; }

std::optional<int> AnswerCommandLine(int argc, char** argv, std::FILE* out) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    if (argument == "--version") {
      std::fprintf(out, "pictavo %s\n", PICTAVO_VERSION);
      return 0;
    }
    if (argument == "-h" || argument == "--help") {
      std::fputs(
          "Usage: pictavo [QT-OPTION]...\n"
          "\n"
          "Starts the Pictavo Photo Recovery wizard, which finds photos, camera raw files, movies\n"
          "and sound files on memory cards, disks and disk images, also after they were deleted\n"
          "or the card was formatted. It recognises each file by its own structure (carving) and\n"
          "never writes to the medium it recovers from. Its first page offers four roads:\n"
          "Recover (scan a disk or partition), Create Image (copy a disk into a disk image\n"
          "file), Open Image (scan such a file) and Load Recovery (reopen saved results).\n"
          "Only one copy runs at a time.\n"
          "\n"
          "Options:\n"
          "  -h, --help     show this help\n"
          "  --version      show the version\n"
          "\n"
          "Qt's own options, such as -platform or -style, are accepted too.\n"
          "\n"
          "Reading disks needs privileges: start the wizard with 'pkexec pictavo', run it as\n"
          "root, or join the 'disk' group. The command-line tool is pictavo-cli.\n",
          out);
      return 0;
    }
  }
  return std::nullopt;
}

}  // namespace pictavo::app
