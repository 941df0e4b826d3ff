#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace pictavo {

class FormatHandler;

// The number of a file type, shared by the handlers, the found files, the tallies, the views and
// the extension of saved files. 1 to 21 follow the labels' alphabetical order; 22 to 25 are the
// multimedia types of the classic set; 26 on are the modern phone and camera types. 5, 11 and 17
// have labels but no recogniser.
using FileTypeId = uint32_t;

enum : FileTypeId {
  kTypeNone = 0,
  kTypeArw = 1,
  kTypeBmp = 2,
  kTypeCr2 = 3,
  kTypeCrw = 4,
  kTypeDbx = 5,
  kTypeDng = 6,
  kTypeGif = 7,
  kTypeJ2k = 8,
  kTypeJp2 = 9,
  kTypeJpeg = 10,
  kTypeK25 = 11,
  kTypeMrw = 12,
  kTypeNef = 13,
  kTypeOrf = 14,
  kTypePef = 15,
  kTypePng = 16,
  kTypePst = 17,
  kTypeRaf = 18,
  kTypeRaw = 19,
  kTypeTiff = 20,
  kTypeX3f = 21,
  kTypeAvi = 22,
  kTypeMov = 23,
  kTypeWav = 24,
  kTypeMpeg = 25,
  // Modern phone and camera formats.
  kTypeHeic = 26,      // HEIF stills with HEVC pictures (iPhone, Samsung, Sony)
  kTypeAvif = 27,      // HEIF stills with AV1 pictures
  kTypeMp4 = 28,       // MPEG-4 and M4V video
  kTypeM4a = 29,       // MPEG-4 audio and audio books
  kType3gp = 30,       // 3GPP and 3GPP2 phone video
  kTypeCr3 = 31,       // Canon raw, version 3
  kTypeWebp = 32,      // WebP pictures, still and animated
  kTypeOgg = 33,       // Ogg streams: Opus, Vorbis, FLAC
  kTypeDngOther = 34,  // DNGs of makers other than Pentax and Leica (phones, modern cameras)
};

constexpr FileTypeId kTypeCount = 35;  // ids 0 to 34
// The types of the classic set, ids 0 to 25: the number of tallies of a classic snapshot.
constexpr FileTypeId kClassicTypeCount = 26;

enum class TypeCategory : uint8_t { kNone, kPhoto, kRaw, kVideo, kAudio };

using HandlerFactory = std::unique_ptr<FormatHandler> (*)();

// Everything the program knows about a file type, in one row of the file-type table. The views,
// the command line, the handler set, the preview and the saving all read these rows.
struct FileTypeInfo {
  FileTypeId id = kTypeNone;
  // "JPEG (": the start of the type's node label in the results tree.
  std::string_view tree_label;
  // "jpeg": the extension of saved files; empty for a type without a recogniser.
  std::string_view extension;
  // The name the command line takes for the type ("jpeg", "dng-other"), then further names.
  std::string_view name;
  std::array<std::string_view, 3> aliases;
  // The row on the file-type page: "File Type", "Description" and "Created by" columns (the
  // "Category" column follows from `category`), the small picture and the row's place.
  std::string_view row_label;
  std::string_view row_description;
  std::string_view row_maker;
  int row_image = 0;
  int page_row = -1;  // -1: no row
  TypeCategory category = TypeCategory::kNone;
  bool previewable = false;
  // The preview tries the file as a Windows bitmap before looking at its content.
  bool preview_bitmap_first = false;
  // Place in the trial order: handlers of lower ranks are asked first; 0 for no handler.
  int trial_rank = 0;
  // False for the classic types, whose found length keeps the low 32 bits of the measured one.
  bool whole_length = false;
  // Saved files are named stem + index + "." + extension.
  std::string_view name_stem = "File";
  HandlerFactory make_handler = nullptr;
};

// The table, indexed by FileTypeId (row i has id i).
std::span<const FileTypeInfo> FileTypeTable();
// The row of `id`, or null outside the table.
const FileTypeInfo* FindFileType(FileTypeId id);

// "JPEG (" and so on: the start of a type's node label in the results tree.
std::string_view TreeLabelOf(FileTypeId id);
// "jpeg" and so on; empty for ids without a recogniser and for ids outside the table.
std::string_view ExtensionOf(FileTypeId id);
// "jpeg", "dng-other": the name of a type on the command line.
std::string_view TypeNameOf(FileTypeId id);
// The type whose extension is `extension` (case-insensitive), if that type has a recogniser. Where
// two types share an extension (DNG and other DNG), the lower id.
std::optional<FileTypeId> TypeFromExtension(std::string_view extension);
// The type a command-line name stands for (case-insensitive): its name, its extension or one of
// its aliases ("jpg", "tif", "heif").
std::optional<FileTypeId> TypeFromName(std::string_view name);
// True for the ids that have a recogniser.
bool HasRecogniser(FileTypeId id);
// True for the audio and video types.
bool IsMultimediaType(FileTypeId id);
// True for the classic types, ids 1 to 25.
inline bool IsClassicType(FileTypeId id) { return id < kClassicTypeCount; }
// "Image" or "Multimedia".
std::string_view CategoryText(TypeCategory category);
// The length a find records for what its handler measured: the low 32 bits for the classic types
// measured by their rules, the whole length otherwise (and always in the exact-ends mode, whose
// measurements never wrap).
uint64_t RecordedLength(FileTypeId id, uint64_t measured, bool exact_ends = false);
// The ids with a recogniser, in the order their handlers are asked about a sector.
std::span<const FileTypeId> TrialOrder();
// The ids with a row on the file-type page, in row order.
std::span<const FileTypeId> PageRowOrder();
// The ids with a tree label (1 on), in the order of the results tree.
std::span<const FileTypeId> TreeOrder();
// "jpeg,png,...": every command-line name, in id order.
std::string TypeNameList();

// One flag per type: a set flag means a scan searches for that type. Every type starts selected.
class FileTypeSelection {
 public:
  FileTypeSelection() { SelectAll(true); }
  FileTypeSelection(const FileTypeSelection& other) {
    for (FileTypeId id = 0; id < kTypeCount; ++id) flags_[id].store(other.IsSelected(id));
  }
  FileTypeSelection& operator=(const FileTypeSelection& other) {
    for (FileTypeId id = 0; id < kTypeCount; ++id) flags_[id].store(other.IsSelected(id));
    return *this;
  }

  bool IsSelected(FileTypeId id) const { return id < kTypeCount && flags_[id].load(); }
  void Set(FileTypeId id, bool selected) {
    if (id < kTypeCount) flags_[id].store(selected && HasRecogniser(id));
  }
  void SelectAll(bool selected) {
    for (FileTypeId id = 0; id < kTypeCount; ++id) Set(id, selected);
  }
  // Only the classic types (ids 1 to 25) that have a recogniser.
  void SelectClassicOnly() {
    for (FileTypeId id = 0; id < kTypeCount; ++id) Set(id, IsClassicType(id));
  }

 private:
  std::array<std::atomic<bool>, kTypeCount> flags_{};
};

// The selection the wizard's file-type page edits; lives for the whole process.
FileTypeSelection& ProcessFileTypeSelection();

}  // namespace pictavo
