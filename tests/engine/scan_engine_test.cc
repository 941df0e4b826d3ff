#include "engine/scan_engine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "engine/handler_set.h"
#include "support/faulty_source.h"

namespace pictavo {
namespace {

using testing::FaultySource;

// A handler that claims sectors starting with its tag byte, measures a fixed length, and records
// every call so the loop's rules can be checked.
struct CallLog {
  std::vector<std::string> calls;
};

class StubHandler : public FormatHandler {
 public:
  StubHandler(FileTypeId type, uint8_t tag, CallLog* log, bool verifies = true,
              uint64_t length = 1000)
      : type_(type), tag_(tag), log_(log), verifies_(verifies), length_(length) {}

  bool MatchSignature(const uint8_t* head) override {
    log_->calls.push_back("match" + std::to_string(type_));
    EXPECT_EQ(head[25], 0) << "the 26th byte of the sector head is always zero";
    return head[0] == tag_;
  }
  bool Verify(SectorSource&, uint64_t offset) override {
    log_->calls.push_back("verify" + std::to_string(type_) + "@" + std::to_string(offset));
    return verifies_;
  }
  uint64_t MeasureLength(SectorSource&, uint64_t) override { return length_; }
  FileTypeId TypeCode() const override { return type_; }

 private:
  FileTypeId type_;
  uint8_t tag_;
  CallLog* log_;
  bool verifies_;
  uint64_t length_;
};

class RecordingObserver : public ScanObserver {
 public:
  void OnProgress(uint32_t percent, uint64_t mib, uint64_t position) override {
    progress.push_back({percent, mib, position});
  }
  void OnFound(uint64_t count, const FoundFile& file) override {
    found_counts.push_back(count);
    found.push_back(file);
  }
  struct Progress {
    uint32_t percent;
    uint64_t mib;
    uint64_t position;
  };
  std::vector<Progress> progress;
  std::vector<uint64_t> found_counts;
  std::vector<FoundFile> found;
};

std::vector<uint8_t> Medium(size_t sectors, uint32_t sector_size = 512) {
  return std::vector<uint8_t>(sectors * sector_size, 0);
}

void Tag(std::vector<uint8_t>& medium, size_t sector, uint8_t tag, uint32_t sector_size = 512) {
  medium[sector * sector_size] = tag;
}

TEST(ScanLoop, FirstHandlerInOrderClaimsTheSectorAndLaterOnesAreNotAsked) {
  auto medium = Medium(8);
  Tag(medium, 3, 0xAA);
  FaultySource source(medium, 512);
  CallLog log;
  HandlerList handlers;
  handlers.push_back(std::make_unique<StubHandler>(kTypeWav, 0xAA, &log));
  handlers.push_back(std::make_unique<StubHandler>(kTypeJpeg, 0xAA, &log));
  ScanResults results;
  const ScanStatus status =
      RunScanWithHandlers(source, std::move(handlers), results, nullptr, nullptr);
  ASSERT_TRUE(status.ok);
  ASSERT_EQ(results.Found().size(), 1u);
  EXPECT_EQ(results.Found()[0], (FoundFile{kTypeWav, 3 * 512, 1000, 0}));
  // Sector 3: WAV matched, verified and claimed; JPEG was never asked about it. (The scan also
  // asks every handler once about a sector of zeros before it starts.)
  int jpeg_matches = 0;
  for (const auto& call : log.calls) jpeg_matches += call == "match10";
  EXPECT_EQ(jpeg_matches, 1 + 7);
}

TEST(ScanLoop, FailedVerifyPassesTheSectorOnAndLeavesItsOffsetInTheSpareRecord) {
  auto medium = Medium(16);
  Tag(medium, 2, 0xAA);
  Tag(medium, 9, 0xBB);
  FaultySource source(medium, 512);
  CallLog log;
  HandlerList handlers;
  handlers.push_back(std::make_unique<StubHandler>(kTypeWav, 0xAA, &log, /*verifies=*/false));
  handlers.push_back(std::make_unique<StubHandler>(kTypeJpeg, 0xAA, &log, true, 0x1'0000'0123ULL));
  handlers.push_back(std::make_unique<StubHandler>(kTypePng, 0xBB, &log, false));
  ScanResults results;
  RecordingObserver observer;
  ASSERT_TRUE(RunScanWithHandlers(source, std::move(handlers), results, &observer, nullptr).ok);

  ASSERT_EQ(results.records.size(), 2u);
  // The length keeps the low 32 bits of what the handler measured.
  EXPECT_EQ(results.records[0], (FoundFile{kTypeJpeg, 2 * 512, 0x123, 0}));
  EXPECT_EQ(results.records[1], (FoundFile{kTypeNone, 9 * 512, 0, 0}));
  EXPECT_EQ(results.found_count, 1u);
  EXPECT_EQ(results.tallies[kTypeJpeg], (TypeTally{1, 1, 0x123}));
  EXPECT_EQ(observer.found_counts, std::vector<uint64_t>{1});
}

TEST(ScanLoop, ConsecutiveSectorsAndNestedSignaturesAreAllFound) {
  auto medium = Medium(10);
  for (size_t s : {1, 2, 3, 7}) Tag(medium, s, 0xAA);
  FaultySource source(medium, 512);
  CallLog log;
  HandlerList handlers;
  handlers.push_back(std::make_unique<StubHandler>(kTypeTiff, 0xAA, &log, true, 5000));
  ScanResults results;
  ASSERT_TRUE(RunScanWithHandlers(source, std::move(handlers), results, nullptr, nullptr).ok);
  ASSERT_EQ(results.Found().size(), 4u);
  EXPECT_EQ(results.found_count, results.records.size() - 1);
  EXPECT_EQ(results.tallies[kTypeTiff].total_bytes, 4u * 5000);
  EXPECT_EQ(results.records.back(), (FoundFile{}));
}

TEST(ScanLoop, ReadsWholeChunksAndReportsProgressFromEachChunkStart) {
  struct Case {
    uint32_t sector_size;
    uint64_t bytes;
    std::vector<uint32_t> percents;
  };
  const Case cases[] = {
      // 4097 sectors: one full chunk and one of a single sector.
      {512, 4097 * 512, {0, static_cast<uint32_t>(4096ULL * 512 * 100 / (4097 * 512))}},
      // A trailing partial sector is never read.
      {512, 4096 * 512 + 300, {0}},
      {4096, 4096ULL * 4096 * 2 + 4096, {0, 49, 99}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bytes);
    std::vector<uint8_t> medium(c.bytes, 0);
    FaultySource source(medium, static_cast<uint16_t>(c.sector_size));
    RecordingObserver observer;
    ScanResults results;
    ASSERT_TRUE(RunScanWithHandlers(source, {}, results, &observer, nullptr).ok);
    std::vector<uint32_t> percents;
    for (const auto& p : observer.progress) percents.push_back(p.percent);
    EXPECT_EQ(percents, c.percents);
    uint64_t read_end = 0;
    for (const auto& [offset, count] : source.read_log())
      read_end = std::max(read_end, offset + count);
    EXPECT_EQ(read_end, c.bytes / c.sector_size * c.sector_size);
  }
}

TEST(ScanLoop, EmptyHandlerListStillReadsTheWholeMedium) {
  std::vector<uint8_t> medium(3 * 4096 * 512, 0xFF);
  FaultySource source(medium, 512);
  ScanResults results;
  RecordingObserver observer;
  const ScanStatus status = RunScan(
      source,
      [] {
        FileTypeSelection s;
        s.SelectAll(false);
        return s;
      }(),
      results, &observer, nullptr);
  EXPECT_TRUE(status.ok);
  EXPECT_EQ(observer.progress.size(), 3u);
  EXPECT_EQ(results.records.size(), 1u);  // only the spare record
}

// A chunk that fails to read is read again sector by sector: every readable sector is scanned,
// the unreadable ones are listed, and the scan succeeds wherever the bad chunks lie.
TEST(ScanLoop, ReadFailuresLoseOnlyTheUnreadableSectorsWhereverTheyLie) {
  const uint64_t chunk = 4096 * 512;
  struct Case {
    std::string name;
    std::vector<uint64_t> bad_chunks;
  };
  const Case cases[] = {
      {"middle chunk", {1}},
      {"last chunk", {3}},
      {"first and last", {0, 3}},
      {"every chunk", {0, 1, 2, 3}},
  };
  for (const bool partial : {false, true}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(c.name + (partial ? ", partial reads" : ""));
      auto medium = Medium(4 * 4096);
      for (uint64_t k = 0; k < 4; ++k) {
        Tag(medium, k * 4096 + 5, 0xAA);   // a readable sector after a bad one
        Tag(medium, k * 4096 + 40, 0xAA);  // the unreadable sector of a bad chunk
      }
      FaultySource source(medium, 512);
      source.DeliverPartially(partial);
      std::vector<ByteRange> bad;
      for (uint64_t k : c.bad_chunks) {
        source.FailRange(k * chunk + 40 * 512 + 100, k * chunk + 40 * 512 + 101);
        // A read that stops at the bad byte keeps the bytes before it.
        bad.push_back(partial ? ByteRange{k * chunk + 40 * 512 + 100, 412}
                              : ByteRange{k * chunk + 40 * 512, 512});
      }
      CallLog log;
      HandlerList handlers;
      handlers.push_back(std::make_unique<StubHandler>(kTypeJpeg, 0xAA, &log));
      ScanResults results;
      RecordingObserver observer;
      const ScanStatus status =
          RunScanWithHandlers(source, std::move(handlers), results, &observer, nullptr);
      EXPECT_TRUE(status.ok);
      EXPECT_EQ(status.unreadable, bad);
      EXPECT_EQ(status.failed_chunks, c.bad_chunks.size());
      EXPECT_EQ(status.unreadable_bytes(), (partial ? 412 : 512) * c.bad_chunks.size());
      EXPECT_EQ(status.error_code, EIO);
      EXPECT_EQ(observer.progress.size(), 4u);
      std::vector<uint64_t> found;
      for (const FoundFile& f : results.Found()) found.push_back(f.offset);
      std::vector<uint64_t> expected;
      for (uint64_t k = 0; k < 4; ++k) {
        expected.push_back((k * 4096 + 5) * 512);
        const bool bad_chunk =
            std::find(c.bad_chunks.begin(), c.bad_chunks.end(), k) != c.bad_chunks.end();
        if (!bad_chunk) expected.push_back((k * 4096 + 40) * 512);
      }
      EXPECT_EQ(found, expected) << "every readable sector is scanned, no unreadable one";
    }
  }
}

// A source whose reads end before its size (a device that shrank) ends the scan with a clear
// message; the finds before are kept and the bytes left in the buffer are not scanned again.
constexpr uint64_t kShrunkSize = 4096 * 512 + 3 * 512;

TEST(ScanLoop, ASourceThatEndsEarlyEndsTheScanWithTheNewSize) {
  class ShrunkSource : public FaultySource {
   public:
    using FaultySource::FaultySource;
    int64_t Pread(uint64_t offset, uint8_t* buffer, uint32_t count, int* error) override {
      if (offset >= kShrunkSize) return 0;
      return FaultySource::Pread(offset, buffer, std::min<uint64_t>(count, kShrunkSize - offset),
                                 error);
    }
    uint64_t CurrentSize() override { return kShrunkSize; }
  };
  auto medium = Medium(4 * 4096);
  for (uint64_t k = 0; k < 4; ++k) Tag(medium, k * 4096 + 1, 0xAA);
  ShrunkSource source(medium, 512);
  CallLog log;
  HandlerList handlers;
  handlers.push_back(std::make_unique<StubHandler>(kTypeJpeg, 0xAA, &log));
  ScanResults results;
  const ScanStatus status =
      RunScanWithHandlers(source, std::move(handlers), results, nullptr, nullptr);
  EXPECT_FALSE(status.ok);
  EXPECT_TRUE(status.source_shrank);
  EXPECT_EQ(status.message, "the source shrank to 2098688 bytes during the scan");
  std::vector<uint64_t> found;
  for (const FoundFile& f : results.Found()) found.push_back(f.offset);
  EXPECT_EQ(found, (std::vector<uint64_t>{512, (4096 + 1) * 512}));
}

TEST(ScanLoop, EmptySourceOrUnknownSectorSizeIsRefusedWithAReason) {
  ScanResults results;
  MemorySectorSource empty({}, 512);
  ScanStatus status = RunScanWithHandlers(empty, {}, results, nullptr, nullptr);
  EXPECT_FALSE(status.ok);
  EXPECT_NE(status.message.find("empty"), std::string::npos);

  MemorySectorSource no_sector(std::vector<uint8_t>(4096), 0);
  status = RunScanWithHandlers(no_sector, {}, results, nullptr, nullptr);
  EXPECT_FALSE(status.ok);
  EXPECT_NE(status.message.find("sector size"), std::string::npos);
}

TEST(ScanLoop, StopDuringAChunkReportsThatChunkAndKeepsTheFinds) {
  auto medium = Medium(3 * 4096);
  Tag(medium, 10, 0xAA);
  Tag(medium, 20, 0xAA);
  Tag(medium, 5000, 0xAA);
  FaultySource source(medium, 512);
  std::atomic<bool> stop{false};

  // Stops the scan from inside the first find's report, as the GUI's Stop button would.
  class StoppingObserver : public RecordingObserver {
   public:
    explicit StoppingObserver(std::atomic<bool>* stop) : stop_(stop) {}
    void OnFound(uint64_t count, const FoundFile& file) override {
      RecordingObserver::OnFound(count, file);
      stop_->store(true);
    }
    std::atomic<bool>* stop_;
  } observer(&stop);

  CallLog log;
  HandlerList handlers;
  handlers.push_back(std::make_unique<StubHandler>(kTypeJpeg, 0xAA, &log));
  ScanResults results;
  const ScanStatus status =
      RunScanWithHandlers(source, std::move(handlers), results, &observer, &stop);
  EXPECT_TRUE(status.ok);
  EXPECT_TRUE(status.stopped);
  EXPECT_EQ(results.Found().size(), 1u);
  ASSERT_EQ(observer.progress.size(), 1u);
  EXPECT_EQ(observer.progress[0].percent, 0u);
}

TEST(ScanLoop, SkippedAreasAreOfferedToNoHandlerAndFindsKeepTheirOffsets) {
  // Two chunks and a few sectors; tags everywhere a find could be.
  auto medium = Medium(2 * 4096 + 8);
  for (size_t s : {3, 5, 6, 10, 4100, 8000, 8193}) Tag(medium, s, 0xAA);
  FaultySource source(medium, 512);
  CallLog log;
  HandlerList handlers;
  handlers.push_back(std::make_unique<StubHandler>(kTypeJpeg, 0xAA, &log, true, 4096));
  // Sector 5 wholly, sector 6 from its middle (its first byte stays free), and the whole
  // second chunk.
  std::vector<ByteRange> skipped;
  AppendRange(skipped, 5 * 512, 512 + 100);
  AppendRange(skipped, 4096 * 512, 4096 * 512);
  ScanResults results;
  RecordingObserver observer;
  ASSERT_TRUE(
      RunScanWithHandlers(source, std::move(handlers), results, &observer, nullptr, false, &skipped)
          .ok);
  std::vector<uint64_t> offsets;
  for (const FoundFile& file : results.Found()) offsets.push_back(file.offset);
  EXPECT_EQ(offsets, (std::vector<uint64_t>{3 * 512, 10 * 512, 8193 * 512}));
  // A file that starts before a skipped area is measured across it as always.
  EXPECT_EQ(results.Found()[0].length, 4096u);
  // The chunk inside the skipped area is not even read, but its progress is still reported.
  for (const auto& [offset, count] : source.read_log()) {
    EXPECT_FALSE(offset >= 4096 * 512 && offset < 8192 * 512) << offset;
  }
  EXPECT_EQ(observer.progress.size(), 3u);
}

TEST(ScanLoop, NoSkippedAreasScansExactlyAsBefore) {
  auto medium = Medium(64);
  for (size_t s : {0, 7, 63}) Tag(medium, s, 0xAA);
  const auto scan = [&](const std::vector<ByteRange>* skipped) {
    FaultySource source(medium, 512);
    CallLog log;
    HandlerList handlers;
    handlers.push_back(std::make_unique<StubHandler>(kTypeJpeg, 0xAA, &log));
    ScanResults results;
    RunScanWithHandlers(source, std::move(handlers), results, nullptr, nullptr, false, skipped);
    return std::make_pair(results.records, log.calls);
  };
  const std::vector<ByteRange> none;
  EXPECT_EQ(scan(nullptr), scan(&none));
}

TEST(HandlerSet, SelectionKeepsTheFixedTrialOrder) {
  FileTypeSelection selection;
  selection.SelectAll(false);
  EXPECT_TRUE(BuildHandlerList(selection).empty());

  selection.SelectAll(true);
  const HandlerList all = BuildHandlerList(selection);
  std::vector<FileTypeId> actual;
  for (const auto& handler : all) actual.push_back(handler->TypeCode());
  EXPECT_EQ(actual, std::vector<FileTypeId>(TrialOrder().begin(), TrialOrder().end()));

  // The classic types keep their order: MPEG first, BMP last.
  const std::vector<FileTypeId> classic_order = {
      kTypeMpeg, kTypeWav, kTypeMov,  kTypeAvi, kTypeDng, kTypeArw, kTypePef, kTypeNef,
      kTypeX3f,  kTypeMrw, kTypeRaw,  kTypeRaf, kTypeOrf, kTypeCr2, kTypeCrw, kTypeTiff,
      kTypeJp2,  kTypeJ2k, kTypeJpeg, kTypeGif, kTypePng, kTypeBmp};
  selection.SelectClassicOnly();
  std::vector<FileTypeId> classic;
  for (const auto& handler : BuildHandlerList(selection)) classic.push_back(handler->TypeCode());
  EXPECT_EQ(classic, classic_order);
  std::vector<FileTypeId> classic_in_trial_order;
  for (const FileTypeId id : TrialOrder()) {
    if (IsClassicType(id)) classic_in_trial_order.push_back(id);
  }
  EXPECT_EQ(classic_in_trial_order, classic_order);
}

TEST(FileTypes, ExtensionsAndLabelsFollowTheTypeTable) {
  EXPECT_EQ(ExtensionOf(kTypeJpeg), "jpeg");
  EXPECT_EQ(ExtensionOf(kTypeRaw), "raw");
  EXPECT_EQ(ExtensionOf(kTypeDbx), "");
  EXPECT_EQ(ExtensionOf(99), "");
  EXPECT_EQ(TreeLabelOf(kTypeK25), "K25 (");
  EXPECT_EQ(TypeFromExtension("TIFF"), kTypeTiff);
  EXPECT_EQ(TypeFromExtension("pst"), std::nullopt);
  int with_recogniser = 0;
  for (FileTypeId id = 0; id < kClassicTypeCount; ++id) with_recogniser += HasRecogniser(id);
  EXPECT_EQ(with_recogniser, 22);
}

}  // namespace
}  // namespace pictavo
