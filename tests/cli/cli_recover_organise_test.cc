#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <set>
#include <string>

#include "results/date_taken.h"
#include "results/snapshot.h"
#include "samples/image_builder.h"
#include "samples/jpeg_sample.h"
#include "support/cli_run.h"
#include "support/exif_writer.h"

namespace {

using pictavo::samples::EncodeJpeg;
using pictavo::samples::ImageBuilder;
using pictavo::samples::ReadFile;
using pictavo::samples::TempDir;
using pictavo::testing::RunCli;
using pictavo::testing::WithExifDates;

// Every file under `folder`, as paths relative to it.
std::set<std::string> SavedFiles(const std::string& folder) {
  std::set<std::string> files;
  if (!std::filesystem::exists(folder)) return files;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
    if (entry.is_regular_file()) files.insert(std::filesystem::relative(entry.path(), folder));
  }
  return files;
}

struct Card {
  std::string path;
  std::vector<std::vector<uint8_t>> photos;
};

// Photos laid out with gaps between them, written as a disk image.
Card MakeCard(const TempDir& dir, const std::vector<std::vector<uint8_t>>& photos) {
  Card card{dir.File("card.img"), photos};
  ImageBuilder builder(512, 5);
  builder.Gap(4);
  for (const auto& photo : photos) {
    builder.Place(photo);
    builder.Gap(3);
  }
  EXPECT_TRUE(builder.WriteDiskImage(card.path));
  return card;
}

std::vector<uint8_t> Dated(const char* date, uint32_t seed, int width = 96, int height = 64) {
  return WithExifDates(EncodeJpeg({.width = width, .height = height, .seed = seed}),
                       {date, "", ""});
}

std::string Recover(const Card& card, const std::string& out, const std::string& options) {
  return "recover --allow-same-filesystem " + options + " " + card.path + " --to " + out;
}

TEST(CliRecoverOrganise, ByDateNamesPhotosAfterTheTimeTheyWereTaken) {
  TempDir dir;
  const Card card = MakeCard(dir, {Dated("2024:07:13 18:22:05", 1), Dated("2024:07:13 18:22:05", 2),
                                   EncodeJpeg({.seed = 3}), Dated("2023:01:02 03:04:05", 4)});
  const std::string out = dir.File("out");
  const auto run = RunCli(Recover(card, out, "--organise date"));
  ASSERT_EQ(run.status, 0) << run.out;
  EXPECT_EQ(run.out, "Saved 4 files to " + out +
                         ": 4 whole, 0 damaged, 0 failed.\n"
                         "1 file was saved under the next free name because its name was taken: "
                         "2024/2024-07-13/2024-07-13 18.22.05.jpeg as 2024/2024-07-13/2024-07-13 "
                         "18.22.05 (2).jpeg.\n");
  EXPECT_EQ(SavedFiles(out), (std::set<std::string>{"2024/2024-07-13/2024-07-13 18.22.05.jpeg",
                                                    "2024/2024-07-13/2024-07-13 18.22.05 (2).jpeg",
                                                    "undated/File2.jpeg",
                                                    "2023/2023-01-02/2023-01-02 03.04.05.jpeg"}));
  EXPECT_EQ(ReadFile(out + "/2024/2024-07-13/2024-07-13 18.22.05 (2).jpeg"), card.photos[1]);
  struct stat st {};
  ASSERT_EQ(stat((out + "/2023/2023-01-02/2023-01-02 03.04.05.jpeg").c_str(), &st), 0);
  EXPECT_EQ(st.st_mtime, pictavo::LocalTimeOf({2023, 1, 2, 3, 4, 5}));
}

TEST(CliRecoverOrganise, ByTypeAndDate) {
  TempDir dir;
  const Card card = MakeCard(dir, {Dated("2024:07:13 18:22:05", 1), EncodeJpeg({.seed = 3})});
  const std::string out = dir.File("out");
  ASSERT_EQ(RunCli(Recover(card, out, "--organise type,date")).status, 0);
  EXPECT_EQ(SavedFiles(out), (std::set<std::string>{"jpeg/2024/2024-07-13/2024-07-13 18.22.05.jpeg",
                                                    "jpeg/undated/File1.jpeg"}));
  const std::string by_type = dir.File("by_type");
  ASSERT_EQ(RunCli(Recover(card, by_type, "--organise type")).status, 0);
  EXPECT_EQ(SavedFiles(by_type), (std::set<std::string>{"jpeg/File0.jpeg", "jpeg/File1.jpeg"}));
}

TEST(CliRecoverOrganise, MinSizeLeavesSmallFilesOutAndKeepsTheOthersNumbers) {
  TempDir dir;
  const auto small = EncodeJpeg({.width = 16, .height = 16, .seed = 1});
  const auto large = EncodeJpeg({.width = 400, .height = 300, .seed = 2});
  ASSERT_LT(small.size(), 2048u);
  ASSERT_GT(large.size(), 2048u);
  const Card card = MakeCard(dir, {small, large});
  const std::string out = dir.File("out");
  const auto run = RunCli(Recover(card, out, "--min-size 2K"), true);
  ASSERT_EQ(run.status, 0) << run.out;
  EXPECT_NE(run.out.find("pictavo-cli: left out 1 file: 1 smaller than 2048 bytes\n"),
            std::string::npos)
      << run.out;
  EXPECT_EQ(SavedFiles(out), (std::set<std::string>{"File1.jpeg"}));
}

TEST(CliRecoverOrganise, MinPixelsHidesThumbnailsButNotPortraits) {
  TempDir dir;
  const Card card = MakeCard(dir, {EncodeJpeg({.width = 160, .height = 120, .seed = 1}),
                                   EncodeJpeg({.width = 240, .height = 320, .seed = 2}),
                                   EncodeJpeg({.width = 640, .height = 480, .seed = 3}),
                                   EncodeJpeg({.width = 320, .height = 200, .seed = 4})});
  const std::string out = dir.File("out");
  const auto run = RunCli(Recover(card, out, "--min-pixels 320x240"), true);
  ASSERT_EQ(run.status, 0) << run.out;
  EXPECT_NE(run.out.find("left out 2 files: 2 smaller than 320x240 pixels"), std::string::npos)
      << run.out;
  EXPECT_EQ(SavedFiles(out), (std::set<std::string>{"File1.jpeg", "File2.jpeg"}));
  const std::string count = dir.File("count");
  ASSERT_EQ(RunCli(Recover(card, count, "--min-pixels 64000")).status, 0);
  EXPECT_EQ(SavedFiles(count), (std::set<std::string>{"File1.jpeg", "File2.jpeg", "File3.jpeg"}));
}

TEST(CliRecoverOrganise, UniqueSavesRepeatedContentOnce) {
  TempDir dir;
  const auto photo = EncodeJpeg({.width = 120, .height = 90, .seed = 7});
  const Card card = MakeCard(dir, {photo, EncodeJpeg({.seed = 8}), photo});
  const std::string out = dir.File("out");
  const auto run = RunCli(Recover(card, out, "--unique"), true);
  ASSERT_EQ(run.status, 0) << run.out;
  EXPECT_NE(run.out.find("left out 1 file: 1 repeating the content of another"), std::string::npos);
  EXPECT_EQ(SavedFiles(out), (std::set<std::string>{"File0.jpeg", "File1.jpeg"}));
  const std::string all = dir.File("all");
  ASSERT_EQ(RunCli(Recover(card, all, "")).status, 0);
  EXPECT_EQ(SavedFiles(all).size(), 3u);
}

TEST(CliRecoverOrganise, SkipFailedLeavesOutWhatDoesNotDecode) {
  TempDir dir;
  const auto photo = EncodeJpeg({.seed = 7});
  const Card card = MakeCard(dir, {photo});
  // A snapshot that lists the photo and a stretch of filler as a second JPEG.
  pictavo::RecoverySnapshot snapshot;
  snapshot.source_name = card.path;
  snapshot.source_size = std::filesystem::file_size(card.path) - 32;
  const uint64_t photo_offset = 4 * 512;
  snapshot.results.records = {
      {pictavo::kTypeJpeg, photo_offset, photo.size(), 1}, {pictavo::kTypeJpeg, 512, 1024, 1}, {}};
  snapshot.results.found_count = 2;
  snapshot.results.tallies[pictavo::kTypeJpeg] = {1, 2, photo.size() + 1024};
  const std::string snapshot_path = dir.File("scan.dat");
  ASSERT_TRUE(pictavo::WriteSnapshot(snapshot_path, snapshot).ok);
  const std::string out = dir.File("out");
  const auto run = RunCli(
      "recover --snapshot " + snapshot_path + " --skip-failed --allow-same-filesystem --to " + out,
      true);
  ASSERT_EQ(run.status, 0) << run.out;
  EXPECT_NE(run.out.find("left out 1 file: 1 that do not decode"), std::string::npos) << run.out;
  EXPECT_EQ(SavedFiles(out), (std::set<std::string>{"File0.jpeg"}));
  EXPECT_EQ(ReadFile(out + "/File0.jpeg"), photo);
}

TEST(CliRecoverOrganise, WrongValuesAreRefused) {
  TempDir dir;
  const Card card = MakeCard(dir, {EncodeJpeg({})});
  const std::string out = dir.File("out");
  struct Row {
    const char* options;
    const char* message;
  };
  for (const Row& row : {Row{"--organise month", "--organise takes type, date or type,date"},
                         Row{"--organise type,type", "--organise takes"},
                         Row{"--min-size 2X", "--min-size takes a byte count"},
                         Row{"--min-size 99999999999999999999", "--min-size takes"},
                         Row{"--min-pixels 320by240", "--min-pixels takes WIDTHxHEIGHT"},
                         Row{"--min-pixels 0", "--min-pixels takes"},
                         Row{"--by-name --unique", "apply to carved files, not to --by-name"}}) {
    const auto run = RunCli(Recover(card, out, row.options), true);
    EXPECT_EQ(run.status, 2) << row.options;
    EXPECT_NE(run.out.find(row.message), std::string::npos) << row.options << ": " << run.out;
  }
  EXPECT_FALSE(std::filesystem::exists(out));
}

}  // namespace
