#include "drives/disk_image.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstring>
#include <memory>
#include <new>

#include "drives/rescue_image.h"
#include "platform/output_file.h"
#include "platform/system_error.h"

namespace pictavo {
namespace {

bool Cancelled(const std::atomic<bool>* cancel) {
  return cancel && cancel->load(std::memory_order_relaxed);
}

void NoteUnreadable(ImageCreationResult& result, uint64_t offset, uint64_t length) {
  result.unreadable_bytes += length;
  if (!result.unreadable.empty()) {
    UnreadableRange& last = result.unreadable.back();
    if (last.offset + last.length == offset) {
      last.length += length;
      return;
    }
  }
  if (result.unreadable.size() < ImageCreationResult::kMaxListedRanges) {
    result.unreadable.push_back({offset, length});
  }
}

// Reads the last `count` bytes of an open file into `out`; false when the file is shorter.
bool ReadTail(int fd, uint64_t file_size, uint32_t count, uint8_t* out) {
  if (file_size < count) return false;
  uint32_t done = 0;
  while (done < count) {
    const ssize_t got =
        pread(fd, out + done, count - done, static_cast<off_t>(file_size - count + done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    done += static_cast<uint32_t>(got);
  }
  return true;
}

}  // namespace

ImageCreationResult CreateDiskImage(const std::string& source_name, const std::string& image_path,
                                    ImageCreationObserver* observer,
                                    const std::atomic<bool>* cancel) {
  int error = 0;
  auto source = FileSectorSource::Open(source_name, {}, &error);
  if (!source) {
    ImageCreationResult result;
    result.outcome = ImageOutcome::kSourceUnusable;
    result.error_code = error;
    result.message = "The source " + source_name + " could not be opened.";
    result.detail = SystemErrorText(error);
    return result;
  }
  return CreateDiskImage(*source, image_path, observer, cancel);
}

ImageCreationResult CreateDiskImage(SectorSource& source, const std::string& image_path,
                                    ImageCreationObserver* observer,
                                    const std::atomic<bool>* cancel) {
  ImageCreationResult result;
  const uint16_t sector_size = source.SectorSize();
  if (sector_size == 0) {
    result.outcome = ImageOutcome::kSourceUnusable;
    result.message = "The sector size of " + source.Name() +
                     " is unknown (0 bytes), so it cannot be copied into an image.";
    return result;
  }
  const uint64_t data_size = source.Size();
  result.data_size = data_size;
  result.sector_size = sector_size;

  // A folder that does not exist has no free space to tell of: say what is wrong with it.
  struct stat folder_st {};
  if (stat(FolderOf(image_path).c_str(), &folder_st) != 0) {
    result.outcome = ImageOutcome::kCannotCreate;
    result.error_code = errno;
    result.message = kImageCannotCreateMessage;
    result.detail = SystemErrorText(result.error_code);
    return result;
  }
  // Strictly more free space than data: the trailer's 32 bytes are not counted.
  const uint64_t free_space = GetFreeSpace(FolderOf(image_path));
  if (!(free_space > data_size)) {
    result.outcome = ImageOutcome::kNoFreeSpace;
    result.message = kImageNoSpaceMessage;
    return result;
  }

  int error = 0;
  const int fd = CreateNewFile(image_path, &error);
  if (fd < 0) {
    result.outcome = ImageOutcome::kCannotCreate;
    result.error_code = error;
    result.message = kImageCannotCreateMessage;
    result.detail = SystemErrorText(error);
    return result;
  }
  const auto abandon = [&](ImageOutcome outcome, std::string message, int code) {
    close(fd);
    unlink(image_path.c_str());
    result.outcome = outcome;
    result.message = std::move(message);
    result.error_code = code;
    return result;
  };

  const uint32_t block_bytes = kImageBlockSectors * sector_size;
  std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[block_bytes]);
  if (!buffer) return abandon(ImageOutcome::kWriteFailed, SystemErrorText(ENOMEM), ENOMEM);
  if (observer) observer->OnStart(data_size, sector_size);

  // The file has its full length from the start; blocks of zeros are simply never written, so
  // that they stay holes whatever the alignment of the copy blocks.
  if (ftruncate(fd, static_cast<off_t>(data_size + ImageTrailer::kSize)) != 0) {
    error = errno;
    result.detail = SystemErrorText(error) + ". The incomplete image file was deleted.";
    return abandon(ImageOutcome::kWriteFailed, "Writing the image file " + image_path + " failed.",
                   error);
  }
  uint64_t remaining = data_size;
  uint32_t block = block_bytes;
  std::unique_ptr<SectorSource> direct;
  bool direct_tried = false;
  while (remaining > 0) {
    if (Cancelled(cancel)) return abandon(ImageOutcome::kCancelled, kImageAbortedMessage, 0);
    std::memset(buffer.get(), 0, block);
    if (remaining < block) block = static_cast<uint32_t>(remaining);
    const uint64_t offset = data_size - remaining;
    // A short read at the end of the medium leaves zeros. A failed read keeps what arrived before
    // the failure and reads the rest of the block sector by sector, so that only the sectors that
    // cannot be read are zeros, each at its own offset, and reported.
    uint32_t delivered = 0;
    if (!source.ReadAt(offset, block, buffer.get(), ReadRule::kChunk, &delivered)) {
      uint32_t at = delivered - delivered % sector_size;
      std::memset(buffer.get() + at, 0, block - at);
      // A device is read around its page cache here when it allows it, so that a bad sector
      // does not take the rest of its page with it.
      if (!direct_tried) {
        direct = DirectTwin(source);
        direct_tried = true;
      }
      SectorSource& sectors = direct ? *direct : source;
      while (at < block) {
        const uint32_t piece = std::min<uint32_t>(sector_size, block - at);
        if (!sectors.ReadAt(offset + at, piece, buffer.get() + at, ReadRule::kChunk)) {
          std::memset(buffer.get() + at, 0, piece);
          NoteUnreadable(result, offset + at, piece);
          if (observer) observer->OnUnreadable(offset + at, piece, sectors.last_error());
        }
        at += piece;
      }
    }
    if (!WriteLeavingHoles(fd, buffer.get(), block, offset, &error)) {
      result.detail = SystemErrorText(error) + ". The incomplete image file was deleted.";
      return abandon(ImageOutcome::kWriteFailed,
                     "Writing the image file " + image_path + " failed.", error);
    }
    remaining -= block;
    result.copied = data_size - remaining;
    if (observer) {
      const uint32_t percent =
          static_cast<uint32_t>(static_cast<unsigned __int128>(result.copied) * 100 / data_size);
      observer->OnProgress(percent, result.copied, data_size);
    }
  }
  if (Cancelled(cancel)) return abandon(ImageOutcome::kCancelled, kImageAbortedMessage, 0);

  uint8_t trailer[ImageTrailer::kSize];
  WriteImageTrailer({.data_size = data_size, .sector_size = sector_size}, trailer);
  if (!WriteLeavingHoles(fd, trailer, sizeof(trailer), data_size, &error)) {
    result.detail = SystemErrorText(error) + ". The incomplete image file was deleted.";
    return abandon(ImageOutcome::kWriteFailed, "Writing the image file " + image_path + " failed.",
                   error);
  }
  if (!SyncAndClose(fd, &error)) {
    unlink(image_path.c_str());
    result.outcome = ImageOutcome::kWriteFailed;
    result.error_code = error;
    result.message = "Writing the image file " + image_path + " failed.";
    result.detail = SystemErrorText(error) + ". The incomplete image file was deleted.";
    return result;
  }
  result.outcome = ImageOutcome::kCreated;
  result.message = kImageCreatedMessage;
  result.detail = DescribeUnreadable(result);
  return result;
}

std::string DescribeUnreadable(const ImageCreationResult& result, size_t max_listed) {
  if (result.unreadable_bytes == 0) return {};
  char text[160];
  std::snprintf(text, sizeof(text),
                "%" PRIu64 " bytes of the source could not be read and were written as zeros, at",
                result.unreadable_bytes);
  std::string out = text;
  size_t shown = 0;
  for (const UnreadableRange& range : result.unreadable) {
    if (shown == max_listed) break;
    std::snprintf(text, sizeof(text), "%s offset %" PRIu64 " (%" PRIu64 " bytes)", shown ? "," : "",
                  range.offset, range.length);
    out += text;
    ++shown;
  }
  if (result.unreadable.size() > shown ||
      result.unreadable.size() == ImageCreationResult::kMaxListedRanges) {
    out += " and further places";
  }
  return out + ".";
}

bool CheckImageFile(const std::string& path) {
  // Not blocking on a named pipe: it has no end to find a trailer at.
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat st {};
  uint8_t magic[kImageTrailerMagicSize];
  const bool valid = fstat(fd, &st) == 0 &&
                     ReadTail(fd, static_cast<uint64_t>(st.st_size), sizeof(magic), magic) &&
                     std::memcmp(magic, ImageTrailerMagic(), sizeof(magic)) == 0;
  close(fd);
  if (!valid) return false;
  // A trailer whose sector size cannot be right is refused too.
  const auto info = ReadImageInfo(path);
  return !info || info->problem.empty();
}

std::optional<ImageInfo> ReadImageInfo(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  struct stat st {};
  uint8_t raw[ImageTrailer::kSize];
  ImageInfo info;
  const bool valid = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
                     ReadTail(fd, static_cast<uint64_t>(st.st_size), sizeof(raw), raw) &&
                     ParseImageTrailer(raw, &info.trailer);
  close(fd);
  if (!valid) return std::nullopt;
  info.problem = ImageTrailerProblem(info.trailer);
  info.file_size = static_cast<uint64_t>(st.st_size);
  return info;
}

}  // namespace pictavo
