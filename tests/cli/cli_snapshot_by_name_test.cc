#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "samples/image_builder.h"
#include "support/cli_run.h"
#include "support/fs_images.h"

namespace {

using pictavo::samples::ReadFile;
using pictavo::samples::TempDir;
using pictavo::samples::WriteFile;
using pictavo::testing::MakeFatImage;
using pictavo::testing::RunCli;
using pictavo::testing::SamplePhotos;
using pictavo::testing::TestFile;

int64_t ModifiedTime(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? st.st_mtim.tv_sec : -1;
}

bool Exists(const std::string& path) { return std::filesystem::exists(path); }

// A FAT32 card with three photos, the second deleted, and a snapshot of it made with --names.
class CliSnapshotByName : public ::testing::Test {
 protected:
  void SetUp() override {
    photos_ = SamplePhotos("DCIM/100TEST", 3);
    image_ = dir_.File("card.img");
    const std::string why = MakeFatImage(image_, 36, photos_, {"DCIM/100TEST/IMG_0002.JPG"});
    if (!why.empty()) GTEST_SKIP() << why;
    snapshot_ = dir_.File("named.dat");
    const auto made = RunCli("scan --names --format tsv --snapshot " + snapshot_ + " " + image_);
    ASSERT_EQ(made.status, 0) << made.out;
  }
  std::string Recover(const std::string& options, const std::string& out) {
    return "recover --snapshot " + snapshot_ + " --by-name --allow-same-filesystem " + options +
           " --to " + out;
  }

  TempDir dir_;
  std::vector<TestFile> photos_;
  std::string image_, snapshot_;
};

TEST_F(CliSnapshotByName, SavesTheKeptFilesAsSavingFromTheSourceDoes) {
  const std::string from_snapshot = dir_.File("a"), from_source = dir_.File("b");
  const auto run = RunCli(Recover("", from_snapshot), true);
  ASSERT_EQ(run.status, 0) << run.out;
  EXPECT_NE(run.out.find("Saved 3 files to"), std::string::npos) << run.out;
  ASSERT_EQ(
      RunCli("recover " + image_ + " --by-name --allow-same-filesystem --to " + from_source).status,
      0);
  const struct {
    const char* path;
    size_t photo;
  } saved[] = {{"DCIM/100TEST/IMG_0001.JPG", 0},
               {"DCIM/100TEST/_MG_0002.JPG", 1},
               {"DCIM/100TEST/IMG_0003.JPG", 2}};
  for (const auto& file : saved) {
    const std::string path = from_snapshot + "/" + file.path;
    EXPECT_EQ(ReadFile(path), photos_[file.photo].bytes) << file.path;
    // The file keeps the modification time its file system gives it, as when saved from SOURCE.
    EXPECT_GT(ModifiedTime(path), 0) << file.path;
    EXPECT_EQ(ModifiedTime(path), ModifiedTime(from_source + "/" + file.path)) << file.path;
  }

  // A second run never overwrites: the names taken get " (2)".
  ASSERT_EQ(RunCli(Recover("--types jpeg", from_snapshot)).status, 0);
  EXPECT_EQ(ReadFile(from_snapshot + "/DCIM/100TEST/IMG_0001 (2).JPG"), photos_[0].bytes);
  EXPECT_EQ(ReadFile(from_snapshot + "/DCIM/100TEST/_MG_0002.JPG"), photos_[1].bytes);
}

TEST_F(CliSnapshotByName, DeletedOnlyAndTypesPickTheFiles) {
  const std::string out = dir_.File("deleted");
  ASSERT_EQ(RunCli(Recover("--deleted-only", out)).status, 0);
  EXPECT_EQ(ReadFile(out + "/DCIM/100TEST/_MG_0002.JPG"), photos_[1].bytes);
  EXPECT_FALSE(Exists(out + "/DCIM/100TEST/IMG_0001.JPG"));
  EXPECT_FALSE(Exists(out + "/DCIM/100TEST/IMG_0003.JPG"));

  const auto none = RunCli(Recover("--types png", dir_.File("png")));
  EXPECT_EQ(none.status, 0);
  EXPECT_NE(none.out.find("Nothing to save: no file with a name matches."), std::string::npos)
      << none.out;
  EXPECT_FALSE(Exists(dir_.File("png")));
}

TEST_F(CliSnapshotByName, TheDestinationRulesOfSavingByNameHold) {
  // Without --allow-same-filesystem the folder beside the image is refused, as for SOURCE.
  const auto run =
      RunCli("recover --snapshot " + snapshot_ + " --by-name --to " + dir_.File("x"), true);
  EXPECT_EQ(run.status, 1) << run.out;
  EXPECT_FALSE(Exists(dir_.File("x") + "/DCIM"));
}

TEST_F(CliSnapshotByName, ASnapshotWithoutFilesWithNamesSaysSo) {
  const std::string plain = dir_.File("plain.dat");
  ASSERT_EQ(RunCli("scan --format tsv --snapshot " + plain + " " + image_).status, 0);
  const auto run = RunCli(
      "recover --snapshot " + plain + " --by-name --allow-same-filesystem --to " + dir_.File("out"),
      true);
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.out.find("keeps no files with names"), std::string::npos) << run.out;
  EXPECT_FALSE(Exists(dir_.File("out")));
}

TEST_F(CliSnapshotByName, ContentWrittenOverSinceIsNotSaved) {
  // The deleted photo's first bytes are overwritten after the snapshot was made.
  std::vector<uint8_t> medium = ReadFile(image_);
  const auto listed = RunCli("snapshot show --named --format tsv " + snapshot_);
  const size_t line = listed.out.find("_MG_0002.JPG");
  ASSERT_NE(line, std::string::npos) << listed.out;
  const size_t tab = listed.out.rfind('\t', listed.out.find('\n', line));
  const uint64_t offset = std::stoull(listed.out.substr(tab + 1));
  ASSERT_LT(offset + 512, medium.size());
  std::fill(medium.begin() + offset, medium.begin() + offset + 512, 0);
  ASSERT_TRUE(WriteFile(image_, medium));

  const std::string out = dir_.File("out");
  const auto run = RunCli(Recover("", out), true);
  EXPECT_EQ(run.status, 0) << run.out;
  EXPECT_NE(run.out.find("1 of 3 files no longer start as when the snapshot was made"),
            std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("1 deleted file was overwritten and not saved by name"), std::string::npos)
      << run.out;
  EXPECT_FALSE(Exists(out + "/DCIM/100TEST/_MG_0002.JPG"));
  EXPECT_EQ(ReadFile(out + "/DCIM/100TEST/IMG_0003.JPG"), photos_[2].bytes);
}

TEST_F(CliSnapshotByName, AnotherMediumOfTheSameSizeIsRefused) {
  // The card is formatted again and filled with other files: same size, and where the photos
  // were lies something else.
  ASSERT_TRUE(std::filesystem::remove(image_));
  std::vector<TestFile> files = {{"DATA.BIN", pictavo::samples::RandomBytes(2 << 20, 9)}};
  for (TestFile& photo : SamplePhotos("DCIM/100TEST", 3, 40)) files.push_back(std::move(photo));
  const std::string why = MakeFatImage(image_, 36, files, {});
  ASSERT_TRUE(why.empty()) << why;
  const std::string out = dir_.File("out");
  const auto run = RunCli(Recover("", out), true);
  EXPECT_EQ(run.status, 1) << run.out;
  EXPECT_NE(run.out.find("does not hold the files the snapshot lists"), std::string::npos)
      << run.out;
  EXPECT_FALSE(Exists(out + "/DCIM"));
}

TEST(CliSnapshotByNameArguments, WrongUseExitsWithTwo) {
  const struct {
    const char* arguments;
  } cases[] = {
      {"recover --snapshot /tmp/none.dat --by-name --select 1 --to /tmp/x"},
      {"recover --snapshot /tmp/none.dat --deleted-only --to /tmp/x"},
      {"recover --snapshot /tmp/none.dat --types jpeg --to /tmp/x"},
      {"recover --snapshot /tmp/none.dat --by-name --sector-size 512 --to /tmp/x"},
      {"recover --snapshot /tmp/none.dat --by-name --unique --to /tmp/x"},
  };
  for (const auto& c : cases) EXPECT_EQ(RunCli(c.arguments).status, 2) << c.arguments;
}

}  // namespace
