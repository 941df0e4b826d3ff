// Nothing is ever written over the source or onto the medium being recovered, and saved files
// appear under their names only when complete.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/block_devices.h"
#include "platform/memory_source.h"
#include "platform/output_file.h"
#include "platform/sector_source.h"
#include "results/recovery.h"
#include "results/snapshot.h"
#include "samples/image_builder.h"
#include "support/loop_device.h"

namespace pictavo {
namespace {

using samples::RandomBytes;
using samples::ReadFile;
using samples::TempDir;
using samples::WriteFile;

std::vector<std::string> FolderNames(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

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

// A second loop device over the file of a first one, detached when it goes.
class SecondLoop {
 public:
  explicit SecondLoop(const std::string& file) : device_(Output("losetup -f --show " + file)) {}
  ~SecondLoop() {
    if (!device_.empty()) std::system(("losetup -d " + device_ + " 2>/dev/null").c_str());
  }
  const std::string& device() const { return device_; }

 private:
  std::string device_;
};

TEST(MoveIntoPlace, GivesTheNameOnlyWhenItIsFree) {
  TempDir dir;
  ASSERT_TRUE(WriteFile(dir.File("part"), {1, 2, 3}));
  ASSERT_TRUE(WriteFile(dir.File("taken"), {9}));
  int error = 0;
  EXPECT_FALSE(MoveIntoPlace(dir.File("part"), dir.File("taken"), &error));
  EXPECT_EQ(error, EEXIST);
  EXPECT_EQ(ReadFile(dir.File("taken")), std::vector<uint8_t>{9});
  EXPECT_EQ(ReadFile(dir.File("part")), (std::vector<uint8_t>{1, 2, 3}));
  ASSERT_TRUE(MoveIntoPlace(dir.File("part"), dir.File("free"), &error));
  EXPECT_EQ(FolderNames(dir.path()), (std::vector<std::string>{"free", "taken"}));
}

// FAT has no hard links and, on older kernels, no rename that refuses to replace: the fallback
// must still never replace.
TEST(MoveIntoPlace, NeverReplacesOnAFatFileSystem) {
  testing::LoopDevice loop(std::vector<uint8_t>(8 << 20));
  if (!loop.ok()) GTEST_SKIP() << loop.skip_reason();
  const std::string mounted = loop.Mount();
  if (mounted.empty()) GTEST_SKIP() << "cannot mount the loop device's partition here";
  ASSERT_TRUE(WriteFile(mounted + "/part", {1, 2, 3}));
  ASSERT_TRUE(WriteFile(mounted + "/taken", {9}));
  int error = 0;
  EXPECT_FALSE(MoveIntoPlace(mounted + "/part", mounted + "/taken", &error));
  EXPECT_EQ(error, EEXIST);
  EXPECT_EQ(ReadFile(mounted + "/taken"), std::vector<uint8_t>{9});
  ASSERT_TRUE(MoveIntoPlace(mounted + "/part", mounted + "/free", &error)) << error;
  EXPECT_EQ(ReadFile(mounted + "/free"), (std::vector<uint8_t>{1, 2, 3}));
  EXPECT_FALSE(std::filesystem::exists(mounted + "/part"));
}

TEST(PartialFiles, OnlyThoseOfEndedRunsAreRemoved) {
  TempDir dir;
  const std::string ours = PartialFileName("File0.jpeg");
  EXPECT_TRUE(ours.starts_with(".pictavo-" + std::to_string(getpid()) + "-")) << ours;
  EXPECT_TRUE(ours.ends_with(".File0.jpeg.part")) << ours;
  // Process 1 is always running; a process of the largest number hardly ever is.
  const std::vector<std::string> kept = {ours,
                                         ".pictavo-1-3.File2.jpeg.part",
                                         ".pictavo-x-3.File2.jpeg.part",
                                         ".pictavo-4194303.File2.jpeg.part",
                                         "File1.jpeg",
                                         ".pictavo-4194303-1.File1.jpeg"};
  for (const std::string& name : kept) ASSERT_TRUE(WriteFile(dir.File(name), {1}));
  ASSERT_TRUE(WriteFile(dir.File(".pictavo-4194303-1.File1.jpeg.part"), {1}));
  std::filesystem::create_directory(dir.File(".pictavo-4194303-2.File3.jpeg.part"));
  EXPECT_EQ(RemoveStalePartialFiles(dir.path()), 1u);
  std::vector<std::string> expected = kept;
  expected.push_back(".pictavo-4194303-2.File3.jpeg.part");  // a folder is never removed
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(FolderNames(dir.path()), expected);
}

TEST(SavingRun, LeavesOnlyFinishedFilesAndClearsWhatACrashLeft) {
  TempDir dir;
  const std::vector<uint8_t> medium = RandomBytes(64 * 1024, 4);
  MemorySectorSource source(medium, 512);
  ScanResults results;
  results.records = {{kTypeJpeg, 0, 5000, 1}, {kTypeJpeg, 8192, 7000, 1}, {}};
  const std::string crashed = ".pictavo-4194303-0.File0.jpeg.part";
  ASSERT_TRUE(WriteFile(dir.File(crashed), {0}));
  ASSERT_TRUE(WriteFile(dir.File("File0.jpeg"), {7}));  // the user's own file stays
  const SaveSummary summary = SaveMarkedFiles(source, results, dir.path(), nullptr, nullptr);
  EXPECT_EQ(summary.written, 2u);
  EXPECT_EQ(summary.stale_partial_files_removed, 1u);
  EXPECT_EQ(FolderNames(dir.path()),
            (std::vector<std::string>{"File0 (2).jpeg", "File0.jpeg", "File1.jpeg"}));
  EXPECT_EQ(ReadFile(dir.File("File0.jpeg")), std::vector<uint8_t>{7});
  EXPECT_EQ(ReadFile(dir.File("File0 (2).jpeg")),
            std::vector<uint8_t>(medium.begin(), medium.begin() + 5000));
  EXPECT_NE(SaveSummaryText(summary, dir.path())
                .find("1 unfinished temporary file left by an earlier run was removed."),
            std::string::npos);
}

// A cancel between two files keeps the first whole and leaves nothing of the second.
TEST(SavingRun, CancelKeepsTheFilesAlreadyWritten) {
  TempDir dir;
  const std::vector<uint8_t> medium = RandomBytes(64 * 1024, 5);
  MemorySectorSource source(medium, 512);
  ScanResults results;
  results.records = {{kTypePng, 0, 3000, 1}, {kTypePng, 4096, 3000, 1}, {}};
  std::atomic<bool> cancel{false};
  class CancelAfterFirst : public SaveObserver {
   public:
    explicit CancelAfterFirst(std::atomic<bool>* cancel) : cancel_(cancel) {}
    void OnFileDone(const SavedFile&) override { cancel_->store(true); }

   private:
    std::atomic<bool>* cancel_;
  } observer(&cancel);
  const SaveSummary summary = SaveMarkedFiles(source, results, dir.path(), &observer, &cancel);
  EXPECT_TRUE(summary.cancelled);
  EXPECT_EQ(summary.written, 1u);
  EXPECT_EQ(FolderNames(dir.path()), std::vector<std::string>{"File0.png"});
  EXPECT_EQ(ReadFile(dir.File("File0.png")),
            std::vector<uint8_t>(medium.begin(), medium.begin() + 3000));
}

TEST(OutputFile, TheSourceUnderAnyNameADeviceOrAPipeIsRefused) {
  TempDir dir;
  const std::string source = dir.File("card.img");
  ASSERT_TRUE(WriteFile(source, RandomBytes(4096, 6)));
  ASSERT_EQ(link(source.c_str(), dir.File("hard.img").c_str()), 0);
  ASSERT_EQ(symlink(source.c_str(), dir.File("soft.img").c_str()), 0);
  ASSERT_EQ(mkfifo(dir.File("pipe").c_str(), 0600), 0);
  ASSERT_TRUE(WriteFile(dir.File("other.png"), {1}));
  for (const char* name : {"card.img", "hard.img", "soft.img"}) {
    EXPECT_NE(OutputFileProblem(dir.File(name), source).find("is the source being recovered from"),
              std::string::npos)
        << name;
  }
  EXPECT_NE(OutputFileProblem(dir.File("pipe"), source).find("is a named pipe"), std::string::npos);
  EXPECT_NE(OutputFileProblem(dir.path(), source).find("is a folder"), std::string::npos);
  EXPECT_EQ(OutputFileProblem(dir.File("other.png"), source), "");
  EXPECT_EQ(OutputFileProblem(dir.File("new.png"), source), "");
}

TEST(OutputFile, LoopDevicesAreKnownByTheirFile) {
  testing::LoopDevice loop(std::vector<uint8_t>(8 << 20));
  if (!loop.ok()) GTEST_SKIP() << loop.skip_reason();
  // The file behind the source device is part of the medium, and so is the device itself.
  EXPECT_NE(OutputFileProblem(loop.backing_file(), loop.disk()).find("is the source"),
            std::string::npos);
  EXPECT_NE(OutputFileProblem(loop.disk(), loop.backing_file()).find("is a block device"),
            std::string::npos);
  struct stat st {};
  ASSERT_EQ(stat(loop.disk().c_str(), &st), 0);
  struct stat file_st {};
  ASSERT_EQ(stat(loop.backing_file().c_str(), &file_st), 0);
  EXPECT_EQ(LoopBackingFilesUnder({}, st.st_rdev),
            (std::set<FileIdentity>{{file_st.st_dev, file_st.st_ino}}));
}

TEST(Destination, ASecondLoopDeviceOverTheSameFileIsTheSameMedium) {
  testing::LoopDevice loop(std::vector<uint8_t>(8 << 20));
  if (!loop.ok()) GTEST_SKIP() << loop.skip_reason();
  const std::string mounted = loop.Mount();
  if (mounted.empty()) GTEST_SKIP() << "cannot mount the loop device's partition here";
  SecondLoop second(loop.backing_file());
  if (second.device().empty()) GTEST_SKIP() << "cannot attach a second loop device";
  const DestinationCheck check = CheckDestination(mounted + "/out", second.device(), 0,
                                                  {.allow_same_file_system = true, .roots = {}});
  EXPECT_EQ(check.verdict, DestinationVerdict::kSameMedium) << second.device();
  // The file itself as the source: its file system, mounted through a loop device, lies inside
  // it, whatever the option.
  const DestinationCheck inside = CheckDestination(mounted + "/out", loop.backing_file(), 0,
                                                   {.allow_same_file_system = true, .roots = {}});
  EXPECT_EQ(inside.verdict, DestinationVerdict::kSameMedium);
  EXPECT_NE(OutputFileProblem(mounted + "/picture.png", second.device()).find("lies on the medium"),
            std::string::npos);
}

TEST(Destination, AFolderThatCannotBeWrittenIsToldBeforeAnything) {
  TempDir dir;
  EXPECT_EQ(DestinationNotWritableProblem(dir.File("new/folder")), "");
  ASSERT_TRUE(WriteFile(dir.File("file"), {1}));
  EXPECT_NE(DestinationNotWritableProblem(dir.File("file/below")).find("is a file, not a folder"),
            std::string::npos);
  if (geteuid() != 0) GTEST_SKIP() << "needs root to mount a read-only tmpfs";
  const std::string mounted = dir.File("ro");
  std::filesystem::create_directory(mounted);
  if (std::system(("mount -t tmpfs -o ro,size=1m tmpfs " + mounted + " 2>/dev/null").c_str()) !=
      0) {
    GTEST_SKIP() << "cannot mount a tmpfs here";
  }
  const std::string problem = DestinationNotWritableProblem(mounted + "/out");
  std::system(("umount " + mounted).c_str());
  EXPECT_NE(problem.find("Read-only file system"), std::string::npos) << problem;
}

TEST(SnapshotCount, ASnapshotCutAtARecordBoundaryIsFlagged) {
  RecoverySnapshot snapshot;
  snapshot.source_name = "/dev/sdb";
  snapshot.results.records = {{kTypeJpeg, 0, 100, 0}, {kTypeJpeg, 512, 100, 0}, {}};
  snapshot.results.found_count = 2;
  EXPECT_EQ(SnapshotCountWarning(snapshot), "");
  std::string error;
  auto bytes = EncodeSnapshot(snapshot, &error);
  ASSERT_TRUE(bytes);
  // Cut after the first record: the spare record and the second file are gone.
  bytes->resize(bytes->size() - 2 * kSnapshotRecordBytes);
  RecoverySnapshot loaded;
  ASSERT_TRUE(DecodeSnapshot(*bytes, &loaded, &error)) << error;
  EXPECT_EQ(loaded.results.Found().size(), 1u);
  EXPECT_EQ(SnapshotCountWarning(loaded),
            "This recovery snapshot looks incomplete: it counts 2 found files but holds the "
            "records of only 1. It may have been cut short; only the files it holds can be listed "
            "and saved.");
  loaded.results.found_count = 0;
  EXPECT_NE(SnapshotCountWarning(loaded).find("counts only 0"), std::string::npos);
}

TEST(SnapshotWrite, RefusingModeNeverReplaces) {
  TempDir dir;
  RecoverySnapshot snapshot;
  snapshot.source_name = "/dev/sdb";
  ASSERT_TRUE(WriteFile(dir.File("photo.jpeg"), {1, 2}));
  const SnapshotStatus status =
      WriteSnapshot(dir.File("photo.jpeg"), snapshot, ExistingSnapshot::kRefuse);
  EXPECT_FALSE(status.ok);
  EXPECT_EQ(status.error_code, EEXIST);
  EXPECT_EQ(ReadFile(dir.File("photo.jpeg")), (std::vector<uint8_t>{1, 2}));
  EXPECT_EQ(FolderNames(dir.path()), std::vector<std::string>{"photo.jpeg"});
  EXPECT_TRUE(WriteSnapshot(dir.File("new.dat"), snapshot, ExistingSnapshot::kRefuse).ok);
  EXPECT_TRUE(CheckSnapshotFile(dir.File("new.dat")));
}

}  // namespace
}  // namespace pictavo
