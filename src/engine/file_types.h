#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <optional>
#include <string_view>

namespace pictavo {

// The number of a file type, shared by the handlers, the found files, the tallies, the views and
// the extension of saved files. 1 to 21 follow the labels' alphabetical order; 22 to 25 are the
// multimedia types. 5, 11 and 17 have labels but no recogniser.
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
};

constexpr FileTypeId kTypeCount = 26;  // ids 0 to 25

// "JPEG (" and so on: the start of a type's node label in the results tree.
std::string_view TreeLabelOf(FileTypeId id);
// "jpeg" and so on; empty for ids without a recogniser and for ids outside 1 to 25.
std::string_view ExtensionOf(FileTypeId id);
// The type whose extension is `extension` (case-insensitive), if that type has a recogniser.
std::optional<FileTypeId> TypeFromExtension(std::string_view extension);
// True for the 22 ids that have a recogniser.
bool HasRecogniser(FileTypeId id);
// True for the audio and video types (22 to 25).
inline bool IsMultimediaType(FileTypeId id) { return id >= kTypeAvi && id <= kTypeMpeg; }

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

 private:
  std::array<std::atomic<bool>, kTypeCount> flags_{};
};

// The selection the wizard's file-type page edits; lives for the whole process.
FileTypeSelection& ProcessFileTypeSelection();

}  // namespace pictavo
