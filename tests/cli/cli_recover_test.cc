#include <gtest/gtest.h>
#include <sys/stat.h>

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

bool Exists(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0;
}

struct Card {
  std::string path;
  std::vector<std::vector<uint8_t>> photos;
};

Card MakeCard(const TempDir& dir) {
  Card card;
  ImageBuilder builder(512, 17);
  builder.Gap(6);
  for (uint32_t seed = 1; seed <= 3; ++seed) {
    card.photos.push_back(
        EncodeJpeg({.width = 40 + 30 * static_cast<int>(seed), .height = 40, .seed = seed}));
    builder.Place(card.photos.back());
    builder.Gap(2);
  }
  card.path = dir.File("card.img");
  EXPECT_TRUE(builder.WriteDiskImage(card.path));
  return card;
}

TEST(CliRecover, SavesEveryFindUnderItsListNameAndNeverOverwrites) {
  TempDir dir;
  const Card card = MakeCard(dir);
  const std::string out = dir.File("recovered");

  auto run = RunCli("recover " + card.path + " --to " + out, true);
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.out.find("You have selected the same drive from which you want to recover "
                         "photos.\nPlease select another location to avoid any loss of data."),
            std::string::npos)
      << run.out;
  EXPECT_FALSE(Exists(out)) << "a refused destination is not created";

  run = RunCli("recover --allow-same-filesystem " + card.path + " --to " + out, true);
  ASSERT_EQ(run.status, 0) << run.out;
  EXPECT_NE(run.out.find("warning: saving onto the file system that holds the image"),
            std::string::npos);
  EXPECT_NE(run.out.find("Saved 3 files to " + out + ": 3 whole, 0 damaged, 0 failed."),
            std::string::npos)
      << run.out;
  for (size_t i = 0; i < card.photos.size(); ++i) {
    EXPECT_EQ(ReadFile(out + "/File" + std::to_string(i) + ".jpeg"), card.photos[i]) << i;
  }

  run = RunCli("recover --allow-same-filesystem --types jpeg " + card.path + " --to " + out);
  EXPECT_EQ(run.status, 0);
  EXPECT_NE(run.out.find("3 files were saved under the next free name because their names were "
                         "taken: File0.jpeg as File0 (2).jpeg, File1.jpeg as File1 (2).jpeg"),
            std::string::npos)
      << run.out;
  EXPECT_EQ(ReadFile(out + "/File2 (2).jpeg"), card.photos[2]);
}

TEST(CliRecover, SavesTheSelectedFilesOfASnapshot) {
  TempDir dir;
  const Card card = MakeCard(dir);
  const std::string snapshot = dir.File("scan.dat");
  ASSERT_EQ(RunCli("scan --allow-same-filesystem --snapshot " + snapshot + " " + card.path).status,
            0);
  const std::string out = dir.File("picked");
  auto run = RunCli("recover --snapshot " + snapshot + " --select 2,File2.jpeg " +
                        "--allow-same-filesystem --to " + out,
                    true);
  ASSERT_EQ(run.status, 0) << run.out;
  EXPECT_FALSE(Exists(out + "/File0.jpeg"));
  EXPECT_EQ(ReadFile(out + "/File1.jpeg"), card.photos[1]);
  EXPECT_EQ(ReadFile(out + "/File2.jpeg"), card.photos[2]);

  run = RunCli("recover --snapshot " + snapshot + " --select File9.jpeg --to " + out, true);
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.out.find("'File9.jpeg' names no file of the snapshot"), std::string::npos);
  EXPECT_EQ(RunCli("recover --snapshot " + snapshot + " " + card.path + " --to " + out).status, 2);
  EXPECT_EQ(RunCli("recover " + card.path).status, 2);
  EXPECT_EQ(RunCli("recover --snapshot " + card.path + " --to " + out).status, 1);
}

TEST(CliRecover, ADeviceSourceRefusesItsOwnPartitionsEvenWhenAllowed) {
  pictavo::testing::LoopDevice loop(std::vector<uint8_t>(8 << 20));
  if (!loop.ok()) GTEST_SKIP() << loop.skip_reason();
  const std::string mounted = loop.Mount();
  if (mounted.empty()) GTEST_SKIP() << "cannot mount the loop device's partition here";
  const auto run =
      RunCli("recover --allow-same-filesystem " + loop.disk() + " --to " + mounted + "/out", true);
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.out.find("--allow-same-filesystem applies to image files only"), std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("You have selected the same drive"), std::string::npos) << run.out;
  EXPECT_FALSE(Exists(mounted + "/out"));
}

}  // namespace
