// A found-file list of a million entries spread over a 4 TiB medium, as a scan of a big, full
// card would leave: it saves to a snapshot and loads back whole, and the list names and totals
// come out right. The times are printed (and recorded in the test's XML output) for reading,
// not asserted: speed belongs to the benchmarks.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "engine/file_types.h"
#include "engine/scan_engine.h"
#include "results/recovery.h"
#include "results/snapshot.h"
#include "samples/image_builder.h"

namespace pictavo {
namespace {

constexpr size_t kFileCount = 1'000'000;
constexpr uint64_t kMediumSize = uint64_t{4} << 40;

// A million finds of four types, 4 MiB apart, so that most offsets need more than 32 bits.
ScanResults MillionFinds() {
  constexpr FileTypeId kTypes[] = {kTypeJpeg, kTypeCr2, kTypePng, kTypeNef};
  ScanResults results;
  results.records.reserve(kFileCount + 1);
  for (size_t i = 0; i < kFileCount; ++i) {
    FoundFile file;
    file.type = kTypes[i % 4];
    file.offset = uint64_t{i} * (uint64_t{4} << 20) + 512 * (i % 7);
    file.length = static_cast<uint32_t>(100'000 + i % 4'000'000);
    TypeTally& tally = results.tallies[file.type];
    tally.present = 1;
    ++tally.count;
    tally.total_bytes += file.length;
    results.records.push_back(file);
  }
  results.records.emplace_back();
  results.found_count = kFileCount;
  return results;
}

class Stopwatch {
 public:
  double Seconds() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  }

 private:
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

TEST(MillionFinds, SnapshotSavesAndLoadsWhole) {
  RecoverySnapshot snapshot{"/dev/sdz", "Disk 4 TiB", kMediumSize, MillionFinds(), {}};
  ASSERT_GT(snapshot.results.Found().back().offset, uint64_t{1} << 41);
  samples::TempDir dir;
  const std::string path = dir.File("million.dat");

  Stopwatch save_time;
  const SnapshotStatus saved = WriteSnapshot(path, snapshot);
  const double save_seconds = save_time.Seconds();
  ASSERT_TRUE(saved.ok) << saved.message;

  RecoverySnapshot loaded;
  Stopwatch load_time;
  const SnapshotStatus read = ReadSnapshot(path, &loaded);
  const double load_seconds = load_time.Seconds();
  ASSERT_TRUE(read.ok) << read.message;
  EXPECT_EQ(samples::ReadFile(path).size(),
            kSnapshotFixedBytes + 2 * (8 + 10) + kSnapshotRecordBytes * (kFileCount + 1));
  EXPECT_EQ(loaded.source_size, kMediumSize);
  EXPECT_EQ(loaded.results.found_count, kFileCount);
  EXPECT_EQ(loaded.results.records, snapshot.results.records);
  EXPECT_EQ(loaded.results.tallies, snapshot.results.tallies);

  // What the results page does with the list: name every file, then mark all and sum them.
  Stopwatch names_time;
  const std::vector<std::string> names = RecoveredFileNames(loaded.results);
  const double names_seconds = names_time.Seconds();
  ASSERT_EQ(names.size(), kFileCount);
  EXPECT_EQ(names[0], "File0.jpeg");
  EXPECT_EQ(names[kFileCount - 1], "File249999.nef");
  uint64_t expected_total = 0;
  for (FoundFile& file : loaded.results.Found()) {
    file.selected = 1;
    expected_total += file.length;
  }
  Stopwatch total_time;
  EXPECT_EQ(SelectedTotal(loaded.results), expected_total);
  const double total_seconds = total_time.Seconds();

  std::printf(
      "[ figures  ] %zu finds: snapshot of %zu bytes saved in %.3f s, loaded in %.3f s; "
      "names in %.3f s; selected total in %.4f s\n",
      kFileCount, samples::ReadFile(path).size(), save_seconds, load_seconds, names_seconds,
      total_seconds);
  RecordProperty("save_ms", static_cast<int>(save_seconds * 1000));
  RecordProperty("load_ms", static_cast<int>(load_seconds * 1000));
  RecordProperty("names_ms", static_cast<int>(names_seconds * 1000));
}

}  // namespace
}  // namespace pictavo
