#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

namespace pictavo {

// How a positioned read is judged.
enum class ReadRule {
  // The scan's chunk reads: success unless the system reported an error, even when the end of
  // the medium cut the read short.
  kChunk,
  // The recognisers' reads: success when at least one byte arrived.
  kData,
};

// A run of bytes of the medium: [offset, offset + length).
struct ByteRange {
  uint64_t offset = 0;
  uint64_t length = 0;

  uint64_t end() const { return offset + length; }
  friend bool operator==(const ByteRange&, const ByteRange&) = default;
};

// Adds [offset, offset + length) to a list kept in ascending order, joining it to the last range
// when they touch.
void AppendRange(std::vector<ByteRange>& ranges, uint64_t offset, uint64_t length);

// Read-only, positioned access to the medium being recovered from: a disk, a partition, a disk
// image made by this program, or any raw dump. Nothing here can write to the medium.
class SectorSource {
 public:
  virtual ~SectorSource() = default;

  // Reads up to `count` bytes at `offset`. Returns the number of bytes delivered (0 at the end of
  // the medium), or -1 with the errno value in `*error`.
  virtual int64_t Pread(uint64_t offset, uint8_t* buffer, uint32_t count, int* error) = 0;

  // Bytes per sector; 0 when unknown.
  virtual uint16_t SectorSize() = 0;

  // The bytes a scan covers: a device's size, an image's data area, a plain file's size.
  virtual uint64_t Size() const = 0;

  // The bytes the medium holds now: less than Size() when it shrank since it was opened (a file
  // cut by another program, a device made smaller). Such bytes are no data any more.
  virtual uint64_t CurrentSize() { return Size(); }

  // The name the source was opened under, for messages.
  virtual const std::string& Name() const = 0;

  // The `count` bytes at `offset` in place, when the source holds them in memory and all of them
  // are readable; null otherwise (then read them with ReadAt). Valid until the source is closed.
  virtual const uint8_t* View(uint64_t /*offset*/, uint32_t /*count*/) { return nullptr; }

  // Like View, for a brief look while the bytes of an earlier View are still in use (a
  // recogniser reading ahead of the chunk being scanned): valid until the next call on the
  // source, and the latest View's bytes stay as they are.
  virtual const uint8_t* Peek(uint64_t /*offset*/, uint32_t /*count*/) { return nullptr; }

  // The first offset at or after `offset` that may hold anything but zeros: sparse files tell
  // where their holes end. Sources that cannot tell return `offset`.
  virtual uint64_t NextData(uint64_t offset) { return offset; }

  // A second, independent handle on the same medium for another thread; null when the source
  // cannot be opened twice.
  virtual std::unique_ptr<SectorSource> Clone() const { return nullptr; }

  // Reads exactly as the given rule says; short reads and interrupted calls are retried until the
  // count is reached, the medium ends, or the system reports an error. On failure the errno value
  // is kept in last_error(). `delivered`, when given, receives the byte count read.
  bool ReadAt(uint64_t offset, uint32_t count, uint8_t* buffer, ReadRule rule,
              uint32_t* delivered = nullptr);

  int last_error() const { return last_error_; }

  // Reads `count` bytes at `offset`, a few sectors at most, past any cache of the system when
  // the medium allows it: a device read through the page cache fails for a whole 4 KiB page
  // when one of its sectors is bad, a direct read only for that sector. Sources without such a
  // road read as ReadAt does. True when all `count` bytes arrived.
  virtual bool ReadUncached(uint64_t offset, uint32_t count, uint8_t* buffer);

 protected:
  void set_last_error(int error) { last_error_ = error; }

 private:
  int last_error_ = 0;
};

// Reads `count` bytes at `offset` keeping every byte that can be read. When the whole read
// fails, the bytes it delivered before failing are kept and the rest is read again 4 KiB page by
// page, and a page that fails sector by sector (uncached, see ReadUncached); only sectors that
// still fail are zeros in `buffer`, and they are added to `*unreadable` (merged, in order).
// `*first_error` receives the errno value of the first failure when it was 0. Returns the bytes
// delivered, which is less than `count` only when the medium ends first; the bytes beyond are
// left as they were.
uint32_t ReadSalvaging(SectorSource& source, uint64_t offset, uint32_t count, uint8_t* buffer,
                       std::vector<ByteRange>* unreadable, int* first_error);

// Trailer of a disk image file made by this program: the data area's length, the sector size
// of the medium it was copied from, and a fixed magic, 32 bytes at the very end of the file.
struct ImageTrailer {
  static constexpr uint32_t kSize = 32;
  uint64_t data_size = 0;
  uint16_t sector_size = 0;
};

// The magic "ZOLTAVIMENS" in UTF-16 little-endian, 22 bytes.
const uint8_t* ImageTrailerMagic();
constexpr uint32_t kImageTrailerMagicSize = 22;

// Parses a 32-byte trailer; false when the magic is absent.
bool ParseImageTrailer(const uint8_t* trailer32, ImageTrailer* out);
// Sector sizes this program reads media in: a power of two from 512 to 32768.
bool ValidSectorSize(uint32_t sector_size);
// Why an image with this trailer cannot be read ("the image's sector size, 3 bytes, is not a
// power of two from 512 to 32768"); empty when it can.
std::string ImageTrailerProblem(const ImageTrailer& trailer);
// Lays out a 32-byte trailer.
void WriteImageTrailer(const ImageTrailer& trailer, uint8_t* trailer32);

enum class SourceKind { kBlockDevice, kImageFile, kRawFile };

struct OpenOptions {
  // Sector size for plain files (raw dumps); 0 keeps the default of 512. Ignored for devices and
  // for image files, whose sector size is known.
  uint16_t raw_sector_size = 0;
};

// A source opened from a path with POSIX calls, read-only.
class FileSectorSource : public SectorSource {
 public:
  ~FileSectorSource() override;
  FileSectorSource(const FileSectorSource&) = delete;
  FileSectorSource& operator=(const FileSectorSource&) = delete;

  // Opens `name` (a device node such as /dev/sdb1, an image file, or any file). Returns null with
  // the errno value in `*error` when it cannot be opened or is neither a file nor a block device,
  // and with EINVAL and a sentence in `*reason` (when given) for an image whose trailer cannot
  // be right.
  static std::unique_ptr<FileSectorSource> Open(const std::string& name, const OpenOptions& options,
                                                int* error, std::string* reason = nullptr);

  int64_t Pread(uint64_t offset, uint8_t* buffer, uint32_t count, int* error) override;
  uint16_t SectorSize() override;
  uint64_t Size() const override { return size_; }
  const std::string& Name() const override { return name_; }
  const uint8_t* View(uint64_t offset, uint32_t count) override;
  const uint8_t* Peek(uint64_t offset, uint32_t count) override;
  uint64_t NextData(uint64_t offset) override;
  std::unique_ptr<SectorSource> Clone() const override;
  bool ReadUncached(uint64_t offset, uint32_t count, uint8_t* buffer) override;
  uint64_t CurrentSize() override;

  SourceKind kind() const { return kind_; }
  int fd() const { return fd_; }
  // Bytes of the whole file including any image trailer (devices: their size).
  uint64_t FileSize() const;
  // For an image whose trailer gives more data than the file holds (a cut image): the bytes
  // missing at its end, which are not scanned. 0 otherwise.
  uint64_t MissingBytes() const { return missing_bytes_; }

 private:
  FileSectorSource(std::string name, int fd) : name_(std::move(name)), fd_(fd) {}

  OpenOptions options_;

  // Regular files are also mapped into memory, so that the scan and the recognisers can read
  // them without a system call per window. Each block of the mapping is prefaulted once before
  // it is touched; a block the system cannot read is never touched through the mapping, and
  // reads of it fall back to pread, which reports the error. A file cut by another program
  // while mapped would raise SIGBUS where its bytes went: a process-wide handler puts zero
  // pages there instead and marks the mapping, after which reads go through pread and
  // CurrentSize tells where the medium now ends.
  void MapFile(uint64_t file_size);
  bool BlocksReadable(uint64_t offset, uint64_t count);

  std::string name_;
  int fd_ = -1;
  // The medium opened again with O_DIRECT for ReadUncached, on first use; -2 when that failed.
  int direct_fd_ = -1;
  SourceKind kind_ = SourceKind::kRawFile;
  uint64_t size_ = 0;
  uint16_t sector_size_ = 0;
  const uint8_t* map_ = nullptr;
  uint64_t map_size_ = 0;
  int map_slot_ = -1;  // in the table the SIGBUS handler looks at
  uint64_t missing_bytes_ = 0;
  bool MapFaulted() const;
  // The mapped bytes at `offset` once readable, their blocks pinned as [*first, *last].
  const uint8_t* MapPinned(uint64_t offset, uint32_t count, uint64_t* first, uint64_t* last);
  // Unmaps the oldest blocks beyond the few kept, never one in [in_use_first, in_use_last].
  void ReleaseOldBlocks(uint64_t in_use_first, uint64_t in_use_last);

  // Per block of the mapping: 0 not yet prefaulted, 1 readable, 2 unreadable.
  std::vector<uint8_t> block_state_;
  // Readable blocks in the order they were prefaulted. Only a few stay mapped, so that the
  // resident size does not grow with the medium; the blocks of the latest View and the latest
  // Peek stay pinned.
  std::deque<uint64_t> resident_blocks_;
  uint64_t pinned_first_ = UINT64_MAX;
  uint64_t pinned_last_ = 0;
  uint64_t peeked_first_ = UINT64_MAX;
  uint64_t peeked_last_ = 0;
};

// For a path that exists but is neither a regular file nor a block device, the sentence that says
// what it is ("/tmp/p is a named pipe (FIFO), not a disk, a partition or a disk image file.");
// empty otherwise. FileSectorSource::Open refuses such a path (ENODEV, or EISDIR for a folder)
// before opening it, so that a named pipe cannot leave it waiting for a writer.
std::string UnusableSourceText(const std::string& name);

// The free bytes available to an unprivileged user on the file system holding `path`; 0 on
// failure.
uint64_t GetFreeSpace(const std::string& path);

// Total bytes of a block device or file; 0 on failure.
uint64_t GetVolumeTotalSize(const std::string& name);

// The last sector size any device query found; a failed query on a device returns this.
uint16_t CachedSectorSize();

}  // namespace pictavo
