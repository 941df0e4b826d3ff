#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "samples/image_builder.h"
#include "samples/jpeg_sample.h"
#include "samples/media_samples.h"
#include "samples/modern_samples.h"
#include "support/cli_run.h"
#include "support/fault_fuse.h"

namespace {

using pictavo::samples::EncodeJpeg;
using pictavo::samples::ImageBuilder;
using pictavo::samples::TempDir;

using pictavo::testing::CliRun;
using pictavo::testing::RunCli;

TEST(CliScan, TsvListsEachFindInOrderAndNothingElse) {
  TempDir dir;
  ImageBuilder builder(512, 3);
  builder.Gap(4);
  const auto a = EncodeJpeg({.width = 100, .height = 80, .seed = 1});
  const auto b = EncodeJpeg({.width = 90, .height = 60, .progressive = true, .seed = 2});
  const uint64_t at_a = builder.Place(a);
  builder.Gap(3);
  const uint64_t at_b = builder.Place(b);
  builder.Gap(3);
  ASSERT_TRUE(builder.WriteDiskImage(dir.File("card.img")));

  const CliRun run = RunCli("scan --format tsv " + dir.File("card.img"));
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "type\text\toffset\tlength\n10\tjpeg\t" + std::to_string(at_a) + "\t" +
                         std::to_string(a.size()) + "\n10\tjpeg\t" + std::to_string(at_b) + "\t" +
                         std::to_string(b.size()) + "\n");

  const CliRun json = RunCli("scan --format=json --types jpg " + dir.File("card.img"));
  EXPECT_EQ(json.status, 0);
  EXPECT_NE(json.out.find("\"found_count\": 2"), std::string::npos);
  EXPECT_NE(json.out.find("\"sector_size\": 512"), std::string::npos);
}

TEST(CliScan, ModernTypesByNameAndAlias) {
  TempDir dir;
  const std::vector<uint8_t> heic = pictavo::samples::MakeIsoFile({});
  const std::vector<uint8_t> dng = pictavo::samples::MakeDng({});
  ImageBuilder builder(512, 4);
  builder.Gap(2);
  const uint64_t at_heic = builder.Place(heic);
  builder.Gap(2);
  const uint64_t at_dng = builder.Place(dng);
  builder.Gap(8);
  ASSERT_TRUE(builder.WriteDiskImage(dir.File("phone.img")));

  const CliRun run = RunCli("scan --format tsv --types heif,dng-other " + dir.File("phone.img"));
  EXPECT_EQ(run.status, 0) << run.out;
  EXPECT_EQ(run.out, "type\text\toffset\tlength\n26\theic\t" + std::to_string(at_heic) + "\t" +
                         std::to_string(heic.size()) + "\n34\tdng\t" + std::to_string(at_dng) +
                         "\t" + std::to_string(dng.size()) + "\n");
  // The classic types alone: the DNG is a TIFF, and the HEIC is at best QuickTime's short find.
  const CliRun classic = RunCli("scan --format tsv --types tiff,mov " + dir.File("phone.img"));
  EXPECT_NE(classic.out.find("\n20\ttiff\t" + std::to_string(at_dng) + "\t"), std::string::npos)
      << classic.out;
  EXPECT_EQ(classic.out.find("\n26\t"), std::string::npos) << classic.out;
}

TEST(CliScan, ErrorsNameTheSourceAndTheReason) {
  TempDir dir;
  CliRun run = RunCli("scan " + dir.File("nope.img"), true);
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.out.find("nope.img: No such file or directory"), std::string::npos) << run.out;

  run = RunCli("scan --types jpeg,bogus " + dir.File("nope.img"), true);
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.out.find("unknown file type 'bogus'; valid types: "), std::string::npos) << run.out;
  EXPECT_NE(run.out.find(",heic,avif,mp4,m4a,3gp,cr3,webp,ogg,dng-other"), std::string::npos)
      << run.out;

  pictavo::samples::WriteFile(dir.File("empty.bin"), {});
  run = RunCli("scan " + dir.File("empty.bin"), true);
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.out.find("empty"), std::string::npos) << run.out;

  run = RunCli("frobnicate", true);
  EXPECT_EQ(run.status, 2);
}

TEST(CliScan, HelpExplainsEveryOption) {
  const CliRun run = RunCli("scan --help");
  EXPECT_EQ(run.status, 0);
  for (const char* option : {"--types", "--sector-size", "--format"}) {
    EXPECT_NE(run.out.find(option), std::string::npos) << option;
  }
  EXPECT_EQ(RunCli("--help").status, 0);
}

}  // namespace

namespace {

// An MPEG-1 stream of sector-sized packs: each pack is a candidate of its own.
std::vector<uint8_t> SectorPackStream(uint32_t packs) {
  std::vector<uint8_t> out;
  for (uint32_t i = 0; i < packs; ++i) {
    pictavo::samples::Append(out, pictavo::samples::MpegPackHeader(i * 1000));
    pictavo::samples::Append(
        out, pictavo::samples::MpegPacket(0xE0, pictavo::samples::SeededBytes(512 - 18, i)));
  }
  pictavo::samples::AppendBe32(out, 0x000001B9);
  return out;
}

size_t Lines(const std::string& text) {
  return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
}

TEST(CliScan, ExactEndsMeasuresAStreamAsOneFile) {
  TempDir dir;
  ImageBuilder builder(512, 5);
  builder.Gap(4);
  const auto stream = SectorPackStream(20);
  const uint64_t at = builder.Place(stream);
  builder.Gap(8);
  ASSERT_TRUE(builder.WriteRaw(dir.File("card.bin")));

  const std::string one_find = "type\text\toffset\tlength\n25\tmpeg\t" + std::to_string(at) + "\t" +
                               std::to_string(stream.size()) + "\n";
  CliRun run = RunCli("scan --exact-ends --format tsv " + dir.File("card.bin"));
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, one_find);
  run = RunCli("scan --format tsv " + dir.File("card.bin"));
  EXPECT_EQ(Lines(run.out), 21u);
  // The environment switches the mode on as the option does.
  run = RunCli("scan --format tsv " + dir.File("card.bin") + "; PICTAVO_EXACT_ENDS=1 " +
               PICTAVO_CLI_PATH + " scan --format tsv " + dir.File("card.bin"));
  EXPECT_EQ(run.out.substr(run.out.size() - one_find.size()), one_find);
}

TEST(CliScan, ExactEndsAppliesToScansOnly) {
  TempDir dir;
  const CliRun run = RunCli(
      "recover --snapshot " + dir.File("s.pictavo") + " --exact-ends --to " + dir.File("out"),
      true);
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.out.find("--exact-ends applies to a scan"), std::string::npos) << run.out;
}

std::vector<uint8_t> ReadAll(const std::string& path) { return pictavo::samples::ReadFile(path); }

// Unreadable sectors (served by a FUSE file system that fails them with EIO): the scan finds
// every photo outside them, lists the unreadable areas in the summary and in json, and ends
// with exit status 3; neither the scan nor the recovery changes a byte of the source.
TEST(CliScan, UnreadableAreasAreListedAndEverythingElseIsScanned) {
  TempDir dir;
  ImageBuilder builder(512, 3);
  builder.Gap(8);
  std::vector<uint64_t> at;
  for (uint32_t i = 0; i < 6; ++i) {
    at.push_back(builder.Place(EncodeJpeg({.width = 64, .height = 48, .seed = i + 10})));
    builder.Gap(24);
  }
  ASSERT_TRUE(builder.WriteRaw(dir.File("card.bin")));
  const std::vector<uint8_t> before = ReadAll(dir.File("card.bin"));
  pictavo::testing::FaultFuse fuse(dir.File("card.bin"));
  if (!fuse.ok()) GTEST_SKIP() << fuse.skip_reason();
  // One page in the gap after the second photo: in the same 2 MiB chunk as all of them.
  const uint64_t bad = (at[2] - 4096) / 4096 * 4096;
  fuse.FailRange(bad, bad + 4096);

  CliRun run = RunCli("scan --format tsv " + fuse.path(), true);
  EXPECT_EQ(run.status, 3) << run.out;
  for (const uint64_t offset : at) {
    EXPECT_NE(run.out.find("\t" + std::to_string(offset) + "\t"), std::string::npos) << offset;
  }
  EXPECT_NE(run.out.find("1 area of " + fuse.path() + " (4096 bytes) could not be read"),
            std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("offset " + std::to_string(bad) + ", 4096 bytes"), std::string::npos)
      << run.out;

  run = RunCli("scan --format json " + fuse.path());
  EXPECT_EQ(run.status, 3);
  EXPECT_NE(run.out.find("\"unreadable\": [\n    {\"offset\": " + std::to_string(bad) +
                         ", \"length\": 4096}\n  ]"),
            std::string::npos)
      << run.out;

  run = RunCli("recover " + fuse.path() + " --to " + dir.File("out"), true);
  EXPECT_EQ(run.status, 0) << run.out;
  EXPECT_EQ(ReadAll(dir.File("card.bin")), before) << "the source is unchanged";
}

// Bytes beyond the end of the source are not data: a BMP whose header claims more than the raw
// dump holds is cut there when saved, and the check never calls it complete.
TEST(CliScan, AFileCutByTheEndOfTheSourceIsNeverWhole) {
  TempDir dir;
  std::vector<uint8_t> bytes(8192, 0);
  // A 64x64 24-bit BMP: 54-byte header, 12288 bytes of pixels, of which only part is present.
  const uint32_t file_size = 54 + 64 * 64 * 3;
  const uint8_t header[54] = {'B',
                              'M',
                              static_cast<uint8_t>(file_size),
                              static_cast<uint8_t>(file_size >> 8),
                              0,
                              0,
                              0,
                              0,
                              0,
                              0,
                              54,
                              0,
                              0,
                              0,
                              40,
                              0,
                              0,
                              0,
                              64,
                              0,
                              0,
                              0,
                              64,
                              0,
                              0,
                              0,
                              1,
                              0,
                              24,
                              0,
                              0,
                              0,
                              0,
                              0,
                              0,
                              0x30,
                              0,
                              0,
                              0x13,
                              0x0B,
                              0,
                              0,
                              0x13,
                              0x0B,
                              0,
                              0,
                              0,
                              0,
                              0,
                              0,
                              0,
                              0,
                              0,
                              0};
  std::copy(std::begin(header), std::end(header), bytes.begin() + 4096);
  for (size_t i = 4096 + 54; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 13);
  ASSERT_TRUE(pictavo::samples::WriteFile(dir.File("dump.bin"), bytes));
  CliRun run = RunCli("scan --check --format tsv --types bmp " + dir.File("dump.bin"));
  if (run.out.find("\tbmp\t4096\t") == std::string::npos) {
    GTEST_SKIP() << "the BMP recogniser does not take this header: " << run.out;
  }
  EXPECT_EQ(run.out.find("complete"), std::string::npos) << run.out;
  run = RunCli("recover --types bmp " + dir.File("dump.bin") + " --to " + dir.File("out") +
                   " --allow-same-filesystem",
               true);
  EXPECT_NE(run.out.find("File0.bmp is cut short: the source ends after 4096 of its"),
            std::string::npos)
      << run.out;
  EXPECT_EQ(ReadAll(dir.File("out/File0.bmp")).size(), 4096u);
}

}  // namespace
