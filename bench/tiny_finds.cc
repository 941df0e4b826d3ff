// Writes a medium of many tiny finds and a recovery snapshot that lists them all as marked, for
// measuring what saving keeps in memory per file:
//
//   build/dev/bench/pictavo-bench-tiny-finds IMAGE SNAPSHOT [COUNT]     (default 400000)
//
// Each find is one 512-byte sector holding a small made-up JPEG head; the image is a raw dump.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "results/snapshot.h"

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s IMAGE SNAPSHOT [COUNT]\n", argv[0]);
    return 2;
  }
  const std::string image = argv[1];
  const std::string snapshot_path = argv[2];
  const uint64_t count = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 400'000;
  constexpr uint32_t kSector = 512;

  const int fd = open(image.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    std::perror(image.c_str());
    return 1;
  }
  std::vector<uint8_t> block(kSector * 2048);
  pictavo::RecoverySnapshot snapshot;
  snapshot.source_name = image;
  snapshot.source_size = count * kSector;
  snapshot.results.records.reserve(count + 1);
  for (uint64_t i = 0; i < count; i += 2048) {
    const uint64_t n = std::min<uint64_t>(2048, count - i);
    for (uint64_t k = 0; k < n; ++k) {
      uint8_t* sector = block.data() + k * kSector;
      const uint64_t id = i + k;
      for (uint32_t b = 0; b < kSector; ++b) sector[b] = static_cast<uint8_t>(id * 31 + b);
      sector[0] = 0xFF;
      sector[1] = 0xD8;
      sector[2] = 0xFF;
      snapshot.results.records.push_back({pictavo::kTypeJpeg, id * kSector, 100 + id % 400, 1});
    }
    if (write(fd, block.data(), n * kSector) != static_cast<ssize_t>(n * kSector)) {
      std::perror(image.c_str());
      return 1;
    }
  }
  close(fd);
  snapshot.results.records.push_back({});
  snapshot.results.found_count = count;
  auto& tally = snapshot.results.tallies[pictavo::kTypeJpeg];
  tally.present = 1;
  tally.count = count;
  for (const auto& file : snapshot.results.Found()) tally.total_bytes += file.length;
  const pictavo::SnapshotStatus status = pictavo::WriteSnapshot(snapshot_path, snapshot);
  if (!status.ok) {
    std::fprintf(stderr, "%s: %s\n", snapshot_path.c_str(), status.message.c_str());
    return 1;
  }
  std::printf("%llu finds of 100 to 499 bytes in %s, listed in %s\n",
              static_cast<unsigned long long>(count), image.c_str(), snapshot_path.c_str());
  return 0;
}
