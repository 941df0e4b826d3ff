#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "engine/file_types.h"
#include "engine/scan_engine.h"
#include "imaging/image_decoder.h"
#include "platform/sector_source.h"

namespace pictavo {

// Files of this size or larger are not previewed.
inline constexpr uint64_t kPreviewSizeLimit = 20'971'520;
// The same for the modern picture types (HEIC, AVIF, WebP, CR3, DNGs of other makers): their
// previews come from a thumbnail, an embedded JPEG or a scaled decode, which read only a part of
// the file, so a 40 MB raw previews as quickly as a small JPEG.
inline constexpr uint64_t kModernPreviewSizeLimit = 268'435'456;

inline constexpr std::string_view kPreviewMediaText =
    "Preview is not available for audio and video file formats in this version.";
inline constexpr std::string_view kPreviewTooLargeText =
    "Preview of this file is not possible, file is too large";
inline constexpr std::string_view kPreviewUnavailableText = "Preview is not available.";

enum class PreviewRefusal { kNone, kMediaType, kTooLarge };

// The type test comes first: an audio or video file is refused as such whatever its size.
PreviewRefusal CheckPreviewRequest(FileTypeId type, uint64_t length);
// The size from which a type's files are refused as too large.
uint64_t PreviewSizeLimit(FileTypeId type);
// The message for a refusal (shown with the caption "Information"); empty for kNone.
std::string_view PreviewRefusalText(PreviewRefusal refusal);

// How the temporary file of a type is loaded: ARW, BMP, CR2, CRW, GIF, JPEG, NEF, PEF, PNG and
// TIFF files are tried as a Windows bitmap first, then by content; every other type by content.
FormatHint PreviewFormatHint(FileTypeId type);

// Where a picture goes in a pane: shrunk (never enlarged) with the smaller of the two factors,
// sizes cut to whole numbers, and centred with integer division.
struct PanePlacement {
  int width = 0;
  int height = 0;
  int x = 0;
  int y = 0;
  bool resample = false;  // the picture must be resampled to width x height first
  friend bool operator==(const PanePlacement&, const PanePlacement&) = default;
};
PanePlacement PlaceInPane(int picture_width, int picture_height, int pane_width, int pane_height);

// The private folder of the preview's temporary files: $XDG_RUNTIME_DIR/pictavo, or
// pictavo-<uid> in the system's temporary folder ($TMPDIR, else /tmp). Created with mode 0700;
// an existing one must be a real directory owned by this user and closed to others. False with
// a reason when no such folder can be had.
bool PreviewTempDirectory(std::string* directory, std::string* error);

// "Tmp." and the type's extension; for the types without an extension the name ends in the dot.
std::string PreviewTempFileName(FileTypeId type);

// The temporary copy of the file being previewed. The path is empty until the first copy and
// stays set afterwards, so that the file can be deleted again whenever the preview is done with
// it; the object deletes it when it goes.
class PreviewTempFile {
 public:
  PreviewTempFile() = default;
  ~PreviewTempFile() { Delete(); }
  PreviewTempFile(const PreviewTempFile&) = delete;
  PreviewTempFile& operator=(const PreviewTempFile&) = delete;

  // Copies the found file's extent from `source` into the temporary file of its type (replacing
  // any earlier one). False with a reason when the folder or the file cannot be made or the
  // source cannot be read at all; the user is then told kPreviewUnavailableText.
  bool CopyFrom(SectorSource& source, const FoundFile& file, std::string* error);

  // Deletes the file if the path is set; harmless when it is already gone.
  void Delete();

  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// The picture of a preview: the temporary file decoded with the type's hint or, when that fails,
// the placeholder picture (the temporary file is then deleted at once).
struct PreviewPicture {
  Picture picture;
  DecodeStatus status = DecodeStatus::kFailed;  // of the photo, not of the placeholder
  bool placeholder = false;
  std::string message;  // why the photo could not be decoded, or was only partly
};
PreviewPicture LoadPreviewPicture(PreviewTempFile& temp_file, FileTypeId type,
                                  const DecodeOptions& options = {});

}  // namespace pictavo
