#include "engine/scan_engine.h"

#include <algorithm>
#include <array>
#include <bitset>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <thread>

#include "platform/system_error.h"

namespace pictavo {
namespace {

bool Stopped(const std::atomic<bool>* stop_flag) {
  return stop_flag && stop_flag->load(std::memory_order_relaxed);
}

std::atomic<bool> literal_scan{false};
std::atomic<int> scan_threads{0};

uint32_t PercentOf(uint64_t offset, uint64_t size) {
  return static_cast<uint32_t>(static_cast<unsigned __int128>(offset) * 100 / size);
}

ScanStatus Refusal(uint64_t source_size) {
  ScanStatus status;
  status.message = source_size == 0 ? "The source is empty: it holds no sector to scan."
                                    : "The sector size of the source is unknown (0 bytes).";
  return status;
}

// Receives what the sectors of a chunk produce, in sector order and, within a sector, in trial
// order: every candidate whose signature matched, and every find.
class FindSink {
 public:
  virtual ~FindSink() = default;
  virtual void Candidate(uint64_t offset) = 0;
  virtual void Found(const FoundFile& file) = 0;
};

// kShrank: the source ended inside the chunk, before the size it had when it was opened.
enum class ChunkState { kScanned, kHole, kShrank };

// Reads chunks of a source and offers every sector to the handlers. One per thread.
class SectorScanner {
 public:
  SectorScanner(HandlerList handlers, uint16_t sector_size, bool literal)
      : handlers_(std::move(handlers)),
        literal_(literal),
        sector_size_(sector_size),
        head_copy_(std::min<uint32_t>(kSectorHeadCopied, sector_size)),
        buffer_(new (std::nothrow) uint8_t[ChunkSectorsFor(sector_size) * sector_size]()) {
    for (const auto& handler : handlers_) {
      const std::bitset<256> first =
          literal ? std::bitset<256>().set() : handler->SignatureFirstBytes();
      for (size_t b = 0; b < 256; ++b) {
        if (first.test(b)) by_first_byte_[b].push_back(handler.get());
      }
    }
    // When no handler accepts a sector of zeros, a chunk lying wholly in a hole of a sparse
    // file cannot hold a find and need not be read.
    uint8_t zeros[kSectorHeadSize] = {};
    bool zero_sectors_match = false;
    for (const auto& handler : handlers_) zero_sectors_match |= handler->MatchSignature(zeros);
    skip_holes_ = !literal && !zero_sectors_match;
  }

  bool ok() const { return buffer_ != nullptr; }

  // Sectors starting inside these areas are not offered to the handlers; null for none.
  void SetSkipped(const std::vector<ByteRange>* skipped) {
    skipped_ = skipped != nullptr && !skipped->empty() ? skipped : nullptr;
  }

  // Scans the `sectors` sectors at `offset`. A chunk that fails to read is read again sector by
  // sector; the sectors that still fail are appended to `*unreadable` and not scanned, all
  // others are. `*error` receives the first read failure's errno value.
  ChunkState ScanChunk(SectorSource& source, uint64_t offset, uint64_t sectors,
                       const std::atomic<bool>* stop_flag, FindSink& sink, int* error,
                       std::vector<ByteRange>* unreadable) {
    const uint64_t chunk_bytes = sectors * sector_size_;
    // The first skipped area that ends after the chunk's start; a chunk wholly inside one is
    // not even read.
    size_t next_skipped = 0;
    if (skipped_ != nullptr) {
      next_skipped = static_cast<size_t>(
          std::partition_point(skipped_->begin(), skipped_->end(),
                               [offset](const ByteRange& range) { return range.end() <= offset; }) -
          skipped_->begin());
      if (next_skipped < skipped_->size() && (*skipped_)[next_skipped].offset <= offset &&
          (*skipped_)[next_skipped].end() >= offset + chunk_bytes) {
        return ChunkState::kHole;
      }
    }
    if (skip_holes_) {
      if (next_data_ < offset + chunk_bytes) next_data_ = source.NextData(offset);
      if (next_data_ >= offset + chunk_bytes) return ChunkState::kHole;
    }
    const uint8_t* chunk =
        literal_ ? nullptr : source.View(offset, static_cast<uint32_t>(chunk_bytes));
    ChunkState state = ChunkState::kScanned;
    size_t first_bad = unreadable->size();
    // A mapped source that shrank serves zeros where its bytes were cut off: those are no data.
    if (chunk != nullptr && source.CurrentSize() < offset + chunk_bytes) chunk = nullptr;
    if (chunk == nullptr) {
      const uint32_t delivered = ReadSalvaging(source, offset, static_cast<uint32_t>(chunk_bytes),
                                               buffer_.get(), unreadable, error);
      if (delivered < chunk_bytes) {
        // The chunk lies within the size the source had when opened: a read that ends early
        // means the source shrank. Only the whole sectors that arrived are scanned.
        state = ChunkState::kShrank;
        sectors = delivered / sector_size_;
      }
      chunk = buffer_.get();
    }
    uint8_t head[kSectorHeadSize] = {};
    for (uint64_t i = 0; i < sectors; ++i) {
      const uint64_t sector_begin = offset + i * sector_size_;
      // Sectors that could not be read hold zeros, not the medium's bytes: none is scanned.
      while (first_bad < unreadable->size() && (*unreadable)[first_bad].end() <= sector_begin) {
        ++first_bad;
      }
      if (first_bad < unreadable->size() &&
          (*unreadable)[first_bad].offset < sector_begin + sector_size_) {
        continue;
      }
      if (skipped_ != nullptr) {
        while (next_skipped < skipped_->size() && (*skipped_)[next_skipped].end() <= sector_begin) {
          ++next_skipped;
        }
        if (next_skipped < skipped_->size() && (*skipped_)[next_skipped].offset <= sector_begin) {
          continue;
        }
      }
      const uint8_t* sector = chunk + i * sector_size_;
      const std::vector<FormatHandler*>& candidates = by_first_byte_[sector[0]];
      if (candidates.empty()) {
        if (Stopped(stop_flag)) return state;
        continue;
      }
      if (head_copy_ == kSectorHeadCopied) {
        std::memcpy(head, sector, kSectorHeadCopied);
      } else {
        std::memset(head, 0, sizeof(head));
        std::memcpy(head, sector, head_copy_);
      }
      const uint64_t sector_offset = offset + i * sector_size_;
      for (FormatHandler* handler : candidates) {
        if (Stopped(stop_flag)) return state;
        if (!handler->MatchSignature(head)) continue;
        sink.Candidate(sector_offset);
        if (!handler->Verify(source, sector_offset)) continue;
        FoundFile found;
        found.offset = sector_offset;
        found.type = handler->TypeCode();
        found.length = RecordedLength(found.type, handler->MeasureLength(source, sector_offset),
                                      handler->exact_ends());
        sink.Found(found);
        break;
      }
      if (Stopped(stop_flag)) return state;
    }
    if (state == ChunkState::kScanned && source.CurrentSize() < offset + chunk_bytes) {
      return ChunkState::kShrank;
    }
    return state;
  }

 private:
  HandlerList handlers_;
  std::array<std::vector<FormatHandler*>, 256> by_first_byte_;
  bool literal_;
  bool skip_holes_ = false;
  uint64_t next_data_ = 0;
  const std::vector<ByteRange>* skipped_ = nullptr;
  uint16_t sector_size_;
  uint32_t head_copy_;
  std::unique_ptr<uint8_t[]> buffer_;
};

// Appends finds to the results as the scan makes them: the spare record takes each candidate's
// offset, and a find turns it into a record and appends a new spare.
class ResultsWriter {
 public:
  ResultsWriter(ScanResults& results, ScanObserver* observer, bool exact_ends = false)
      : results_(results), observer_(observer), exact_ends_(exact_ends) {
    results_.records.emplace_back();
  }
  void Candidate(uint64_t offset) { results_.records.back().offset = offset; }
  void Found(const FoundFile& file) {
    if (exact_ends_ && file.type == kTypeMpeg) {
      // In the exact-ends mode an MPEG find is the whole program stream, so a pack starting
      // inside the stream last recorded is part of it, not a file of its own. Decided here, in
      // sector order, so that the finds do not depend on how the chunks were shared out.
      if (file.offset >= mpeg_start_ && file.offset - mpeg_start_ < mpeg_length_) {
        Candidate(file.offset);
        return;
      }
      mpeg_start_ = file.offset;
      mpeg_length_ = file.length;
    }
    FoundFile& spare = results_.records.back();
    spare = file;
    TypeTally& tally = results_.tallies[file.type < kTypeCount ? file.type : 0];
    tally.present = 1;
    tally.count += 1;
    tally.total_bytes += file.length;
    results_.records.emplace_back();
    results_.found_count += 1;
    if (observer_) observer_->OnFound(results_.found_count, file);
  }

 private:
  ScanResults& results_;
  ScanObserver* observer_;
  bool exact_ends_;
  uint64_t mpeg_start_ = 0;
  uint64_t mpeg_length_ = 0;
};

// Gathers what the chunks report, in chunk order: the unreadable areas, the first read failure,
// and whether the source shrank.
struct ChunkAccounting {
  bool shrank = false;
  void Record(ChunkState state, int error, const std::vector<ByteRange>& unreadable,
              ScanStatus& status) {
    if (status.error_code == 0) status.error_code = error;
    for (const ByteRange& range : unreadable) {
      const size_t before = status.unreadable.size();
      AppendRange(status.unreadable, range.offset, range.length);
      if (status.unreadable.size() > before) ++status.failed_chunks;
    }
    if (state == ChunkState::kShrank) shrank = true;
  }
};

ScanStatus Finish(ScanStatus status, const ChunkAccounting& chunks, SectorSource& source,
                  const std::atomic<bool>* stop_flag) {
  status.stopped = Stopped(stop_flag);
  status.ok = !chunks.shrank;
  if (chunks.shrank) {
    status.source_shrank = true;
    status.shrunk_size = source.CurrentSize();
    status.message =
        "the source shrank to " + std::to_string(status.shrunk_size) + " bytes during the scan";
  }
  return status;
}

// What one chunk produced, kept until the chunks before it have been reported.
struct ChunkOutcome : FindSink {
  ChunkState state = ChunkState::kScanned;
  int error = 0;
  std::vector<ByteRange> unreadable;
  std::vector<std::pair<bool, FoundFile>> events;  // (is a find, record)

  void Candidate(uint64_t offset) override {
    FoundFile candidate;
    candidate.offset = offset;
    events.emplace_back(false, candidate);
  }
  void Found(const FoundFile& file) override { events.emplace_back(true, file); }
};

int ThreadCount() {
  if (const int forced = scan_threads.load(); forced > 0) return forced;
  if (const char* env = std::getenv("PICTAVO_SCAN_THREADS")) {
    const int value = std::atoi(env);
    if (value > 0) return std::min(value, 16);
  }
  return static_cast<int>(std::clamp(std::thread::hardware_concurrency(), 1u, 4u));
}

// Several threads scan chunks at once, each with its own handlers and its own view of the
// source; the calling thread reports their finds and progress strictly in chunk order, so the
// results and reports are exactly those of a scan done one chunk after another.
ScanStatus RunParallelScan(SectorSource& source, const ScanOptions& options,
                           std::vector<std::unique_ptr<SectorSource>> clones, ScanResults& results,
                           ScanObserver* observer, const std::atomic<bool>* stop_flag) {
  const uint64_t source_size = source.Size();
  const uint16_t sector_size = source.SectorSize();
  const uint64_t total_sectors = source_size / sector_size;
  const uint64_t chunk_sectors = ChunkSectorsFor(sector_size);
  const uint64_t chunk_count = (total_sectors + chunk_sectors - 1) / chunk_sectors;
  constexpr uint64_t kChunksAhead = 32;

  std::vector<std::unique_ptr<SectorScanner>> scanners;
  for (size_t i = 0; i < clones.size(); ++i) {
    scanners.push_back(std::make_unique<SectorScanner>(
        BuildHandlerList(options.selection, options.exact_ends), sector_size, false));
    scanners.back()->SetSkipped(&options.skipped);
    if (!scanners.back()->ok()) {
      ScanStatus status;
      status.error_code = ENOMEM;
      status.message = SystemErrorText(ENOMEM);
      return status;
    }
  }

  std::mutex mutex;
  std::condition_variable work_ready, outcome_ready;
  std::map<uint64_t, ChunkOutcome> outcomes;
  uint64_t next_chunk = 0;
  uint64_t reported = 0;
  bool quit = false;
  size_t workers_done = 0;

  auto worker = [&](size_t index) {
    for (;;) {
      uint64_t chunk;
      {
        std::unique_lock lock(mutex);
        work_ready.wait(lock, [&] {
          return quit || next_chunk >= chunk_count || next_chunk < reported + kChunksAhead;
        });
        if (quit || next_chunk >= chunk_count || Stopped(stop_flag)) break;
        chunk = next_chunk++;
      }
      ChunkOutcome outcome;
      const uint64_t offset = chunk * chunk_sectors * sector_size;
      const uint64_t sectors =
          std::min<uint64_t>(chunk_sectors, total_sectors - chunk * chunk_sectors);
      outcome.state = scanners[index]->ScanChunk(*clones[index], offset, sectors, stop_flag,
                                                 outcome, &outcome.error, &outcome.unreadable);
      bool needed_next;
      {
        std::lock_guard lock(mutex);
        outcomes.emplace(chunk, std::move(outcome));
        needed_next = chunk == reported;
      }
      if (needed_next) outcome_ready.notify_all();
    }
    {
      std::lock_guard lock(mutex);
      ++workers_done;
    }
    outcome_ready.notify_all();
  };

  std::vector<std::thread> threads;
  for (size_t i = 0; i < scanners.size(); ++i) threads.emplace_back(worker, i);

  ScanStatus status;
  ChunkAccounting chunks;
  ResultsWriter writer(results, observer, options.exact_ends);
  std::vector<ChunkOutcome> ready;
  uint64_t chunk = 0;
  bool stop = false;
  while (chunk < chunk_count && !stop) {
    ready.clear();
    {
      // Takes every outcome that is next in line at once, so that a run of cheap chunks (holes
      // of a sparse file) costs one wake-up, not one per chunk.
      std::unique_lock lock(mutex);
      outcome_ready.wait(
          lock, [&] { return outcomes.count(chunk) != 0 || workers_done == threads.size(); });
      for (auto it = outcomes.find(chunk + ready.size()); it != outcomes.end();
           it = outcomes.find(chunk + ready.size())) {
        ready.push_back(std::move(it->second));
        outcomes.erase(it);
      }
      reported = chunk + ready.size();
    }
    if (ready.empty()) break;  // stopped before the next chunk was taken
    work_ready.notify_all();
    for (ChunkOutcome& outcome : ready) {
      chunks.Record(outcome.state, outcome.error, outcome.unreadable, status);
      const uint64_t offset = chunk * chunk_sectors * sector_size;
      for (const auto& [is_find, file] : outcome.events) {
        if (is_find) {
          writer.Found(file);
        } else {
          writer.Candidate(file.offset);
        }
      }
      if (observer) observer->OnProgress(PercentOf(offset, source_size), offset >> 20, offset);
      ++chunk;
      if (Stopped(stop_flag) || outcome.state == ChunkState::kShrank) {
        stop = true;
        break;
      }
    }
  }
  {
    std::lock_guard lock(mutex);
    quit = true;
  }
  work_ready.notify_all();
  for (auto& thread : threads) thread.join();
  return Finish(status, chunks, source, stop_flag);
}

}  // namespace

void SetLiteralScan(bool literal) { literal_scan.store(literal); }
bool LiteralScan() { return literal_scan.load(); }
void SetScanThreads(int threads) { scan_threads.store(threads); }

bool ExactEndsFromEnvironment() {
  const char* env = std::getenv("PICTAVO_EXACT_ENDS");
  return env != nullptr && std::strcmp(env, "1") == 0;
}

ScanStatus RunScan(const std::string& source_name, const ScanOptions& options, ScanResults& results,
                   ScanObserver* observer, const std::atomic<bool>* stop_flag) {
  results.Clear();
  int error = 0;
  OpenOptions open_options;
  open_options.raw_sector_size = options.raw_sector_size;
  std::string reason;
  auto source = FileSectorSource::Open(source_name, open_options, &error, &reason);
  if (!source) {
    ScanStatus status;
    status.error_code = error;
    status.message = reason.empty() ? SystemErrorText(error) : reason;
    return status;
  }
  return RunScan(*source, options, results, observer, stop_flag);
}

ScanStatus RunScan(SectorSource& source, const FileTypeSelection& selection, ScanResults& results,
                   ScanObserver* observer, const std::atomic<bool>* stop_flag) {
  ScanOptions options;
  options.selection = selection;
  return RunScan(source, options, results, observer, stop_flag);
}

ScanStatus RunScan(SectorSource& source, const ScanOptions& options, ScanResults& results,
                   ScanObserver* observer, const std::atomic<bool>* stop_flag) {
  results.Clear();
  const uint64_t source_size = source.Size();
  const uint16_t sector_size = source.SectorSize();
  const int threads = LiteralScan() ? 1 : ThreadCount();
  if (threads > 1 && source_size / std::max<uint16_t>(sector_size, 1) > kChunkSectors) {
    std::vector<std::unique_ptr<SectorSource>> clones;
    for (int i = 0; i < threads; ++i) {
      auto clone = source.Clone();
      if (!clone) break;
      clones.push_back(std::move(clone));
    }
    if (clones.size() == static_cast<size_t>(threads) && sector_size != 0) {
      if (observer) observer->OnStart(source_size, sector_size);
      return RunParallelScan(source, options, std::move(clones), results, observer, stop_flag);
    }
  }
  return RunScanWithHandlers(source, BuildHandlerList(options.selection, options.exact_ends),
                             results, observer, stop_flag, options.exact_ends, &options.skipped);
}

namespace {

// The medium as the straightforward scan sees it: every byte comes through a read into a
// buffer, none is looked at in place, no hole is skipped.
class ReadsOnly : public SectorSource {
 public:
  explicit ReadsOnly(SectorSource& medium) : medium_(medium) {}
  int64_t Pread(uint64_t offset, uint8_t* buffer, uint32_t count, int* error) override {
    return medium_.Pread(offset, buffer, count, error);
  }
  uint16_t SectorSize() override { return medium_.SectorSize(); }
  uint64_t Size() const override { return medium_.Size(); }
  const std::string& Name() const override { return medium_.Name(); }

 private:
  SectorSource& medium_;
};

}  // namespace

ScanStatus RunScanWithHandlers(SectorSource& medium, HandlerList handlers, ScanResults& results,
                               ScanObserver* observer, const std::atomic<bool>* stop_flag,
                               bool exact_ends, const std::vector<ByteRange>* skipped) {
  ReadsOnly reads_only(medium);
  SectorSource& source = LiteralScan() ? static_cast<SectorSource&>(reads_only) : medium;
  results.Clear();
  const uint64_t source_size = source.Size();
  const uint16_t sector_size = source.SectorSize();
  if (source_size == 0 || sector_size == 0) return Refusal(source_size);
  if (observer) observer->OnStart(source_size, sector_size);

  ScanStatus status;
  SectorScanner scanner(std::move(handlers), sector_size, LiteralScan());
  scanner.SetSkipped(skipped);
  ResultsWriter writer(results, observer, exact_ends);
  if (!scanner.ok()) {
    status.error_code = ENOMEM;
    status.message = SystemErrorText(ENOMEM);
    return status;
  }
  struct Sink : FindSink {
    explicit Sink(ResultsWriter& w) : writer(w) {}
    void Candidate(uint64_t offset) override { writer.Candidate(offset); }
    void Found(const FoundFile& file) override { writer.Found(file); }
    ResultsWriter& writer;
  } sink(writer);

  ChunkAccounting chunks;
  const uint64_t chunk_sectors = ChunkSectorsFor(sector_size);
  uint64_t remaining_sectors = source_size / sector_size;
  uint64_t offset = 0;
  std::vector<ByteRange> unreadable;
  while (remaining_sectors > 0) {
    if (Stopped(stop_flag)) break;
    const uint64_t sectors = std::min<uint64_t>(chunk_sectors, remaining_sectors);
    int error = 0;
    unreadable.clear();
    const ChunkState state =
        scanner.ScanChunk(source, offset, sectors, stop_flag, sink, &error, &unreadable);
    chunks.Record(state, error, unreadable, status);
    if (observer) observer->OnProgress(PercentOf(offset, source_size), offset >> 20, offset);
    if (state == ChunkState::kShrank) break;
    offset += sectors * sector_size;
    remaining_sectors -= sectors;
    if (Stopped(stop_flag)) break;
  }
  return Finish(status, chunks, medium, stop_flag);
}

}  // namespace pictavo
