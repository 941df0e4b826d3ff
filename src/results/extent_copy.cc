#include "results/extent_copy.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "platform/output_file.h"
#include "platform/system_error.h"

namespace pictavo {
namespace {

// Copies `length` bytes at `offset` of `source_fd` to the end of what was written to
// `destination_fd`; false when the kernel cannot copy them all (nothing is assumed written then
// beyond what the caller rewinds).
bool CopyRange(int source_fd, uint64_t offset, int destination_fd, uint64_t length) {
  const off_t start = lseek(destination_fd, 0, SEEK_CUR);
  if (start < 0) return false;
  loff_t in = static_cast<loff_t>(offset);
  uint64_t done = 0;
  while (done < length) {
    const ssize_t n = copy_file_range(source_fd, &in, destination_fd, nullptr, length - done, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      // Rewind and cut what this attempt wrote, so the caller can write the chunk again.
      if (lseek(destination_fd, start, SEEK_SET) < 0 || ftruncate(destination_fd, start) != 0) {
        return false;
      }
      return false;
    }
    done += static_cast<uint64_t>(n);
  }
  return true;
}

enum class ViewCopy { kWritten, kNotInMemory, kWriteFailed };

// Writes `write_length` bytes at `offset` straight from the source's memory, checking that all
// `read_length` bytes a read of the chunk would cover are readable. Goes a piece at a time, so
// that only a few blocks of the source are mapped at once. When some piece is not in memory,
// what this call wrote is cut off again (the destination held `written_before` bytes).
ViewCopy WriteFromViews(SectorSource& source, uint64_t offset, uint64_t read_length,
                        uint64_t write_length, int fd, uint64_t written_before, int* error) {
  constexpr uint64_t kPiece = 2 << 20;
  for (uint64_t done = 0; done < read_length; done += kPiece) {
    const uint64_t piece = std::min(kPiece, read_length - done);
    const uint8_t* view = source.View(offset + done, static_cast<uint32_t>(piece));
    if (view == nullptr) {
      if (done == 0) return ViewCopy::kNotInMemory;
      const off_t start = static_cast<off_t>(written_before);
      if (lseek(fd, start, SEEK_SET) < 0 || ftruncate(fd, start) != 0) {
        *error = errno;
        return ViewCopy::kWriteFailed;
      }
      return ViewCopy::kNotInMemory;
    }
    if (done < write_length &&
        !WriteSkippingZeroBlocks(fd, view, std::min(piece, write_length - done),
                                 written_before + done, error)) {
      return ViewCopy::kWriteFailed;
    }
  }
  return ViewCopy::kWritten;
}

}  // namespace

ExtentCopyResult CopyExtent(SectorSource& source, const FoundFile& file,
                            const std::string& destination_path, ExistingFile existing,
                            ExtentCopyObserver* observer, const std::atomic<bool>* cancel) {
  ExtentCopyResult result;
  if (file.length > 0 && file.offset >= source.Size()) {
    result.error_code = ENXIO;
    result.message = "it starts at offset " + std::to_string(file.offset) +
                     ", beyond the end of the source (" + std::to_string(source.Size()) + " bytes)";
    return result;
  }
  int error = 0;
  int fd;
  if (existing == ExistingFile::kRefuse) {
    fd = CreateNewFile(destination_path, &error);
  } else {
    do {
      fd = open(destination_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) error = errno;
  }
  if (fd < 0) {
    result.error_code = error;
    result.message = "cannot create " + destination_path + ": " + SystemErrorText(error);
    return result;
  }
  const auto abandon = [&](int code, std::string message) {
    close(fd);
    unlink(destination_path.c_str());
    result.ok = false;
    result.error_code = code;
    result.message = std::move(message);
    return result;
  };

  const auto write_failed = [&] {
    return abandon(error, "cannot write " + destination_path + ": " + SystemErrorText(error));
  };

  // Without a known sector size reads are not rounded; a plain file or a device read through the
  // page cache takes any length.
  const uint64_t sector = source.SectorSize() ? source.SectorSize() : 1;
  // Bytes beyond the end of the source are not data: the file is cut there.
  const uint64_t size = std::min<uint64_t>(file.length, source.Size() - file.offset);
  result.cut_short = size < file.length;
  const uint64_t largest_read =
      std::min<uint64_t>(kExtentChunkBytes, (size + sector - 1) / sector * sector);
  // Only chunks that cannot be written from the source's memory are read into a buffer.
  std::unique_ptr<uint8_t[]> buffer;

  auto* file_source = dynamic_cast<FileSectorSource*>(&source);
  if (file_source && file_source->kind() == SourceKind::kBlockDevice) file_source = nullptr;
  uint64_t remaining = size;
  uint64_t read_position = file.offset;
  // size / chunk + 1 passes: a size that is a whole number of chunks ends with an empty pass.
  const uint64_t passes = size / kExtentChunkBytes + 1;
  for (uint64_t pass = 0; pass < passes; ++pass) {
    if (cancel && cancel->load(std::memory_order_relaxed)) {
      ExtentCopyResult cancelled = abandon(0, "cancelled");
      cancelled.cancelled = true;
      return cancelled;
    }
    uint64_t write_length = kExtentChunkBytes;
    uint64_t read_length = kExtentChunkBytes;
    if (remaining < kExtentChunkBytes) {
      write_length = remaining;
      read_length = (remaining + sector - 1) / sector * sector;
    }
    if (read_length == 0) break;
    // Bytes the source holds in memory and can read are written straight from there: one copy,
    // into the destination's pages. This beats copy_file_range, which on file systems without
    // shared extents moves the bytes through a pipe a few pages at a time.
    const ViewCopy copied = WriteFromViews(source, read_position, read_length, write_length, fd,
                                           result.bytes_written, &error);
    if (copied == ViewCopy::kWriteFailed) return write_failed();
    // A plain file the process could not map is copied by the kernel; any failure falls back to
    // reading, which tells an unreadable chunk from a failed write.
    if (copied == ViewCopy::kWritten && source.CurrentSize() < read_position + write_length) {
      // The source was cut while its memory was being written out: the bytes from its new end
      // on came as zeros and are no data. The file ends where the source now does.
      const uint64_t kept = std::max(source.CurrentSize(), read_position) - read_position;
      result.bytes_written += std::min(kept, write_length);
      if (ftruncate(fd, static_cast<off_t>(result.bytes_written)) != 0) {
        error = errno;
        return write_failed();
      }
      result.cut_short = true;
      break;
    }
    const bool written =
        copied == ViewCopy::kWritten ||
        (file_source && CopyRange(file_source->fd(), read_position, fd, write_length));
    if (!written) {
      if (!buffer) {
        buffer.reset(new (std::nothrow) uint8_t[std::max<uint64_t>(largest_read, 1)]);
        if (!buffer) return abandon(ENOMEM, SystemErrorText(ENOMEM));
      }
      std::vector<ByteRange> unreadable;
      int read_error = 0;
      const uint64_t delivered =
          ReadSalvaging(source, read_position, static_cast<uint32_t>(read_length), buffer.get(),
                        &unreadable, &read_error);
      for (const ByteRange& range : unreadable) {
        // Only the bytes of the file count, not those of the rounding to whole sectors.
        const uint64_t end = std::min(range.end(), read_position + write_length);
        if (range.offset >= end) continue;
        if (result.unreadable_bytes == 0) result.first_unreadable_offset = range.offset;
        result.unreadable_bytes += end - range.offset;
        AppendRange(result.unreadable, range.offset, end - range.offset);
      }
      if (delivered < write_length) {
        // The source ended early (it shrank since it was opened): what was read is kept and
        // the file ends there.
        if (!WriteSkippingZeroBlocks(fd, buffer.get(), delivered, result.bytes_written, &error)) {
          return write_failed();
        }
        result.bytes_written += delivered;
        result.cut_short = true;
        break;
      }
      if (!WriteSkippingZeroBlocks(fd, buffer.get(), write_length, result.bytes_written, &error)) {
        return write_failed();
      }
    }
    result.bytes_written += write_length;
    if (observer) observer->OnCopied(result.bytes_written, size);
    read_position += read_length;
    remaining -= std::min(remaining, read_length);
  }
  // Blocks of zeros were stepped over, leaving holes; a file ending in one needs its length.
  if (!EndSparseFile(fd, result.bytes_written, &error)) return write_failed();
  if (close(fd) != 0 && errno != EINTR) {
    error = errno;
    unlink(destination_path.c_str());
    result.error_code = error;
    result.message = "cannot write " + destination_path + ": " + SystemErrorText(error);
    return result;
  }
  result.ok = true;
  return result;
}

ExtentCopyResult CopyExtent(const std::string& source_name, const FoundFile& file,
                            const std::string& destination_path, ExistingFile existing) {
  int error = 0;
  auto source = FileSectorSource::Open(source_name, {}, &error);
  if (!source) {
    ExtentCopyResult result;
    result.error_code = error;
    result.message = "cannot open " + source_name + ": " + SystemErrorText(error);
    return result;
  }
  return CopyExtent(*source, file, destination_path, existing);
}

}  // namespace pictavo
