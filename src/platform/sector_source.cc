#include "platform/sector_source.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace pictavo {
namespace {

constexpr uint8_t kMagic[kImageTrailerMagicSize] = {'Z', 0, 'O', 0, 'L', 0, 'T', 0, 'A', 0, 'V', 0,
                                                    'I', 0, 'M', 0, 'E', 0, 'N', 0, 'S', 0};

// Process-wide: the last sector size a device reported. A device that refuses the query is
// assumed to have the sector size of the last one that answered.
std::atomic<uint16_t> cached_sector_size{0};

uint64_t LoadLe(const uint8_t* p, int bytes) {
  uint64_t value = 0;
  for (int i = bytes - 1; i >= 0; --i) value = (value << 8) | p[i];
  return value;
}

void StoreLe(uint64_t value, uint8_t* p, int bytes) {
  for (int i = 0; i < bytes; ++i) p[i] = static_cast<uint8_t>(value >> (8 * i));
}

}  // namespace

const uint8_t* ImageTrailerMagic() { return kMagic; }

bool ParseImageTrailer(const uint8_t* trailer32, ImageTrailer* out) {
  if (std::memcmp(trailer32 + 10, kMagic, kImageTrailerMagicSize) != 0) return false;
  out->data_size = LoadLe(trailer32, 8);
  out->sector_size = static_cast<uint16_t>(LoadLe(trailer32 + 8, 2));
  return true;
}

bool ValidSectorSize(uint32_t sector_size) {
  return sector_size >= 512 && sector_size <= 32768 && (sector_size & (sector_size - 1)) == 0;
}

std::string ImageTrailerProblem(const ImageTrailer& trailer) {
  if (ValidSectorSize(trailer.sector_size)) return {};
  return "the image's sector size, " + std::to_string(trailer.sector_size) +
         " bytes, is not a power of two from 512 to 32768";
}

void WriteImageTrailer(const ImageTrailer& trailer, uint8_t* trailer32) {
  StoreLe(trailer.data_size, trailer32, 8);
  StoreLe(trailer.sector_size, trailer32 + 8, 2);
  std::memcpy(trailer32 + 10, kMagic, kImageTrailerMagicSize);
}

bool SectorSource::ReadAt(uint64_t offset, uint32_t count, uint8_t* buffer, ReadRule rule,
                          uint32_t* delivered) {
  uint32_t done = 0;
  bool failed = false;
  while (done < count) {
    int error = 0;
    const int64_t got = Pread(offset + done, buffer + done, count - done, &error);
    if (got < 0) {
      if (error == EINTR) continue;
      set_last_error(error);
      failed = true;
      break;
    }
    if (got == 0) break;  // end of the medium
    done += static_cast<uint32_t>(got);
  }
  if (delivered) *delivered = done;
  if (rule == ReadRule::kChunk) return !failed;
  if (done == 0 && !failed) set_last_error(0);
  return done > 0;
}

void AppendRange(std::vector<ByteRange>& ranges, uint64_t offset, uint64_t length) {
  if (length == 0) return;
  if (!ranges.empty() && ranges.back().end() >= offset && ranges.back().offset <= offset) {
    ranges.back().length = std::max(ranges.back().end(), offset + length) - ranges.back().offset;
    return;
  }
  ranges.push_back({offset, length});
}

bool SectorSource::ReadUncached(uint64_t offset, uint32_t count, uint8_t* buffer) {
  uint32_t got = 0;
  return ReadAt(offset, count, buffer, ReadRule::kChunk, &got) && got == count;
}

uint32_t ReadSalvaging(SectorSource& source, uint64_t offset, uint32_t count, uint8_t* buffer,
                       std::vector<ByteRange>* unreadable, int* first_error) {
  uint32_t got = 0;
  if (source.ReadAt(offset, count, buffer, ReadRule::kChunk, &got)) return got;
  if (*first_error == 0) *first_error = source.last_error();
  constexpr uint64_t kPage = 4096;
  const uint64_t sector = std::clamp<uint64_t>(source.SectorSize(), 512, 32768);
  const uint64_t page = std::max(kPage, sector);
  // The bytes before the failure are kept; reading again starts at the page they end in.
  uint64_t position = got;
  while (position < count) {
    const uint64_t absolute = offset + position;
    const uint64_t piece_end = std::min<uint64_t>(count, (absolute / page + 1) * page - offset);
    const uint32_t piece = static_cast<uint32_t>(piece_end - position);
    uint32_t delivered = 0;
    if (source.ReadAt(absolute, piece, buffer + position, ReadRule::kChunk, &delivered)) {
      if (delivered < piece) return static_cast<uint32_t>(position + delivered);  // medium ends
      position = piece_end;
      continue;
    }
    if (*first_error == 0) *first_error = source.last_error();
    // Sector by sector through the failed page; bytes a sector's read delivered before failing
    // stay as they came.
    const uint64_t kept_until = position + delivered;
    for (uint64_t at = (offset + position) / sector * sector - offset; at < piece_end;) {
      const uint64_t begin = std::max(at, position);
      const uint64_t end = std::min<uint64_t>(piece_end, at + sector);
      at += sector;
      if (end <= kept_until) continue;
      if (source.ReadUncached(offset + begin, static_cast<uint32_t>(end - begin), buffer + begin)) {
        continue;
      }
      const uint64_t lost = std::max(begin, kept_until);
      std::memset(buffer + lost, 0, end - lost);
      AppendRange(*unreadable, offset + lost, end - lost);
    }
    position = piece_end;
  }
  return count;
}

namespace {
constexpr uint64_t kMapBlock = 2 << 20;
constexpr size_t kMaxResidentBlocks = 4;

// The mappings of open sources, for the SIGBUS handler: a slot is free when its begin is 0.
struct MappedRange {
  std::atomic<uintptr_t> begin{0};
  std::atomic<uintptr_t> end{0};
  std::atomic<bool> faulted{false};
};
constexpr int kMappedSlots = 64;
MappedRange mapped_ranges[kMappedSlots];
struct sigaction previous_sigbus {};
uintptr_t page_size = 4096;

// A mapped file that was cut raises SIGBUS at the first touch of a page beyond its new end. The
// pages from there to the end of the mapping are replaced by zero pages and the mapping is
// marked; the reading instruction then runs again and sees zeros, which the source's owner
// learns are no data through CurrentSize. Faults anywhere else go to the previous handler.
void OnSigbus(int signal, siginfo_t* info, void* context) {
  const uintptr_t address = reinterpret_cast<uintptr_t>(info->si_addr);
  for (MappedRange& range : mapped_ranges) {
    const uintptr_t begin = range.begin.load(std::memory_order_acquire);
    const uintptr_t end = range.end.load(std::memory_order_acquire);
    if (begin == 0 || address < begin || address >= end) continue;
    const uintptr_t from = address / page_size * page_size;
    if (mmap(reinterpret_cast<void*>(from), end - from, PROT_READ,
             MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) != MAP_FAILED) {
      range.faulted.store(true, std::memory_order_release);
      return;
    }
  }
  if (previous_sigbus.sa_flags & SA_SIGINFO) {
    if (previous_sigbus.sa_sigaction) previous_sigbus.sa_sigaction(signal, info, context);
    return;
  }
  // Default or ignored: restore it, so that the fault, raised again on return, ends the process
  // as it would have.
  sigaction(SIGBUS, &previous_sigbus, nullptr);
  if (previous_sigbus.sa_handler == SIG_DFL) {
    raise(signal);  // a signal sent, not a fault, would not come again on its own
  } else if (previous_sigbus.sa_handler != SIG_IGN) {
    previous_sigbus.sa_handler(signal);
  }
}

int RegisterMapping(const uint8_t* map, uint64_t size) {
  static std::once_flag installed;
  std::call_once(installed, [] {
    page_size = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    struct sigaction action {};
    action.sa_sigaction = OnSigbus;
    action.sa_flags = SA_SIGINFO | SA_NODEFER;
    sigemptyset(&action.sa_mask);
    sigaction(SIGBUS, &action, &previous_sigbus);
  });
  for (int slot = 0; slot < kMappedSlots; ++slot) {
    uintptr_t expected = 0;
    // Claimed with a marker first, so that the handler never sees half a range.
    if (mapped_ranges[slot].begin.compare_exchange_strong(expected, 1)) {
      mapped_ranges[slot].faulted.store(false);
      mapped_ranges[slot].end.store(reinterpret_cast<uintptr_t>(map) + size);
      mapped_ranges[slot].begin.store(reinterpret_cast<uintptr_t>(map), std::memory_order_release);
      return slot;
    }
  }
  return -1;
}

void UnregisterMapping(int slot) {
  if (slot < 0) return;
  mapped_ranges[slot].end.store(0);
  mapped_ranges[slot].begin.store(0, std::memory_order_release);
}

}  // namespace

bool FileSectorSource::MapFaulted() const {
  return map_slot_ >= 0 && mapped_ranges[map_slot_].faulted.load(std::memory_order_acquire);
}

uint64_t FileSectorSource::CurrentSize() {
  uint64_t now = 0;
  if (kind_ == SourceKind::kBlockDevice) {
    if (ioctl(fd_, BLKGETSIZE64, &now) != 0) return size_;
  } else {
    struct stat st {};
    if (fstat(fd_, &st) != 0) return size_;
    now = static_cast<uint64_t>(st.st_size);
  }
  return std::min(now, size_);
}

FileSectorSource::~FileSectorSource() {
  if (direct_fd_ >= 0) close(direct_fd_);
  if (map_) {
    UnregisterMapping(map_slot_);
    munmap(const_cast<uint8_t*>(map_), map_size_);
  }
  if (fd_ >= 0) close(fd_);
}

void FileSectorSource::MapFile(uint64_t file_size) {
  if (file_size == 0 || file_size > static_cast<uint64_t>(SIZE_MAX)) return;
  void* map = mmap(nullptr, file_size, PROT_READ, MAP_SHARED, fd_, 0);
  if (map == MAP_FAILED) return;
  map_slot_ = RegisterMapping(static_cast<const uint8_t*>(map), file_size);
  if (map_slot_ < 0) {
    // No room to guard one more mapping against a cut file: read with pread instead.
    munmap(map, file_size);
    return;
  }
  madvise(map, file_size, MADV_SEQUENTIAL);
  map_ = static_cast<const uint8_t*>(map);
  map_size_ = file_size;
  block_state_.assign((file_size + kMapBlock - 1) / kMapBlock, 0);
}

bool FileSectorSource::BlocksReadable(uint64_t offset, uint64_t count) {
  if (!map_ || count == 0 || offset >= map_size_ || count > map_size_ - offset) return false;
  // Once the file was cut under the mapping, its zero pages are no data: pread tells the truth.
  if (MapFaulted()) return false;
  const uint64_t first = offset / kMapBlock;
  const uint64_t last = (offset + count - 1) / kMapBlock;
  for (uint64_t block = first; block <= last; ++block) {
    uint8_t& state = block_state_[block];
    if (state == 0) {
      const uint64_t begin = block * kMapBlock;
      const uint64_t length = std::min(kMapBlock, map_size_ - begin);
      const int result = madvise(const_cast<uint8_t*>(map_) + begin, length, MADV_POPULATE_READ);
      if (result != 0 && errno == EINVAL) {
        // A kernel without prefaulting: give up on the mapping rather than risk a fault.
        UnregisterMapping(map_slot_);
        map_slot_ = -1;
        munmap(const_cast<uint8_t*>(map_), map_size_);
        map_ = nullptr;
        return false;
      }
      state = result == 0 ? 1 : 2;
      if (state == 1) {
        resident_blocks_.push_back(block);
        ReleaseOldBlocks(first, last);
      }
    }
    if (state != 1) return false;
  }
  return true;
}

void FileSectorSource::ReleaseOldBlocks(uint64_t in_use_first, uint64_t in_use_last) {
  size_t pinned_seen = 0;
  while (resident_blocks_.size() > kMaxResidentBlocks && pinned_seen < resident_blocks_.size()) {
    const uint64_t block = resident_blocks_.front();
    resident_blocks_.pop_front();
    // Blocks of the latest View and Peek, and those of the read in progress, stay mapped:
    // touching a released block would map it again behind this bookkeeping's back.
    if ((block >= pinned_first_ && block <= pinned_last_) ||
        (block >= peeked_first_ && block <= peeked_last_) ||
        (block >= in_use_first && block <= in_use_last)) {
      resident_blocks_.push_back(block);
      ++pinned_seen;
      continue;
    }
    // The pages stay in the page cache; only this process's mapping of them goes.
    const uint64_t begin = block * kMapBlock;
    madvise(const_cast<uint8_t*>(map_) + begin, std::min(kMapBlock, map_size_ - begin),
            MADV_DONTNEED);
    block_state_[block] = 0;
  }
}

const uint8_t* FileSectorSource::MapPinned(uint64_t offset, uint32_t count, uint64_t* first,
                                           uint64_t* last) {
  if (!map_ || count == 0 || offset >= map_size_ || count > map_size_ - offset) return nullptr;
  *first = offset / kMapBlock;
  *last = (offset + count - 1) / kMapBlock;
  return BlocksReadable(offset, count) ? map_ + offset : nullptr;
}

const uint8_t* FileSectorSource::View(uint64_t offset, uint32_t count) {
  return MapPinned(offset, count, &pinned_first_, &pinned_last_);
}

const uint8_t* FileSectorSource::Peek(uint64_t offset, uint32_t count) {
  return MapPinned(offset, count, &peeked_first_, &peeked_last_);
}

std::string UnusableSourceText(const std::string& name) {
  struct stat st {};
  if (stat(name.c_str(), &st) != 0 || S_ISREG(st.st_mode) || S_ISBLK(st.st_mode)) return {};
  const char* kind = S_ISDIR(st.st_mode)    ? "a folder"
                     : S_ISFIFO(st.st_mode) ? "a named pipe (FIFO)"
                     : S_ISCHR(st.st_mode)  ? "a character device"
                     : S_ISSOCK(st.st_mode) ? "a socket"
                                            : "not a regular file";
  return name + " is " + kind + ", not a disk, a partition or a disk image file.";
}

std::unique_ptr<FileSectorSource> FileSectorSource::Open(const std::string& name,
                                                         const OpenOptions& options, int* error,
                                                         std::string* reason) {
  // Named pipes and character devices are refused before they are opened: opening a pipe waits
  // for a writer, and opening some devices (a tape) acts on them.
  struct stat named {};
  if (stat(name.c_str(), &named) == 0 && !S_ISREG(named.st_mode) && !S_ISBLK(named.st_mode)) {
    *error = S_ISDIR(named.st_mode) ? EISDIR : ENODEV;
    return nullptr;
  }
  // Not blocking in open() either, should the name have become a pipe in between; reads block as
  // usual again afterwards.
  const int fd = open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    *error = errno;
    return nullptr;
  }
  const int flags = fcntl(fd, F_GETFL);
  if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  std::unique_ptr<FileSectorSource> source(new FileSectorSource(name, fd));
  source->options_ = options;
  struct stat st {};
  if (fstat(fd, &st) != 0) {
    *error = errno;
    return nullptr;
  }
  if (S_ISBLK(st.st_mode)) {
    source->kind_ = SourceKind::kBlockDevice;
    uint64_t bytes = 0;
    if (ioctl(fd, BLKGETSIZE64, &bytes) != 0) {
      *error = errno;
      return nullptr;
    }
    source->size_ = bytes;
    int logical = 0;
    if (ioctl(fd, BLKSSZGET, &logical) == 0 && logical > 0 && logical <= 0xFFFF) {
      cached_sector_size.store(static_cast<uint16_t>(logical));
    }
    source->sector_size_ = cached_sector_size.load();
    // Mapped like files: the recognisers' small reads then fetch whole 2 MiB blocks from the
    // device, which keeps a cold medium read in large requests.
    source->MapFile(bytes);
    return source;
  }
  if (!S_ISREG(st.st_mode)) {
    *error = S_ISDIR(st.st_mode) ? EISDIR : ENODEV;
    return nullptr;
  }
  const uint64_t file_size = static_cast<uint64_t>(st.st_size);
  source->size_ = file_size;
  source->sector_size_ = options.raw_sector_size ? options.raw_sector_size : 512;
  if (file_size >= ImageTrailer::kSize) {
    uint8_t trailer[ImageTrailer::kSize];
    uint32_t got = 0;
    ImageTrailer parsed;
    if (source->ReadAt(file_size - ImageTrailer::kSize, ImageTrailer::kSize, trailer,
                       ReadRule::kChunk, &got) &&
        got == ImageTrailer::kSize && ParseImageTrailer(trailer, &parsed)) {
      if (const std::string problem = ImageTrailerProblem(parsed); !problem.empty()) {
        *error = EINVAL;
        if (reason) *reason = problem;
        return nullptr;
      }
      source->kind_ = SourceKind::kImageFile;
      if (parsed.data_size > file_size - ImageTrailer::kSize) {
        source->missing_bytes_ = parsed.data_size - (file_size - ImageTrailer::kSize);
      }
      // A trailer that claims more data than the file holds is clamped to what is there; the
      // trailer itself is never part of what is scanned.
      source->size_ = std::min(parsed.data_size, file_size - ImageTrailer::kSize);
      source->sector_size_ = parsed.sector_size;
    }
  }
  source->MapFile(file_size);
  return source;
}

int64_t FileSectorSource::Pread(uint64_t offset, uint8_t* buffer, uint32_t count, int* error) {
  if (offset > static_cast<uint64_t>(INT64_MAX)) {
    *error = EINVAL;
    return -1;
  }
  if (map_ && offset < map_size_) {
    const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(count, map_size_ - offset));
    if (BlocksReadable(offset, n)) {
      std::memcpy(buffer, map_ + offset, n);
      // Cut while being copied: the zeros that came are no data; read again.
      if (!MapFaulted()) return n;
    }
  }
  const ssize_t got = pread(fd_, buffer, count, static_cast<off_t>(offset));
  if (got < 0) {
    *error = errno;
    return -1;
  }
  return got;
}

bool FileSectorSource::ReadUncached(uint64_t offset, uint32_t count, uint8_t* buffer) {
  // Direct reads need the offset, length and memory aligned to the logical sector size.
  const uint64_t align = kind_ == SourceKind::kBlockDevice && sector_size_ ? sector_size_ : 512;
  if (direct_fd_ == -1) {
    direct_fd_ =
        open(("/proc/self/fd/" + std::to_string(fd_)).c_str(), O_RDONLY | O_CLOEXEC | O_DIRECT);
    if (direct_fd_ < 0) direct_fd_ = -2;
  }
  if (direct_fd_ >= 0 && count > 0 && count <= (1u << 20)) {
    const uint64_t begin = offset / align * align;
    const uint64_t end = (offset + count + align - 1) / align * align;
    void* aligned = nullptr;
    if (posix_memalign(&aligned, 4096, end - begin) == 0) {
      ssize_t got;
      do {
        got = pread(direct_fd_, aligned, end - begin, static_cast<off_t>(begin));
      } while (got < 0 && errno == EINTR);
      const bool whole = got >= 0 && static_cast<uint64_t>(got) >= offset + count - begin;
      if (whole) std::memcpy(buffer, static_cast<uint8_t*>(aligned) + (offset - begin), count);
      const int error = got < 0 ? errno : 0;
      free(aligned);
      if (whole) return true;
      if (got < 0 && error != EINVAL) {
        set_last_error(error);
        return false;
      }
    }
  }
  // No direct road here (a file system without O_DIRECT): an ordinary read.
  return SectorSource::ReadUncached(offset, count, buffer);
}

// A device's logical sector size is asked once, when it is opened: it cannot change while open.
std::unique_ptr<SectorSource> FileSectorSource::Clone() const {
  // Reopened through this process's descriptor, so that the clone reads the very file or device
  // this one has open, even if its name has since been taken by another.
  int error = 0;
  auto clone = Open("/proc/self/fd/" + std::to_string(fd_), options_, &error);
  if (!clone || clone->kind_ != kind_ || clone->size_ != size_ ||
      clone->sector_size_ != sector_size_) {
    return nullptr;
  }
  clone->name_ = name_;
  return clone;
}

uint64_t FileSectorSource::NextData(uint64_t offset) {
  if (kind_ == SourceKind::kBlockDevice || offset >= size_) return offset;
  const off_t next = lseek(fd_, static_cast<off_t>(offset), SEEK_DATA);
  if (next < 0) {
    // ENXIO: nothing but a hole up to the end of the file.
    return errno == ENXIO ? size_ : offset;
  }
  return static_cast<uint64_t>(next);
}

uint16_t FileSectorSource::SectorSize() { return sector_size_; }

uint64_t FileSectorSource::FileSize() const {
  if (kind_ == SourceKind::kBlockDevice) return size_;
  struct stat st {};
  if (fstat(fd_, &st) != 0) return 0;
  return static_cast<uint64_t>(st.st_size);
}

uint64_t GetFreeSpace(const std::string& path) {
  struct statvfs vfs {};
  if (statvfs(path.c_str(), &vfs) != 0) return 0;
  return static_cast<uint64_t>(vfs.f_bavail) * vfs.f_frsize;
}

uint64_t GetVolumeTotalSize(const std::string& name) {
  int error = 0;
  auto source = FileSectorSource::Open(name, {}, &error);
  if (!source) return 0;
  return source->FileSize();
}

uint16_t CachedSectorSize() { return cached_sector_size.load(); }

}  // namespace pictavo
