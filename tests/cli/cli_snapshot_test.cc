#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "samples/image_builder.h"
#include "samples/jpeg_sample.h"
#include "support/cli_run.h"

namespace {

using pictavo::samples::EncodeJpeg;
using pictavo::samples::ImageBuilder;
using pictavo::samples::ReadFile;
using pictavo::samples::TempDir;
using pictavo::samples::WriteFile;
using pictavo::testing::RunCli;

std::string CardWithTwoPhotos(const TempDir& dir) {
  ImageBuilder builder(512, 9);
  builder.Gap(4);
  builder.Place(EncodeJpeg({.width = 100, .height = 80, .seed = 1}));
  builder.Gap(3);
  builder.Place(EncodeJpeg({.width = 64, .height = 64, .seed = 2}));
  builder.Gap(3);
  const std::string path = dir.File("card.img");
  EXPECT_TRUE(builder.WriteDiskImage(path));
  return path;
}

TEST(CliSnapshot, ScanSavesWhatItPrintsAndShowPrintsItBack) {
  TempDir dir;
  const std::string card = CardWithTwoPhotos(dir);
  const std::string snapshot = dir.File("scan.dat");

  // A snapshot holds no file contents, so it may go beside the image it lists.
  const auto scan = RunCli("scan --format tsv --snapshot " + snapshot + " " + card);
  ASSERT_EQ(scan.status, 0);
  const auto shown = RunCli("snapshot show --format tsv " + snapshot);
  ASSERT_EQ(shown.status, 0);
  // The same lines with the names files are saved under.
  std::string expected;
  size_t line_start = 0, line = 0;
  while (line_start < scan.out.size()) {
    const size_t end = scan.out.find('\n', line_start);
    expected += scan.out.substr(line_start, end - line_start) +
                (line == 0 ? "\tname" : "\tFile" + std::to_string(line - 1) + ".jpeg") + "\n";
    line_start = end + 1;
    ++line;
  }
  EXPECT_EQ(line, 3u);
  EXPECT_EQ(shown.out, expected);

  const auto table = RunCli("snapshot show --format table " + snapshot);
  EXPECT_NE(table.out.find("Image File (0."), std::string::npos) << table.out;
  EXPECT_NE(table.out.find("Found 2 files."), std::string::npos) << table.out;
  const auto json = RunCli("snapshot show --format json " + snapshot);
  EXPECT_NE(json.out.find("\"source\": \"" + card + "\""), std::string::npos) << json.out;
}

TEST(CliSnapshot, ShowRefusesFilesThatAreNoSnapshotOrAreCutShort) {
  TempDir dir;
  const std::string card = CardWithTwoPhotos(dir);
  ASSERT_EQ(
      RunCli("scan --allow-same-filesystem --snapshot " + dir.File("s.dat") + " " + card).status,
      0);
  auto bytes = ReadFile(dir.File("s.dat"));
  bytes.resize(bytes.size() - 3);
  ASSERT_TRUE(WriteFile(dir.File("cut.dat"), bytes));
  auto run = RunCli("snapshot show " + dir.File("cut.dat"), true);
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.out.find("ends inside found-file record 3"), std::string::npos) << run.out;

  run = RunCli("snapshot show " + card, true);
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.out.find("Not a valid Save Recovery file."), std::string::npos) << run.out;
  EXPECT_EQ(RunCli("snapshot frob x").status, 2);
}

TEST(CliSnapshot, ANameTooLongForTheFormatIsRefusedBeforeScanning) {
  TempDir dir;
  const std::string card = CardWithTwoPhotos(dir);
  const std::string deep = dir.path() + "/" + std::string(120, 'd');
  std::filesystem::create_directory(deep);
  std::filesystem::copy_file(card, deep + "/card.img");
  const auto run = RunCli(
      "scan --allow-same-filesystem --snapshot " + dir.File("s.dat") + " " + deep + "/card.img",
      true);
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.out.find("too long"), std::string::npos) << run.out;
  EXPECT_EQ(run.out.find("type\text"), std::string::npos) << "nothing was scanned";
}

}  // namespace
