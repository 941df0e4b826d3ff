// How fast the details that the result filters need are read from finds: scans a medium (the
// 1 GiB bench image, say) once, then reads every find's date taken, content digest, decode
// status and picture size, each part in its own pass and then all together, and prints finds
// and bytes per second for each pass. The page cache is warmed by the scan.
//
//   build/dev/bench/pictavo-bench-find-details IMAGE
#include <chrono>
#include <cstdio>
#include <string>

#include "engine/scan_engine.h"
#include "platform/sector_source.h"
#include "results/find_details.h"

namespace {

using Clock = std::chrono::steady_clock;

void Pass(const char* label, pictavo::SectorSource& source, const pictavo::ScanResults& results,
          const pictavo::FindDetailParts& parts) {
  const auto start = Clock::now();
  uint64_t bytes = 0, dated = 0, digests = 0, pictures = 0, failed = 0;
  for (const pictavo::FoundFile& file : results.Found()) {
    const pictavo::FindDetails details = pictavo::ReadFindDetails(source, file, parts);
    bytes += file.length;
    dated += details.date_taken ? 1 : 0;
    digests += details.digest ? 1 : 0;
    if (details.picture && details.picture->is_picture) {
      ++pictures;
      failed += details.picture->status == pictavo::DecodeStatus::kFailed ? 1 : 0;
    }
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  const double finds = static_cast<double>(results.Found().size());
  std::printf(
      "%-22s %8.2f s  %9.1f finds/s  %8.1f MB/s   dated %llu, digests %llu, pictures %llu "
      "(%llu failed)\n",
      label, seconds, finds / seconds, static_cast<double>(bytes) / seconds / 1e6,
      static_cast<unsigned long long>(dated), static_cast<unsigned long long>(digests),
      static_cast<unsigned long long>(pictures), static_cast<unsigned long long>(failed));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s IMAGE\n", argv[0]);
    return 2;
  }
  int error = 0;
  auto source = pictavo::FileSectorSource::Open(argv[1], {}, &error);
  if (!source) {
    std::fprintf(stderr, "%s: cannot open (errno %d)\n", argv[1], error);
    return 1;
  }
  pictavo::ScanResults results;
  const auto scan_start = Clock::now();
  pictavo::RunScan(*source, pictavo::ScanOptions{}, results, nullptr, nullptr);
  std::printf("scan: %zu finds in %.2f s\n", results.Found().size(),
              std::chrono::duration<double>(Clock::now() - scan_start).count());
  Pass("date taken", *source, results, {.date_taken = true});
  Pass("content digest", *source, results, {.digest = true});
  Pass("decode status + size", *source, results, {.picture = true});
  Pass("all three", *source, results, {.picture = true, .date_taken = true, .digest = true});
  return 0;
}
