// Ctrl-C during a command-line scan stops it and still prints what was found. The scan reads a
// file served by a small FUSE file system that holds back every read past a gate until the test
// lets it go, so that the signal surely arrives while the scan runs, after the photos before the
// gate were scanned.
#define FUSE_USE_VERSION 31

#include <fcntl.h>
#include <fuse.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>

#include "results/scan_checkpoint.h"
#include "results/snapshot.h"
#include "samples/image_builder.h"
#include "samples/jpeg_sample.h"
#include "support/cli_run.h"
#include "support/fs_images.h"

namespace {

using pictavo::samples::EncodeJpeg;
using pictavo::samples::ImageBuilder;
using pictavo::samples::TempDir;

// Starts pictavo-cli with `args`, its standard output and error going to `out_fd` (or nowhere).
pid_t SpawnCli(std::vector<std::string> args, int out_fd) {
  std::string cli = PICTAVO_CLI_PATH;
  std::vector<char*> argv = {cli.data()};
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (out_fd >= 0) {
    posix_spawn_file_actions_adddup2(&actions, out_fd, 1);
    posix_spawn_file_actions_adddup2(&actions, out_fd, 2);
  } else {
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  }
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, cli.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  return spawned == 0 ? pid : -1;
}

// One read-only file, "/medium", whose reads at or past `gate` (but for its last megabyte, and
// for reads from `gate_end` on) wait until Open() is called.
class GatedFileSystem {
 public:
  GatedFileSystem(std::vector<uint8_t> medium, uint64_t gate, const std::string& mount_point,
                  uint64_t gate_end = UINT64_MAX)
      : medium_(std::move(medium)), gate_(gate), gate_end_(gate_end) {
    fuse_operations operations{};
    operations.getattr = &GetAttr;
    operations.open = &OpenFile;
    operations.read = &Read;
    char name[] = "pictavo-test";
    char* argv[] = {name, nullptr};
    fuse_args args = FUSE_ARGS_INIT(1, argv);
    fuse_ = fuse_new(&args, &operations, sizeof(operations), this);
    fuse_opt_free_args(&args);
    if (!fuse_ || fuse_mount(fuse_, mount_point.c_str()) != 0) return;
    mounted_ = true;
    loop_ = std::thread([this] { fuse_loop(fuse_); });
  }
  ~GatedFileSystem() {
    Open();
    if (mounted_) {
      fuse_exit(fuse_);
      fuse_unmount(fuse_);
      loop_.join();
    }
    if (fuse_) fuse_destroy(fuse_);
  }

  bool mounted() const { return mounted_; }

  // Waits until a read reached the gate; false when none came within `limit`.
  bool AwaitGate(std::chrono::seconds limit) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, limit, [this] { return gate_reached_; });
  }
  void Open() {
    std::lock_guard lock(mutex_);
    open_ = true;
    changed_.notify_all();
  }

 private:
  static GatedFileSystem* Self() {
    return static_cast<GatedFileSystem*>(fuse_get_context()->private_data);
  }
  static int GetAttr(const char* path, struct stat* st, fuse_file_info*) {
    std::memset(st, 0, sizeof(*st));
    if (std::strcmp(path, "/") == 0) {
      st->st_mode = S_IFDIR | 0755;
      st->st_nlink = 2;
      return 0;
    }
    if (std::strcmp(path, "/medium") != 0) return -ENOENT;
    st->st_mode = S_IFREG | 0444;
    st->st_nlink = 1;
    st->st_size = static_cast<off_t>(Self()->medium_.size());
    return 0;
  }
  static int OpenFile(const char* path, fuse_file_info* info) {
    if (std::strcmp(path, "/medium") != 0) return -ENOENT;
    return (info->flags & O_ACCMODE) == O_RDONLY ? 0 : -EACCES;
  }
  static int Read(const char*, char* buffer, size_t size, off_t offset, fuse_file_info*) {
    GatedFileSystem* self = Self();
    const auto at = static_cast<uint64_t>(offset);
    // The last megabyte is never held back: opening the source reads its end, for an image
    // trailer, before the scan starts.
    if (at + size > self->gate_ && at < self->gate_end_ && at + (1 << 20) < self->medium_.size()) {
      std::unique_lock lock(self->mutex_);
      self->gate_reached_ = true;
      self->changed_.notify_all();
      // Bounded, so that a test that fails cannot hang here.
      self->changed_.wait_for(lock, std::chrono::seconds(60), [self] { return self->open_; });
    }
    if (at >= self->medium_.size()) return 0;
    const size_t n = std::min<uint64_t>(size, self->medium_.size() - at);
    std::memcpy(buffer, self->medium_.data() + at, n);
    return static_cast<int>(n);
  }

  std::vector<uint8_t> medium_;
  uint64_t gate_;
  uint64_t gate_end_;
  fuse* fuse_ = nullptr;
  bool mounted_ = false;
  std::thread loop_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool gate_reached_ = false;
  bool open_ = false;
};

TEST(CliInterrupt, CtrlCDuringAScanStillPrintsTheFinds) {
  if (geteuid() != 0 || access("/dev/fuse", R_OK | W_OK) != 0) {
    GTEST_SKIP() << "needs root and /dev/fuse to mount a test file system";
  }
  ImageBuilder builder(512, 31);
  builder.Gap(4);
  const uint64_t first = builder.Place(EncodeJpeg({.width = 64, .height = 48, .seed = 1}));
  builder.Gap(2);
  const uint64_t second = builder.Place(EncodeJpeg({.width = 48, .height = 64, .seed = 2}));
  std::vector<uint8_t> medium = builder.bytes();
  constexpr uint64_t kGate = 16 << 20;
  medium.resize(2 * kGate, 0);
  TempDir dir;
  const std::string mount_point = dir.File("mnt");
  std::filesystem::create_directory(mount_point);
  GatedFileSystem file_system(medium, kGate, mount_point);
  if (!file_system.mounted()) GTEST_SKIP() << "cannot mount a FUSE file system here";

  int out_pipe[2];
  ASSERT_EQ(pipe(out_pipe), 0);
  std::string cli = PICTAVO_CLI_PATH;
  const std::string source = mount_point + "/medium";
  char* argv[] = {cli.data(),
                  const_cast<char*>("scan"),
                  const_cast<char*>("--format"),
                  const_cast<char*>("tsv"),
                  const_cast<char*>(source.c_str()),
                  nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
  posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 2);
  posix_spawn_file_actions_addclose(&actions, out_pipe[0]);
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, cli.c_str(), &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  close(out_pipe[1]);
  ASSERT_EQ(spawned, 0);

  const bool reached = file_system.AwaitGate(std::chrono::seconds(60));
  kill(pid, SIGINT);
  file_system.Open();
  std::string out;
  char buffer[4096];
  ssize_t n;
  while ((n = read(out_pipe[0], buffer, sizeof(buffer))) > 0) out.append(buffer, n);
  close(out_pipe[0]);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(reached) << "the scan never read past the gate";
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 130) << out;
  EXPECT_NE(out.find("\n10\tjpeg\t" + std::to_string(first) + "\t"), std::string::npos) << out;
  EXPECT_NE(out.find("\n10\tjpeg\t" + std::to_string(second) + "\t"), std::string::npos) << out;
  EXPECT_NE(out.find("scan stopped; the list above holds what was found so far"), std::string::npos)
      << out;
}

// A saving run killed in the middle of a file leaves no partial file under a finished-looking
// name, only its temporary file, which the next run into the folder removes.
TEST(CliInterrupt, AKilledSavingRunLeavesOnlyATemporaryFileThatTheNextRunRemoves) {
  if (geteuid() != 0 || access("/dev/fuse", R_OK | W_OK) != 0) {
    GTEST_SKIP() << "needs root and /dev/fuse to mount a test file system";
  }
  constexpr uint64_t kGate = 16 << 20;
  std::vector<uint8_t> medium(2 * kGate);
  for (size_t i = 0; i < medium.size(); ++i) medium[i] = static_cast<uint8_t>(i * 13 + i / 512);
  TempDir dir;
  const std::string mount_point = dir.File("mnt");
  std::filesystem::create_directory(mount_point);
  auto file_system = std::make_unique<GatedFileSystem>(medium, kGate, mount_point);
  if (!file_system->mounted()) GTEST_SKIP() << "cannot mount a FUSE file system here";
  // One 20 MiB find across the gate, listed in a snapshot.
  pictavo::RecoverySnapshot snapshot;
  snapshot.source_name = mount_point + "/medium";
  snapshot.source_label = "Gated";
  snapshot.source_size = medium.size();
  snapshot.results.records = {{pictavo::kTypeAvi, 0, 20 << 20, 1}, {}};
  snapshot.results.found_count = 1;
  ASSERT_TRUE(pictavo::WriteSnapshot(dir.File("s.dat"), snapshot).ok);
  const std::string out = dir.File("out");

  const pid_t pid = SpawnCli({"recover", "--snapshot", dir.File("s.dat"), "--to", out}, -1);
  ASSERT_GT(pid, 0);
  const bool reached = file_system->AwaitGate(std::chrono::seconds(60));
  kill(pid, SIGKILL);
  // The process dies as soon as its held read is answered; it runs no code of its own after that.
  file_system->Open();
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFSIGNALED(status));
  ASSERT_TRUE(reached) << "the copy never read past the gate";
  std::vector<std::string> left;
  for (const auto& entry : std::filesystem::directory_iterator(out)) {
    left.push_back(entry.path().filename().string());
  }
  ASSERT_EQ(left.size(), 1u);
  EXPECT_TRUE(left[0].starts_with(".pictavo-" + std::to_string(pid) + "-")) << left[0];
  EXPECT_TRUE(left[0].ends_with(".File0.avi.part")) << left[0];

  const pid_t again = SpawnCli({"recover", "--snapshot", dir.File("s.dat"), "--to", out}, -1);
  ASSERT_GT(again, 0);
  ASSERT_EQ(waitpid(again, &status, 0), again);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  left.clear();
  for (const auto& entry : std::filesystem::directory_iterator(out)) {
    left.push_back(entry.path().filename().string());
  }
  EXPECT_EQ(left, std::vector<std::string>{"File0.avi"});
  const std::vector<uint8_t> saved = pictavo::samples::ReadFile(out + "/File0.avi");
  EXPECT_TRUE(saved == std::vector<uint8_t>(medium.begin(), medium.begin() + (20 << 20)));
}

// Ctrl-C during a scan of the free space with --checkpoint keeps a checkpoint that --resume
// continues over the free space only, to the list one uninterrupted run gives.
TEST(CliInterrupt, AFreeSpaceScanStoppedWithCtrlCResumesToTheWholeList) {
  if (geteuid() != 0 || access("/dev/fuse", R_OK | W_OK) != 0) {
    GTEST_SKIP() << "needs root and /dev/fuse to mount a test file system";
  }
  TempDir dir;
  const std::string image = dir.File("card.img");
  std::vector<pictavo::testing::TestFile> files = pictavo::testing::SamplePhotos("DCIM/100TEST", 6);
  files.insert(
      files.begin() + 3,
      pictavo::testing::TestFile{"DCIM/FILLER.BIN", pictavo::samples::RandomBytes(22 << 20, 5)});
  const std::string why = pictavo::testing::MakeFatImage(
      image, 40, files, {"DCIM/100TEST/IMG_0002.JPG", "DCIM/100TEST/IMG_0005.JPG"});
  if (!why.empty()) GTEST_SKIP() << why;
  const auto whole = pictavo::testing::RunCli("scan --unallocated --format tsv " + image);
  ASSERT_EQ(whole.status, 0);

  // Reads from 12 MiB on are held back (the file-system pass reads the start and the end of the
  // card only); the chunks inside the live file are not read at all, so the scan stops at the
  // first chunk after it, which holds the second deleted photo.
  const std::string mount_point = dir.File("mnt");
  std::filesystem::create_directory(mount_point);
  GatedFileSystem file_system(pictavo::samples::ReadFile(image), 12 << 20, mount_point, 36 << 20);
  if (!file_system.mounted()) GTEST_SKIP() << "cannot mount a FUSE file system here";
  const std::string checkpoint = dir.File("stopped.dat");
  const int out_fd = open(dir.File("out.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  // One scanning thread, so that the chunks before the gate are surely reported before the
  // signal comes.
  setenv("PICTAVO_SCAN_THREADS", "1", 1);
  const pid_t pid = SpawnCli({"scan", "--unallocated", "--format", "tsv", "--checkpoint",
                              checkpoint, mount_point + "/medium"},
                             out_fd);
  unsetenv("PICTAVO_SCAN_THREADS");
  close(out_fd);
  ASSERT_GT(pid, 0);
  const bool reached = file_system.AwaitGate(std::chrono::seconds(60));
  kill(pid, SIGINT);
  file_system.Open();
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(reached) << "the scan never read past the gate";
  ASSERT_TRUE(WIFEXITED(status));
  const std::vector<uint8_t> out = pictavo::samples::ReadFile(dir.File("out.txt"));
  EXPECT_EQ(WEXITSTATUS(status), 130) << std::string(out.begin(), out.end());
  const std::vector<uint8_t> kept = pictavo::samples::ReadFile(checkpoint);
  ASSERT_GT(kept.size(), 26u) << std::string(out.begin(), out.end());
  EXPECT_EQ(std::string(kept.begin(), kept.begin() + 26), "pictavo scan checkpoint 2\n");
  // The deleted photo before the live file was found before the stop, the one after it not.
  pictavo::ScanCheckpoint stopped;
  std::string reason;
  ASSERT_TRUE(pictavo::ReadScanCheckpoint(checkpoint, &stopped, &reason)) << reason;
  EXPECT_TRUE(stopped.free_space);
  EXPECT_EQ(stopped.results.found_count, 1u);
  EXPECT_LT(stopped.position, stopped.source_size);

  const auto resumed =
      pictavo::testing::RunCli("scan --format tsv --resume " + checkpoint + " " + image);
  EXPECT_EQ(resumed.status, 0);
  EXPECT_EQ(resumed.out, whole.out);
}

}  // namespace
