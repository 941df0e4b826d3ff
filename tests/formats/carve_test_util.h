#pragma once

#include <algorithm>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "engine/format_handler.h"
#include "engine/scan_engine.h"
#include "platform/memory_source.h"
#include "samples/image_builder.h"

namespace pictavo::testing {

// Offers the sector at `offset` to `handler` as the scan would: its length when the handler
// claims the sector, nothing when its signature or its verification says no.
inline std::optional<uint64_t> Carve(FormatHandler& handler, SectorSource& source,
                                     uint64_t offset = 0) {
  std::vector<uint8_t> sector(source.SectorSize(), 0);
  uint8_t head[kSectorHeadSize] = {};
  uint32_t got = 0;
  source.ReadAt(offset, static_cast<uint32_t>(sector.size()), sector.data(), ReadRule::kChunk,
                &got);
  std::copy_n(sector.begin(), std::min<size_t>(kSectorHeadCopied, sector.size()), head);
  if (!handler.MatchSignature(head) || !handler.Verify(source, offset)) return std::nullopt;
  return handler.MeasureLength(source, offset);
}

template <typename Handler>
std::optional<uint64_t> Carve(const std::vector<uint8_t>& medium, uint16_t sector_size = 512,
                              uint64_t offset = 0) {
  MemorySectorSource source(medium, sector_size);
  Handler handler;
  return Carve(handler, source, offset);
}

// A large medium that takes no memory: every byte is `fill` except the pieces laid over it.
// Records the furthest byte any read asked for.
class OverlaySource : public SectorSource {
 public:
  OverlaySource(uint64_t size, uint8_t fill, uint16_t sector_size)
      : size_(size), fill_(fill), sector_size_(sector_size) {}

  void Lay(uint64_t offset, std::vector<uint8_t> bytes) { pieces_[offset] = std::move(bytes); }
  uint64_t furthest_read() const { return furthest_read_; }

  int64_t Pread(uint64_t offset, uint8_t* buffer, uint32_t count, int*) override {
    if (offset >= size_) return 0;
    const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(count, size_ - offset));
    furthest_read_ = std::max(furthest_read_, offset + n);
    std::memset(buffer, fill_, n);
    for (const auto& [at, bytes] : pieces_) {
      const uint64_t begin = std::max(at, offset);
      const uint64_t end = std::min(at + bytes.size(), offset + n);
      if (begin < end)
        std::memcpy(buffer + (begin - offset), bytes.data() + (begin - at), end - begin);
    }
    return n;
  }
  uint16_t SectorSize() override { return sector_size_; }
  uint64_t Size() const override { return size_; }
  const std::string& Name() const override { return name_; }

 private:
  uint64_t size_;
  uint8_t fill_;
  uint16_t sector_size_;
  std::string name_ = "overlay";
  std::map<uint64_t, std::vector<uint8_t>> pieces_;
  uint64_t furthest_read_ = 0;
};

// A whole scan of `medium` for the one type `type`.
inline std::vector<FoundFile> ScanFor(FileTypeId type, const std::vector<uint8_t>& medium,
                                      uint16_t sector_size = 512) {
  FileTypeSelection selection;
  selection.SelectAll(false);
  selection.Set(type, true);
  MemorySectorSource source(medium, sector_size);
  ScanResults results;
  RunScan(source, selection, results, nullptr, nullptr);
  return {results.Found().begin(), results.Found().end()};
}

// A file of the shared sample corpus, or nothing when the corpus is not there.
inline std::vector<uint8_t> CorpusFile(const std::string& relative_path) {
  return samples::ReadFile(std::string(PICTAVO_CORPUS_DIR) + "/" + relative_path);
}

inline std::vector<uint8_t> Concat(std::initializer_list<std::vector<uint8_t>> parts) {
  std::vector<uint8_t> out;
  for (const auto& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

inline std::vector<uint8_t> Be32(uint32_t value) {
  return {static_cast<uint8_t>(value >> 24), static_cast<uint8_t>(value >> 16),
          static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
}

inline std::vector<uint8_t> Bytes(std::string_view text) { return {text.begin(), text.end()}; }

}  // namespace pictavo::testing
