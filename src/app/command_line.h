#pragma once

#include <cstdio>
#include <optional>

namespace pictavo::app {

// "Pictavo Photo Recovery 0.1.0", the version coming from the project's CMake version.
const char* ProgramTitleWithVersion();

// Answers --help and --version before any window is made, so that both work without a display
// (help2man reads them to write the manual page). Returns the exit status when the command line
// asked for one of them, nullopt when the wizard is to start. Other arguments are left to Qt.
std::optional<int> AnswerCommandLine(int argc, char** argv, std::FILE* out);

}  // namespace pictavo::app
