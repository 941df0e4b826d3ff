#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/file_types.h"
#include "engine/scan_engine.h"
#include "platform/sector_source.h"
#include "results/results_serializer.h"

namespace pictavo::cli {

// Set by Ctrl-C (SIGINT) and SIGTERM once InstallInterruptHandler has run; long operations poll it.
std::atomic<bool>& InterruptFlag();
void InstallInterruptHandler();

// Flushes standard output. The reason of the first failure is kept: the stream forgets it, and the
// command must still end with a failure and say why (see StandardOutputError).
void FlushStandardOutput();
// Flushes standard output and returns the errno of the first failed write to it, or 0 when
// everything written reached it.
int StandardOutputError();

// Prints "pictavo-cli: <message>" on standard error, with control characters other than line
// breaks escaped (see TerminalText).
void PrintError(const std::string& message);

// `text` made safe to print on a terminal: control characters (C0, DEL and C1, which would move
// the cursor, change colours or retitle the window) and bytes that are not valid UTF-8 are shown
// as \xNN, a tab and a line break as \t and \n. For names and labels that come from snapshots,
// media and other files a stranger may have written.
std::string TerminalText(std::string_view text);

// The arguments of one command, consumed option by option.
class Args {
 public:
  Args(int argc, char** argv, int first);

  // True when the next argument is `name`, as "--name VALUE" or "--name=VALUE"; the value goes to
  // `*value`. A missing value is reported through error().
  bool TakeOption(std::string_view name, std::string* value);
  // True when the next argument is the flag `name`.
  bool TakeFlag(std::string_view name);
  // Positional arguments, in order, once all options were taken.
  bool Done() const { return index_ >= args_.size(); }
  std::string_view Peek() const { return Done() ? std::string_view() : args_[index_]; }
  std::string TakePositional() { return Done() ? std::string() : args_[index_++]; }
  const std::string& error() const { return error_; }

 private:
  std::vector<std::string> args_;
  size_t index_ = 0;
  std::string error_;
};

// "jpeg,png,cr2" into a selection; an unknown name gives nullopt and an error listing the valid
// extensions. An empty list selects every type that has a recogniser in this build.
std::optional<FileTypeSelection> ParseTypeList(std::string_view list, std::string* error);
// The extensions of every type that has a recogniser in this build, comma-separated.
std::string SupportedExtensions();

std::optional<uint64_t> ParseUnsigned(std::string_view text);

// When the next argument looks like an option that no test before took ("-" alone is a name),
// prints "<command>: unknown option" and returns true.
bool RejectUnknownOption(const Args& args, std::string_view command);

// Takes the next argument, which no option took, as the command's SOURCE. False, with the
// reason printed, for an unknown option or a second SOURCE.
bool TakeSourceOperand(Args& args, std::string_view command, std::string* source);

// The text of --sector-size (empty when not given) into `options`; false, with
// "<command>: ..." printed, when it is not a number from 1 to 65535.
bool ParseSectorSizeOption(std::string_view command, const std::string& text, OpenOptions* options);

// Opens a source for reading; null, with "cannot open SOURCE: reason" printed (and how to get
// the privileges a disk needs, when privileges would help), when it cannot.
std::unique_ptr<FileSectorSource> OpenSourceOrReport(const std::string& name,
                                                     const OpenOptions& options);
// After a failed open with `error`: how to get the privileges a disk needs, printed only when
// they would help (a refused permission for a user other than root).
void PrintPrivilegeAdvice(int error);

// The areas of SOURCE the scan could not read, one per line, and that the source shrank, when
// it did.
void ReportSkippedChunks(const ScanStatus& status, const std::string& source_name);

enum class OutputFormat { kTable, kTsv, kJson };
// "table", "tsv" or "json"; an empty text picks table for a terminal and tsv otherwise.
std::optional<OutputFormat> ParseOutputFormat(std::string_view text);

// What a scan or a snapshot holds, printed in one of the three formats: the table here, tsv and
// json by the results' own serializer.
using ResultsReport = ResultsListing;
void PrintResults(std::FILE* out, OutputFormat format, const ResultsReport& report);
using pictavo::JsonEscape;
// "1:02:03" or "2:03".
std::string FormatDuration(double seconds);

// A live progress line on standard error, shown only when standard error is a terminal; redraws
// at most a few times per second.
class ProgressLine {
 public:
  explicit ProgressLine(std::string verb);
  ~ProgressLine();
  void Update(uint64_t position, uint64_t total, std::string_view detail);
  // Clears the line (the caller prints its own summary).
  void Finish();
  double ElapsedSeconds() const;

 private:
  std::string verb_;
  bool enabled_;
  bool drawn_ = false;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point last_draw_{};
};

}  // namespace pictavo::cli
