// Feeds arbitrary media straight to each recogniser of the modern types (the ISO media family,
// WebP, Ogg and the DNGs of other makers), sector by sector, whatever the others would say. The
// first byte picks the sector size (its low bits) and the exact-ends mode (its high bit), the rest
// is the medium. Nothing may read outside its buffers, every walk must end, and no length may
// pass what the recogniser can know: the ISO chain, the Ogg pages and the DNG structures end at
// the end of the medium, a WebP at its 32-bit RIFF size.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "engine/handler_set.h"
#include "platform/memory_source.h"

namespace {

constexpr uint64_t kMaxCandidates = 64;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  static constexpr uint16_t kSectorSizes[] = {512, 512, 512, 1024, 2048, 4096, 64, 32};
  const uint16_t sector_size = kSectorSizes[data[0] % 8];
  pictavo::MemorySectorSource source(std::vector<uint8_t>(data + 1, data + size), sector_size);
  std::vector<std::unique_ptr<pictavo::FormatHandler>> handlers;
  for (const pictavo::FileTypeId id : pictavo::TrialOrder()) {
    if (pictavo::IsClassicType(id)) continue;
    if (auto handler = pictavo::MakeHandler(id)) {
      handler->set_exact_ends((data[0] & 0x80) != 0);
      handlers.push_back(std::move(handler));
    }
  }
  const uint64_t medium = source.Size();
  for (uint64_t offset = 0, n = 0; offset < medium && n < kMaxCandidates;
       offset += sector_size, ++n) {
    uint8_t head[pictavo::kSectorHeadSize] = {};
    const uint64_t copied = std::min<uint64_t>(pictavo::kSectorHeadCopied, medium - offset);
    std::copy_n(source.bytes().begin() + static_cast<std::ptrdiff_t>(offset), copied, head);
    for (const auto& handler : handlers) {
      if (!handler->MatchSignature(head)) continue;
      if (!handler->Verify(source, offset)) continue;
      const uint64_t length = handler->MeasureLength(source, offset);
      const uint64_t limit =
          handler->TypeCode() == pictavo::kTypeWebp ? (uint64_t{1} << 32) + 8 : medium - offset;
      if (length > limit) __builtin_trap();
    }
  }
  return 0;
}
