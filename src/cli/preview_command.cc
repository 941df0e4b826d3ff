#include <cstdio>
#include <string>

#include "cli/cli_util.h"
#include "cli/commands.h"
#include "imaging/png_writer.h"
#include "platform/sector_source.h"
#include "results/preview.h"

namespace pictavo::cli {
namespace {

constexpr char kPreviewHelp[] =
    "Usage: pictavo-cli preview [OPTIONS] SOURCE OFFSET LENGTH TYPE --out FILE.png\n"
    "\n"
    "Decodes one found photo straight from SOURCE and writes it as a PNG, to look at a find\n"
    "without the wizard. OFFSET, LENGTH and TYPE are as 'pictavo-cli scan' lists them; TYPE is\n"
    "the number or the extension (jpeg, cr2, ...). Audio and video files and files of 20 MiB\n"
    "or more are not previewed (256 MiB for HEIC, AVIF, WebP, CR3 and other DNG files, whose\n"
    "previews read only an embedded picture). Nothing is ever written to SOURCE.\n"
    "\n"
    "Options:\n"
    "  --out FILE          the PNG to write (required)\n"
    "  --fit WxH           shrink the picture to fit W x H pixels (never enlarged)\n"
    "  --sector-size N     sector size of a raw dump in bytes (default 512)\n"
    "  -h, --help          show this help\n"
    "\n"
    "Exit status: 0 when the photo decoded completely, 3 when only partly (the file is cut short\n"
    "or damaged; the PNG shows what could be decoded), 1 when it could not be decoded at all\n"
    "(no PNG is written) or on other errors, 2 for wrong usage.\n";

std::optional<FileTypeId> ParseType(const std::string& text) {
  if (const auto number = ParseUnsigned(text); number) {
    if (*number >= 1 && *number < kTypeCount) return static_cast<FileTypeId>(*number);
    return std::nullopt;
  }
  return TypeFromName(text);
}

bool ParseBox(const std::string& text, int* width, int* height) {
  const size_t x = text.find_first_of("xX");
  if (x == std::string::npos) return false;
  const auto w = ParseUnsigned(std::string_view(text).substr(0, x));
  const auto h = ParseUnsigned(std::string_view(text).substr(x + 1));
  if (!w || !h || *w < 1 || *h < 1 || *w > 100000 || *h > 100000) return false;
  *width = static_cast<int>(*w);
  *height = static_cast<int>(*h);
  return true;
}

}  // namespace

int RunPreviewCommand(int argc, char** argv, int first) {
  Args args(argc, argv, first);
  std::string out_path, fit_text, sector_size_text;
  std::vector<std::string> positional;
  while (!args.Done()) {
    if (args.TakeFlag("-h") || args.TakeFlag("--help")) {
      std::fputs(kPreviewHelp, stdout);
      return 0;
    }
    if (args.TakeOption("--out", &out_path)) continue;
    if (args.TakeOption("--fit", &fit_text)) continue;
    if (args.TakeOption("--sector-size", &sector_size_text)) continue;
    if (!args.error().empty()) break;
    if (RejectUnknownOption(args, "preview")) return 2;
    positional.push_back(args.TakePositional());
  }
  if (!args.error().empty()) {
    PrintError("preview: " + args.error());
    return 2;
  }
  if (positional.size() != 4) {
    PrintError("preview: expected SOURCE OFFSET LENGTH TYPE (see 'pictavo-cli preview --help')");
    return 2;
  }
  if (out_path.empty()) {
    PrintError("preview: --out FILE.png is required");
    return 2;
  }
  const std::string& source_name = positional[0];
  const auto offset = ParseUnsigned(positional[1]);
  const auto length = ParseUnsigned(positional[2]);
  const auto type = ParseType(positional[3]);
  if (!offset || !length || *length == 0 || *length > 0xFFFFFFFFu) {
    PrintError("preview: OFFSET and LENGTH must be numbers of bytes, LENGTH from 1 to 4294967295");
    return 2;
  }
  if (!type) {
    PrintError("preview: unknown file type '" + positional[3] + "'");
    return 2;
  }
  DecodeOptions options;
  if (!fit_text.empty() && !ParseBox(fit_text, &options.fit_width, &options.fit_height)) {
    PrintError("preview: --fit must be WIDTHxHEIGHT, e.g. 800x600");
    return 2;
  }
  OpenOptions open_options;
  if (!ParseSectorSizeOption("preview", sector_size_text, &open_options)) return 2;

  const PreviewRefusal refusal = CheckPreviewRequest(*type, *length);
  if (refusal != PreviewRefusal::kNone) {
    PrintError(std::string(PreviewRefusalText(refusal)));
    return 1;
  }
  auto source = OpenSourceOrReport(source_name, open_options);
  if (!source) return 1;
  if (*offset >= source->Size()) {
    PrintError("preview: OFFSET lies beyond the end of " + source_name);
    return 1;
  }
  FoundFile file;
  file.type = *type;
  file.offset = *offset;
  file.length = *length;

  PreviewTempFile temp_file;
  std::string copy_error;
  if (!temp_file.CopyFrom(*source, file, &copy_error)) {
    PrintError(std::string(kPreviewUnavailableText) + " (" + copy_error + ")");
    return 1;
  }
  PreviewPicture preview = LoadPreviewPicture(temp_file, *type, options);
  temp_file.Delete();
  if (preview.placeholder) {
    PrintError("the file could not be decoded: " + preview.message);
    return 1;
  }
  std::string write_error;
  if (!WritePngFile(preview.picture, out_path, &write_error)) {
    PrintError("cannot write " + out_path + ": " + write_error);
    return 1;
  }
  std::fprintf(stderr, "%s: %dx%d, %s%s%s\n", out_path.c_str(), preview.picture.width,
               preview.picture.height, std::string(DecodeStatusName(preview.status)).c_str(),
               preview.message.empty() ? "" : ": ", preview.message.c_str());
  return preview.status == DecodeStatus::kComplete ? 0 : 3;
}

}  // namespace pictavo::cli
