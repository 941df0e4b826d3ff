#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "engine/file_types.h"
#include "engine/handler_set.h"
#include "platform/sector_source.h"

namespace pictavo {

// One found file. `length` is what its handler measured: the low 32 bits of it for the classic
// types, the whole of it for the others (a phone video can pass 4 GiB).
struct FoundFile {
  FileTypeId type = kTypeNone;
  uint64_t offset = 0;
  uint64_t length = 0;
  uint32_t selected = 0;

  friend bool operator==(const FoundFile&, const FoundFile&) = default;
};

// Per-type statistics of a scan, indexed by FileTypeId.
struct TypeTally {
  uint64_t present = 0;
  uint64_t count = 0;
  uint64_t total_bytes = 0;

  friend bool operator==(const TypeTally&, const TypeTally&) = default;
};

// What a scan found: the found files in the order they were found, always followed by one spare
// record (the record that would have received the next find; it keeps the offset of the last
// candidate that failed verification), the per-type tallies and the found count. A scan whose
// source could not be opened leaves the list empty, without a spare record.
struct ScanResults {
  std::vector<FoundFile> records;
  std::array<TypeTally, kTypeCount> tallies{};
  uint64_t found_count = 0;

  // The found files without the spare record.
  std::span<const FoundFile> Found() const {
    return records.empty() ? std::span<const FoundFile>()
                           : std::span<const FoundFile>(records.data(), records.size() - 1);
  }
  std::span<FoundFile> Found() {
    return records.empty() ? std::span<FoundFile>()
                           : std::span<FoundFile>(records.data(), records.size() - 1);
  }
  void Clear() {
    records.clear();
    tallies = {};
    found_count = 0;
  }
};

// Receives a scan's reports on the scanning thread; the scan waits while a call runs.
class ScanObserver {
 public:
  virtual ~ScanObserver() = default;
  // Once, after the source was opened and before the first chunk.
  virtual void OnStart(uint64_t /*source_size*/, uint16_t /*sector_size*/) {}
  // After each chunk read successfully: percent done (0 to 100) and the position in MiB, both of
  // the chunk's first byte, so they lag one chunk behind the reading. `position` is in bytes.
  virtual void OnProgress(uint32_t /*percent*/, uint64_t /*position_mib*/, uint64_t /*position*/) {}
  // After each recorded find.
  virtual void OnFound(uint64_t /*found_count*/, const FoundFile& /*file*/) {}
};

struct ScanStatus {
  // True when the scan went through to its end, or to a stop (also with unreadable areas).
  bool ok = false;
  // The errno value of the first read failure, or of the open.
  int error_code = 0;
  // A sentence for the user when !ok: the system's text, or the reason the source is unusable.
  std::string message;
  // A chunk that fails to read is read again sector by sector and every readable sector is
  // scanned; the sectors that still fail are listed here (source offsets, in order), and
  // `failed_chunks` counts these areas.
  std::vector<ByteRange> unreadable;
  uint64_t failed_chunks = 0;
  // The source became shorter than when it was opened (a file cut, a device that shrank): the
  // scan ended there, keeping what it had found; `message` says so.
  bool source_shrank = false;
  uint64_t shrunk_size = 0;
  bool stopped = false;

  uint64_t unreadable_bytes() const {
    uint64_t total = 0;
    for (const ByteRange& range : unreadable) total += range.length;
    return total;
  }
};

constexpr uint32_t kChunkSectors = 4096;
// A chunk holds kChunkSectors sectors, but never more than 16 MiB: media with sectors above
// 4 KiB are read in fewer sectors per chunk, so that the buffers stay bounded.
constexpr uint64_t kMaxChunkBytes = 16 << 20;
inline uint64_t ChunkSectorsFor(uint16_t sector_size) {
  if (sector_size == 0) return kChunkSectors;
  const uint64_t bounded = kMaxChunkBytes / sector_size;
  return bounded < kChunkSectors ? (bounded ? bounded : 1) : kChunkSectors;
}

struct ScanOptions {
  FileTypeSelection selection;
  // Sector size for raw dumps (plain files without our image trailer); 0 means 512.
  uint16_t raw_sector_size = 0;
  // The exact-ends mode: recognisers measure files whole by their formats' structure, and the
  // packs inside an MPEG program stream are not finds of their own. Off, every find is what the
  // fixed rules give.
  bool exact_ends = false;
  // Areas of the source not to carve: a sector whose first byte lies in one of them is offered
  // to no handler (the space live files occupy, when only the free space is to be carved).
  // Ascending and not overlapping, as AppendRange keeps them. Finds keep their offsets on the
  // source, and a file that starts outside these areas is measured across them as usual.
  std::vector<ByteRange> skipped;
};

// True when PICTAVO_EXACT_ENDS is set to 1 in the environment: the front ends then start with
// the exact-ends mode on.
bool ExactEndsFromEnvironment();

// Opens `source_name` read-only and scans it.
ScanStatus RunScan(const std::string& source_name, const ScanOptions& options, ScanResults& results,
                   ScanObserver* observer, const std::atomic<bool>* stop_flag);

// Scans an already open source with the handlers of `selection`.
ScanStatus RunScan(SectorSource& source, const FileTypeSelection& selection, ScanResults& results,
                   ScanObserver* observer, const std::atomic<bool>* stop_flag);
// The same with every option of `options` (its sector size is the source's business).
ScanStatus RunScan(SectorSource& source, const ScanOptions& options, ScanResults& results,
                   ScanObserver* observer, const std::atomic<bool>* stop_flag);

// The scan normally reads regular files in place and asks each handler only about sectors whose
// first byte its signature allows. The literal mode reads every chunk into the buffer and offers
// every sector to every handler, exactly as the rules are written; tests compare the two.
void SetLiteralScan(bool literal);
bool LiteralScan();

// Threads a scan may use when its source can be opened more than once; 0 picks one per core (at
// most four), or PICTAVO_SCAN_THREADS when set.
void SetScanThreads(int threads);

// Scans with a given handler list (tests use their own handlers); `exact_ends` sets how finds
// are merged, the handlers keep the mode they were made with.
ScanStatus RunScanWithHandlers(SectorSource& source, HandlerList handlers, ScanResults& results,
                               ScanObserver* observer, const std::atomic<bool>* stop_flag,
                               bool exact_ends = false,
                               const std::vector<ByteRange>* skipped = nullptr);

}  // namespace pictavo
