// Feeds arbitrary media to every recogniser through a whole scan: the first byte picks the
// sector size (its low bits) and the exact-ends mode (its high bit), the rest is the medium. Every
// handler sees every sector head and follows whatever offsets the bytes hold; nothing may read
// outside its buffers.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/scan_engine.h"
#include "platform/memory_source.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  static constexpr uint16_t kSectorSizes[] = {512, 512, 512, 1024, 2048, 4096, 64, 32};
  const uint16_t sector_size = kSectorSizes[data[0] % 8];
  std::vector<uint8_t> medium(data + 1, data + size);
  pictavo::MemorySectorSource source(std::move(medium), sector_size);
  pictavo::ScanResults results;
  pictavo::ScanOptions options;
  options.exact_ends = (data[0] & 0x80) != 0;
  pictavo::SetScanThreads(1);
  pictavo::RunScan(source, options, results, nullptr, nullptr);
  return 0;
}
