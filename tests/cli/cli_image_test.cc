#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "samples/image_builder.h"
#include "samples/jpeg_sample.h"
#include "support/cli_run.h"
#include "support/loop_device.h"

namespace {

using pictavo::samples::EncodeJpeg;
using pictavo::samples::ImageBuilder;
using pictavo::samples::ReadFile;
using pictavo::samples::TempDir;
using pictavo::testing::RunCli;

// A medium with photos from `first_sector` on, `size` bytes in all.
std::vector<uint8_t> MediumWithPhotos(uint32_t first_sector, size_t size) {
  ImageBuilder builder(512, 21);
  builder.Gap(first_sector, ImageBuilder::Fill::kZeros);
  for (uint32_t seed = 1; seed <= 3; ++seed) {
    builder.Place(
        EncodeJpeg({.width = 60 + 20 * static_cast<int>(seed), .height = 50, .seed = seed}));
    builder.Gap(seed);
  }
  std::vector<uint8_t> bytes = builder.bytes();
  bytes.resize(std::max(bytes.size(), size), 0);
  return bytes;
}

TEST(CliImage, CreateThenCheckThenScanLikeTheSource) {
  TempDir dir;
  ASSERT_TRUE(pictavo::samples::WriteFile(dir.File("dump.bin"), MediumWithPhotos(10, 300000)));
  auto run = RunCli("image create " + dir.File("dump.bin") + " " + dir.File("card.img"), true);
  ASSERT_EQ(run.status, 0) << run.out;
  EXPECT_NE(run.out.find("Image file created successfully."), std::string::npos) << run.out;
  EXPECT_EQ(ReadFile(dir.File("card.img")).size(), 300000u + 32);

  run = RunCli("image check " + dir.File("card.img"));
  EXPECT_EQ(run.status, 0);
  EXPECT_NE(run.out.find("disk image, Image File (0.29 MB)"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("data: 300000 bytes, 512-byte sectors"), std::string::npos) << run.out;

  const auto from_dump = RunCli("scan --format tsv " + dir.File("dump.bin"));
  const auto from_image = RunCli("scan --format tsv " + dir.File("card.img"));
  EXPECT_EQ(from_image.out, from_dump.out);
  EXPECT_NE(from_image.out.find("\n10\tjpeg\t5120\t"), std::string::npos) << from_image.out;

  run = RunCli("image create " + dir.File("dump.bin") + " " + dir.File("card.img"), true);
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.out.find("Unable to create image file. File exists"), std::string::npos);
  run = RunCli("image check " + dir.File("dump.bin"), true);
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.out.find("Not a valid image file."), std::string::npos) << run.out;
  ASSERT_EQ(std::rename(dir.File("dump.bin").c_str(), dir.File("dump.dat").c_str()), 0);
  run = RunCli("image check " + dir.File("dump.dat"), true);
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.out.find("Not a valid Save Recovery file."), std::string::npos) << run.out;
  run = RunCli("image create " + dir.File("nothing.bin") + " " + dir.File("x.img"), true);
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.out.find("could not be opened. No such file or directory"), std::string::npos)
      << run.out;
  EXPECT_EQ(RunCli("image create onlyone").status, 2);
}

TEST(CliImage, CheckAcceptsSnapshotsToo) {
  TempDir dir;
  ASSERT_TRUE(pictavo::samples::WriteFile(dir.File("dump.bin"), MediumWithPhotos(4, 100000)));
  ASSERT_EQ(RunCli("scan --allow-same-filesystem --snapshot " + dir.File("s.dat") + " " +
                   dir.File("dump.bin"))
                .status,
            0);
  const auto run = RunCli("image check " + dir.File("s.dat"));
  EXPECT_EQ(run.status, 0);
  EXPECT_NE(run.out.find("recovery snapshot of " + dir.File("dump.bin") + " (\"" +
                         dir.File("dump.bin") + "\"), 3 found files"),
            std::string::npos)
      << run.out;
}

TEST(CliImage, AnImageOfALoopDeviceScansLikeTheDevice) {
  // Photos from 2 MiB on: past the FAT structures that mkfs writes at the partition's start.
  pictavo::testing::LoopDevice loop(MediumWithPhotos(4096, 8 << 20));
  if (!loop.ok()) GTEST_SKIP() << loop.skip_reason();
  TempDir dir;
  const auto run = RunCli("image create " + loop.disk() + " " + dir.File("loop.img"), true);
  ASSERT_EQ(run.status, 0) << run.out;
  EXPECT_EQ(ReadFile(dir.File("loop.img")).size(), (8u << 20) + 32);
  const auto from_device = RunCli("scan --format tsv " + loop.disk());
  const auto from_image = RunCli("scan --format tsv " + dir.File("loop.img"));
  EXPECT_EQ(from_device.status, 0);
  EXPECT_EQ(from_image.out, from_device.out);
  EXPECT_NE(from_image.out.find("10\tjpeg\t2097152\t"), std::string::npos) << from_image.out;
}

}  // namespace

namespace {

TEST(CliImage, CtrlCCancelsAndDeletesThePartialImage) {
  TempDir dir;
  const std::string source = dir.File("big.bin");
  // Sparse: costs no disk space to make, but takes a while to copy.
  std::ofstream(source).close();
  ASSERT_EQ(truncate(source.c_str(), off_t{8} << 30), 0);
  const std::string image = dir.File("big.img");
  std::string cli = PICTAVO_CLI_PATH;
  char* argv[] = {cli.data(),
                  const_cast<char*>("image"),
                  const_cast<char*>("create"),
                  const_cast<char*>(source.c_str()),
                  const_cast<char*>(image.c_str()),
                  nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  ASSERT_EQ(posix_spawn(&pid, cli.c_str(), &actions, nullptr, argv, environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  // Wait until the copy has begun, then interrupt it as Ctrl-C would.
  struct stat st {};
  for (int i = 0; i < 200 && (stat(image.c_str(), &st) != 0 || st.st_size == 0); ++i) {
    usleep(10000);
  }
  kill(pid, SIGINT);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 130);
  EXPECT_NE(stat(image.c_str(), &st), 0) << "the partial image is deleted";
}

}  // namespace

namespace {

pid_t SpawnCli(const std::vector<std::string>& args) {
  std::vector<std::string> all = {PICTAVO_CLI_PATH};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& arg : all) argv.push_back(arg.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  if (posix_spawn(&pid, all[0].c_str(), &actions, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

// Interrupted by Ctrl-C, then killed outright, then run to its end: the image is the medium with
// its trailer, and GNU ddrescue's tool reads the map as all rescued.
TEST(CliImage, AMappedRunSurvivesCtrlCAndSigkillAndResumes) {
  TempDir dir;
  const std::vector<uint8_t> medium = pictavo::samples::RandomBytes(48u << 20, 77);
  const std::string source = dir.File("card.bin");
  ASSERT_TRUE(pictavo::samples::WriteFile(source, medium));
  const std::string image = dir.File("card.img");
  const std::string map = dir.File("card.map");
  const std::vector<std::string> args = {"image", "create", source, image, "--map", map};
  for (const int signal : {SIGINT, SIGKILL}) {
    const pid_t pid = SpawnCli(args);
    ASSERT_GT(pid, 0);
    struct stat st {};
    for (int i = 0; i < 500 && stat(map.c_str(), &st) != 0; ++i) usleep(2000);
    usleep(static_cast<useconds_t>(20000 + rand() % 50000));
    kill(pid, signal);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    if (signal == SIGINT && WIFEXITED(status) && WEXITSTATUS(status) == 0) {
      GTEST_SKIP() << "the copy ended before it could be interrupted";
    }
    if (signal == SIGINT) {
      ASSERT_TRUE(WIFEXITED(status));
      EXPECT_EQ(WEXITSTATUS(status), 130);
    }
    EXPECT_EQ(stat(image.c_str(), &st), 0) << "the image is kept";
    EXPECT_EQ(stat(map.c_str(), &st), 0) << "the map is kept";
  }
  const auto run = RunCli("image create " + source + " " + image + " --map " + map, true);
  ASSERT_EQ(run.status, 0) << run.out;
  EXPECT_NE(run.out.find("Resuming imaging"), std::string::npos) << run.out;
  std::vector<uint8_t> bytes = ReadFile(image);
  ASSERT_EQ(bytes.size(), medium.size() + 32);
  EXPECT_TRUE(std::equal(medium.begin(), medium.end(), bytes.begin()));
  EXPECT_EQ(RunCli("image check " + image).status, 0);
  if (system("ddrescuelog --version > /dev/null 2>&1") == 0) {
    FILE* pipe = popen(("ddrescuelog -b 512 -l+ " + map + " | wc -l").c_str(), "r");
    ASSERT_TRUE(pipe);
    unsigned long long sectors = 0;
    EXPECT_EQ(fscanf(pipe, "%llu", &sectors), 1);
    pclose(pipe);
    EXPECT_EQ(sectors * 512, medium.size());
  }
}

TEST(CliImage, MapOptionsAreChecked) {
  TempDir dir;
  ASSERT_TRUE(pictavo::samples::WriteFile(dir.File("d.bin"), MediumWithPhotos(4, 100000)));
  const std::string both = dir.File("d.bin") + " " + dir.File("d.img");
  EXPECT_EQ(RunCli("image create " + both + " --retries 2").status, 2);
  EXPECT_EQ(RunCli("image create " + both + " --reverse").status, 2);
  EXPECT_EQ(RunCli("image create " + both + " --map " + dir.File("m") + " --retries x").status, 2);
  EXPECT_EQ(RunCli("image create " + both + " --map").status, 2);
  EXPECT_EQ(RunCli("image check " + dir.File("d.bin") + " --map " + dir.File("m")).status, 2);
  const auto run = RunCli(
      "image create " + both + " --map " + dir.File("d.map") + " --retries 1 --reverse", true);
  ASSERT_EQ(run.status, 0) << run.out;
  EXPECT_NE(run.out.find("100000 bytes rescued"), std::string::npos) << run.out;
  EXPECT_EQ(RunCli("image check " + dir.File("d.img")).status, 0);
}

}  // namespace
