#include "engine/file_types.h"

#include <cctype>

namespace pictavo {
namespace {

struct TypeRow {
  std::string_view label;
  std::string_view extension;
};

constexpr TypeRow kTypes[kTypeCount] = {
    {"", ""},           {"ARW (", "arw"}, {"BMP (", "bmp"}, {"CR2 (", "cr2"}, {"CRW (", "crw"},
    {"DBX (", ""},      {"DNG (", "dng"}, {"GIF (", "gif"}, {"J2K (", "j2k"}, {"JP2 (", "jp2"},
    {"JPEG (", "jpeg"}, {"K25 (", ""},    {"MRW (", "mrw"}, {"NEF (", "nef"}, {"ORF (", "orf"},
    {"PEF (", "pef"},   {"PNG (", "png"}, {"PST (", ""},    {"RAF (", "raf"}, {"RAW (", "raw"},
    {"TIFF (", "tiff"}, {"X3F (", "x3f"}, {"AVI (", "avi"}, {"MOV (", "mov"}, {"WAV (", "wav"},
    {"MPEG (", "mpeg"},
};

}  // namespace

std::string_view TreeLabelOf(FileTypeId id) { return id < kTypeCount ? kTypes[id].label : ""; }

std::string_view ExtensionOf(FileTypeId id) { return id < kTypeCount ? kTypes[id].extension : ""; }

bool HasRecogniser(FileTypeId id) { return !ExtensionOf(id).empty(); }

std::optional<FileTypeId> TypeFromExtension(std::string_view extension) {
  if (extension.empty()) return std::nullopt;
  for (FileTypeId id = 1; id < kTypeCount; ++id) {
    const std::string_view candidate = kTypes[id].extension;
    if (candidate.size() != extension.size()) continue;
    bool same = true;
    for (size_t i = 0; i < candidate.size() && same; ++i) {
      same = std::tolower(static_cast<unsigned char>(extension[i])) == candidate[i];
    }
    if (same) return id;
  }
  return std::nullopt;
}

FileTypeSelection& ProcessFileTypeSelection() {
  static FileTypeSelection selection;
  return selection;
}

}  // namespace pictavo
