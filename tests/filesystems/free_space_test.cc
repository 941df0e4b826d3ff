#include <gtest/gtest.h>

#include <set>

#include "engine/scan_engine.h"
#include "filesystems/live_areas.h"
#include "filesystems/named_content.h"
#include "filesystems/tsk_listing.h"
#include "platform/memory_source.h"
#include "samples/image_builder.h"
#include "support/fs_images.h"

namespace pictavo {
namespace {

using samples::TempDir;
using testing::MakeFatImage;
using testing::SamplePhotos;
using testing::TestFile;

std::unique_ptr<FileSectorSource> Open(const std::string& path) {
  int error = 0;
  return FileSectorSource::Open(path, {}, &error);
}

bool Covers(const std::vector<ByteRange>& areas, uint64_t offset) {
  for (const ByteRange& area : areas) {
    if (offset >= area.offset && offset < area.end()) return true;
  }
  return false;
}

// A FAT32 card of 40 MiB (more than one scan chunk) with eight photos, three deleted.
class FullCard : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::vector<TestFile> files = SamplePhotos("DCIM/100TEST", 8);
    const std::string why = MakeFatImage(
        image_, 40, files,
        {"DCIM/100TEST/IMG_0002.JPG", "DCIM/100TEST/IMG_0005.JPG", "DCIM/100TEST/IMG_0008.JPG"});
    if (!why.empty()) GTEST_SKIP() << why;
    source_ = Open(image_);
    ASSERT_TRUE(source_);
    listing_ = ListFileSystemsInProcess(*source_, {});
    ClassifyNamedFiles(*source_, listing_);
    ASSERT_EQ(listing_.files.size(), 8u);
    for (const NamedFile& file : listing_.files) {
      ASSERT_TRUE(file.ContiguousOffset()) << file.path;
      (file.deleted ? deleted_ : live_).insert(*file.ContiguousOffset());
    }
    ASSERT_EQ(deleted_.size(), 3u);
  }
  void TearDown() override { SetScanThreads(0); }

  std::set<uint64_t> JpegFinds(const std::vector<ByteRange>& skipped) {
    ScanOptions options;
    options.selection.SelectAll(false);
    options.selection.Set(kTypeJpeg, true);
    options.skipped = skipped;
    ScanResults results;
    EXPECT_TRUE(RunScan(*source_, options, results, nullptr, nullptr).ok);
    std::set<uint64_t> offsets;
    for (const FoundFile& file : results.Found()) offsets.insert(file.offset);
    return offsets;
  }

  TempDir dir_;
  std::string image_ = dir_.File("card.img");
  std::unique_ptr<FileSectorSource> source_;
  FileSystemListing listing_;
  std::set<uint64_t> live_, deleted_;
};

TEST_F(FullCard, LiveAreasHoldEveryLiveFileWholeAndNoDeletedOne) {
  const std::vector<ByteRange> areas = LiveFileAreas(listing_);
  ASSERT_FALSE(areas.empty());
  for (size_t i = 1; i < areas.size(); ++i) EXPECT_GT(areas[i].offset, areas[i - 1].end());
  const uint32_t cluster = listing_.volumes[0].block_size;
  for (const NamedFile& file : listing_.files) {
    const uint64_t first = *file.ContiguousOffset();
    const uint64_t last_cluster_end = first + (file.size + cluster - 1) / cluster * cluster - 1;
    EXPECT_EQ(Covers(areas, first), !file.deleted) << file.path;
    EXPECT_EQ(Covers(areas, last_cluster_end), !file.deleted) << file.path;
  }
}

TEST_F(FullCard, CarvingTheFreeSpaceFindsTheDeletedPhotosOnlyAtTheirPlaces) {
  for (const int threads : {1, 2}) {
    SCOPED_TRACE(threads);
    SetScanThreads(threads);
    const std::set<uint64_t> everything = JpegFinds({});
    for (const uint64_t offset : live_) EXPECT_TRUE(everything.count(offset)) << offset;
    for (const uint64_t offset : deleted_) EXPECT_TRUE(everything.count(offset)) << offset;

    const FreeSpacePlan plan = PlanFreeSpaceScan(*source_);
    ASSERT_TRUE(plan.file_system_found);
    EXPECT_EQ(plan.live_files, 5u);
    EXPECT_EQ(plan.live_areas, LiveFileAreas(listing_));
    EXPECT_EQ(JpegFinds(plan.live_areas), deleted_);
  }
}

TEST(FreeSpacePlan, AMediumWithoutAFileSystemIsCarvedWhole) {
  MemorySectorSource blank(std::vector<uint8_t>(1 << 20, 0x5A), 512);
  const FreeSpacePlan plan = PlanFreeSpaceScan(blank);
  EXPECT_FALSE(plan.file_system_found);
  EXPECT_TRUE(plan.live_areas.empty());
  EXPECT_NE(plan.Summary().find("whole source is carved"), std::string::npos);
}

TEST(LiveFileAreas, RoundsToWholeBlocksJoinsNeighboursAndLeavesHolesAndDeletedFilesOut) {
  FileSystemListing listing;
  listing.volumes.push_back(FileSystemVolume{0, 1 << 20, 4096, "FAT32", ""});
  NamedFile live;
  live.size = 5000;
  live.runs = {FileRun{0, 8192, 5000, false, false}};
  NamedFile neighbour;  // starts right after the first's second block
  neighbour.size = 100;
  neighbour.runs = {FileRun{0, 16384, 100, false, false}};
  NamedFile sparse;
  sparse.size = 8192;
  sparse.runs = {FileRun{0, 0, 4096, true, false}, FileRun{4096, 65536, 4096, false, false}};
  NamedFile deleted;
  deleted.deleted = true;
  deleted.size = 4096;
  deleted.runs = {FileRun{0, 32768, 4096, false, false}};
  listing.files = {sparse, deleted, live, neighbour};
  EXPECT_EQ(LiveFileAreas(listing), (std::vector<ByteRange>{{8192, 12288}, {65536, 4096}}));
}

TEST(FreeSpacePlanChange, SaysWhyAResumedScanCannotUseThePlanMadeAgain) {
  const std::vector<ByteRange> then = {{1 << 20, 4 << 20}, {8 << 20, 1 << 20}};
  const auto plan = [](bool found, std::vector<ByteRange> areas) {
    FreeSpacePlan made;
    made.file_system_found = found;
    made.live_areas = std::move(areas);
    return made;
  };
  const struct {
    const char* what;
    FreeSpaceDigest recorded;
    FreeSpacePlan now;
    const char* says;  // empty: the scan goes on
  } cases[] = {
      {"the same areas", DigestOfAreas(then), plan(true, then), ""},
      {"no file system then or now", DigestOfAreas({}), plan(false, {}), ""},
      {"a file system then, none now", DigestOfAreas(then), plan(false, {}),
       "can no longer be read"},
      {"none then, one now", DigestOfAreas({}), plan(true, then), "carved the whole source"},
      {"a live file more", DigestOfAreas(then),
       plan(true, {{1 << 20, 4 << 20}, {8 << 20, 2 << 20}}), "have changed since the scan began"},
      {"the same bytes elsewhere", DigestOfAreas(then),
       plan(true, {{2 << 20, 4 << 20}, {8 << 20, 1 << 20}}), "have changed since the scan began"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string change = FreeSpacePlanChange(c.recorded, c.now);
    if (*c.says == 0) {
      EXPECT_EQ(change, "");
    } else {
      EXPECT_NE(change.find(c.says), std::string::npos) << change;
    }
  }
}

}  // namespace
}  // namespace pictavo
