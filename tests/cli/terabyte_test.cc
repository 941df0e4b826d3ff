// A 3 TiB medium as a sparse file: photos just below and above 4 GiB and 2 TiB and in the last
// sectors survive the whole way from scan to snapshot to saved file with all 64 bits of their
// offsets, through the core and through pictavo-cli.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "engine/scan_engine.h"
#include "platform/sector_source.h"
#include "results/recovery.h"
#include "results/snapshot.h"
#include "samples/image_builder.h"
#include "samples/jpeg_sample.h"
#include "support/cli_run.h"

namespace pictavo {
namespace {

using testing::RunCli;

constexpr uint64_t kMediumSize = uint64_t{3} << 40;

bool WriteAt(const std::string& path, uint64_t offset, const std::vector<uint8_t>& bytes) {
  FILE* f = std::fopen(path.c_str(), "r+b");
  if (!f) return false;
  const bool ok = fseeko(f, static_cast<off_t>(offset), SEEK_SET) == 0 &&
                  std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && ok;
}

struct Placed {
  uint64_t offset;
  std::vector<uint8_t> bytes;
};

class TerabyteMedium : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = dir_.File("3tib.img");
    samples::WriteFile(path_, {});
    int error = 0;
    if (truncate(path_.c_str(), static_cast<off_t>(kMediumSize)) != 0) {
      GTEST_SKIP() << "no 3 TiB file here";
    }
    auto source = FileSectorSource::Open(path_, {}, &error);
    if (!source || source->NextData(0) == 0) GTEST_SKIP() << "the file system keeps no holes";

    // Each photo differs from the others, so a file saved from the wrong offset shows.
    std::vector<std::vector<uint8_t>> photos;
    uint64_t span = 0;
    for (uint32_t seed = 1; seed <= 5; ++seed) {
      photos.push_back(samples::EncodeJpeg(
          {.width = 96 + 8 * static_cast<int>(seed), .height = 72, .seed = seed}));
      span = std::max<uint64_t>(span, (photos.back().size() + 511) / 512 * 512);
    }
    const uint64_t offsets[] = {(uint64_t{4} << 30) - span, (uint64_t{4} << 30) + 512,
                                (uint64_t{2} << 40) - span, (uint64_t{2} << 40) + 512,
                                kMediumSize - span};
    for (size_t i = 0; i < photos.size(); ++i) {
      ASSERT_TRUE(WriteAt(path_, offsets[i], photos[i]));
      placed_.push_back({offsets[i], photos[i]});
    }
  }

  // Every placed photo, saved under File<i>.jpeg in `folder`, has exactly its bytes.
  void ExpectSavedByteForByte(const std::string& folder) {
    for (size_t i = 0; i < placed_.size(); ++i) {
      const std::string name = folder + "/" + RecoveredFileName(kTypeJpeg, i);
      EXPECT_EQ(samples::ReadFile(name), placed_[i].bytes) << name;
    }
  }

  samples::TempDir dir_;
  std::string path_;
  std::vector<Placed> placed_;
};

TEST_F(TerabyteMedium, ScanSnapshotAndSavingKeepTheOffsets) {
  ScanResults scanned;
  const ScanStatus status = RunScan(path_, ScanOptions{}, scanned, nullptr, nullptr);
  ASSERT_TRUE(status.ok) << status.message;
  ASSERT_EQ(scanned.Found().size(), placed_.size());
  for (size_t i = 0; i < placed_.size(); ++i) {
    EXPECT_EQ(scanned.Found()[i].offset, placed_[i].offset);
    EXPECT_EQ(scanned.Found()[i].length, placed_[i].bytes.size());
  }

  RecoverySnapshot saved{path_, "3 TiB sparse image", kMediumSize, scanned, {}};
  const std::string snapshot_path = dir_.File("3tib.dat");
  ASSERT_TRUE(WriteSnapshot(snapshot_path, saved).ok);
  RecoverySnapshot loaded;
  const SnapshotStatus read = ReadSnapshot(snapshot_path, &loaded);
  ASSERT_TRUE(read.ok) << read.message;
  EXPECT_EQ(loaded.source_size, kMediumSize);
  EXPECT_EQ(loaded.results.records, scanned.records);
  EXPECT_EQ(loaded.results.tallies, scanned.tallies);

  for (FoundFile& file : loaded.results.Found()) file.selected = 1;
  int error = 0;
  auto source = FileSectorSource::Open(loaded.source_name, {}, &error);
  ASSERT_TRUE(source) << error;
  const std::string folder = dir_.File("saved");
  ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
  const SaveSummary summary = SaveMarkedFiles(*source, loaded.results, folder, nullptr, nullptr);
  EXPECT_TRUE(summary.all_written()) << SaveSummaryText(summary, folder);
  EXPECT_EQ(summary.written, placed_.size());
  ExpectSavedByteForByte(folder);
}

TEST_F(TerabyteMedium, CommandLineScanSnapshotAndRecoverKeepTheOffsets) {
  const std::string snapshot_path = dir_.File("3tib.dat");
  const auto scan =
      RunCli("scan --format tsv --allow-same-filesystem --snapshot " + snapshot_path + " " + path_);
  ASSERT_EQ(scan.status, 0) << scan.out;

  // Both listings print the offsets as they are, in decimal.
  const auto show = RunCli("snapshot show --format tsv " + snapshot_path);
  ASSERT_EQ(show.status, 0) << show.out;
  for (const auto* listing : {&scan.out, &show.out}) {
    for (const Placed& photo : placed_) {
      EXPECT_NE(listing->find("\t" + std::to_string(photo.offset) + "\t" +
                              std::to_string(photo.bytes.size())),
                std::string::npos)
          << photo.offset << " missing from\n"
          << *listing;
    }
  }

  const std::string folder = dir_.File("recovered");
  const auto recover = RunCli("recover --snapshot " + snapshot_path + " --to " + folder +
                              " --allow-same-filesystem");
  ASSERT_EQ(recover.status, 0) << recover.out;
  ExpectSavedByteForByte(folder);
}

}  // namespace
}  // namespace pictavo
