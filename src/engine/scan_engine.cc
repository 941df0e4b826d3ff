#include "engine/scan_engine.h"

#include <algorithm>
#include <array>
#include <bitset>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>

#include "platform/system_error.h"

namespace pictavo {
namespace {

bool Stopped(const std::atomic<bool>* stop_flag) {
  return stop_flag && stop_flag->load(std::memory_order_relaxed);
}

std::atomic<bool> literal_scan{false};

// For each possible first byte of a sector, the handlers (in trial order) that may claim it.
struct DispatchTable {
  std::array<std::vector<FormatHandler*>, 256> by_first_byte;

  DispatchTable(const HandlerList& handlers, bool literal) {
    for (const auto& handler : handlers) {
      const std::bitset<256> first =
          literal ? std::bitset<256>().set() : handler->SignatureFirstBytes();
      for (size_t b = 0; b < 256; ++b) {
        if (first.test(b)) by_first_byte[b].push_back(handler.get());
      }
    }
  }
};

uint32_t PercentOf(uint64_t offset, uint64_t size) {
  return static_cast<uint32_t>(static_cast<unsigned __int128>(offset) * 100 / size);
}

}  // namespace

void SetLiteralScan(bool literal) { literal_scan.store(literal); }
bool LiteralScan() { return literal_scan.load(); }

ScanStatus RunScan(const std::string& source_name, const ScanOptions& options, ScanResults& results,
                   ScanObserver* observer, const std::atomic<bool>* stop_flag) {
  results.Clear();
  int error = 0;
  OpenOptions open_options;
  open_options.raw_sector_size = options.raw_sector_size;
  auto source = FileSectorSource::Open(source_name, open_options, &error);
  if (!source) {
    ScanStatus status;
    status.error_code = error;
    status.message = SystemErrorText(error);
    return status;
  }
  return RunScan(*source, options.selection, results, observer, stop_flag);
}

ScanStatus RunScan(SectorSource& source, const FileTypeSelection& selection, ScanResults& results,
                   ScanObserver* observer, const std::atomic<bool>* stop_flag) {
  results.Clear();
  return RunScanWithHandlers(source, BuildHandlerList(selection), results, observer, stop_flag);
}

ScanStatus RunScanWithHandlers(SectorSource& source, HandlerList handlers, ScanResults& results,
                               ScanObserver* observer, const std::atomic<bool>* stop_flag) {
  ScanStatus status;
  results.Clear();

  const uint64_t source_size = source.Size();
  const uint16_t sector_size = source.SectorSize();
  if (source_size == 0 || sector_size == 0) {
    status.message = source_size == 0 ? "The source is empty: it holds no sector to scan."
                                      : "The sector size of the source is unknown (0 bytes).";
    return status;
  }
  if (observer) observer->OnStart(source_size, sector_size);

  uint64_t remaining_sectors = source_size / sector_size;
  uint64_t chunk_sectors = kChunkSectors;
  uint64_t offset = 0;
  bool last_chunk_good = true;

  results.records.emplace_back();  // the spare record

  const size_t buffer_bytes = static_cast<size_t>(kChunkSectors) * sector_size;
  std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[buffer_bytes]());
  if (!buffer) {
    status.error_code = ENOMEM;
    status.message = SystemErrorText(ENOMEM);
    return status;
  }

  const bool literal = LiteralScan();
  const DispatchTable dispatch(handlers, literal);
  uint8_t head[kSectorHeadSize] = {};
  // When no handler accepts a sector of zeros, a chunk lying wholly in a hole of a sparse file
  // cannot hold a find and is not read.
  bool zero_sectors_match = false;
  for (const auto& handler : handlers) zero_sectors_match |= handler->MatchSignature(head);
  const bool skip_holes = !literal && !zero_sectors_match;
  uint64_t next_data = 0;
  const uint32_t head_copy = std::min<uint32_t>(kSectorHeadCopied, sector_size);

  while (remaining_sectors > 0) {
    if (Stopped(stop_flag)) break;
    if (remaining_sectors < chunk_sectors) chunk_sectors = remaining_sectors;
    const uint64_t chunk_bytes = chunk_sectors * sector_size;

    if (skip_holes && next_data < offset + chunk_bytes) next_data = source.NextData(offset);
    if (skip_holes && next_data >= offset + chunk_bytes) {
      if (observer) observer->OnProgress(PercentOf(offset, source_size), offset >> 20, offset);
      offset += chunk_bytes;
      remaining_sectors -= chunk_sectors;
      last_chunk_good = true;
      continue;
    }

    const uint8_t* chunk =
        literal ? nullptr : source.View(offset, static_cast<uint32_t>(chunk_bytes));
    if (chunk == nullptr) {
      chunk = buffer.get();
    }
    if (chunk == buffer.get() && !source.ReadAt(offset, static_cast<uint32_t>(chunk_bytes),
                                                buffer.get(), ReadRule::kChunk)) {
      if (last_chunk_good) status.error_code = source.last_error();
      last_chunk_good = false;
      ++status.failed_chunks;
      offset += chunk_bytes;
      remaining_sectors -= chunk_sectors;
      continue;
    }
    last_chunk_good = true;
    std::memset(head, 0, sizeof(head));

    bool abandoned = false;
    for (uint64_t i = 0; i < chunk_sectors && !abandoned; ++i) {
      if (head_copy < kSectorHeadCopied) std::memset(head, 0, sizeof(head));
      std::memcpy(head, chunk + i * sector_size, head_copy);
      const uint64_t sector_offset = offset + i * sector_size;
      for (FormatHandler* handler : dispatch.by_first_byte[head[0]]) {
        if (Stopped(stop_flag)) {
          abandoned = true;
          break;
        }
        if (!handler->MatchSignature(head)) continue;
        FoundFile& spare = results.records.back();
        spare.offset = sector_offset;
        if (!handler->Verify(source, sector_offset)) continue;

        spare.length = static_cast<uint32_t>(handler->MeasureLength(source, sector_offset));
        spare.type = handler->TypeCode();
        TypeTally& tally = results.tallies[spare.type < kTypeCount ? spare.type : 0];
        tally.present = 1;
        tally.count += 1;
        tally.total_bytes += spare.length;
        const FoundFile found = spare;
        results.records.emplace_back();
        results.found_count += 1;
        if (observer) observer->OnFound(results.found_count, found);
        break;
      }
      if (Stopped(stop_flag)) abandoned = true;
    }

    if (observer) observer->OnProgress(PercentOf(offset, source_size), offset >> 20, offset);
    offset += chunk_bytes;
    remaining_sectors -= chunk_sectors;
    if (Stopped(stop_flag)) break;
  }

  status.stopped = Stopped(stop_flag);
  status.ok = last_chunk_good;
  if (!status.ok) status.message = SystemErrorText(status.error_code);
  return status;
}

}  // namespace pictavo
