#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <random>

#include "engine/scan_engine.h"
#include "samples/image_builder.h"
#include "samples/jpeg_sample.h"
#include "samples/media_samples.h"
#include "samples/modern_samples.h"

namespace pictavo {
namespace {

using samples::ImageBuilder;

// Every real sample in the corpus, whole, plus its first sectors alone: heads that pass the
// signature tests but lead the walks into whatever follows.
std::vector<std::vector<uint8_t>> CorpusPieces() {
  std::vector<std::vector<uint8_t>> pieces;
  std::error_code ec;
  const std::filesystem::path root(PICTAVO_CORPUS_DIR);
  for (auto it = std::filesystem::recursive_directory_iterator(root, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    if (!it->is_regular_file() || it->file_size() > (4u << 20)) continue;
    auto bytes = samples::ReadFile(it->path().string());
    if (bytes.empty()) continue;
    std::vector<uint8_t> head(bytes.begin(), bytes.begin() + std::min<size_t>(bytes.size(), 700));
    pieces.push_back(std::move(head));
    pieces.push_back(std::move(bytes));
  }
  return pieces;
}

std::vector<FoundFile> Scan(const std::string& path, bool literal, bool exact_ends = false) {
  SetLiteralScan(literal);
  ScanResults results;
  ScanOptions options;
  options.exact_ends = exact_ends;
  const ScanStatus status = RunScan(path, options, results, nullptr, nullptr);
  SetLiteralScan(false);
  EXPECT_TRUE(status.ok) << status.message;
  return results.records;
}

// The fast paths (reading in place, asking only the handlers whose signature fits the first
// byte) must find exactly what the literal scan finds, spare record included.
TEST(DifferentialScan, FastAndLiteralScansFindTheSameFiles) {
  const auto pieces = CorpusPieces();
  for (const uint32_t seed : {1u, 2u, 3u}) {
    SCOPED_TRACE(seed);
    std::mt19937 rng(seed);
    ImageBuilder builder(512, seed);
    builder.Gap(3);
    for (int i = 0; i < 40; ++i) {
      switch (rng() % 4) {
        case 0:
          builder.Place(samples::EncodeJpeg({.width = 40 + static_cast<int>(rng() % 200),
                                             .height = 30 + static_cast<int>(rng() % 100),
                                             .progressive = rng() % 2 == 0,
                                             .exif_thumbnail = rng() % 3 == 0,
                                             .without_eoi = rng() % 7 == 0,
                                             .seed = seed * 100 + static_cast<uint32_t>(i)}),
                        rng() % 2 ? ImageBuilder::Fill::kRandom : ImageBuilder::Fill::kZeros);
          break;
        case 1:
          if (!pieces.empty())
            builder.Place(pieces[rng() % pieces.size()], ImageBuilder::Fill::kRandom);
          break;
        case 2:
          builder.Gap(1 + rng() % 300, ImageBuilder::Fill::kRandom);
          break;
        default:
          builder.Gap(1 + rng() % 50, ImageBuilder::Fill::kZeros);
      }
    }
    builder.Gap(5000 + rng() % 3000, ImageBuilder::Fill::kRandom);
    samples::TempDir dir;
    ASSERT_TRUE(builder.WriteDiskImage(dir.File("medium.img")));
    const auto literal = Scan(dir.File("medium.img"), true);
    const auto fast = Scan(dir.File("medium.img"), false);
    EXPECT_GT(literal.size(), 1u);
    EXPECT_EQ(fast, literal);
    // The same holds in the exact-ends mode.
    EXPECT_EQ(Scan(dir.File("medium.img"), false, true), Scan(dir.File("medium.img"), true, true));
  }
}

std::vector<FoundFile> ScanWith(const std::string& path, const FileTypeSelection& selection) {
  ScanResults results;
  ScanOptions options;
  options.selection = selection;
  const ScanStatus status = RunScan(path, options, results, nullptr, nullptr);
  EXPECT_TRUE(status.ok) << status.message;
  const auto found = results.Found();
  return {found.begin(), found.end()};
}

// The modern types change nothing for the classic ones: with every type selected, each find of a
// classic type is exactly the find of a scan with only the classic types; the classic scan finds
// nothing else except at sectors that a modern type claims, which the classic recognisers may
// take for something else (a HEIC for a QuickTime movie, a phone DNG for a TIFF).
TEST(DifferentialScan, ClassicFindsStayBesideTheModernTypes) {
  const auto pieces = CorpusPieces();
  const std::vector<std::vector<uint8_t>> modern = {
      samples::MakeIsoFile({}),
      samples::MakeIsoFile({"mp42", {"isom", "mp42"}, {{"moov", 600}, {"mdat", 4000}}}),
      samples::MakeIsoFile({"3gp4", {"3gp4"}, {{"moov", 600}, {"mdat", 4000}}}),
      samples::MakeWebp({}),
      samples::MakeOgg({}),
      samples::MakeDng({}),
  };
  for (const uint32_t seed : {4u, 5u}) {
    SCOPED_TRACE(seed);
    std::mt19937 rng(seed);
    ImageBuilder builder(512, seed);
    builder.Gap(3);
    for (int i = 0; i < 60; ++i) {
      switch (rng() % 4) {
        case 0:
          builder.Place(modern[rng() % modern.size()], ImageBuilder::Fill::kRandom);
          break;
        case 1:
          if (!pieces.empty()) {
            builder.Place(pieces[rng() % pieces.size()], ImageBuilder::Fill::kRandom);
          }
          break;
        case 2:
          builder.Gap(1 + rng() % 300, ImageBuilder::Fill::kRandom);
          break;
        default:
          builder.Gap(1 + rng() % 50, ImageBuilder::Fill::kZeros);
      }
    }
    builder.Gap(2000, ImageBuilder::Fill::kRandom);
    samples::TempDir dir;
    ASSERT_TRUE(builder.WriteDiskImage(dir.File("medium.img")));
    FileTypeSelection classic_selection;
    classic_selection.SelectClassicOnly();
    const auto classic = ScanWith(dir.File("medium.img"), classic_selection);
    const auto all = ScanWith(dir.File("medium.img"), FileTypeSelection());
    std::map<uint64_t, FoundFile> classic_at, all_at;
    for (const FoundFile& f : classic) classic_at[f.offset] = f;
    size_t modern_finds = 0;
    for (const FoundFile& f : all) {
      all_at[f.offset] = f;
      if (!IsClassicType(f.type)) {
        ++modern_finds;
        continue;
      }
      ASSERT_TRUE(classic_at.count(f.offset)) << f.offset;
      EXPECT_EQ(classic_at[f.offset], f);
    }
    for (const FoundFile& f : classic) {
      EXPECT_TRUE(IsClassicType(f.type));
      ASSERT_TRUE(all_at.count(f.offset)) << f.offset;
      if (IsClassicType(all_at[f.offset].type)) {
        EXPECT_EQ(all_at[f.offset], f);
      }
    }
    EXPECT_GT(modern_finds, 5u);
  }
}

}  // namespace
}  // namespace pictavo

namespace pictavo {
namespace {

// True when the file system of `path` reports holes, so that scans can skip them.
bool ReportsHoles(const std::string& path) {
  int error = 0;
  auto source = FileSectorSource::Open(path, {}, &error);
  return source && source->NextData(0) > 0;
}

void WriteAt(const std::string& path, uint64_t offset, const std::vector<uint8_t>& bytes) {
  FILE* f = std::fopen(path.c_str(), "r+b");
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(fseeko(f, static_cast<off_t>(offset), SEEK_SET), 0);
  ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
  std::fclose(f);
}

TEST(SparseScan, HolesAreSkippedWithoutChangingTheFinds) {
  samples::TempDir dir;
  const std::string path = dir.File("sparse.bin");
  samples::WriteFile(path, {});
  ASSERT_EQ(truncate(path.c_str(), 96 << 20), 0);
  if (!ReportsHoles(path)) GTEST_SKIP() << "the file system does not report holes";
  const auto jpeg = samples::EncodeJpeg({.width = 300, .height = 200});
  for (const uint64_t at : {uint64_t{0}, uint64_t{5} << 20, (uint64_t{40} << 20) - 512,
                            (uint64_t{96} << 20) - 4096 * 8}) {
    WriteAt(path, at, jpeg);
  }
  WriteAt(path, 70 << 20, samples::RandomBytes(3 << 20, 9));
  EXPECT_EQ(Scan(path, false), Scan(path, true));
}

// Offsets beyond 4 GiB and 2 TiB, up to the last sectors of a 3 TiB medium, keep all 64 bits.
TEST(SparseScan, FindsFilesAcrossATerabyteMedium) {
  samples::TempDir dir;
  const std::string path = dir.File("3tib.img");
  samples::WriteFile(path, {});
  const uint64_t size = uint64_t{3} << 40;
  if (truncate(path.c_str(), static_cast<off_t>(size)) != 0 || !ReportsHoles(path)) {
    GTEST_SKIP() << "no sparse 3 TiB file here";
  }
  const auto jpeg = samples::EncodeJpeg({.width = 120, .height = 90});
  const uint64_t sector_span = (jpeg.size() + 511) / 512 * 512;
  const std::vector<uint64_t> offsets = {
      (uint64_t{4} << 30) - sector_span, (uint64_t{4} << 30) + 512,
      (uint64_t{2} << 40) - sector_span, (uint64_t{2} << 40) + 512, size - sector_span};
  for (const uint64_t at : offsets) WriteAt(path, at, jpeg);

  class LastProgress : public ScanObserver {
   public:
    void OnProgress(uint32_t p, uint64_t, uint64_t position) override {
      percent = p;
      last = position;
    }
    uint32_t percent = 0;
    uint64_t last = 0;
  } observer;
  ScanResults results;
  const ScanStatus status = RunScan(path, ScanOptions{}, results, &observer, nullptr);
  ASSERT_TRUE(status.ok) << status.message;
  ASSERT_EQ(results.Found().size(), offsets.size());
  for (size_t i = 0; i < offsets.size(); ++i) {
    EXPECT_EQ(results.Found()[i].offset, offsets[i]);
    EXPECT_EQ(results.Found()[i].length, jpeg.size());
  }
  EXPECT_EQ(observer.last, size - uint64_t{kChunkSectors} * 512);
  EXPECT_EQ(observer.percent, 99u);
}

}  // namespace
}  // namespace pictavo

namespace pictavo {
namespace {

// Records every report, in order, to compare scans made with different numbers of threads.
class ReportLog : public ScanObserver {
 public:
  void OnProgress(uint32_t percent, uint64_t mib, uint64_t position) override {
    events.push_back("progress " + std::to_string(percent) + " " + std::to_string(mib) + " " +
                     std::to_string(position));
  }
  void OnFound(uint64_t count, const FoundFile& file) override {
    events.push_back("found " + std::to_string(count) + " " + std::to_string(file.type) + " " +
                     std::to_string(file.offset) + " " + std::to_string(file.length));
  }
  std::vector<std::string> events;
};

TEST(ParallelScan, ReportsAndResultsMatchAScanOnOneThread) {
  ImageBuilder builder(512, 21);
  std::mt19937 rng(21);
  for (int i = 0; i < 30; ++i) {
    builder.Gap(rng() % 3000, rng() % 2 ? ImageBuilder::Fill::kRandom : ImageBuilder::Fill::kZeros);
    builder.Place(samples::EncodeJpeg(
        {.width = 64, .height = 64, .without_eoi = i % 5 == 0, .seed = static_cast<uint32_t>(i)}));
  }
  // A candidate that fails verification after the last find stays in the spare record: a sector
  // starting FF D8 whose header walk meets a zero marker word.
  builder.Gap(10, ImageBuilder::Fill::kZeros);
  builder.Place({0xFF, 0xD8, 0x00, 0x00, 0x00, 0x00});
  builder.Gap(9000, ImageBuilder::Fill::kZeros);
  samples::TempDir dir;
  ASSERT_TRUE(builder.WriteRaw(dir.File("medium.bin")));

  std::vector<std::vector<std::string>> logs;
  std::vector<ScanResults> all_results;
  for (const int threads : {1, 2, 3}) {
    SetScanThreads(threads);
    ReportLog log;
    ScanResults results;
    ASSERT_TRUE(RunScan(dir.File("medium.bin"), ScanOptions{}, results, &log, nullptr).ok);
    logs.push_back(log.events);
    all_results.push_back(results);
  }
  SetScanThreads(0);
  EXPECT_NE(all_results[0].records.back().offset, 0u);
  for (size_t i = 1; i < logs.size(); ++i) {
    EXPECT_EQ(logs[i], logs[0]);
    EXPECT_EQ(all_results[i].records, all_results[0].records);
    EXPECT_EQ(all_results[i].tallies, all_results[0].tallies);
    EXPECT_EQ(all_results[i].found_count, all_results[0].found_count);
  }
}

}  // namespace
}  // namespace pictavo

namespace pictavo {
namespace {

// An MPEG-1 program stream whose packs are exactly one sector each, so that every pack is a
// candidate of its own.
std::vector<uint8_t> SectorPackStream(uint32_t packs, uint32_t seed) {
  std::vector<uint8_t> out;
  for (uint32_t i = 0; i < packs; ++i) {
    samples::Append(out, samples::MpegPackHeader(i * 1000));
    samples::Append(out, samples::MpegPacket(0xE0, samples::SeededBytes(512 - 12 - 6, seed + i)));
  }
  samples::AppendBe32(out, 0x000001B9);
  return out;
}

ScanResults ScanWithMode(const std::string& path, bool exact_ends, ReportLog* log = nullptr) {
  ScanOptions options;
  options.exact_ends = exact_ends;
  ScanResults results;
  EXPECT_TRUE(RunScan(path, options, results, log, nullptr).ok);
  return results;
}

// In the exact-ends mode the packs inside a stream are dropped where the chunks' finds are
// merged in order, so streams that cross the chunks of different threads give the same finds,
// reports and tallies whatever the number of threads.
TEST(ParallelScan, ExactEndsFindsDoNotDependOnTheThreads) {
  ImageBuilder builder(512, 33);
  std::mt19937 rng(33);
  for (int i = 0; i < 6; ++i) {
    builder.Gap(rng() % 2000, ImageBuilder::Fill::kRandom);
    builder.Place(SectorPackStream(3000 + rng() % 3000, static_cast<uint32_t>(i) * 10000));
    builder.Place(
        samples::EncodeJpeg({.width = 64, .height = 64, .seed = static_cast<uint32_t>(i)}));
  }
  builder.Gap(9000, ImageBuilder::Fill::kZeros);
  samples::TempDir dir;
  ASSERT_TRUE(builder.WriteRaw(dir.File("medium.bin")));

  std::vector<std::vector<std::string>> logs;
  std::vector<ScanResults> all_results;
  for (const int threads : {1, 2, 4}) {
    SetScanThreads(threads);
    ReportLog log;
    all_results.push_back(ScanWithMode(dir.File("medium.bin"), true, &log));
    logs.push_back(log.events);
  }
  SetScanThreads(0);
  EXPECT_EQ(all_results[0].tallies[kTypeMpeg].count, 6u);
  for (size_t i = 1; i < logs.size(); ++i) {
    EXPECT_EQ(logs[i], logs[0]);
    EXPECT_EQ(all_results[i].records, all_results[0].records);
    EXPECT_EQ(all_results[i].tallies, all_results[0].tallies);
  }
}

// Where the rules already measure files whole (plain JPEG, WAV and AVI files), the two
// modes give exactly the same records, spare record included.
TEST(DifferentialScan, BothModesAgreeWhereTheRulesMeasureWhole) {
  ImageBuilder builder(512, 44);
  std::mt19937 rng(44);
  for (int i = 0; i < 40; ++i) {
    const uint32_t seed = static_cast<uint32_t>(i);
    switch (rng() % 4) {
      case 0:
        builder.Place(samples::EncodeJpeg({.width = 40 + static_cast<int>(rng() % 100),
                                           .height = 40,
                                           .progressive = rng() % 2 == 0,
                                           .exif_thumbnail = rng() % 2 == 0,
                                           .seed = seed}),
                      ImageBuilder::Fill::kRandom);
        break;
      case 1: {
        samples::WavOptions wav;
        wav.frames = 300 + static_cast<uint32_t>(rng() % 3000);
        builder.Place(samples::MakeWav(wav), ImageBuilder::Fill::kZeros);
      } break;
      case 2:
        builder.Place(
            samples::MakeAvi({.frames = 1 + static_cast<uint32_t>(rng() % 3), .seed = seed}),
            ImageBuilder::Fill::kRandom);
        break;
      default:
        builder.Gap(1 + rng() % 100, ImageBuilder::Fill::kRandom);
    }
  }
  builder.Gap(100, ImageBuilder::Fill::kRandom);
  samples::TempDir dir;
  ASSERT_TRUE(builder.WriteRaw(dir.File("medium.bin")));
  const ScanResults rule = ScanWithMode(dir.File("medium.bin"), false);
  const ScanResults exact = ScanWithMode(dir.File("medium.bin"), true);
  EXPECT_GT(rule.found_count, 5u);
  EXPECT_EQ(exact.records, rule.records);
  EXPECT_EQ(exact.tallies, rule.tallies);
}

}  // namespace
}  // namespace pictavo
