#pragma once

#include <sys/wait.h>

#include <cstdio>
#include <string>

namespace pictavo::testing {

struct CliRun {
  int status;
  std::string out;
};

// Runs pictavo-cli with a shell command line; captures standard output (and standard error when
// asked) and the exit status.
inline CliRun RunCli(const std::string& arguments, bool with_stderr = false) {
  const std::string command =
      std::string(PICTAVO_CLI_PATH) + " " + arguments + (with_stderr ? " 2>&1" : " 2>/dev/null");
  FILE* pipe = popen(command.c_str(), "r");
  CliRun run{-1, {}};
  if (!pipe) return run;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0) run.out.append(buffer, n);
  const int raw = pclose(pipe);
  run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return run;
}

}  // namespace pictavo::testing
