#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <string>

#include "samples/image_builder.h"
#include "support/cli_run.h"
#include "support/fs_images.h"

namespace {

using pictavo::samples::ReadFile;
using pictavo::samples::TempDir;
using pictavo::testing::MakeFatImage;
using pictavo::testing::RunCli;
using pictavo::testing::SamplePhotos;
using pictavo::testing::TestFile;

class CliFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    photos_ = SamplePhotos("DCIM/100TEST", 3);
    image_ = dir_.File("card.img");
    const std::string why = MakeFatImage(image_, 36, photos_, {"DCIM/100TEST/IMG_0002.JPG"});
    if (!why.empty()) GTEST_SKIP() << why;
  }
  TempDir dir_;
  std::vector<TestFile> photos_;
  std::string image_;
};

TEST_F(CliFiles, TsvListsStateTypeSizePathTimeAndOffset) {
  const auto run = RunCli("files --format tsv " + image_);
  ASSERT_EQ(run.status, 0) << run.out;
  const std::string header = "state\ttype\tsize\tpath\tmodified\toffset\n";
  ASSERT_EQ(run.out.rfind(header, 0), 0u) << run.out;
  EXPECT_NE(run.out.find("live\tjpeg\t" + std::to_string(photos_[0].bytes.size()) +
                         "\tDCIM/100TEST/IMG_0001.JPG\t20"),
            std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("deleted, recoverable\tjpeg\t" + std::to_string(photos_[1].bytes.size()) +
                         "\tDCIM/100TEST/_MG_0002.JPG"),
            std::string::npos)
      << run.out;
  // The offset column points at the file's first byte on the medium.
  const size_t line = run.out.find("IMG_0003.JPG");
  const size_t tab = run.out.rfind('\t', run.out.find('\n', line));
  const uint64_t offset = std::stoull(run.out.substr(tab + 1));
  const std::vector<uint8_t> medium = ReadFile(image_);
  ASSERT_LT(offset + photos_[2].bytes.size(), medium.size());
  EXPECT_TRUE(
      std::equal(photos_[2].bytes.begin(), photos_[2].bytes.end(), medium.begin() + offset));

  const auto deleted = RunCli("files --format tsv --deleted-only " + image_);
  EXPECT_EQ(std::count(deleted.out.begin(), deleted.out.end(), '\n'), 2) << deleted.out;
  const auto json = RunCli("files --format json " + image_);
  EXPECT_NE(json.out.find("\"type\": \"FAT32\""), std::string::npos) << json.out;
  EXPECT_NE(json.out.find("\"state\": \"deleted, recoverable\""), std::string::npos);
}

TEST_F(CliFiles, RecoverByNameSavesUnderFoldersAndNeverOverwrites) {
  const std::string out = dir_.File("saved");
  auto run = RunCli("recover " + image_ + " --by-name --to " + out, true);
  EXPECT_EQ(run.status, 1) << "the image's own file system is refused: " << run.out;
  run = RunCli(
      "recover " + image_ + " --by-name --deleted-only --allow-same-filesystem --to " + out, true);
  ASSERT_EQ(run.status, 0) << run.out;
  EXPECT_NE(run.out.find("Saved 1 file to"), std::string::npos) << run.out;
  EXPECT_EQ(ReadFile(out + "/DCIM/100TEST/_MG_0002.JPG"), photos_[1].bytes);
  run = RunCli("recover " + image_ + " --by-name --types jpeg --allow-same-filesystem --to " + out,
               true);
  ASSERT_EQ(run.status, 0) << run.out;
  EXPECT_EQ(ReadFile(out + "/DCIM/100TEST/_MG_0002 (2).JPG"), photos_[1].bytes);
  EXPECT_EQ(ReadFile(out + "/DCIM/100TEST/IMG_0003.JPG"), photos_[2].bytes);
  run = RunCli("recover " + image_ + " --by-name --types png --allow-same-filesystem --to " + out);
  EXPECT_EQ(run.status, 0);
  EXPECT_NE(run.out.find("Nothing to save"), std::string::npos) << run.out;
}

TEST_F(CliFiles, ScanNamesShowsTheNamedFileAtAFindsFirstByte) {
  const auto plain = RunCli("scan --format tsv " + image_);
  const auto named = RunCli("scan --names --format tsv " + image_);
  ASSERT_EQ(named.status, 0) << named.out;
  EXPECT_EQ(named.out.rfind("type\text\toffset\tlength\tname\n", 0), 0u) << named.out;
  EXPECT_NE(named.out.find("\tDCIM/100TEST/IMG_0001.JPG\n"), std::string::npos) << named.out;
  EXPECT_NE(named.out.find("\tDCIM/100TEST/_MG_0002.JPG\n"), std::string::npos) << named.out;
  // The finds themselves are the scan's, in its order.
  EXPECT_EQ(std::count(plain.out.begin(), plain.out.end(), '\n'),
            std::count(named.out.begin(), named.out.end(), '\n'));
  EXPECT_EQ(RunCli("scan --names --check " + image_).status, 2);
}

TEST_F(CliFiles, RecoverNamesSavesCarvedFilesUnderTheirFileSystemNames) {
  const std::string out = dir_.File("named");
  auto run = RunCli("recover --names --types jpeg --organise type --allow-same-filesystem --to " +
                    out + " " + image_);
  ASSERT_EQ(run.status, 0) << run.out;
  for (const auto& [name, photo] :
       {std::pair{"IMG_0001.JPG", 0}, {"_MG_0002.JPG", 1}, {"IMG_0003.JPG", 2}}) {
    EXPECT_EQ(ReadFile(out + "/jpeg/" + name), photos_[photo].bytes) << name;
  }
  // A snapshot that keeps the files with names gives the same names.
  const std::string snapshot = dir_.File("named.dat");
  ASSERT_EQ(RunCli("scan --names --types jpeg --snapshot " + snapshot + " " + image_).status, 0);
  const std::string again = dir_.File("again");
  run = RunCli("recover --snapshot " + snapshot + " --names --allow-same-filesystem --to " + again);
  ASSERT_EQ(run.status, 0) << run.out;
  EXPECT_EQ(ReadFile(again + "/_MG_0002.JPG"), photos_[1].bytes);
  EXPECT_EQ(RunCli("recover --names --by-name --to " + again + " " + image_).status, 2);
}

TEST_F(CliFiles, ScanUnallocatedFindsOnlyWhatNoLiveFileHoldsAtItsOffsetOnTheSource) {
  const auto names = RunCli("scan --names --types jpeg --format tsv " + image_);
  ASSERT_EQ(names.status, 0) << names.out;
  const auto run = RunCli("scan --unallocated --types jpeg --format tsv " + image_, true);
  ASSERT_EQ(run.status, 0) << run.out;
  EXPECT_NE(run.out.find("2 live files occupy"), std::string::npos) << run.out;
  // Only the deleted photo is found, at the offset the full scan gives for it.
  const size_t line = names.out.find("\tDCIM/100TEST/_MG_0002.JPG");
  ASSERT_NE(line, std::string::npos) << names.out;
  const std::string deleted_row =
      names.out.substr(names.out.rfind('\n', line) + 1, line - names.out.rfind('\n', line) - 1);
  EXPECT_NE(run.out.find(deleted_row + "\n"), std::string::npos) << run.out << deleted_row;
  EXPECT_EQ(run.out.find("IMG_0001"), std::string::npos);
  const auto rows = RunCli("scan --unallocated --types jpeg --format tsv " + image_);
  EXPECT_EQ(std::count(rows.out.begin(), rows.out.end(), '\n'), 2) << rows.out;

  const std::string out = dir_.File("carved");
  const auto saved = RunCli("recover --unallocated --types jpeg --allow-same-filesystem " + image_ +
                            " --to " + out);
  ASSERT_EQ(saved.status, 0) << saved.out;
  EXPECT_EQ(ReadFile(out + "/File0.jpeg"), photos_[1].bytes);
  EXPECT_FALSE(std::ifstream(out + "/File1.jpeg").good());
}

TEST(CliFilesArguments, UnallocatedGoesWithAScanOnly) {
  EXPECT_EQ(RunCli("recover --unallocated --snapshot /tmp/none --to /tmp/x").status, 2);
  EXPECT_EQ(RunCli("recover --unallocated --by-name /dev/null --to /tmp/x").status, 2);
}

TEST(CliFilesArguments, UnallocatedOnAMediumWithoutAFileSystemCarvesItWhole) {
  TempDir dir;
  const std::string raw = dir.File("raw.img");
  ASSERT_TRUE(pictavo::samples::WriteFile(raw, pictavo::samples::RandomBytes(1 << 20, 4)));
  const auto plain = RunCli("scan --format tsv " + raw);
  const auto run = RunCli("scan --unallocated --format tsv " + raw, true);
  EXPECT_EQ(run.status, 0);
  EXPECT_NE(run.out.find("whole source is carved"), std::string::npos) << run.out;
  EXPECT_EQ(RunCli("scan --unallocated --format tsv " + raw).out, plain.out);
}

TEST_F(CliFiles, ScanNamesKeepsTheFilesWithNamesInTheSnapshot) {
  const std::string with = dir_.File("with.dat");
  const std::string without = dir_.File("without.dat");
  ASSERT_EQ(RunCli("scan --names --format tsv --snapshot " + with + " " + image_).status, 0);
  ASSERT_EQ(RunCli("scan --format tsv --snapshot " + without + " " + image_).status, 0);
  // Without names the classic layout is written as before; with them the versioned one.
  EXPECT_EQ(ReadFile(without).at(7), 'I');
  EXPECT_EQ(ReadFile(with).at(7), 'V');
  const auto listed = RunCli("files --format tsv " + image_);
  const auto shown = RunCli("snapshot show --named --format tsv " + with);
  ASSERT_EQ(shown.status, 0) << shown.out;
  EXPECT_EQ(shown.out, listed.out);
  EXPECT_NE(shown.out.find("deleted, recoverable\tjpeg"), std::string::npos) << shown.out;
  // The finds themselves are shown as from any snapshot.
  EXPECT_EQ(RunCli("snapshot show --format tsv " + with).out,
            RunCli("snapshot show --format tsv " + without).out);
  EXPECT_EQ(RunCli("snapshot show --named " + without).status, 1);
}

TEST(CliFilesArguments, WrongUseExitsWithTwo) {
  EXPECT_EQ(RunCli("files").status, 2);
  EXPECT_EQ(RunCli("files --format xml /dev/null").status, 2);
  EXPECT_EQ(RunCli("files --bogus /dev/null").status, 2);
  EXPECT_EQ(RunCli("recover --deleted-only /dev/null --to /tmp/x").status, 2);
  EXPECT_EQ(RunCli("files --help").status, 0);
}

TEST(CliFilesArguments, AMediumWithoutFileSystemsListsNothing) {
  TempDir dir;
  const std::string raw = dir.File("raw.img");
  ASSERT_TRUE(pictavo::samples::WriteFile(raw, pictavo::samples::RandomBytes(1 << 20, 4)));
  const auto run = RunCli("files --format table " + raw);
  EXPECT_EQ(run.status, 0);
  EXPECT_NE(run.out.find("No file system was recognised."), std::string::npos) << run.out;
}

}  // namespace
