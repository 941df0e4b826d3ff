#include "drives/rescue_image.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "platform/output_file.h"
#include "platform/system_error.h"

namespace pictavo {

bool WriteLeavingHoles(int fd, const uint8_t* data, size_t size, uint64_t position, int* error) {
  constexpr uint64_t kPiece = 4096;
  size_t done = 0;
  while (done < size) {
    const uint64_t at = position + done;
    const size_t piece = static_cast<size_t>(std::min<uint64_t>(size - done, kPiece - at % kPiece));
    const uint8_t* bytes = data + done;
    bool zero = true;
    for (size_t i = 0; i < piece && zero; i += 8) {
      uint64_t word = 0;
      const size_t n = std::min<size_t>(8, piece - i);
      std::memcpy(&word, bytes + i, n);
      zero = word == 0;
    }
    if (!zero) {
      size_t written = 0;
      while (written < piece) {
        const ssize_t got =
            pwrite(fd, bytes + written, piece - written, static_cast<off_t>(at + written));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
          *error = got < 0 ? errno : ENOSPC;
          return false;
        }
        written += static_cast<size_t>(got);
      }
    }
    done += piece;
  }
  return true;
}

bool SourceGoneError(int error) {
  return error == ENODEV || error == ENXIO || error == ENOMEDIUM || error == ESHUTDOWN;
}

namespace {

using Clock = std::chrono::steady_clock;

// A block device read around its page cache (O_DIRECT), so that a single sector can be read on
// its own: through the cache every read is of a whole 4 KiB page, and one bad sector would take
// the good sectors of its page with it.
class DirectDeviceSource : public SectorSource {
 public:
  static std::unique_ptr<DirectDeviceSource> Open(const std::string& path, SectorSource& like) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_DIRECT);
    if (fd < 0) return nullptr;
    void* buffer = nullptr;
    if (posix_memalign(&buffer, 4096, kBuffer) != 0) {
      close(fd);
      return nullptr;
    }
    return std::unique_ptr<DirectDeviceSource>(
        new DirectDeviceSource(fd, static_cast<uint8_t*>(buffer), like));
  }
  ~DirectDeviceSource() override {
    close(fd_);
    free(buffer_);
  }
  int64_t Pread(uint64_t offset, uint8_t* out, uint32_t count, int* error) override {
    // Offsets and lengths are whole sectors here, and the bounce buffer is aligned.
    count = std::min<uint32_t>(count, kBuffer);
    const ssize_t got = pread(fd_, buffer_, count, static_cast<off_t>(offset));
    if (got < 0) {
      *error = errno;
      return -1;
    }
    std::memcpy(out, buffer_, static_cast<size_t>(got));
    return got;
  }
  uint16_t SectorSize() override { return sector_size_; }
  uint64_t Size() const override { return size_; }
  const std::string& Name() const override { return name_; }
  std::unique_ptr<SectorSource> Clone() const override {
    return Open("/proc/self/fd/" + std::to_string(fd_), const_cast<DirectDeviceSource&>(*this));
  }

 private:
  static constexpr uint32_t kBuffer = 1u << 16;
  DirectDeviceSource(int fd, uint8_t* buffer, SectorSource& like)
      : fd_(fd),
        buffer_(buffer),
        sector_size_(like.SectorSize()),
        size_(like.Size()),
        name_(like.Name()) {}
  int fd_;
  uint8_t* buffer_;
  uint16_t sector_size_;
  uint64_t size_;
  std::string name_;
};

}  // namespace

std::unique_ptr<SectorSource> DirectTwin(SectorSource& source) {
  auto* file = dynamic_cast<FileSectorSource*>(&source);
  if (!file || file->kind() != SourceKind::kBlockDevice) return nullptr;
  return DirectDeviceSource::Open("/proc/self/fd/" + std::to_string(file->fd()), source);
}

namespace {

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

struct ReadResult {
  uint32_t delivered = 0;
  bool failed = false;
  int error = 0;
};

// Reads from the source, on a thread of its own when reads have a time limit: a read that does
// not come back in time is left to its thread, which owns its own handle on the medium and its
// own buffer, and later reads go through a fresh handle and thread.
class TimedReader {
 public:
  TimedReader(SectorSource& source, double timeout) : source_(source), timeout_(timeout) {}
  ~TimedReader() { Retire(/*wait=*/true); }
  TimedReader(const TimedReader&) = delete;
  TimedReader& operator=(const TimedReader&) = delete;

  ReadResult Read(uint64_t pos, uint32_t count, uint8_t* out) {
    if (timeout_ > 0 && !shared_ && !clone_failed_) Start();
    if (!shared_) {
      ReadResult result;
      result.failed = !source_.ReadAt(pos, count, out, ReadRule::kChunk, &result.delivered);
      if (result.failed) result.error = source_.last_error();
      return result;
    }
    std::unique_lock lock(shared_->mutex);
    shared_->pos = pos;
    shared_->count = count;
    shared_->done = false;
    shared_->has_job = true;
    shared_->wake.notify_all();
    const bool done = shared_->finished.wait_for(lock, std::chrono::duration<double>(timeout_),
                                                 [this] { return shared_->done; });
    if (!done) {
      lock.unlock();
      Retire(/*wait=*/false);
      return {0, true, ETIMEDOUT};
    }
    std::memcpy(out, shared_->buffer.data(), shared_->result.delivered);
    return shared_->result;
  }

 private:
  struct Shared {
    std::mutex mutex;
    std::condition_variable wake;
    std::condition_variable finished;
    std::unique_ptr<SectorSource> source;
    bool has_job = false;
    bool done = false;
    bool quit = false;
    uint64_t pos = 0;
    uint32_t count = 0;
    std::vector<uint8_t> buffer;
    ReadResult result;
  };

  static void Work(std::shared_ptr<Shared> shared) {
    std::unique_lock lock(shared->mutex);
    while (true) {
      shared->wake.wait(lock, [&] { return shared->has_job || shared->quit; });
      if (shared->quit) return;
      shared->has_job = false;
      const uint64_t pos = shared->pos;
      const uint32_t count = shared->count;
      if (shared->buffer.size() < count) shared->buffer.resize(count);
      uint8_t* buffer = shared->buffer.data();
      lock.unlock();
      ReadResult result;
      result.failed =
          !shared->source->ReadAt(pos, count, buffer, ReadRule::kChunk, &result.delivered);
      if (result.failed) result.error = shared->source->last_error();
      lock.lock();
      if (shared->quit) return;
      shared->result = result;
      shared->done = true;
      shared->finished.notify_all();
    }
  }

  void Start() {
    std::unique_ptr<SectorSource> clone = source_.Clone();
    if (!clone) {
      clone_failed_ = true;
      return;
    }
    shared_ = std::make_shared<Shared>();
    shared_->source = std::move(clone);
    thread_ = std::thread(Work, shared_);
  }

  // Lets the current thread go: joined when idle, else left to finish its read on its own.
  void Retire(bool wait) {
    if (!shared_) return;
    {
      std::lock_guard lock(shared_->mutex);
      shared_->quit = true;
    }
    shared_->wake.notify_all();
    if (wait && (shared_->done || !shared_->has_job)) {
      thread_.join();
    } else {
      thread_.detach();
    }
    shared_.reset();
  }

  SectorSource& source_;
  double timeout_;
  bool clone_failed_ = false;
  std::shared_ptr<Shared> shared_;
  std::thread thread_;
};

enum class Stop { kNone, kCancelled, kSourceLost, kWriteFailed };

class Rescuer {
 public:
  Rescuer(SectorSource& source, int fd, RescueMap& map, const RescueOptions& options,
          RescueObserver* observer, const std::atomic<bool>* cancel)
      : source_(source),
        fd_(fd),
        map_(map),
        options_(options),
        observer_(observer),
        cancel_(cancel),
        reader_(source, options.read_timeout_seconds),
        direct_(DirectTwin(source)),
        sector_reader_(direct_ ? *direct_ : source, options.read_timeout_seconds) {
    sector_ = source.SectorSize();
    cluster_ = static_cast<uint64_t>(std::max<uint32_t>(1, options.cluster_sectors)) * sector_;
    const uint64_t sectors = map.size() / sector_;
    max_skip_ = std::clamp<uint64_t>(sectors / 100, 1, (1u << 30) / sector_) * sector_;
    max_skip_ = std::max(max_skip_, cluster_);
    start_ = last_save_ = last_status_ = last_good_ = rate_time_ = Clock::now();
  }

  bool Allocate() {
    buffer_.reset(new (std::nothrow) uint8_t[cluster_]);
    return buffer_ != nullptr;
  }

  Stop Run() {
    const bool reverse = options_.reverse;
    // A finished map with bad sectors left gets the retry passes asked for this time.
    if (map_.phase == RescuePhase::kFinished && options_.retries > 0 &&
        map_.Bytes(AreaStatus::kBadSector) > 0) {
      map_.phase = RescuePhase::kRetrying;
      map_.pass = 1;
    }
    // The copying passes: skipping ahead in the chosen direction, skipping back in the other,
    // then a sweep without skipping over whatever they left.
    if (map_.phase == RescuePhase::kCopying) {
      for (int pass = std::clamp(map_.pass, 1, 3); pass <= 3; ++pass) {
        const bool backward = (pass == 2) != reverse;
        const bool resume_here = pass == map_.pass;
        map_.pass = pass;
        uint64_t start = backward ? map_.size() : 0;
        if (resume_here && map_.current_pos <= map_.size()) start = map_.current_pos;
        if (Copy(start, backward, /*skipping=*/pass < 3) != Stop::kNone) return stop_;
      }
      map_.phase = RescuePhase::kTrimming;
      map_.pass = 1;
    }
    if (map_.phase == RescuePhase::kTrimming) {
      if (Trim() != Stop::kNone) return stop_;
      map_.phase = RescuePhase::kScraping;
      map_.pass = 1;
    }
    if (map_.phase == RescuePhase::kScraping) {
      if (SectorPass(AreaStatus::kNonScraped, reverse) != Stop::kNone) return stop_;
      map_.phase = RescuePhase::kRetrying;
      map_.pass = 1;
    }
    if (map_.phase == RescuePhase::kRetrying) {
      for (int pass = std::max(1, map_.pass); pass <= options_.retries; ++pass) {
        map_.pass = pass;
        // Each retry goes the other way round from the last.
        if (SectorPass(AreaStatus::kBadSector, (pass % 2 == 1) != reverse) != Stop::kNone) {
          return stop_;
        }
      }
    }
    map_.phase = RescuePhase::kFinished;
    map_.pass = 1;
    map_.current_pos = reverse ? 0 : map_.size();
    Report(/*force=*/true);
    return Stop::kNone;
  }

  // Saves the map now (the image's data first, so that the map never claims bytes that a crash
  // could still lose).
  bool SaveMap(int* error) {
    last_save_ = Clock::now();
    if (fdatasync(fd_) != 0) {
      *error = errno;
      return false;
    }
    return SaveMapFile(map_, options_.map_path, options_.command_line, error);
  }

  void Report(bool force) {
    const Clock::time_point now = Clock::now();
    if (!observer_) return;
    if (!force && Seconds(now - last_status_) < options_.status_seconds) return;
    last_status_ = now;
    if (Seconds(now - rate_time_) >= 2) {
      rate_ = static_cast<double>(read_this_run_ - rate_bytes_) / Seconds(now - rate_time_);
      rate_time_ = now;
      rate_bytes_ = read_this_run_;
    }
    RescueProgress progress;
    progress.map = &map_;
    progress.phase = map_.phase;
    progress.pass = map_.pass;
    progress.position = map_.current_pos;
    progress.rescued = map_.Bytes(AreaStatus::kFinished);
    for (AreaStatus s :
         {AreaStatus::kNonTrimmed, AreaStatus::kNonScraped, AreaStatus::kBadSector}) {
      progress.failed_bytes += map_.Bytes(s);
      progress.error_areas += map_.AreaCount(s);
    }
    progress.read_this_run = read_this_run_;
    progress.rate = rate_;
    progress.seconds_since_good_read = Seconds(now - last_good_);
    progress.elapsed = Seconds(now - start_);
    observer_->OnStatus(progress);
  }

  int write_error() const { return write_error_; }
  int map_error() const { return map_error_; }
  Stop stop() const { return stop_; }

 private:
  // Between two reads: the cancel flag, the periodic save and the observer.
  bool Poll() {
    if (stop_ != Stop::kNone) return true;
    if (cancel_ && cancel_->load(std::memory_order_relaxed)) {
      stop_ = Stop::kCancelled;
      return true;
    }
    if (Seconds(Clock::now() - last_save_) >= options_.map_save_seconds) {
      int error = 0;
      // A map that cannot be saved now is tried again at the next save and at the end.
      if (!SaveMap(&error)) map_error_ = error;
    }
    Report(/*force=*/false);
    return false;
  }

  // Reads [pos, pos + len) and stores what came; what failed gets `on_failure`. True when all of
  // it was read.
  bool ReadArea(uint64_t pos, uint64_t len, AreaStatus on_failure) {
    map_.current_pos = pos;
    const uint32_t count = static_cast<uint32_t>(len);
    const bool single = len <= sector_;
    const ReadResult read = (single ? sector_reader_ : reader_).Read(pos, count, buffer_.get());
    uint64_t good = read.delivered;
    // Part of a failed read counts only in whole sectors.
    if (read.failed || good < len) good -= good % sector_;
    if (good > 0) {
      if (!WriteLeavingHoles(fd_, buffer_.get(), good, pos, &write_error_)) {
        stop_ = Stop::kWriteFailed;
        return false;
      }
      map_.Mark(pos, good, AreaStatus::kFinished);
      read_this_run_ += good;
      last_good_ = Clock::now();
    }
    if (good == len) return true;
    // A read that ends early without an error means the medium has shrunk. Either way the area
    // is left as it was, to be read when the medium is back.
    if (!read.failed || SourceGoneError(read.error) || SourceNodeGone()) {
      stop_ = Stop::kSourceLost;
      return false;
    }
    map_.Mark(pos + good, len - good, on_failure);
    return false;
  }

  bool SourceNodeGone() const {
    const std::string& name = source_.Name();
    if (name.empty() || name[0] != '/') return false;
    struct stat st {};
    return stat(name.c_str(), &st) != 0 && errno == ENOENT;
  }

  Stop Copy(uint64_t pos, bool backward, bool skipping) {
    uint64_t skip = 0;
    const uint64_t initial_skip = std::max<uint64_t>(cluster_, 65536 - 65536 % sector_);
    while (!Poll()) {
      MapArea area;
      uint64_t p = 0;
      uint64_t len = 0;
      if (!backward) {
        if (!map_.FindForward(AreaStatus::kNonTried, pos, &area)) break;
        p = std::max(pos, area.pos);
        // Reads keep to cluster boundaries, so that a skip does not misalign the rest.
        len = std::min({cluster_, area.end() - p, cluster_ - p % cluster_});
      } else {
        if (pos == 0 || !map_.FindBackward(AreaStatus::kNonTried, pos, &area)) break;
        const uint64_t e = std::min(pos, area.end());
        len = std::min(cluster_, e - area.pos);
        if (e % cluster_ != 0) len = std::min(len, e % cluster_);
        p = e - len;
      }
      const bool ok = ReadArea(p, len, AreaStatus::kNonTrimmed);
      if (stop_ != Stop::kNone) break;
      if (ok) {
        skip = 0;
        pos = backward ? p : p + len;
        continue;
      }
      // Past a failure, skip ahead further each time, leaving the skipped area for later passes.
      if (skipping) skip = skip == 0 ? initial_skip : std::min(skip * 2, max_skip_);
      const uint64_t jump = skipping ? skip : 0;
      if (!backward) {
        pos = p + len + std::min(jump, map_.size() - (p + len));
      } else {
        pos = p - std::min(jump, p);
      }
    }
    return stop_;
  }

  // The sector at or after `pos` read on its own (the last one of the medium may be short).
  uint64_t SectorLen(uint64_t pos, uint64_t end) const {
    return std::min<uint64_t>(sector_ - pos % sector_, end - pos);
  }

  Stop Trim() {
    uint64_t cursor = 0;
    MapArea area;
    while (!Poll() && map_.FindForward(AreaStatus::kNonTrimmed, cursor, &area)) {
      cursor = area.end();
      // The leading edge, forwards up to the first bad sector...
      uint64_t s = area.pos;
      bool hit = false;
      while (s < area.end()) {
        const uint64_t len = SectorLen(s, area.end());
        if (!ReadArea(s, len, AreaStatus::kBadSector)) {
          hit = true;
          s += len;
          break;
        }
        s += len;
        if (Poll()) return stop_;
      }
      if (stop_ != Stop::kNone) return stop_;
      if (!hit) continue;
      // ...then the trailing edge, backwards up to the last one.
      uint64_t e = area.end();
      while (e > s) {
        const uint64_t len = std::min<uint64_t>(e - s, e % sector_ ? e % sector_ : sector_);
        if (!ReadArea(e - len, len, AreaStatus::kBadSector)) {
          e -= len;
          break;
        }
        e -= len;
        if (Poll()) return stop_;
      }
      if (stop_ != Stop::kNone) return stop_;
      // What lies between is for scraping.
      if (e > s) map_.Mark(s, e - s, AreaStatus::kNonScraped);
    }
    return stop_;
  }

  // Reads every area of `status` one sector at a time.
  Stop SectorPass(AreaStatus status, bool backward) {
    uint64_t cursor = backward ? map_.size() : 0;
    MapArea area;
    while (!Poll()) {
      if (!backward) {
        if (!map_.FindForward(status, cursor, &area)) break;
        uint64_t s = std::max(cursor, area.pos);
        const uint64_t end = area.end();
        while (s < end) {
          const uint64_t len = SectorLen(s, end);
          ReadArea(s, len, AreaStatus::kBadSector);
          s += len;
          if (Poll()) return stop_;
        }
        cursor = end;
      } else {
        if (cursor == 0 || !map_.FindBackward(status, cursor, &area)) break;
        uint64_t e = std::min(cursor, area.end());
        const uint64_t begin = area.pos;
        while (e > begin) {
          const uint64_t len = std::min<uint64_t>(e - begin, e % sector_ ? e % sector_ : sector_);
          ReadArea(e - len, len, AreaStatus::kBadSector);
          e -= len;
          if (Poll()) return stop_;
        }
        cursor = begin;
      }
    }
    return stop_;
  }

  SectorSource& source_;
  int fd_;
  RescueMap& map_;
  const RescueOptions& options_;
  RescueObserver* observer_;
  const std::atomic<bool>* cancel_;
  TimedReader reader_;
  // Sector-by-sector passes read a block device around its page cache when it allows it.
  std::unique_ptr<SectorSource> direct_;
  TimedReader sector_reader_;
  uint64_t sector_ = 512;
  uint64_t cluster_ = 0;
  uint64_t max_skip_ = 0;
  std::unique_ptr<uint8_t[]> buffer_;
  Stop stop_ = Stop::kNone;
  int write_error_ = 0;
  int map_error_ = 0;
  uint64_t read_this_run_ = 0;
  uint64_t rate_bytes_ = 0;
  double rate_ = 0;
  Clock::time_point start_, last_save_, last_status_, last_good_, rate_time_;
};

bool Exists(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0;
}

// The path with its folder resolved, so that two spellings of one name compare equal.
std::string ResolvedPath(const std::string& path) {
  char resolved[PATH_MAX];
  const std::string folder = FolderOf(path);
  const size_t slash = path.rfind('/');
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (!realpath(folder.c_str(), resolved)) return path;
  return std::string(resolved) + "/" + name;
}

void FillUnreadable(const RescueMap& map, ImageCreationResult& result) {
  result.copied = map.Bytes(AreaStatus::kFinished);
  result.unreadable_bytes = map.size() - result.copied;
  result.unreadable.clear();
  for (const MapArea& area : map.Areas()) {
    if (area.status == AreaStatus::kFinished) continue;
    if (result.unreadable.size() == ImageCreationResult::kMaxListedRanges) break;
    result.unreadable.push_back({area.pos, area.size});
  }
}

}  // namespace

ImageCreationResult RescueDiskImage(const std::string& source_name, const std::string& image_path,
                                    const RescueOptions& options, RescueObserver* observer,
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
  return RescueDiskImage(*source, image_path, options, observer, cancel);
}

ImageCreationResult RescueDiskImage(SectorSource& source, const std::string& image_path,
                                    const RescueOptions& options, RescueObserver* observer,
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
  const std::string& map_path = options.map_path;
  const auto map_failure = [&](std::string message, std::string detail = {}) {
    result.outcome = ImageOutcome::kMapUnusable;
    result.message = std::move(message);
    result.detail = std::move(detail);
    return result;
  };
  if (map_path.empty()) return map_failure("No map file was given.");
  if (ResolvedPath(map_path) == ResolvedPath(image_path)) {
    return map_failure("The map file and the image file must be two different files.");
  }

  const bool image_exists = Exists(image_path);
  const bool map_exists = Exists(map_path);
  RescueMap map(data_size);
  int fd = -1;
  int error = 0;
  const bool resumed = image_exists && map_exists;
  if (resumed) {
    std::string why;
    if (!LoadMapFile(map_path, &map, &why)) {
      return map_failure("The map file " + map_path + " cannot be read.", why);
    }
    if (map.size() != data_size) {
      return map_failure("The map file " + map_path + " describes a medium of " +
                         std::to_string(map.size()) + " bytes, but " + source.Name() + " holds " +
                         std::to_string(data_size) + " bytes.");
    }
    const auto info = ReadImageInfo(image_path);
    if (!info || info->trailer.data_size != data_size || info->trailer.sector_size != sector_size ||
        info->file_size != data_size + 32) {
      result.outcome = ImageOutcome::kCannotCreate;
      result.message = "The file " + image_path + " is not the image that the map " + map_path +
                       " belongs to, so imaging cannot resume into it.";
      return result;
    }
    fd = open(image_path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
      result.outcome = ImageOutcome::kCannotCreate;
      result.error_code = errno;
      result.message = kImageCannotCreateMessage;
      result.detail = SystemErrorText(result.error_code);
      return result;
    }
  } else if (map_exists) {
    return map_failure("The map file " + map_path + " exists but its image " + image_path +
                       " does not; delete the map to start afresh.");
  } else {
    struct stat folder_st {};
    if (stat(FolderOf(image_path).c_str(), &folder_st) != 0) {
      result.outcome = ImageOutcome::kCannotCreate;
      result.error_code = errno;
      result.message = kImageCannotCreateMessage;
      result.detail = SystemErrorText(result.error_code);
      return result;
    }
    if (!(GetFreeSpace(FolderOf(image_path)) > data_size)) {
      result.outcome = ImageOutcome::kNoFreeSpace;
      result.message = kImageNoSpaceMessage;
      return result;
    }
    fd = CreateNewFile(image_path, &error);
    if (fd < 0) {
      result.outcome = ImageOutcome::kCannotCreate;
      result.error_code = error;
      result.message = kImageCannotCreateMessage;
      result.detail = SystemErrorText(error);
      return result;
    }
    // The image has its full length and its trailer from the start; what is not read yet reads
    // as zeros.
    uint8_t trailer[ImageTrailer::kSize];
    WriteImageTrailer({.data_size = data_size, .sector_size = sector_size}, trailer);
    if (ftruncate(fd, static_cast<off_t>(data_size + ImageTrailer::kSize)) != 0 ||
        !WriteLeavingHoles(fd, trailer, sizeof(trailer), data_size, &error)) {
      if (error == 0) error = errno;
      close(fd);
      unlink(image_path.c_str());
      result.outcome = ImageOutcome::kWriteFailed;
      result.error_code = error;
      result.message = "Writing the image file " + image_path + " failed.";
      result.detail = SystemErrorText(error) + ". The incomplete image file was deleted.";
      return result;
    }
    map.phase = RescuePhase::kCopying;
    map.pass = 1;
    map.current_pos = options.reverse ? data_size : 0;
    if (!SaveMapFile(map, map_path, options.command_line, &error)) {
      close(fd);
      unlink(image_path.c_str());
      return map_failure("The map file " + map_path + " cannot be written.",
                         SystemErrorText(error) + ". The new image file was deleted.");
    }
  }

  Rescuer rescuer(source, fd, map, options, observer, cancel);
  if (!rescuer.Allocate()) {
    close(fd);
    result.outcome = ImageOutcome::kWriteFailed;
    result.message = SystemErrorText(ENOMEM);
    return result;
  }
  if (observer) observer->OnStart(data_size, sector_size, resumed);
  const Stop stop = rescuer.Run();
  rescuer.Report(/*force=*/true);
  // The map is saved in every case: it matches what the image holds.
  const bool map_saved = rescuer.SaveMap(&error);
  const int map_error = map_saved ? 0 : error;
  int close_error = 0;
  const bool closed = SyncAndClose(fd, &close_error);
  FillUnreadable(map, result);

  const std::string kept = " What was read is kept in " + image_path + " and the map " + map_path +
                           " records it; run the same imaging again to resume.";
  switch (stop) {
    case Stop::kNone:
      result.outcome = ImageOutcome::kCreated;
      result.message = kImageCreatedMessage;
      result.detail = DescribeUnreadable(result);
      break;
    case Stop::kCancelled:
      result.outcome = ImageOutcome::kStopped;
      result.message = "Imaging stopped." + kept;
      break;
    case Stop::kSourceLost:
      result.outcome = ImageOutcome::kSourceLost;
      result.message = "The source " + source.Name() +
                       " can no longer be read (it may have been removed), so imaging ended." +
                       kept;
      break;
    case Stop::kWriteFailed:
      result.outcome = ImageOutcome::kWriteFailed;
      result.error_code = rescuer.write_error();
      result.message = "Writing the image file " + image_path + " failed.";
      result.detail = SystemErrorText(rescuer.write_error()) + "." + kept;
      break;
  }
  if (!closed && result.outcome == ImageOutcome::kCreated) {
    result.outcome = ImageOutcome::kWriteFailed;
    result.error_code = close_error;
    result.message = "Writing the image file " + image_path + " failed.";
    result.detail = SystemErrorText(close_error) + ".";
  }
  if (!map_saved) {
    const std::string note =
        "The map file " + map_path + " could not be saved: " + SystemErrorText(map_error) + ".";
    result.detail = result.detail.empty() ? note : result.detail + " " + note;
    if (result.outcome != ImageOutcome::kCreated) result.error_code = map_error;
  }
  return result;
}

}  // namespace pictavo
