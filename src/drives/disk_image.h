#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/sector_source.h"

namespace pictavo {

// Texts shown to the user.
inline constexpr char kImageNoSpaceMessage[] =
    "There is no enough free disk space to store image file. Please select another destination.";
inline constexpr char kImageCannotCreateMessage[] = "Unable to create image file.";
inline constexpr char kImageAbortedMessage[] = "Image creation process aborted.";
inline constexpr char kImageCreatedMessage[] = "Image file created successfully.";
inline constexpr char kImageCancelQuestion[] = "Do you want to cancel imaging process?";
inline constexpr char kNotAnImageMessage[] = "Not a valid image file.";
inline constexpr char kImageAlreadyAddedMessage[] = "Selected image is already added.";

// The copy moves 63 sectors at a time; the last block is the remainder.
inline constexpr uint32_t kImageBlockSectors = 63;

// Receives the reports of an image creation on the thread that runs it; the copy waits while a
// call runs, so a dialog can hold it (for example while it asks whether to cancel).
class ImageCreationObserver {
 public:
  virtual ~ImageCreationObserver() = default;
  // Once, after the checks passed and the image file was created.
  virtual void OnStart(uint64_t /*data_size*/, uint16_t /*sector_size*/) {}
  // After each block: percent = copied × 100 / data size, rounded down.
  virtual void OnProgress(uint32_t /*percent*/, uint64_t /*copied*/, uint64_t /*data_size*/) {}
  // A sector (or the last, shorter piece of the medium) could not be read; zeros stand in its
  // place in the image.
  virtual void OnUnreadable(uint64_t /*offset*/, uint32_t /*length*/, int /*error_code*/) {}
};

enum class ImageOutcome {
  kCreated,         // the image is complete (it may hold zeros for unreadable blocks)
  kCancelled,       // stopped by the cancel flag; the partial file was deleted
  kSourceUnusable,  // the source could not be opened or has no sector size; nothing created
  kNoFreeSpace,     // the destination's free space is not larger than the data; nothing created
  kCannotCreate,    // the image file exists already or cannot be created
  kWriteFailed,     // writing the image failed; the partial file was deleted
  // Imaging with a map only: the image and its map were kept so that the run can be resumed.
  kStopped,      // stopped by the cancel flag
  kSourceLost,   // the source went away during the run
  kMapUnusable,  // the map could not be read, does not fit the source, or cannot be written
};

// A run of bytes of the source that could not be read.
struct UnreadableRange {
  uint64_t offset = 0;
  uint64_t length = 0;
};

struct ImageCreationResult {
  ImageOutcome outcome = ImageOutcome::kSourceUnusable;
  // The sentence for the user's message box.
  std::string message;
  // The reason behind a failure (the system's text), or the unreadable-bytes report after a
  // completed copy; empty when there is nothing to add.
  std::string detail;
  int error_code = 0;
  uint64_t data_size = 0;
  uint16_t sector_size = 0;
  uint64_t copied = 0;
  // Bytes written as zeros because the source could not be read there, and where (adjacent
  // blocks merged; the list stops growing at kMaxListedRanges, the byte count does not).
  uint64_t unreadable_bytes = 0;
  std::vector<UnreadableRange> unreadable;
  static constexpr size_t kMaxListedRanges = 1000;

  bool ok() const { return outcome == ImageOutcome::kCreated; }
};

// Copies the medium `source_name` (a disk, a partition, or a file) into a new disk image file at
// `image_path`: the data bytes at their own offsets, then the 32-byte trailer. Never replaces an
// existing file. `cancel` is read once per block. Synchronous: the GUI calls it on a worker.
ImageCreationResult CreateDiskImage(const std::string& source_name, const std::string& image_path,
                                    ImageCreationObserver* observer,
                                    const std::atomic<bool>* cancel);

// The same with a source that is already open; copies its Size() bytes.
ImageCreationResult CreateDiskImage(SectorSource& source, const std::string& image_path,
                                    ImageCreationObserver* observer,
                                    const std::atomic<bool>* cancel);

// "Unreadable: 1536 bytes in 2 places: 32256 (512 bytes), 1048576 (1024 bytes)"; empty when all
// was read.
std::string DescribeUnreadable(const ImageCreationResult& result, size_t max_listed = 10);

// The check made before an image is opened: the file's last 22 bytes are the trailer's magic, and
// the trailer's sector size is a power of two from 512 to 32768.
bool CheckImageFile(const std::string& path);

struct ImageInfo {
  uint64_t file_size = 0;  // data area and trailer
  ImageTrailer trailer;
  std::string problem;  // why the image cannot be read (ImageTrailerProblem); empty when it can
};
// The trailer of an image file; nullopt when the file cannot be read or has no trailer.
std::optional<ImageInfo> ReadImageInfo(const std::string& path);

}  // namespace pictavo
