#include "results/preview.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "imaging/placeholder.h"
#include "platform/system_error.h"
#include "results/extent_copy.h"

namespace pictavo {
namespace {

bool UsableDirectory(const std::string& path) {
  struct stat info {};
  return !path.empty() && path[0] == '/' && stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// Makes `path` a directory private to this user, or accepts one that already is.
bool MakePrivateDirectory(const std::string& path, std::string* error) {
  if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
    *error = path + ": " + SystemErrorText(errno);
    return false;
  }
  struct stat info {};
  if (lstat(path.c_str(), &info) != 0) {
    *error = path + ": " + SystemErrorText(errno);
    return false;
  }
  // In a shared folder such as /tmp someone else may have made the name first, perhaps as a link
  // to a place of their choosing: use only a real directory of our own.
  if (!S_ISDIR(info.st_mode) || info.st_uid != geteuid()) {
    *error = path + ": exists and is not a private directory of this user";
    return false;
  }
  if ((info.st_mode & 077) != 0 && chmod(path.c_str(), 0700) != 0) {
    *error = path + ": " + SystemErrorText(errno);
    return false;
  }
  return true;
}

}  // namespace

uint64_t PreviewSizeLimit(FileTypeId type) {
  const FileTypeInfo* info = FindFileType(type);
  if (info && info->previewable && !IsClassicType(type)) return kModernPreviewSizeLimit;
  return kPreviewSizeLimit;
}

PreviewRefusal CheckPreviewRequest(FileTypeId type, uint64_t length) {
  if (IsMultimediaType(type)) return PreviewRefusal::kMediaType;
  if (length >= PreviewSizeLimit(type)) return PreviewRefusal::kTooLarge;
  return PreviewRefusal::kNone;
}

std::string_view PreviewRefusalText(PreviewRefusal refusal) {
  switch (refusal) {
    case PreviewRefusal::kMediaType:
      return kPreviewMediaText;
    case PreviewRefusal::kTooLarge:
      return kPreviewTooLargeText;
    case PreviewRefusal::kNone:
      break;
  }
  return {};
}

FormatHint PreviewFormatHint(FileTypeId type) {
  const FileTypeInfo* info = FindFileType(type);
  return info && info->preview_bitmap_first ? FormatHint::kBitmapFirst : FormatHint::kDetect;
}

PanePlacement PlaceInPane(int picture_width, int picture_height, int pane_width, int pane_height) {
  PanePlacement placement{picture_width, picture_height, 0, 0, false};
  if (picture_width > 0 && picture_height > 0 &&
      (pane_height < picture_height || pane_width < picture_width)) {
    const double factor = std::min(static_cast<double>(pane_height) / picture_height,
                                   static_cast<double>(pane_width) / picture_width);
    // At least one pixel: a sliver of a pane still shows something rather than nothing.
    placement.width = std::max(1, static_cast<int>(picture_width * factor));
    placement.height = std::max(1, static_cast<int>(factor * picture_height));
    placement.resample = true;
  }
  placement.x = (pane_width - placement.width) / 2;
  placement.y = (pane_height - placement.height) / 2;
  return placement;
}

bool PreviewTempDirectory(std::string* directory, std::string* error) {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime && UsableDirectory(runtime)) {
    *directory = std::string(runtime) + "/pictavo";
  } else {
    const char* tmp = std::getenv("TMPDIR");
    const std::string base = tmp && UsableDirectory(tmp) ? tmp : "/tmp";
    *directory = base + "/pictavo-" + std::to_string(geteuid());
  }
  // One folder per process below the user's private folder: two programs previewing at once
  // (the wizard and a pictavo-cli preview, or parallel tests) must not share "Tmp.jpeg".
  if (!MakePrivateDirectory(*directory, error)) return false;
  *directory += "/" + std::to_string(getpid());
  return MakePrivateDirectory(*directory, error);
}

std::string PreviewTempFileName(FileTypeId type) { return "Tmp." + std::string(ExtensionOf(type)); }

bool PreviewTempFile::CopyFrom(SectorSource& source, const FoundFile& file, std::string* error) {
  std::string directory;
  if (!PreviewTempDirectory(&directory, error)) return false;
  path_ = directory + "/" + PreviewTempFileName(file.type);
  const ExtentCopyResult copy = CopyExtent(source, file, path_, ExistingFile::kReplace);
  if (!copy.ok) *error = copy.message;
  return copy.ok;
}

void PreviewTempFile::Delete() {
  if (path_.empty()) return;
  unlink(path_.c_str());
  // The process's own folder goes with its last file; another preview still open keeps it.
  const size_t slash = path_.rfind('/');
  if (slash != std::string::npos) rmdir(path_.substr(0, slash).c_str());
}

PreviewPicture LoadPreviewPicture(PreviewTempFile& temp_file, FileTypeId type,
                                  const DecodeOptions& options) {
  PreviewPicture preview;
  DecodeResult result = DecodeImageFile(temp_file.path(), PreviewFormatHint(type), options);
  preview.status = result.status;
  preview.message = std::move(result.message);
  if (result.ok()) {
    preview.picture = std::move(result.picture);
    return preview;
  }
  temp_file.Delete();
  preview.placeholder = true;
  preview.picture = LoadPlaceholderPicture();
  return preview;
}

}  // namespace pictavo
