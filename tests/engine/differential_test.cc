#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include "engine/scan_engine.h"
#include "samples/image_builder.h"
#include "samples/jpeg_sample.h"

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

std::vector<FoundFile> Scan(const std::string& path, bool literal) {
  SetLiteralScan(literal);
  ScanResults results;
  ScanOptions options;
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
  }
}

}  // namespace
}  // namespace pictavo
