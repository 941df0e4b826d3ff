#define FUSE_USE_VERSION 312
#include "support/fault_fuse.h"

#include <errno.h>
#include <fcntl.h>
#include <fuse.h>
#include <fuse_lowlevel.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <thread>
#include <vector>

namespace pictavo::testing {

struct FaultFuse::State {
  std::string mount_point, path, skip_reason;
  int backing_fd = -1;
  bool direct_io = false;
  struct fuse* fuse = nullptr;
  // The connection's number under /sys/fs/fuse/connections: the mount's minor device number.
  unsigned connection = 0;
  bool have_connection = false;
  std::thread loop;
  std::atomic<uint64_t> size{0};
  std::atomic<uint64_t> reads{0};
  std::atomic<uint64_t> failed_reads{0};

  struct Range {
    uint64_t begin, end;
    uint32_t delay_ms;  // 0: fails
  };
  mutable std::mutex mutex;
  std::vector<Range> ranges;

  // EIO when the read touches a failing range; waits for the slow ranges it touches.
  int Check(uint64_t offset, uint64_t count) const {
    uint32_t wait = 0;
    bool fail = false;
    {
      std::lock_guard lock(mutex);
      for (const Range& range : ranges) {
        if (offset >= range.end || offset + count <= range.begin) continue;
        if (range.delay_ms == 0) fail = true;
        wait += range.delay_ms;
      }
    }
    if (wait) std::this_thread::sleep_for(std::chrono::milliseconds(wait));
    return fail ? -EIO : 0;
  }
};

namespace {

constexpr char kName[] = "medium";

FaultFuse::State* StateOf() {
  return static_cast<FaultFuse::State*>(fuse_get_context()->private_data);
}

void* Init(struct fuse_conn_info*, struct fuse_config* config) {
  // Every stat asks again, so that a shrink is seen at once.
  config->entry_timeout = 0;
  config->attr_timeout = 0;
  config->negative_timeout = 0;
  config->use_ino = 0;
  return fuse_get_context()->private_data;
}

int GetAttr(const char* path, struct stat* st, struct fuse_file_info*) {
  std::memset(st, 0, sizeof(*st));
  if (std::strcmp(path, "/") == 0) {
    st->st_mode = S_IFDIR | 0755;
    st->st_nlink = 2;
    return 0;
  }
  if (std::strcmp(path + 1, kName) != 0) return -ENOENT;
  st->st_mode = S_IFREG | 0444;
  st->st_nlink = 1;
  st->st_size = static_cast<off_t>(StateOf()->size.load());
  st->st_blksize = 4096;
  st->st_blocks = (st->st_size + 511) / 512;
  return 0;
}

int ReadDir(const char* path, void* buffer, fuse_fill_dir_t fill, off_t, struct fuse_file_info*,
            enum fuse_readdir_flags) {
  if (std::strcmp(path, "/") != 0) return -ENOENT;
  fill(buffer, ".", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  fill(buffer, "..", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  fill(buffer, kName, nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  return 0;
}

int Open(const char* path, struct fuse_file_info* info) {
  if (std::strcmp(path + 1, kName) != 0) return -ENOENT;
  if ((info->flags & O_ACCMODE) != O_RDONLY) return -EROFS;
  info->direct_io = StateOf()->direct_io;
  info->keep_cache = 0;
  return 0;
}

int Read(const char*, char* buffer, size_t count, off_t offset, struct fuse_file_info*) {
  FaultFuse::State* state = StateOf();
  state->reads.fetch_add(1);
  const uint64_t size = state->size.load();
  if (offset < 0) return -EINVAL;
  const uint64_t start = static_cast<uint64_t>(offset);
  if (start >= size) return 0;
  const uint64_t n = std::min<uint64_t>(count, size - start);
  if (const int error = state->Check(start, n); error != 0) {
    state->failed_reads.fetch_add(1);
    return error;
  }
  size_t done = 0;
  while (done < n) {
    const ssize_t got =
        pread(state->backing_fd, buffer + done, n - done, static_cast<off_t>(start + done));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return -errno;
    if (got == 0) break;
    done += static_cast<size_t>(got);
  }
  return static_cast<int>(done);
}

const struct fuse_operations* Operations() {
  static const struct fuse_operations ops = [] {
    struct fuse_operations o {};
    o.init = Init;
    o.getattr = GetAttr;
    o.readdir = ReadDir;
    o.open = Open;
    o.read = Read;
    return o;
  }();
  return &ops;
}

}  // namespace

FaultFuse::FaultFuse(const std::string& backing_path, Options options)
    : state_(std::make_unique<State>()) {
  State& s = *state_;
  s.direct_io = options.direct_io;
#if defined(__SANITIZE_ADDRESS__)
  // The server runs in the test's own process; slowed down by the sanitizer it has been seen to
  // leave a read of its own mount unanswered, which hangs the process for good. The plain build
  // runs these tests; the sanitized one checks the code they drive without the FUSE road.
  s.skip_reason = "FUSE-served media are tested in the build without sanitizers";
  return;
#endif
  if (geteuid() != 0) {
    s.skip_reason = "needs root to mount a FUSE file system";
    return;
  }
  if (access("/dev/fuse", R_OK | W_OK) != 0) {
    s.skip_reason = "/dev/fuse is missing";
    return;
  }
  s.backing_fd = open(backing_path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st {};
  if (s.backing_fd < 0 || fstat(s.backing_fd, &st) != 0) {
    s.skip_reason = "cannot open " + backing_path;
    return;
  }
  s.size = static_cast<uint64_t>(st.st_size);
  char pattern[] = "/tmp/pictavo-fuse-XXXXXX";
  if (!mkdtemp(pattern)) {
    s.skip_reason = "cannot make a mount point";
    return;
  }
  s.mount_point = pattern;
  s.path = s.mount_point + "/" + kName;

  const char* argv[] = {"fault_fuse", "-o", "ro,allow_other,fsname=fault_fuse"};
  struct fuse_args args = FUSE_ARGS_INIT(3, const_cast<char**>(argv));
  s.fuse = fuse_new(&args, Operations(), sizeof(struct fuse_operations), &s);
  fuse_opt_free_args(&args);
  if (!s.fuse) {
    s.skip_reason = "fuse_new failed";
    return;
  }
  if (fuse_mount(s.fuse, s.mount_point.c_str()) != 0) {
    fuse_destroy(s.fuse);
    s.fuse = nullptr;
    s.skip_reason = "cannot mount a FUSE file system here";
    return;
  }
  s.loop = std::thread([&s] {
    struct fuse_loop_config* config = fuse_loop_cfg_create();
    fuse_loop_cfg_set_max_threads(config, 8);
    fuse_loop_mt(s.fuse, config);
    fuse_loop_cfg_destroy(config);
  });
  // The mount is usable once the kernel answers a stat of the served file.
  for (int i = 0; i < 100; ++i) {
    struct stat served {};
    if (stat(s.path.c_str(), &served) == 0) {
      s.connection = minor(served.st_dev);
      s.have_connection = true;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  s.skip_reason = "the FUSE file system did not answer";
}

namespace {

void AbortConnection(unsigned connection) {
  const std::string control = "/sys/fs/fuse/connections";
  if (access((control + "/" + std::to_string(connection)).c_str(), F_OK) != 0) {
    // fusectl may not be mounted yet; without it the unmount alone has to end the connection.
    mount("fusectl", control.c_str(), "fusectl", 0, nullptr);
  }
  const int fd =
      open((control + "/" + std::to_string(connection) + "/abort").c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) return;
  const ssize_t written = write(fd, "1", 1);
  (void)written;
  close(fd);
}

}  // namespace

FaultFuse::~FaultFuse() {
  State& s = *state_;
  if (s.fuse) {
    // Detached first: once nothing holds the file open the kernel ends the connection, and the
    // loop's threads return from their reads.
    fuse_session_exit(fuse_get_session(s.fuse));
    fuse_unmount(s.fuse);
    // Closing the device does not wake the loop's threads that wait in a read of it; ending the
    // connection does, even while the kernel still holds the detached mount for a while.
    if (s.have_connection) AbortConnection(s.connection);
    if (s.loop.joinable()) s.loop.join();
    fuse_destroy(s.fuse);
  }
  if (!s.mount_point.empty()) rmdir(s.mount_point.c_str());
  if (s.backing_fd >= 0) close(s.backing_fd);
}

bool FaultFuse::ok() const { return state_->skip_reason.empty(); }
const std::string& FaultFuse::skip_reason() const { return state_->skip_reason; }
const std::string& FaultFuse::path() const { return state_->path; }

void FaultFuse::FailRange(uint64_t begin, uint64_t end) {
  std::lock_guard lock(state_->mutex);
  state_->ranges.push_back({begin, end, 0});
}

void FaultFuse::DelayRange(uint64_t begin, uint64_t end, uint32_t milliseconds) {
  if (milliseconds == 0) return;
  std::lock_guard lock(state_->mutex);
  state_->ranges.push_back({begin, end, milliseconds});
}

void FaultFuse::ClearRanges() {
  std::lock_guard lock(state_->mutex);
  state_->ranges.clear();
}

void FaultFuse::Shrink(uint64_t size) {
  State& s = *state_;
  if (size < s.size.load()) s.size = size;
  if (!s.fuse) return;
  fuse_invalidate_path(s.fuse, (std::string("/") + kName).c_str());
  // A stat makes the kernel take the new size, which cuts the page cache and the mappings.
  struct stat st {};
  stat(s.path.c_str(), &st);
}

uint64_t FaultFuse::reads() const { return state_->reads.load(); }
uint64_t FaultFuse::failed_reads() const { return state_->failed_reads.load(); }

namespace {

std::string Output(const std::string& command) {
  std::string out;
  FILE* pipe = popen((command + " 2>/dev/null").c_str(), "r");
  if (!pipe) return out;
  char buffer[256];
  while (std::fgets(buffer, sizeof(buffer), pipe)) out += buffer;
  pclose(pipe);
  while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
  return out;
}

}  // namespace

LoopFile::LoopFile(const std::string& file, bool direct_io, uint32_t sector_size) {
  if (geteuid() != 0) {
    skip_reason_ = "needs root to attach a loop device";
    return;
  }
  std::string command = "losetup -f --show -r";
  if (direct_io) command += " --direct-io=on";
  if (sector_size) command += " --sector-size " + std::to_string(sector_size);
  device_ = Output(command + " '" + file + "'");
  if (device_.rfind("/dev/loop", 0) != 0) {
    device_.clear();
    skip_reason_ = "losetup cannot attach a loop device here";
  }
}

LoopFile::~LoopFile() {
  if (!device_.empty()) std::system(("losetup -d " + device_ + " >/dev/null 2>&1").c_str());
}

bool LoopFile::Refresh() {
  return !device_.empty() &&
         std::system(("losetup -c " + device_ + " >/dev/null 2>&1").c_str()) == 0;
}

}  // namespace pictavo::testing
