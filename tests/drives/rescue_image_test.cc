#include "drives/rescue_image.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <random>
#include <set>

#include "drives/rescue_map.h"
#include "platform/memory_source.h"
#include "samples/image_builder.h"
#include "support/fault_fuse.h"
#include "support/faulty_source.h"

namespace pictavo {
namespace {

using samples::RandomBytes;
using samples::ReadFile;
using samples::TempDir;
using samples::WriteFile;

bool Exists(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0;
}

std::string Shell(const std::string& command) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return out;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0) out.append(buffer, n);
  pclose(pipe);
  return out;
}

bool HaveDdrescuelog() { return system("ddrescuelog --version > /dev/null 2>&1") == 0; }

// A medium of `sectors` 512-byte sectors of random bytes with about 1 % of them unreadable, in
// clusters of 1 to 16 sectors scattered over it. The bad sectors come back in `bad`.
std::vector<uint8_t> ScatteredBadMedium(uint64_t sectors, uint32_t seed, std::set<uint64_t>* bad) {
  std::mt19937 random(seed);
  while (bad->size() < sectors / 100) {
    const uint64_t first = random() % sectors;
    const uint64_t count = 1 + random() % 16;
    for (uint64_t s = first; s < std::min(sectors, first + count); ++s) bad->insert(s);
  }
  return RandomBytes(sectors * 512, seed);
}

void FailSectors(testing::FaultySource& source, const std::set<uint64_t>& bad) {
  for (uint64_t s : bad) source.FailRange(s * 512, s * 512 + 512);
}

class Canceller : public RescueObserver {
 public:
  void OnStart(uint64_t, uint16_t, bool was_resumed) override { resumed = was_resumed; }
  void OnStatus(const RescueProgress& progress) override {
    last = progress;
    last.map = nullptr;
    if (cancel && (progress.read_this_run >= cancel_after || progress.phase == cancel_in)) {
      cancel->store(true);
    }
  }
  std::atomic<bool>* cancel = nullptr;
  uint64_t cancel_after = UINT64_MAX;
  RescuePhase cancel_in = RescuePhase::kFinished;
  bool resumed = false;
  RescueProgress last;
};

RescueOptions Options(const std::string& map) {
  RescueOptions options;
  options.map_path = map;
  options.status_seconds = 0;
  options.command_line = "test";
  return options;
}

// Every byte of the image is the medium's byte, or zero where the map says it was not read.
void ExpectImageMatches(const std::string& image_path, const std::vector<uint8_t>& medium,
                        const RescueMap& map) {
  const std::vector<uint8_t> image = ReadFile(image_path);
  ASSERT_EQ(image.size(), medium.size() + 32);
  for (const MapArea& area : map.Areas()) {
    for (uint64_t i = area.pos; i < area.end(); ++i) {
      const uint8_t expected = area.status == AreaStatus::kFinished ? medium[i] : 0;
      ASSERT_EQ(image[i], expected)
          << "byte " << i << " in area " << static_cast<char>(area.status);
    }
  }
  const auto info = ReadImageInfo(image_path);
  ASSERT_TRUE(info);
  EXPECT_EQ(info->trailer.data_size, medium.size());
  EXPECT_EQ(info->trailer.sector_size, 512);
}

TEST(RescueMap, MarkSplitsAndMergesAreas) {
  RescueMap map(10000);
  map.Mark(1000, 500, AreaStatus::kFinished);
  map.Mark(1500, 500, AreaStatus::kFinished);
  map.Mark(0, 1000, AreaStatus::kBadSector);
  map.Mark(9000, 5000, AreaStatus::kNonTrimmed);  // clipped at the end
  const std::vector<MapArea> areas = map.Areas();
  ASSERT_EQ(areas.size(), 4u);
  EXPECT_EQ(areas[0].status, AreaStatus::kBadSector);
  EXPECT_EQ(areas[1].pos, 1000u);
  EXPECT_EQ(areas[1].size, 1000u);
  EXPECT_EQ(areas[2].status, AreaStatus::kNonTried);
  EXPECT_EQ(areas[3].pos, 9000u);
  EXPECT_EQ(areas[3].size, 1000u);
  map.Mark(0, 10000, AreaStatus::kFinished);
  EXPECT_EQ(map.Areas().size(), 1u);
  EXPECT_EQ(map.Bytes(AreaStatus::kFinished), 10000u);
}

TEST(RescueMap, CountsFollowEveryChange) {
  RescueMap map(1 << 20);
  std::mt19937 random(3);
  const AreaStatus statuses[] = {AreaStatus::kNonTried, AreaStatus::kNonTrimmed,
                                 AreaStatus::kNonScraped, AreaStatus::kBadSector,
                                 AreaStatus::kFinished};
  for (int i = 0; i < 2000; ++i) {
    map.Mark(random() % (1 << 20), random() % 5000, statuses[random() % 5]);
  }
  uint64_t bytes[5] = {};
  size_t counts[5] = {};
  uint64_t expected_pos = 0;
  for (const MapArea& area : map.Areas()) {
    ASSERT_EQ(area.pos, expected_pos);
    expected_pos = area.end();
    for (int s = 0; s < 5; ++s) {
      if (statuses[s] == area.status) {
        bytes[s] += area.size;
        ++counts[s];
      }
    }
  }
  EXPECT_EQ(expected_pos, 1u << 20);
  for (int s = 0; s < 5; ++s) {
    EXPECT_EQ(map.Bytes(statuses[s]), bytes[s]) << s;
    EXPECT_EQ(map.AreaCount(statuses[s]), counts[s]) << s;
  }
}

TEST(RescueMap, FormatParsesBackTheSame) {
  RescueMap map(1 << 20);
  map.Mark(4096, 512, AreaStatus::kBadSector);
  map.Mark(8192, 65536, AreaStatus::kFinished);
  map.Mark(100000, 3000, AreaStatus::kNonScraped);
  map.phase = RescuePhase::kTrimming;
  map.pass = 2;
  map.current_pos = 12345;
  RescueMap back;
  std::string error;
  ASSERT_TRUE(RescueMap::Parse(map.Format("x"), &back, &error)) << error;
  EXPECT_EQ(back.size(), map.size());
  EXPECT_EQ(back.current_pos, 12345u);
  EXPECT_EQ(back.phase, RescuePhase::kTrimming);
  EXPECT_EQ(back.pass, 2);
  ASSERT_EQ(back.Areas().size(), map.Areas().size());
  for (size_t i = 0; i < map.Areas().size(); ++i) {
    EXPECT_EQ(back.Areas()[i].pos, map.Areas()[i].pos);
    EXPECT_EQ(back.Areas()[i].size, map.Areas()[i].size);
    EXPECT_EQ(back.Areas()[i].status, map.Areas()[i].status);
  }
}

TEST(RescueMap, ParseRefusesBrokenMaps) {
  const struct {
    const char* text;
    const char* why;
  } cases[] = {
      {"", "no current position"},
      {"# only comments\n", "no current position"},
      {"0x0 ?\n0x0 0x100 +\n0x200 0x100 +\n", "not contiguous"},
      {"0x0 ?\n0x100 0x100 +\n", "not contiguous"},
      {"0x0 ?\n0x0 0x100 X\n", "unknown status"},
      {"0x0 Q\n", "current position and status"},
      {"0x0 ?\n0x0 0x100\n", "position, size and status"},
      {"0x0 ?\n0x0 0xFFFFFFFFFFFFFFFFF +\n", "position, size and status"},
      {"0x0 ?\n0x10 0xFFFFFFFFFFFFFFFF +\n", "not contiguous"},
      {"0x0 ? 1 junk\n", "unexpected text"},
  };
  for (const auto& c : cases) {
    RescueMap map;
    std::string error;
    EXPECT_FALSE(RescueMap::Parse(c.text, &map, &error)) << c.text;
    EXPECT_NE(error.find(c.why), std::string::npos) << c.text << " -> " << error;
  }
  // GNU ddrescue's own layout, decimal numbers and a missing pass number are fine.
  RescueMap map;
  std::string error;
  EXPECT_TRUE(RescueMap::Parse("# c\n4096 +\n0 4096 +\n4096 512 -\n", &map, &error)) << error;
  EXPECT_EQ(map.size(), 4608u);
  EXPECT_EQ(map.Bytes(AreaStatus::kBadSector), 512u);
}

TEST(RescueMap, TheBarShowsTheWorstStatusOfEachCell) {
  RescueMap map(1000);
  map.Mark(0, 500, AreaStatus::kFinished);
  map.Mark(120, 1, AreaStatus::kBadSector);
  map.Mark(600, 100, AreaStatus::kNonScraped);
  const std::vector<AreaStatus> bar = MapBar(map, 10);
  ASSERT_EQ(bar.size(), 10u);
  EXPECT_EQ(bar[0], AreaStatus::kFinished);
  EXPECT_EQ(bar[1], AreaStatus::kBadSector);
  EXPECT_EQ(bar[4], AreaStatus::kFinished);
  EXPECT_EQ(bar[5], AreaStatus::kNonTried);
  EXPECT_EQ(bar[6], AreaStatus::kNonScraped);
  EXPECT_EQ(bar[9], AreaStatus::kNonTried);
}

TEST(RescueImage, AHealthyMediumIsCopiedWholeWithAFinishedMap) {
  TempDir dir;
  const std::vector<uint8_t> medium = RandomBytes(1000000, 5);
  MemorySectorSource source(medium, 512, "card");
  const ImageCreationResult result =
      RescueDiskImage(source, dir.File("c.img"), Options(dir.File("c.map")), nullptr, nullptr);
  ASSERT_EQ(result.outcome, ImageOutcome::kCreated) << result.message << result.detail;
  EXPECT_EQ(result.copied, medium.size());
  EXPECT_TRUE(result.detail.empty());
  RescueMap map;
  std::string error;
  ASSERT_TRUE(LoadMapFile(dir.File("c.map"), &map, &error)) << error;
  EXPECT_EQ(map.phase, RescuePhase::kFinished);
  EXPECT_EQ(map.Bytes(AreaStatus::kFinished), medium.size());
  ExpectImageMatches(dir.File("c.img"), medium, map);
  EXPECT_TRUE(CheckImageFile(dir.File("c.img")));
  EXPECT_FALSE(Exists(dir.File("c.map.tmp")));
}

// The goal for a failing card: every readable byte in place, the map naming exactly the bad
// sectors, each read once, and GNU ddrescue's own tool reading the map the same way.
TEST(RescueImage, ScatteredBadSectorsEndExactlyAsBadSectorsInTheMap) {
  TempDir dir;
  std::set<uint64_t> bad;
  const std::vector<uint8_t> medium = ScatteredBadMedium(16384, 11, &bad);
  for (const bool reverse : {false, true}) {
    SCOPED_TRACE(reverse ? "reverse" : "forward");
    testing::FaultySource source(medium, 512, "bad card");
    FailSectors(source, bad);
    const std::string image = dir.File(reverse ? "r.img" : "f.img");
    const std::string map_path = image + ".map";
    RescueOptions options = Options(map_path);
    options.reverse = reverse;
    const ImageCreationResult result = RescueDiskImage(source, image, options, nullptr, nullptr);
    ASSERT_EQ(result.outcome, ImageOutcome::kCreated) << result.message;
    EXPECT_EQ(result.unreadable_bytes, bad.size() * 512);
    RescueMap map;
    std::string error;
    ASSERT_TRUE(LoadMapFile(map_path, &map, &error)) << error;
    std::set<uint64_t> listed;
    for (const MapArea& area : map.Areas()) {
      ASSERT_TRUE(area.status == AreaStatus::kFinished || area.status == AreaStatus::kBadSector)
          << static_cast<char>(area.status);
      if (area.status != AreaStatus::kBadSector) continue;
      for (uint64_t s = area.pos / 512; s < area.end() / 512; ++s) listed.insert(s);
    }
    EXPECT_EQ(listed, bad);
    ExpectImageMatches(image, medium, map);
    // A readable sector is read successfully once and never again.
    std::map<uint64_t, int> good_reads;
    for (const auto& [offset, count] : source.read_log()) {
      bool touches_bad = false;
      for (uint64_t s = offset / 512; s < (offset + count + 511) / 512; ++s) {
        touches_bad = touches_bad || bad.count(s);
      }
      if (!touches_bad) {
        for (uint64_t s = offset / 512; s < (offset + count) / 512; ++s) ++good_reads[s];
      }
    }
    for (const auto& [sector, reads] : good_reads) ASSERT_EQ(reads, 1) << "sector " << sector;

    if (!HaveDdrescuelog()) continue;
    // ddrescuelog lists the bad sectors (as 512-byte block numbers) and the rescued ones.
    std::set<uint64_t> theirs;
    const std::string listing = Shell("ddrescuelog -b 512 -l- '" + map_path + "'");
    size_t at = 0;
    while (at < listing.size()) {
      size_t end = listing.find('\n', at);
      if (end == std::string::npos) end = listing.size();
      if (end > at) theirs.insert(std::stoull(listing.substr(at, end - at)));
      at = end + 1;
    }
    EXPECT_EQ(theirs, bad);
    const std::string rescued = Shell("ddrescuelog -b 512 -l+ '" + map_path + "' | wc -l");
    EXPECT_EQ(std::stoull(rescued) * 512, result.copied);
  }
}

TEST(RescueImage, AStoppedRunResumesWithoutReadingAgainAndEndsTheSame) {
  TempDir dir;
  std::set<uint64_t> bad;
  const std::vector<uint8_t> medium = ScatteredBadMedium(8192, 23, &bad);
  // The reference: one run without a stop.
  testing::FaultySource whole(medium, 512);
  FailSectors(whole, bad);
  ASSERT_TRUE(RescueDiskImage(whole, dir.File("whole.img"), Options(dir.File("whole.map")), nullptr,
                              nullptr)
                  .ok());

  const std::string image = dir.File("s.img");
  const std::string map_path = dir.File("s.map");
  // Stops in the three copying passes, then in trimming and in scraping, then to the end.
  const struct {
    uint64_t after;
    RescuePhase in;
  } stops[] = {{300000, RescuePhase::kFinished},     {1000000, RescuePhase::kFinished},
               {1500000, RescuePhase::kFinished},    {UINT64_MAX, RescuePhase::kTrimming},
               {UINT64_MAX, RescuePhase::kScraping}, {0, RescuePhase::kFinished}};
  for (const auto& stop : stops) {
    const bool stopping = stop.after != 0;
    testing::FaultySource source(medium, 512);
    FailSectors(source, bad);
    RescueMap before;
    std::string error;
    const bool had_map = LoadMapFile(map_path, &before, &error);
    std::atomic<bool> cancel{false};
    Canceller observer;
    if (stopping) {
      observer.cancel = &cancel;
      observer.cancel_after = stop.after;
      observer.cancel_in = stop.in;
    }
    const ImageCreationResult result =
        RescueDiskImage(source, image, Options(map_path), &observer, &cancel);
    EXPECT_EQ(observer.resumed, had_map);
    if (stopping) {
      ASSERT_EQ(result.outcome, ImageOutcome::kStopped) << result.message;
      EXPECT_TRUE(Exists(image));
      EXPECT_TRUE(Exists(map_path));
      EXPECT_TRUE(CheckImageFile(image));  // even a stopped image has its trailer
    } else {
      ASSERT_EQ(result.outcome, ImageOutcome::kCreated) << result.message;
    }
    // Nothing the map already had as read was read again.
    if (had_map) {
      for (const auto& [offset, count] : source.read_log()) {
        for (uint64_t at = offset; at < offset + count; at += 512) {
          ASSERT_NE(before.AreaAt(at).status, AreaStatus::kFinished) << "read again at " << at;
        }
      }
    }
  }
  EXPECT_EQ(ReadFile(image), ReadFile(dir.File("whole.img")));
  EXPECT_EQ(ReadFile(map_path).size() > 0, true);
}

TEST(RescueImage, ExistingFilesAreNeverTakenForSomethingElse) {
  TempDir dir;
  MemorySectorSource source(RandomBytes(100000, 1), 512);
  // An image without its map is an existing file: refused as before.
  WriteFile(dir.File("a.img"), RandomBytes(10, 2));
  ImageCreationResult result =
      RescueDiskImage(source, dir.File("a.img"), Options(dir.File("a.map")), nullptr, nullptr);
  EXPECT_EQ(result.outcome, ImageOutcome::kCannotCreate);
  EXPECT_EQ(ReadFile(dir.File("a.img")).size(), 10u);
  // A map without its image.
  WriteFile(dir.File("b.map"), {'0', ' ', '?', '\n'});
  result = RescueDiskImage(source, dir.File("b.img"), Options(dir.File("b.map")), nullptr, nullptr);
  EXPECT_EQ(result.outcome, ImageOutcome::kMapUnusable);
  EXPECT_FALSE(Exists(dir.File("b.img")));
  // A map of another medium.
  ASSERT_TRUE(
      RescueDiskImage(source, dir.File("c.img"), Options(dir.File("c.map")), nullptr, nullptr)
          .ok());
  MemorySectorSource other(RandomBytes(200000, 1), 512);
  result = RescueDiskImage(other, dir.File("c.img"), Options(dir.File("c.map")), nullptr, nullptr);
  EXPECT_EQ(result.outcome, ImageOutcome::kMapUnusable);
  EXPECT_NE(result.message.find("200000"), std::string::npos) << result.message;
  // The map cannot be the image itself, however it is spelled.
  result =
      RescueDiskImage(source, dir.File("e.img"), Options(dir.File("./e.img")), nullptr, nullptr);
  EXPECT_EQ(result.outcome, ImageOutcome::kMapUnusable);
  EXPECT_FALSE(Exists(dir.File("e.img")));
  // An image that is not the map's: the trailer does not fit.
  WriteFile(dir.File("d.img"), RandomBytes(100032, 3));
  ASSERT_EQ(rename(dir.File("c.map").c_str(), dir.File("d.map").c_str()), 0);
  result = RescueDiskImage(source, dir.File("d.img"), Options(dir.File("d.map")), nullptr, nullptr);
  EXPECT_EQ(result.outcome, ImageOutcome::kCannotCreate);
}

// Fails its reads from a given offset on with the error of a medium that was pulled out, until
// it is "plugged in" again.
class VanishingSource : public MemorySectorSource {
 public:
  using MemorySectorSource::MemorySectorSource;
  int64_t Pread(uint64_t offset, uint8_t* buffer, uint32_t count, int* error) override {
    if (gone && offset + count > gone_from) {
      *error = ENODEV;
      return -1;
    }
    return MemorySectorSource::Pread(offset, buffer, count, error);
  }
  bool gone = true;
  uint64_t gone_from = 0;
};

TEST(RescueImage, AMediumThatGoesAwayEndsTheRunWithTheMapSaved) {
  TempDir dir;
  const std::vector<uint8_t> medium = RandomBytes(2000000, 8);
  VanishingSource source(medium, 512, "card");
  source.gone_from = 700000;
  const ImageCreationResult result =
      RescueDiskImage(source, dir.File("v.img"), Options(dir.File("v.map")), nullptr, nullptr);
  ASSERT_EQ(result.outcome, ImageOutcome::kSourceLost);
  EXPECT_NE(result.message.find("can no longer be read"), std::string::npos) << result.message;
  EXPECT_NE(result.message.find(dir.File("v.map")), std::string::npos);
  RescueMap map;
  std::string error;
  ASSERT_TRUE(LoadMapFile(dir.File("v.map"), &map, &error)) << error;
  EXPECT_GT(map.Bytes(AreaStatus::kFinished), 600000u);
  EXPECT_LT(map.Bytes(AreaStatus::kFinished), 700000u);
  // Back again: the run resumes and finishes.
  source.gone = false;
  const ImageCreationResult again =
      RescueDiskImage(source, dir.File("v.img"), Options(dir.File("v.map")), nullptr, nullptr);
  ASSERT_EQ(again.outcome, ImageOutcome::kCreated) << again.message;
  std::vector<uint8_t> image = ReadFile(dir.File("v.img"));
  image.resize(medium.size());
  EXPECT_EQ(image, medium);
}

// Sectors that fail a number of times before they read: what retry passes are for.
class FlakySource : public MemorySectorSource {
 public:
  using MemorySectorSource::MemorySectorSource;
  int64_t Pread(uint64_t offset, uint8_t* buffer, uint32_t count, int* error) override {
    for (auto& [sector, failures] : flaky) {
      if (offset < sector * 512 + 512 && offset + count > sector * 512 && failures > 0) {
        --failures;
        *error = EIO;
        return -1;
      }
    }
    return MemorySectorSource::Pread(offset, buffer, count, error);
  }
  std::map<uint64_t, int> flaky;
};

TEST(RescueImage, RetryPassesRereadTheBadSectors) {
  TempDir dir;
  const std::vector<uint8_t> medium = RandomBytes(512 * 1000, 4);
  for (const int retries : {0, 1, 3}) {
    SCOPED_TRACE(retries);
    FlakySource source(medium, 512);
    // Sector 100 fails in copying and in trimming, then reads in the first retry; sector 700
    // fails in copying, trimming and the first two retries, and reads in the third.
    source.flaky = {{100, 2}, {700, 4}};
    const std::string image = dir.File("r" + std::to_string(retries) + ".img");
    RescueOptions options = Options(image + ".map");
    options.retries = retries;
    const ImageCreationResult result = RescueDiskImage(source, image, options, nullptr, nullptr);
    ASSERT_TRUE(result.ok()) << result.message;
    const uint64_t expected_bad = retries == 0 ? 2 : retries < 3 ? 1 : 0;
    EXPECT_EQ(result.unreadable_bytes, expected_bad * 512);
  }
}

// Reads of a chosen area hang until released: a card that stops answering.
struct Stall {
  std::mutex mutex;
  std::condition_variable released;
  bool open = false;
  uint64_t begin = 0, end = 0;
};

class StallingSource : public MemorySectorSource {
 public:
  StallingSource(std::vector<uint8_t> bytes, std::shared_ptr<Stall> stall)
      : MemorySectorSource(std::move(bytes), 512), stall_(std::move(stall)) {}
  int64_t Pread(uint64_t offset, uint8_t* buffer, uint32_t count, int* error) override {
    if (offset < stall_->end && offset + count > stall_->begin) {
      std::unique_lock lock(stall_->mutex);
      stall_->released.wait(lock, [&] { return stall_->open; });
    }
    return MemorySectorSource::Pread(offset, buffer, count, error);
  }
  std::unique_ptr<SectorSource> Clone() const override {
    return std::make_unique<StallingSource>(bytes(), stall_);
  }

 private:
  std::shared_ptr<Stall> stall_;
};

TEST(RescueImage, AReadThatHangsIsAbandonedAndItsAreaCountsAsFailed) {
  TempDir dir;
  const std::vector<uint8_t> medium = RandomBytes(512 * 2000, 6);
  auto stall = std::make_shared<Stall>();
  stall->begin = 512 * 1000;
  stall->end = 512 * 1001;
  StallingSource source(medium, stall);
  RescueOptions options = Options(dir.File("t.map"));
  options.read_timeout_seconds = 0.05;
  const ImageCreationResult result =
      RescueDiskImage(source, dir.File("t.img"), options, nullptr, nullptr);
  ASSERT_TRUE(result.ok()) << result.message;
  EXPECT_EQ(result.unreadable_bytes, 512u);
  ASSERT_EQ(result.unreadable.size(), 1u);
  EXPECT_EQ(result.unreadable[0].offset, 512u * 1000);
  // Let the abandoned reads end.
  {
    std::lock_guard lock(stall->mutex);
    stall->open = true;
  }
  stall->released.notify_all();
}

}  // namespace
}  // namespace pictavo

namespace pictavo {
namespace {

// The same failing card as a real file and as a real block device: a FUSE file whose reads of
// the bad sectors fail with EIO, read directly and through a loop device.
TEST(RescueImageOnFuse, EveryReadableByteLandsInPlaceOnAFileAndOnABlockDevice) {
  TempDir dir;
  std::set<uint64_t> bad;
  const std::vector<uint8_t> medium = ScatteredBadMedium(8192, 31, &bad);
  ASSERT_TRUE(WriteFile(dir.File("backing"), medium));
  testing::FaultFuse fuse(dir.File("backing"), {.direct_io = true});
  if (!fuse.ok()) GTEST_SKIP() << fuse.skip_reason();
  for (uint64_t s : bad) fuse.FailRange(s * 512, s * 512 + 512);
  for (const bool through_loop : {false, true}) {
    SCOPED_TRACE(through_loop ? "loop device" : "file");
    std::unique_ptr<testing::LoopFile> loop;
    std::string source = fuse.path();
    if (through_loop) {
      loop = std::make_unique<testing::LoopFile>(fuse.path());
      if (!loop->ok()) GTEST_SKIP() << loop->skip_reason();
      source = loop->device();
    }
    const std::string image = dir.File(through_loop ? "loop.img" : "file.img");
    const ImageCreationResult result =
        RescueDiskImage(source, image, Options(image + ".map"), nullptr, nullptr);
    ASSERT_EQ(result.outcome, ImageOutcome::kCreated) << result.message << result.detail;
    RescueMap map;
    std::string error;
    ASSERT_TRUE(LoadMapFile(image + ".map", &map, &error)) << error;
    std::set<uint64_t> listed;
    for (const MapArea& area : map.Areas()) {
      if (area.status == AreaStatus::kFinished) continue;
      EXPECT_EQ(area.status, AreaStatus::kBadSector);
      for (uint64_t s = area.pos / 512; s < area.end() / 512; ++s) listed.insert(s);
    }
    EXPECT_EQ(listed, bad);
    ExpectImageMatches(image, medium, map);
  }
}

TEST(RescueImageOnFuse, ASlowAreaIsLeftBehindByTheTimeLimitAndAShrunkMediumEndsTheRun) {
  TempDir dir;
  const std::vector<uint8_t> medium = RandomBytes(4u << 20, 12);
  ASSERT_TRUE(WriteFile(dir.File("backing"), medium));
  testing::FaultFuse fuse(dir.File("backing"), {.direct_io = true});
  if (!fuse.ok()) GTEST_SKIP() << fuse.skip_reason();
  fuse.DelayRange(1u << 20, (1u << 20) + 512, 3000);
  RescueOptions options = Options(dir.File("slow.map"));
  options.read_timeout_seconds = 0.5;
  ImageCreationResult result =
      RescueDiskImage(fuse.path(), dir.File("slow.img"), options, nullptr, nullptr);
  ASSERT_EQ(result.outcome, ImageOutcome::kCreated) << result.message;
  // The stalled sector timed out in every pass that tried it; everything else was read.
  EXPECT_EQ(result.unreadable_bytes, 512u);
  // Without the delay the same command finishes the image.
  fuse.ClearRanges();
  RescueOptions retry = options;
  retry.retries = 1;
  ASSERT_EQ(rename(dir.File("slow.map").c_str(), dir.File("slow2.map").c_str()), 0);
  ASSERT_EQ(rename(dir.File("slow.img").c_str(), dir.File("slow2.img").c_str()), 0);
  retry.map_path = dir.File("slow2.map");
  result = RescueDiskImage(fuse.path(), dir.File("slow2.img"), retry, nullptr, nullptr);
  ASSERT_TRUE(result.ok()) << result.message;
  EXPECT_EQ(result.unreadable_bytes, 0u);

  // A medium that shrinks under the run (a card going away) ends it with the map saved.
  class ShrinkAt : public RescueObserver {
   public:
    explicit ShrinkAt(testing::FaultFuse* fuse) : fuse_(fuse) {}
    void OnStatus(const RescueProgress& progress) override {
      if (!done_ && progress.rescued >= (2u << 20)) {
        fuse_->Shrink(3u << 20);
        done_ = true;
      }
    }

   private:
    testing::FaultFuse* fuse_;
    bool done_ = false;
  } shrink(&fuse);
  result = RescueDiskImage(fuse.path(), dir.File("gone.img"), Options(dir.File("gone.map")),
                           &shrink, nullptr);
  ASSERT_EQ(result.outcome, ImageOutcome::kSourceLost) << result.message;
  RescueMap map;
  std::string error;
  ASSERT_TRUE(LoadMapFile(dir.File("gone.map"), &map, &error)) << error;
  EXPECT_GE(map.Bytes(AreaStatus::kFinished), 2u << 20);
  EXPECT_EQ(map.Bytes(AreaStatus::kBadSector) + map.Bytes(AreaStatus::kNonTrimmed), 0u)
      << "what could not be read because the medium went is not marked bad";
}

}  // namespace
}  // namespace pictavo

namespace pictavo {
namespace {

// Without a map too: a failed block of a block device keeps every readable sector, even those
// that share a 4 KiB page with a bad one.
TEST(DiskImageOnFuse, AFailedBlockOfADeviceLosesOnlyItsBadSectors) {
  TempDir dir;
  const std::vector<uint8_t> medium = RandomBytes(1u << 20, 14);
  ASSERT_TRUE(WriteFile(dir.File("backing"), medium));
  testing::FaultFuse fuse(dir.File("backing"), {.direct_io = true});
  if (!fuse.ok()) GTEST_SKIP() << fuse.skip_reason();
  fuse.FailRange(100 * 512, 101 * 512);
  testing::LoopFile loop(fuse.path());
  if (!loop.ok()) GTEST_SKIP() << loop.skip_reason();
  const ImageCreationResult result =
      CreateDiskImage(loop.device(), dir.File("d.img"), nullptr, nullptr);
  ASSERT_TRUE(result.ok()) << result.message;
  ASSERT_EQ(result.unreadable.size(), 1u);
  EXPECT_EQ(result.unreadable[0].offset, 100u * 512);
  EXPECT_EQ(result.unreadable_bytes, 512u);
  const std::vector<uint8_t> image = ReadFile(dir.File("d.img"));
  for (size_t i = 0; i < medium.size(); ++i) {
    const bool lost = i >= 100 * 512 && i < 101 * 512;
    ASSERT_EQ(image[i], lost ? 0 : medium[i]) << i;
  }
}

}  // namespace
}  // namespace pictavo
