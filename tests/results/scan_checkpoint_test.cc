#include "results/scan_checkpoint.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cstdio>
#include <fstream>

#include "platform/memory_source.h"
#include "results/snapshot.h"
#include "samples/image_builder.h"
#include "samples/jpeg_sample.h"

namespace pictavo {
namespace {

using samples::EncodeJpeg;
using samples::ImageBuilder;
using samples::TempDir;

// 40 MiB (20 chunks) with photos all over it, random filler between them (which also holds
// candidates that fail verification), and one photo across a chunk boundary.
std::vector<uint8_t> MediumWithPhotos() {
  ImageBuilder builder(512, 5);
  for (uint32_t i = 0; builder.bytes().size() < (38u << 20); ++i) {
    builder.Place(
        EncodeJpeg({.width = 40 + static_cast<int>(i % 7) * 16, .height = 48, .seed = i + 1}));
    builder.Gap(200 + (i * 37) % 900);
  }
  builder.PlaceAt((4u << 20) - 1024, EncodeJpeg({.width = 160, .height = 120, .seed = 99}));
  std::vector<uint8_t> bytes = builder.bytes();
  bytes.resize(40u << 20, 0);
  return bytes;
}

// Stops the scan between two chunks once `percent` is reached, or in the middle of a chunk at
// the `found`-th find (as Ctrl-C does, at any moment).
class StopAt : public ScanObserver {
 public:
  StopAt(uint32_t percent, uint64_t found, std::atomic<bool>* stop)
      : percent_(percent), found_(found), stop_(stop) {}
  void OnProgress(uint32_t percent, uint64_t, uint64_t) override {
    if (percent_ && percent >= percent_) stop_->store(true);
  }
  void OnFound(uint64_t count, const FoundFile&) override {
    if (found_ && count >= found_) stop_->store(true);
  }

 private:
  uint32_t percent_;
  uint64_t found_;
  std::atomic<bool>* stop_;
};

void ExpectSameResults(const ScanResults& got, const ScanResults& want) {
  ASSERT_EQ(got.records.size(), want.records.size());
  for (size_t i = 0; i < want.records.size(); ++i) {
    ASSERT_EQ(got.records[i], want.records[i]) << "record " << i;
  }
  EXPECT_EQ(got.tallies, want.tallies);
  EXPECT_EQ(got.found_count, want.found_count);
}

TEST(ScanCheckpoint, AScanStoppedAndResumedFindsWhatOneScanFinds) {
  TempDir dir;
  const std::vector<uint8_t> medium = MediumWithPhotos();
  FileTypeSelection selection;
  ScanResults whole;
  {
    MemorySectorSource source(medium, 512);
    ASSERT_TRUE(RunScan(source, selection, whole, nullptr, nullptr).ok);
  }
  ASSERT_GT(whole.found_count, 110u);
  const struct {
    int threads;
    uint32_t percent;
    uint64_t found;
  } stops[] = {{1, 10, 0}, {3, 50, 0}, {1, 90, 0}, {3, 90, 0}, {1, 0, 40}, {3, 0, 100}};
  for (const auto [threads, percent, found] : stops) {
    SetScanThreads(threads);
    {
      SCOPED_TRACE(std::to_string(percent) + " % or find " + std::to_string(found) + " with " +
                   std::to_string(threads) + " threads");
      const std::string path =
          dir.File("scan" + std::to_string(percent) + "-" + std::to_string(found) + ".ckpt");
      // The first part, stopped near `percent`.
      ScanCheckpoint start;
      start.source_name = "card";
      start.selection = selection;
      start.results.records.emplace_back();
      ScanResults first;
      std::atomic<bool> stop{false};
      StopAt stopper(percent, found, &stop);
      {
        MemorySectorSource source(medium, 512);
        CheckpointKeeper keeper(path, start, first, &stopper, std::chrono::hours(1), &stop);
        const ScanStatus status = ResumeScan(source, selection, 0, 0, first, &keeper, &stop);
        ASSERT_TRUE(status.stopped);
        int error = 0;
        ASSERT_TRUE(keeper.Save(&error)) << error;
      }
      EXPECT_FALSE(CheckSnapshotFile(path)) << "snapshot readers never take a checkpoint";
      EXPECT_TRUE(IsScanCheckpointFile(path));
      ScanCheckpoint saved;
      std::string why;
      ASSERT_TRUE(ReadScanCheckpoint(path, &saved, &why)) << why;
      EXPECT_GT(saved.position, 0u);
      EXPECT_LT(saved.position, medium.size());
      EXPECT_EQ(saved.position % (uint64_t{kChunkSectors} * 512), 0u);
      EXPECT_EQ(saved.source_size, medium.size());
      EXPECT_EQ(saved.sector_size, 512);
      // The second part, from the checkpoint on, reads nothing before it.
      ScanResults later;
      MemorySectorSource source(medium, 512);
      const ScanStatus status = ResumeScan(source, saved.selection, saved.position,
                                           saved.results.found_count, later, nullptr, nullptr);
      ASSERT_TRUE(status.ok);
      ExpectSameResults(CombineScanResults(saved.results, later, saved.position), whole);
    }
  }
  SetScanThreads(0);
}

TEST(ScanCheckpoint, TheFileKeepsTypesModeAndRecords) {
  TempDir dir;
  ScanCheckpoint checkpoint;
  checkpoint.source_name = "/dev/sdz with spaces";
  checkpoint.source_size = 1u << 30;
  checkpoint.sector_size = 4096;
  checkpoint.selection.SelectAll(false);
  checkpoint.selection.Set(*TypeFromExtension("jpeg"), true);
  checkpoint.selection.Set(*TypeFromExtension("png"), true);
  checkpoint.position = 64u << 20;
  checkpoint.results.records = {{.type = *TypeFromExtension("jpeg"), .offset = 512, .length = 9},
                                {.type = 0, .offset = 4096, .length = 0}};
  int error = 0;
  ASSERT_TRUE(WriteScanCheckpoint(dir.File("c"), checkpoint, &error));
  ScanCheckpoint back;
  std::string why;
  ASSERT_TRUE(ReadScanCheckpoint(dir.File("c"), &back, &why)) << why;
  EXPECT_EQ(back.source_name, checkpoint.source_name);
  EXPECT_EQ(back.source_size, checkpoint.source_size);
  EXPECT_EQ(back.sector_size, 4096);
  EXPECT_EQ(back.position, 64u << 20);
  for (FileTypeId id = 0; id < kTypeCount; ++id) {
    EXPECT_EQ(back.selection.IsSelected(id), checkpoint.selection.IsSelected(id)) << id;
  }
  ASSERT_EQ(back.results.records.size(), 2u);
  EXPECT_EQ(back.results.records[0], checkpoint.results.records[0]);
  EXPECT_EQ(back.results.records[1].offset, 4096u);
  EXPECT_EQ(back.results.found_count, 1u);
  EXPECT_EQ(back.results.tallies[*TypeFromExtension("jpeg")].total_bytes, 9u);

  // Cut or damaged files are refused with the reason.
  const std::vector<uint8_t> bytes = samples::ReadFile(dir.File("c"));
  const struct {
    size_t keep;
    const char* why;
  } cuts[] = {{10, "not a scan checkpoint"}, {bytes.size() - 4, "cut short"}};
  for (const auto& cut : cuts) {
    ASSERT_TRUE(samples::WriteFile(dir.File("d"),
                                   std::vector<uint8_t>(bytes.begin(), bytes.begin() + cut.keep)));
    EXPECT_FALSE(ReadScanCheckpoint(dir.File("d"), &back, &why));
    EXPECT_NE(why.find(cut.why), std::string::npos) << why;
  }
  std::string text(bytes.begin(), bytes.end());
  text.replace(text.find("position"), 8, "positiom");
  ASSERT_TRUE(samples::WriteFile(dir.File("e"), std::vector<uint8_t>(text.begin(), text.end())));
  EXPECT_FALSE(ReadScanCheckpoint(dir.File("e"), &back, &why));
}

// A scan of the whole source keeps the format-1 text byte for byte; one of the free space only is
// written as format 2 and reads back with its areas.
TEST(ScanCheckpoint, OnlyAFreeSpaceScanIsWrittenInTheSecondFormat) {
  TempDir dir;
  ScanCheckpoint checkpoint;
  checkpoint.source_name = "/dev/sdz";
  checkpoint.source_size = 8u << 20;
  checkpoint.sector_size = 512;
  checkpoint.selection.SelectAll(false);
  checkpoint.selection.Set(*TypeFromExtension("jpeg"), true);
  checkpoint.position = 2u << 20;
  checkpoint.results.records = {{.type = *TypeFromExtension("jpeg"), .offset = 512, .length = 9},
                                {.type = 0, .offset = 4096, .length = 0}};
  const std::string body =
      "source /dev/sdz\nsize 8388608\nsector 512\nmode normal\nposition 2097152\n";
  const std::string tail = "types jpeg\nrecord " + std::to_string(*TypeFromExtension("jpeg")) +
                           " 512 9\nrecord 0 4096 0\nend\n";
  const std::vector<ByteRange> areas = {{1024, 4096}, {1u << 20, 8192}};
  const FreeSpaceDigest digest = DigestOfAreas(areas);
  char hash[17];
  std::snprintf(hash, sizeof hash, "%016llx", static_cast<unsigned long long>(digest.hash));
  const struct {
    bool free_space;
    std::string text;
  } cases[] = {
      {false, "pictavo scan checkpoint 1\n" + body + tail},
      {true, "pictavo scan checkpoint 2\n" + body + "space free 2 12288 " + hash + "\n" + tail},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.free_space);
    checkpoint.free_space = c.free_space;
    checkpoint.free_space_areas = c.free_space ? digest : FreeSpaceDigest{};
    int error = 0;
    ASSERT_TRUE(WriteScanCheckpoint(dir.File("c"), checkpoint, &error));
    const std::vector<uint8_t> bytes = samples::ReadFile(dir.File("c"));
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), c.text);
    EXPECT_TRUE(IsScanCheckpointFile(dir.File("c")));
    ScanCheckpoint back;
    std::string why;
    ASSERT_TRUE(ReadScanCheckpoint(dir.File("c"), &back, &why)) << why;
    EXPECT_EQ(back.free_space, c.free_space);
    EXPECT_EQ(back.free_space_areas, checkpoint.free_space_areas);
    EXPECT_EQ(back.position, checkpoint.position);
    EXPECT_EQ(back.results.found_count, 1u);
  }
}

TEST(ScanCheckpoint, AFreeSpaceLineOutOfPlaceIsRefused) {
  TempDir dir;
  const std::string body =
      "source /dev/sdz\nsize 8388608\nsector 512\nmode normal\nposition 0\ntypes jpeg\n";
  const struct {
    std::string text;
    const char* why;
  } cases[] = {
      {"pictavo scan checkpoint 1\nspace free 1 512 00ff\n" + body + "end\n", "damaged"},
      {"pictavo scan checkpoint 2\n" + body + "end\n", "lacks a field"},
      {"pictavo scan checkpoint 2\nspace used 1 512 00ff\n" + body + "end\n", "damaged"},
      {"pictavo scan checkpoint 2\nspace free 1 512 00FG\n" + body + "end\n", "damaged"},
      {"pictavo scan checkpoint 2\nspace free 1 512 00112233445566778\n" + body + "end\n",
       "damaged"},
      {"pictavo scan checkpoint 2\nspace free 1 512\n" + body + "end\n", "damaged"},
      {"pictavo scan checkpoint 2\nspace free 1 512 1\nspace free 1 512 1\n" + body + "end\n",
       "damaged"},
      {"pictavo scan checkpoint 3\nspace free 1 512 1\n" + body + "end\n", "not a scan"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    ASSERT_TRUE(
        samples::WriteFile(dir.File("c"), std::vector<uint8_t>(c.text.begin(), c.text.end())));
    ScanCheckpoint back;
    std::string why;
    EXPECT_FALSE(ReadScanCheckpoint(dir.File("c"), &back, &why));
    EXPECT_NE(why.find(c.why), std::string::npos) << why;
  }
}

// The address space of this process, in bytes (the first field of /proc/self/statm, in pages).
uint64_t AddressSpaceBytes() {
  std::ifstream statm("/proc/self/statm");
  uint64_t pages = 0;
  statm >> pages;
  return pages * 4096;
}

// Reads the checkpoint at `path` with the address space capped at what the process holds now plus
// 320 MiB: the file's bytes are read whole (64 MiB in the test below, at most twice that while
// the buffer grows), a note of every piece would take 1 GiB more. 0 when it read as expected.
int ReadWithLittleRoom(const std::string& path) {
  const rlim_t limit = AddressSpaceBytes() + (rlim_t{320} << 20);
  const struct rlimit cap = {limit, limit};
  if (setrlimit(RLIMIT_AS, &cap) != 0) return 2;
  ScanCheckpoint back;
  std::string why;
  if (!ReadScanCheckpoint(path, &back, &why)) return 3;
  return back.results.found_count == 1 && back.selection.IsSelected(*TypeFromExtension("jpeg")) ? 0
                                                                                                : 1;
}

// A checkpoint padded with blank lines and empty type names reads as its fields say, in memory
// near its own size: a hostile file of line breaks or commas must not make the reader keep a
// note of every piece (16 bytes each, 16 times the file).
TEST(ScanCheckpoint, SeparatorsAloneCostNoMemoryPerPiece) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the sanitizer's shadow memory needs an unlimited address space";
#endif
  TempDir dir;
  {
    std::string text = "pictavo scan checkpoint 1\n";
    text.append(size_t{40} << 20, '\n');
    text += "source /dev/sdz\nsize 8388608\nsector 512\nmode normal\nposition 0\ntypes jpeg";
    text.append(size_t{24} << 20, ',');
    text += "\nrecord 10 512 9\nrecord 0 4096 0\nend\n";
    ASSERT_TRUE(samples::WriteFile(dir.File("c"), std::vector<uint8_t>(text.begin(), text.end())));
  }
  const std::string path = dir.File("c");
  EXPECT_EXIT(std::_Exit(ReadWithLittleRoom(path)), ::testing::ExitedWithCode(0), "");
}

TEST(ScanCheckpoint, TheDigestTellsAreasApart) {
  const std::vector<std::vector<ByteRange>> plans = {{},
                                                     {{0, 4096}},
                                                     {{4096, 0}},
                                                     {{0, 8192}},
                                                     {{4096, 4096}},
                                                     {{0, 4096}, {8192, 4096}},
                                                     {{0, 4096}, {8192, 8192}}};
  for (size_t i = 0; i < plans.size(); ++i) {
    EXPECT_EQ(DigestOfAreas(plans[i]), DigestOfAreas(plans[i]));
    for (size_t j = i + 1; j < plans.size(); ++j) {
      EXPECT_NE(DigestOfAreas(plans[i]), DigestOfAreas(plans[j])) << i << " " << j;
    }
  }
  EXPECT_EQ(DigestOfAreas(plans[5]).areas, 2u);
  EXPECT_EQ(DigestOfAreas(plans[5]).bytes, 8192u);
}

}  // namespace
}  // namespace pictavo
