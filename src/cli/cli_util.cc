#include "cli/cli_util.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cinttypes>

#include "platform/system_error.h"
#include "results/size_text.h"

namespace pictavo::cli {
namespace {

std::atomic<bool> interrupt_flag{false};

void OnInterrupt(int) { interrupt_flag.store(true); }

}  // namespace

std::atomic<bool>& InterruptFlag() { return interrupt_flag; }

void InstallInterruptHandler() {
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

namespace {
int first_output_error = 0;
}  // namespace

void FlushStandardOutput() {
  errno = 0;
  if (std::fflush(stdout) != 0 && first_output_error == 0) {
    first_output_error = errno ? errno : EIO;
  }
}

int StandardOutputError() {
  FlushStandardOutput();
  if (first_output_error == 0 && std::ferror(stdout)) first_output_error = EIO;
  return first_output_error;
}

std::string TerminalText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  const auto escape = [&out](uint8_t byte) {
    char escaped[8];
    std::snprintf(escaped, sizeof(escaped), "\\x%02x", byte);
    out += escaped;
  };
  size_t i = 0;
  while (i < text.size()) {
    const auto byte = static_cast<uint8_t>(text[i]);
    if (byte < 0x80) {
      if (byte == '\n') {
        out += "\\n";
      } else if (byte == '\t') {
        out += "\\t";
      } else if (byte < 0x20 || byte == 0x7F) {
        escape(byte);
      } else {
        out += static_cast<char>(byte);
      }
      ++i;
      continue;
    }
    // A whole, valid UTF-8 sequence is kept, except the C1 controls U+0080 to U+009F.
    size_t length = byte >= 0xC2 && byte <= 0xDF   ? 2
                    : byte >= 0xE0 && byte <= 0xEF ? 3
                    : byte >= 0xF0 && byte <= 0xF4 ? 4
                                                   : 0;
    if (length == 0 || text.size() - i < length) length = 0;
    uint32_t code = length == 2 ? byte & 0x1F : length == 3 ? byte & 0x0F : byte & 0x07;
    for (size_t k = 1; k < length; ++k) {
      const auto next = static_cast<uint8_t>(text[i + k]);
      if ((next & 0xC0) != 0x80) {
        length = 0;
        break;
      }
      code = (code << 6) | (next & 0x3F);
    }
    if (length == 3 && (code < 0x800 || (code >= 0xD800 && code <= 0xDFFF))) length = 0;
    if (length == 4 && (code < 0x10000 || code > 0x10FFFF)) length = 0;
    if (length == 0 || code < 0xA0) {
      const size_t bytes = length == 0 ? 1 : length;
      for (size_t k = 0; k < bytes; ++k) escape(static_cast<uint8_t>(text[i + k]));
      i += bytes;
      continue;
    }
    out.append(text.substr(i, length));
    i += length;
  }
  return out;
}

void PrintError(const std::string& message) {
  // Line breaks stay: some messages have several lines.
  std::string safe;
  size_t start = 0;
  for (size_t end = message.find('\n');; end = message.find('\n', start)) {
    safe += TerminalText(std::string_view(message).substr(start, end - start));
    if (end == std::string::npos) break;
    safe += '\n';
    start = end + 1;
  }
  std::fprintf(stderr, "pictavo-cli: %s\n", safe.c_str());
}

Args::Args(int argc, char** argv, int first) {
  for (int i = first; i < argc; ++i) args_.emplace_back(argv[i]);
}

bool Args::TakeOption(std::string_view name, std::string* value) {
  if (Done()) return false;
  const std::string& arg = args_[index_];
  if (arg == name) {
    if (index_ + 1 >= args_.size()) {
      error_ = std::string(name) + " needs a value";
      ++index_;
      return false;
    }
    *value = args_[index_ + 1];
    index_ += 2;
    return true;
  }
  if (arg.size() > name.size() && arg.compare(0, name.size(), name) == 0 &&
      arg[name.size()] == '=') {
    *value = arg.substr(name.size() + 1);
    ++index_;
    return true;
  }
  return false;
}

bool Args::TakeFlag(std::string_view name) {
  if (Done() || args_[index_] != name) return false;
  ++index_;
  return true;
}

std::string SupportedExtensions() { return TypeNameList(); }

std::optional<FileTypeSelection> ParseTypeList(std::string_view list, std::string* error) {
  FileTypeSelection selection;
  selection.SelectAll(false);
  if (list.empty()) {
    for (FileTypeId id = 1; id < kTypeCount; ++id) selection.Set(id, MakeHandler(id) != nullptr);
    return selection;
  }
  while (!list.empty()) {
    const size_t comma = list.find(',');
    const std::string_view name = list.substr(0, comma);
    list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 1);
    if (name.empty()) continue;
    const std::optional<FileTypeId> id = TypeFromName(name);
    if (!id || !MakeHandler(*id)) {
      *error =
          "unknown file type '" + std::string(name) + "'; valid types: " + SupportedExtensions();
      return std::nullopt;
    }
    selection.Set(*id, true);
  }
  return selection;
}

std::optional<uint64_t> ParseUnsigned(std::string_view text) {
  uint64_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
  return value;
}

std::optional<OutputFormat> ParseOutputFormat(std::string_view text) {
  if (text.empty()) return isatty(STDOUT_FILENO) ? OutputFormat::kTable : OutputFormat::kTsv;
  if (text == "table") return OutputFormat::kTable;
  if (text == "tsv") return OutputFormat::kTsv;
  if (text == "json") return OutputFormat::kJson;
  return std::nullopt;
}

std::string FormatDuration(double seconds) {
  if (seconds < 0) seconds = 0;
  const uint64_t total = static_cast<uint64_t>(seconds + 0.5);
  char text[48];
  if (total >= 3600) {
    std::snprintf(text, sizeof(text), "%" PRIu64 ":%02u:%02u", total / 3600,
                  static_cast<unsigned>(total / 60 % 60), static_cast<unsigned>(total % 60));
  } else {
    std::snprintf(text, sizeof(text), "%u:%02u", static_cast<unsigned>(total / 60),
                  static_cast<unsigned>(total % 60));
  }
  return text;
}

void PrintResults(std::FILE* out, OutputFormat format, const ResultsReport& report) {
  const auto found = report.results->Found();
  const bool extra = report.extra_column && report.extra_column->size() == found.size();
  switch (format) {
    case OutputFormat::kTsv:
      WriteResults(out, ResultsFormat::kTsv, report);
      break;
    case OutputFormat::kJson:
      WriteResults(out, ResultsFormat::kJson, report);
      break;
    case OutputFormat::kTable: {
      if (report.sector_size) {
        std::fprintf(out, "Source: %s (%s, %u-byte sectors)\n\n",
                     TerminalText(report.source).c_str(), SizeText(report.size).c_str(),
                     report.sector_size);
      } else {  // a snapshot does not know the sector size
        std::fprintf(out, "Source: %s (%s)\n\n", TerminalText(report.source).c_str(),
                     SizeText(report.size).c_str());
      }
      if (!found.empty()) {
        std::fprintf(out, "%8s  %-5s %16s %14s  %-14s%s%s\n", "#", "type", "offset", "length",
                     "size", extra ? "  " : "", extra ? report.extra_heading.c_str() : "");
      }
      for (size_t i = 0; i < found.size(); ++i) {
        const FoundFile& f = found[i];
        std::fprintf(out, "%8zu  %-5s %16" PRIu64 " %14" PRIu64 "  %-14s%s%s\n", i + 1,
                     std::string(ExtensionOf(f.type)).c_str(), f.offset, f.length,
                     SizeText(f.length).c_str(), extra ? "  " : "",
                     extra ? (*report.extra_column)[i].c_str() : "");
      }
      std::fprintf(out, "\nFound %" PRIu64 " file%s.\n", report.results->found_count,
                   report.results->found_count == 1 ? "" : "s");
      for (FileTypeId id = 0; id < kTypeCount; ++id) {
        const TypeTally& t = report.results->tallies[id];
        if (!t.present) continue;
        const std::string label = std::string(TreeLabelOf(id)) + std::to_string(t.count) + ")";
        std::fprintf(out, "  %-14s %s\n", label.c_str(), SizeText(t.total_bytes).c_str());
      }
      break;
    }
  }
}

ProgressLine::ProgressLine(std::string verb)
    : verb_(std::move(verb)),
      enabled_(isatty(STDERR_FILENO) != 0),
      start_(std::chrono::steady_clock::now()) {}

ProgressLine::~ProgressLine() { Finish(); }

double ProgressLine::ElapsedSeconds() const {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

void ProgressLine::Update(uint64_t position, uint64_t total, std::string_view detail) {
  if (!enabled_) return;
  const auto now = std::chrono::steady_clock::now();
  if (drawn_ && now - last_draw_ < std::chrono::milliseconds(200) && position < total) return;
  last_draw_ = now;
  const double elapsed = ElapsedSeconds();
  const double percent =
      total ? 100.0 * static_cast<double>(position) / static_cast<double>(total) : 0.0;
  const double rate = elapsed > 0 ? static_cast<double>(position) / elapsed : 0.0;
  std::string left = "--:--";
  if (rate > 0 && position > 0 && total >= position) {
    left = FormatDuration(static_cast<double>(total - position) / rate);
  }
  std::fprintf(stderr, "\r\033[K%s %5.1f %%  %.1f / %.1f MiB  %.*s  elapsed %s  %.1f MB/s  left %s",
               verb_.c_str(), percent, static_cast<double>(position) / 1048576.0,
               static_cast<double>(total) / 1048576.0, static_cast<int>(detail.size()),
               detail.data(), FormatDuration(elapsed).c_str(), rate / 1e6, left.c_str());
  std::fflush(stderr);
  drawn_ = true;
}

void ProgressLine::Finish() {
  if (enabled_ && drawn_) {
    std::fprintf(stderr, "\r\033[K");
    std::fflush(stderr);
  }
  drawn_ = false;
}

bool RejectUnknownOption(const Args& args, std::string_view command) {
  if (!args.Peek().starts_with("-") || args.Peek() == "-") return false;
  PrintError(std::string(command) + ": unknown option '" + std::string(args.Peek()) +
             "' (see 'pictavo-cli " + std::string(command) + " --help')");
  return true;
}

bool TakeSourceOperand(Args& args, std::string_view command, std::string* source) {
  if (RejectUnknownOption(args, command)) return false;
  if (!source->empty()) {
    PrintError(std::string(command) + ": more than one SOURCE given");
    return false;
  }
  *source = args.TakePositional();
  return true;
}

bool ParseSectorSizeOption(std::string_view command, const std::string& text,
                           OpenOptions* options) {
  if (text.empty()) return true;
  const auto value = ParseUnsigned(text);
  if (!value || *value < 1 || *value > 0xFFFF) {
    PrintError(std::string(command) + ": --sector-size must be a number from 1 to 65535");
    return false;
  }
  options->raw_sector_size = static_cast<uint16_t>(*value);
  return true;
}

std::unique_ptr<FileSectorSource> OpenSourceOrReport(const std::string& name,
                                                     const OpenOptions& options) {
  int error = 0;
  std::string reason;
  auto source = FileSectorSource::Open(name, options, &error, &reason);
  if (source) {
    if (source->MissingBytes() > 0) {
      std::fprintf(stderr,
                   "pictavo-cli: warning: %s is cut short: %" PRIu64
                   " bytes of its data are missing; the %" PRIu64 " bytes present are scanned\n",
                   TerminalText(name).c_str(), source->MissingBytes(), source->Size());
    }
    return source;
  }
  if (const std::string unusable = UnusableSourceText(name); !unusable.empty()) {
    PrintError(unusable);
    return nullptr;
  }
  PrintError("cannot open " + name + ": " + (reason.empty() ? SystemErrorText(error) : reason));
  PrintPrivilegeAdvice(error);
  return nullptr;
}

void PrintPrivilegeAdvice(int error) {
  if (!PrivilegesMayHelp(error)) return;
  std::fputs(
      "Reading a disk needs privileges: run as root, through pkexec, or as a member of "
      "the 'disk' group.\n",
      stderr);
}

void ReportSkippedChunks(const ScanStatus& status, const std::string& source_name) {
  if (status.source_shrank) PrintError(source_name + ": " + status.message);
  if (status.unreadable.empty()) return;
  const size_t areas = status.unreadable.size();
  std::fprintf(stderr,
               "pictavo-cli: %zu area%s of %s (%" PRIu64
               " bytes) could not be read; every other sector was scanned:\n",
               areas, areas == 1 ? "" : "s", source_name.c_str(), status.unreadable_bytes());
  constexpr size_t kListed = 100;
  for (size_t i = 0; i < areas && i < kListed; ++i) {
    std::fprintf(stderr, "  offset %" PRIu64 ", %" PRIu64 " bytes\n", status.unreadable[i].offset,
                 status.unreadable[i].length);
  }
  if (areas > kListed) {
    std::fprintf(stderr, "  ... and %zu more (--format json lists them all)\n", areas - kListed);
  }
}

}  // namespace pictavo::cli
