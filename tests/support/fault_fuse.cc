#define FUSE_USE_VERSION 312
#include "support/fault_fuse.h"

#include <errno.h>
#include <fcntl.h>
#include <fuse.h>
#include <fuse_lowlevel.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

namespace pictavo::testing {

// What the server and the test share: it lives in a page mapped by both processes, so it holds
// only lock-free atomics and a fixed table of ranges.
struct SharedState {
  static constexpr uint32_t kMaxRanges = 256;
  struct Range {
    std::atomic<uint64_t> begin, end;
    std::atomic<uint32_t> delay_ms;  // 0: fails
  };
  std::atomic<uint64_t> size{0};
  std::atomic<uint64_t> reads{0};
  std::atomic<uint64_t> failed_reads{0};
  // Ranges [0, range_count) are in force; an entry is filled before the count takes it in.
  std::atomic<uint32_t> range_count{0};
  Range ranges[kMaxRanges];
  // The test asks the server to drop the kernel's cached view of the file by raising
  // `invalidate_asked`; the server answers by setting `invalidate_done` to it.
  std::atomic<uint64_t> invalidate_asked{0};
  std::atomic<uint64_t> invalidate_done{0};
  std::atomic<bool> quit{false};

  // EIO when the read touches a failing range; waits for the slow ranges it touches.
  int Check(uint64_t offset, uint64_t count) const {
    uint32_t wait = 0;
    bool fail = false;
    const uint32_t n = std::min(range_count.load(std::memory_order_acquire), kMaxRanges);
    for (uint32_t i = 0; i < n; ++i) {
      const Range& range = ranges[i];
      if (offset >= range.end.load() || offset + count <= range.begin.load()) continue;
      const uint32_t delay = range.delay_ms.load();
      if (delay == 0) fail = true;
      wait += delay;
    }
    if (wait) std::this_thread::sleep_for(std::chrono::milliseconds(wait));
    return fail ? -EIO : 0;
  }
};

struct FaultFuse::State {
  std::string mount_point, path, skip_reason;
  int backing_fd = -1;
  bool direct_io = false;
  // The server's process: a reader in this process that waits for the server inside a page
  // fault holds the process's memory-map lock, which a server thread here could need to grow
  // its heap or start a thread; in a process of its own it never waits for the test.
  pid_t server = -1;
  // The connection's number under /sys/fs/fuse/connections: the mount's minor device number.
  unsigned connection = 0;
  bool have_connection = false;
  SharedState* shared = nullptr;
  std::mutex mutex;  // orders the test's own changes to the ranges
};

namespace {

constexpr char kName[] = "medium";

// The server's view: the shared page, the backing file and how it opens the served file.
struct ServerState {
  SharedState* shared;
  int backing_fd;
  bool direct_io;
};

ServerState* StateOf() { return static_cast<ServerState*>(fuse_get_context()->private_data); }

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
  st->st_size = static_cast<off_t>(StateOf()->shared->size.load());
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
  ServerState* server = StateOf();
  SharedState* state = server->shared;
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
        pread(server->backing_fd, buffer + done, n - done, static_cast<off_t>(start + done));
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

namespace {

// The server's process: mounts the file system at `mount_point`, tells `ready_fd` how that went
// ('y', or 'n' when it could not), and serves until the mount is gone. Never returns.
[[noreturn]] void Serve(const std::string& mount_point, ServerState state, int ready_fd) {
  const char* argv[] = {"fault_fuse", "-o", "ro,allow_other,fsname=fault_fuse"};
  struct fuse_args args = FUSE_ARGS_INIT(3, const_cast<char**>(argv));
  struct fuse* fuse = fuse_new(&args, Operations(), sizeof(struct fuse_operations), &state);
  fuse_opt_free_args(&args);
  const char status = fuse && fuse_mount(fuse, mount_point.c_str()) == 0 ? 'y' : 'n';
  const ssize_t written = write(ready_fd, &status, 1);
  (void)written;
  close(ready_fd);
  if (status != 'y') _exit(1);
  SharedState* shared = state.shared;
  std::thread invalidator([fuse, shared] {
    while (!shared->quit.load()) {
      const uint64_t asked = shared->invalidate_asked.load();
      if (asked != shared->invalidate_done.load()) {
        fuse_invalidate_path(fuse, (std::string("/") + kName).c_str());
        shared->invalidate_done.store(asked);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  struct fuse_loop_config* config = fuse_loop_cfg_create();
  fuse_loop_cfg_set_max_threads(config, 8);
  fuse_loop_mt(fuse, config);
  shared->quit.store(true);
  invalidator.join();
  _exit(0);
}

}  // namespace

FaultFuse::FaultFuse(const std::string& backing_path, Options options)
    : state_(std::make_unique<State>()) {
  State& s = *state_;
  s.direct_io = options.direct_io;
#if defined(__SANITIZE_ADDRESS__)
  // Slowed down by the sanitizer, the timing these tests set up (slow ranges, reads held while a
  // signal comes) does not hold; the plain build runs them, and the sanitized one checks the code
  // they drive without the FUSE road.
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
  void* page =
      mmap(nullptr, sizeof(SharedState), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (page == MAP_FAILED) {
    s.skip_reason = "cannot map a shared page";
    return;
  }
  s.shared = new (page) SharedState;
  s.shared->size = static_cast<uint64_t>(st.st_size);
  char pattern[] = "/tmp/pictavo-fuse-XXXXXX";
  if (!mkdtemp(pattern)) {
    s.skip_reason = "cannot make a mount point";
    return;
  }
  s.mount_point = pattern;
  s.path = s.mount_point + "/" + kName;

  int ready[2];
  if (pipe2(ready, O_CLOEXEC) != 0) {
    s.skip_reason = "cannot make a pipe";
    return;
  }
  s.server = fork();
  if (s.server == 0) {
    close(ready[0]);
    Serve(s.mount_point, ServerState{s.shared, s.backing_fd, s.direct_io}, ready[1]);
  }
  close(ready[1]);
  char status = 0;
  ssize_t got = 0;
  do {
    got = s.server > 0 ? read(ready[0], &status, 1) : -1;
  } while (got < 0 && errno == EINTR);
  close(ready[0]);
  if (s.server < 0 || got != 1 || status != 'y') {
    s.skip_reason = "cannot mount a FUSE file system here";
    return;
  }
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
  if (s.server > 0) {
    // Detached first: once nothing holds the file open the kernel ends the connection. Ending it
    // at once wakes the server's threads that wait for a request, and the server ends.
    umount2(s.mount_point.c_str(), MNT_DETACH);
    if (s.have_connection) AbortConnection(s.connection);
    bool ended = false;
    for (int i = 0; i < 500 && !ended; ++i) {
      ended = waitpid(s.server, nullptr, WNOHANG) == s.server;
      if (!ended) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!ended) {
      kill(s.server, SIGKILL);
      waitpid(s.server, nullptr, 0);
    }
  }
  if (!s.mount_point.empty()) rmdir(s.mount_point.c_str());
  if (s.backing_fd >= 0) close(s.backing_fd);
  if (s.shared) {
    s.shared->~SharedState();
    munmap(s.shared, sizeof(SharedState));
  }
}

bool FaultFuse::ok() const { return state_->skip_reason.empty(); }
const std::string& FaultFuse::skip_reason() const { return state_->skip_reason; }
const std::string& FaultFuse::path() const { return state_->path; }

void FaultFuse::FailRange(uint64_t begin, uint64_t end) { DelayRange(begin, end, 0); }

void FaultFuse::DelayRange(uint64_t begin, uint64_t end, uint32_t milliseconds) {
  if (!state_->shared) return;
  std::lock_guard lock(state_->mutex);
  SharedState& shared = *state_->shared;
  const uint32_t i = shared.range_count.load();
  if (i >= SharedState::kMaxRanges) std::abort();  // a test asks for more than it may
  shared.ranges[i].begin = begin;
  shared.ranges[i].end = end;
  shared.ranges[i].delay_ms = milliseconds;
  shared.range_count.store(i + 1, std::memory_order_release);
}

void FaultFuse::ClearRanges() {
  if (!state_->shared) return;
  std::lock_guard lock(state_->mutex);
  state_->shared->range_count.store(0);
}

void FaultFuse::Shrink(uint64_t size) {
  State& s = *state_;
  if (!s.shared) return;
  if (size < s.shared->size.load()) s.shared->size = size;
  if (s.server <= 0) return;
  // The server drops the kernel's cached entry; a stat then makes the kernel take the new size,
  // which cuts the page cache and the mappings.
  const uint64_t asked = s.shared->invalidate_asked.fetch_add(1) + 1;
  for (int i = 0; i < 1000 && s.shared->invalidate_done.load() < asked; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  struct stat st {};
  stat(s.path.c_str(), &st);
}

uint64_t FaultFuse::reads() const { return state_->shared ? state_->shared->reads.load() : 0; }
uint64_t FaultFuse::failed_reads() const {
  return state_->shared ? state_->shared->failed_reads.load() : 0;
}

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
