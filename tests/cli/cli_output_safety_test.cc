// The command line never writes over its source, a device or the medium being read, and says so
// when it cannot write where it was asked to.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "results/snapshot.h"
#include "samples/image_builder.h"
#include "samples/jpeg_sample.h"
#include "support/cli_run.h"
#include "support/loop_device.h"

namespace {

using pictavo::samples::EncodeJpeg;
using pictavo::samples::ImageBuilder;
using pictavo::samples::ReadFile;
using pictavo::samples::TempDir;
using pictavo::samples::WriteFile;
using pictavo::testing::RunCli;

struct Card {
  std::string path;
  std::vector<uint8_t> bytes;  // the whole image file
  uint64_t photo_offset = 0;
  uint64_t photo_length = 0;
};

std::vector<uint8_t> MediumWithPhotos() {
  ImageBuilder builder(512, 23);
  builder.Gap(8);
  for (uint32_t seed = 1; seed <= 2; ++seed) {
    builder.Place(EncodeJpeg({.width = 64, .height = 48, .seed = seed}));
    builder.Gap(2);
  }
  // Room for the partition a loop device gets from 1 MiB on.
  std::vector<uint8_t> bytes = builder.bytes();
  bytes.resize(8 << 20, 0);
  return bytes;
}

Card MakeCard(const std::string& path) {
  Card card;
  ImageBuilder builder(512, 23);
  builder.Gap(8);
  const auto photo = EncodeJpeg({.width = 64, .height = 48, .seed = 1});
  card.photo_offset = builder.Place(photo);
  card.photo_length = photo.size();
  builder.Gap(2);
  builder.Place(EncodeJpeg({.width = 64, .height = 48, .seed = 2}));
  builder.Gap(2);
  card.path = path;
  EXPECT_TRUE(builder.WriteDiskImage(path));
  card.bytes = ReadFile(path);
  return card;
}

std::string PreviewArgs(const Card& card, const std::string& source) {
  return "preview " + source + " " + std::to_string(card.photo_offset) + " " +
         std::to_string(card.photo_length) + " jpeg";
}

bool IsBlockDevice(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISBLK(st.st_mode);
}

// Runs a shell command line and returns its standard output and exit status.
pictavo::testing::CliRun Shell(const std::string& command) {
  pictavo::testing::CliRun run{-1, {}};
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return run;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0) run.out.append(buffer, n);
  const int raw = pclose(pipe);
  run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return run;
}

TEST(CliOutputSafety, PreviewNeverWritesOverItsSourceUnderAnyName) {
  TempDir dir;
  const Card card = MakeCard(dir.File("v.img"));
  ASSERT_EQ(link(card.path.c_str(), dir.File("hard.img").c_str()), 0);
  ASSERT_EQ(symlink(card.path.c_str(), dir.File("soft.png").c_str()), 0);
  for (const std::string& out : {card.path, dir.File("hard.img"), dir.File("soft.png")}) {
    const auto run = RunCli(PreviewArgs(card, card.path) + " --out " + out, true);
    EXPECT_EQ(run.status, 1) << out;
    EXPECT_NE(run.out.find("is the source being recovered from; it is never written to"),
              std::string::npos)
        << run.out;
  }
  EXPECT_EQ(ReadFile(card.path), card.bytes);
  // Beside the image, and over an earlier picture, is fine.
  ASSERT_TRUE(WriteFile(dir.File("old.png"), {1, 2, 3}));
  EXPECT_EQ(RunCli(PreviewArgs(card, card.path) + " --out " + dir.File("old.png")).status, 0);
  EXPECT_GT(ReadFile(dir.File("old.png")).size(), 100u);
  EXPECT_EQ(ReadFile(card.path), card.bytes);
}

TEST(CliOutputSafety, PreviewNeverWritesToADeviceOrOntoTheDeviceRead) {
  TempDir dir;
  const Card card = MakeCard(dir.File("v.img"));
  pictavo::testing::LoopDevice loop(MediumWithPhotos());
  if (!loop.ok()) GTEST_SKIP() << loop.skip_reason();
  const std::vector<uint8_t> device_bytes = ReadFile(loop.backing_file());
  auto run = RunCli(PreviewArgs(card, card.path) + " --out " + loop.disk(), true);
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.out.find(loop.disk() + " is a block device"), std::string::npos) << run.out;
  EXPECT_EQ(ReadFile(loop.backing_file()), device_bytes);

  const std::string mounted = loop.Mount();
  if (mounted.empty()) GTEST_SKIP() << "cannot mount the loop device's partition here";
  run = RunCli(PreviewArgs(card, loop.disk()) + " --out " + mounted + "/p.png", true);
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.out.find("lies on the medium being recovered from"), std::string::npos) << run.out;
  EXPECT_FALSE(std::filesystem::exists(mounted + "/p.png"));
}

TEST(CliOutputSafety, ScanSnapshotBesideTheImageNeedsNoOptionAndNeverReplacesAFile) {
  TempDir dir;
  const Card card = MakeCard(dir.File("card.img"));
  const std::string snapshot = dir.File("scan.dat");
  auto run = RunCli("scan --format tsv --snapshot " + snapshot + " " + card.path, true);
  ASSERT_EQ(run.status, 0) << run.out;
  ASSERT_TRUE(pictavo::CheckSnapshotFile(snapshot));
  const std::vector<uint8_t> first = ReadFile(snapshot);

  ASSERT_TRUE(WriteFile(dir.File("photo.jpeg"), {0xFF, 0xD8, 1}));
  struct Case {
    std::string path;
    std::string options;
    std::string says;
  };
  const Case cases[] = {
      {snapshot, "", "already exists. Choose another name, or add --overwrite"},
      {dir.File("photo.jpeg"), "", "already exists"},
      {dir.File("photo.jpeg"), "--overwrite ", "is not a recovery snapshot"},
      {card.path, "", "is the source being recovered from"},
      {card.path, "--overwrite ", "is the source being recovered from"},
      {dir.path(), "--overwrite ", "is a folder"},
  };
  for (const Case& c : cases) {
    run = RunCli("scan --format tsv " + c.options + "--snapshot " + c.path + " " + card.path, true);
    EXPECT_EQ(run.status, 1) << c.path;
    EXPECT_NE(run.out.find(c.says), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("Nothing was scanned."), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("type\text"), std::string::npos) << "nothing was scanned";
  }
  EXPECT_EQ(ReadFile(card.path), card.bytes);
  EXPECT_EQ(ReadFile(dir.File("photo.jpeg")), (std::vector<uint8_t>{0xFF, 0xD8, 1}));
  EXPECT_EQ(ReadFile(snapshot), first);

  // An earlier snapshot is replaced on request: of another source now.
  ASSERT_TRUE(WriteFile(dir.File("other.img"), card.bytes));
  run = RunCli("scan --overwrite --snapshot " + snapshot + " " + dir.File("other.img"), true);
  EXPECT_EQ(run.status, 0) << run.out;
  pictavo::RecoverySnapshot read;
  ASSERT_TRUE(pictavo::ReadSnapshot(snapshot, &read).ok);
  EXPECT_EQ(read.source_name, dir.File("other.img"));
  EXPECT_EQ(RunCli("scan --overwrite " + card.path).status, 2);
}

TEST(CliOutputSafety, ScanSnapshotNeverReplacesADeviceNorGoesOnTheDeviceScanned) {
  TempDir dir;
  pictavo::testing::LoopDevice loop(MediumWithPhotos());
  if (!loop.ok()) GTEST_SKIP() << loop.skip_reason();
  const Card card = MakeCard(dir.File("card.img"));
  auto run = RunCli("scan --overwrite --snapshot " + loop.disk() + " " + card.path, true);
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.out.find("is a block device"), std::string::npos) << run.out;
  EXPECT_TRUE(IsBlockDevice(loop.disk()));

  const std::string mounted = loop.Mount();
  if (mounted.empty()) GTEST_SKIP() << "cannot mount the loop device's partition here";
  run =
      RunCli("scan --allow-same-filesystem --snapshot " + mounted + "/s.dat " + loop.disk(), true);
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.out.find("You have selected the same drive"), std::string::npos) << run.out;
  EXPECT_FALSE(std::filesystem::exists(mounted + "/s.dat"));
}

TEST(CliOutputSafety, ImageCreateRefusesTheMediumItImagesThroughAnyLoopDevice) {
  pictavo::testing::LoopDevice loop(MediumWithPhotos());
  if (!loop.ok()) GTEST_SKIP() << loop.skip_reason();
  const std::string mounted = loop.Mount();
  if (mounted.empty()) GTEST_SKIP() << "cannot mount the loop device's partition here";
  auto run = RunCli("image create " + loop.disk() + " " + mounted + "/disk.img", true);
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.out.find("You have selected the same drive"), std::string::npos) << run.out;
  EXPECT_FALSE(std::filesystem::exists(mounted + "/disk.img"));

  const auto second = Shell("losetup -f --show " + loop.backing_file() + " 2>/dev/null");
  std::string device = second.out;
  while (!device.empty() && device.back() == '\n') device.pop_back();
  if (device.empty()) GTEST_SKIP() << "cannot attach a second loop device";
  run = RunCli("image create " + device + " " + mounted + "/disk.img", true);
  std::system(("losetup -d " + device).c_str());
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.out.find("You have selected the same drive"), std::string::npos) << run.out;
  EXPECT_FALSE(std::filesystem::exists(mounted + "/disk.img"));
}

TEST(CliOutputSafety, RecoverToAFolderThatCannotBeWrittenFailsBeforeScanning) {
  TempDir dir, elsewhere;
  const Card card = MakeCard(dir.File("card.img"));
  ASSERT_TRUE(WriteFile(elsewhere.File("file"), {1}));
  auto run = RunCli(
      "recover --allow-same-filesystem " + card.path + " --to " + elsewhere.File("file/x"), true);
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.out.find("is a file, not a folder. Nothing was scanned."), std::string::npos)
      << run.out;
  if (geteuid() != 0) GTEST_SKIP() << "needs root to mount a read-only tmpfs";
  const std::string mounted = elsewhere.File("ro");
  std::filesystem::create_directory(mounted);
  if (std::system(("mount -t tmpfs -o ro,size=1m tmpfs " + mounted + " 2>/dev/null").c_str()) !=
      0) {
    GTEST_SKIP() << "cannot mount a tmpfs here";
  }
  run = RunCli("recover " + card.path + " --to " + mounted + "/out", true);
  std::system(("umount " + mounted).c_str());
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.out.find("Read-only file system. Nothing was scanned."), std::string::npos)
      << run.out;
  EXPECT_EQ(run.out.find("found"), std::string::npos) << run.out;
}

TEST(CliOutputSafety, RecoverClearsWhatACrashedRunLeftAndLeavesNoTemporaryFiles) {
  TempDir dir;
  const Card card = MakeCard(dir.File("card.img"));
  const std::string out = dir.File("out");
  std::filesystem::create_directory(out);
  ASSERT_TRUE(WriteFile(out + "/.pictavo-4194303-7.File0.jpeg.part", {0}));
  const auto run = RunCli("recover --allow-same-filesystem " + card.path + " --to " + out);
  ASSERT_EQ(run.status, 0) << run.out;
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(out)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"File0.jpeg", "File1.jpeg"}));
  EXPECT_EQ(ReadFile(out + "/File0.jpeg"),
            std::vector<uint8_t>(card.bytes.begin() + card.photo_offset,
                                 card.bytes.begin() + card.photo_offset + card.photo_length));
  EXPECT_NE(run.out.find("1 unfinished temporary file left by an earlier run was removed."),
            std::string::npos)
      << run.out;
  EXPECT_EQ(ReadFile(card.path), card.bytes);
}

TEST(CliOutputSafety, ScanRecoverAndPreviewLeaveTheSourceUnchanged) {
  TempDir dir, out;
  const Card card = MakeCard(dir.File("card.img"));
  struct stat before {};
  ASSERT_EQ(stat(card.path.c_str(), &before), 0);
  EXPECT_EQ(RunCli("scan --check --snapshot " + out.File("s.dat") + " " + card.path).status, 0);
  EXPECT_EQ(
      RunCli("recover --allow-same-filesystem " + card.path + " --to " + out.File("files")).status,
      0);
  EXPECT_EQ(RunCli("recover --allow-same-filesystem --snapshot " + out.File("s.dat") + " --to " +
                   out.File("again"))
                .status,
            0);
  EXPECT_EQ(RunCli(PreviewArgs(card, card.path) + " --out " + out.File("p.png")).status, 0);
  EXPECT_EQ(ReadFile(card.path), card.bytes);
  struct stat after {};
  ASSERT_EQ(stat(card.path.c_str(), &after), 0);
  EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
  EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
}

TEST(CliOutputSafety, AFailedWriteOfTheResultsIsAFailure) {
  TempDir dir;
  const Card card = MakeCard(dir.File("card.img"));
  const auto run =
      Shell(std::string(PICTAVO_CLI_PATH) + " scan --format tsv " + card.path + " 2>&1 >/dev/full");
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.out.find("pictavo-cli: cannot write to standard output: No space left on device"),
            std::string::npos)
      << run.out;
  EXPECT_EQ(Shell(std::string(PICTAVO_CLI_PATH) + " snapshot --help >/dev/full 2>/dev/null").status,
            1);
}

TEST(CliOutputSafety, SourcesThatAreNoMediumAreRefusedWithWhatTheyAre) {
  TempDir dir;
  ASSERT_EQ(mkfifo(dir.File("pipe").c_str(), 0600), 0);
  auto run = RunCli("scan " + dir.File("pipe"), true);
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.out.find(dir.File("pipe") +
                         " is a named pipe (FIFO), not a disk, a partition or a disk image file."),
            std::string::npos)
      << run.out;
  run = RunCli("recover /dev/zero --to " + dir.File("out"), true);
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.out.find("/dev/zero is a character device"), std::string::npos) << run.out;
  run = RunCli("image create " + dir.File("pipe") + " " + dir.File("x.img"), true);
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.out.find("is a named pipe (FIFO)"), std::string::npos) << run.out;
  EXPECT_FALSE(std::filesystem::exists(dir.File("x.img")));
}

TEST(CliOutputSafety, ASnapshotCutAtARecordBoundaryIsReportedIncomplete) {
  TempDir dir;
  const Card card = MakeCard(dir.File("card.img"));
  ASSERT_EQ(RunCli("scan --snapshot " + dir.File("s.dat") + " " + card.path).status, 0);
  auto bytes = ReadFile(dir.File("s.dat"));
  // The spare record and the second find go.
  bytes.resize(bytes.size() - 2 * pictavo::kSnapshotRecordBytes);
  ASSERT_TRUE(WriteFile(dir.File("cut.dat"), bytes));
  const std::string warning =
      "warning: This recovery snapshot looks incomplete: it counts 2 found files but holds the "
      "records of only 1.";
  auto run = RunCli("snapshot show --format tsv " + dir.File("cut.dat"), true);
  EXPECT_EQ(run.status, 0);
  EXPECT_NE(run.out.find(warning), std::string::npos) << run.out;
  run = RunCli("recover --snapshot " + dir.File("cut.dat") + " --to " + dir.File("out"), true);
  EXPECT_NE(run.out.find(warning), std::string::npos) << run.out;
  run = RunCli("snapshot show --format tsv " + dir.File("s.dat"), true);
  EXPECT_EQ(run.out.find("warning"), std::string::npos) << run.out;
}

TEST(CliOutputSafety, TextsFromASnapshotArePrintedWithControlCharactersEscaped) {
  TempDir dir;
  pictavo::RecoverySnapshot snapshot;
  snapshot.source_name = dir.File("gone\x1b[2J.img");
  snapshot.source_label =
      "Card\x1b]0;owned\x07 \xc2\x9b"
      "31m";
  snapshot.results.records = {{pictavo::kTypeJpeg, 0, 100, 0}, {}};
  snapshot.results.found_count = 1;
  ASSERT_TRUE(pictavo::WriteSnapshot(dir.File("evil.dat"), snapshot).ok);
  auto run = RunCli("snapshot show --format table " + dir.File("evil.dat"), true);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out.find('\x1b'), std::string::npos) << run.out;
  EXPECT_EQ(run.out.find('\x07'), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("\"Card\\x1b]0;owned\\x07 \\xc2\\x9b31m\""), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("gone\\x1b[2J.img"), std::string::npos) << run.out;
  run = RunCli("recover --snapshot " + dir.File("evil.dat") + " --to " + dir.File("out"), true);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out.find('\x1b'), std::string::npos) << run.out;
  run = RunCli("image check " + dir.File("evil.dat"), true);
  EXPECT_EQ(run.out.find('\x1b'), std::string::npos) << run.out;
}

}  // namespace
