#include "samples/image_builder.h"

#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "platform/sector_source.h"

namespace pictavo::samples {

void ImageBuilder::Append(size_t count, Fill fill) {
  const size_t start = bytes_.size();
  bytes_.resize(start + count, 0);
  if (fill == Fill::kRandom) {
    for (size_t i = start; i < bytes_.size(); ++i) bytes_[i] = static_cast<uint8_t>(rng_());
  }
}

void ImageBuilder::Gap(uint32_t sectors, Fill fill) {
  AlignToSector(fill);
  Append(static_cast<size_t>(sectors) * sector_size_, fill);
}

void ImageBuilder::AlignToSector(Fill fill) {
  const size_t rest = bytes_.size() % sector_size_;
  if (rest) Append(sector_size_ - rest, fill);
}

uint64_t ImageBuilder::Place(const std::vector<uint8_t>& file, Fill slack) {
  AlignToSector(slack);
  const uint64_t offset = bytes_.size();
  bytes_.insert(bytes_.end(), file.begin(), file.end());
  AlignToSector(slack);
  return offset;
}

void ImageBuilder::PlaceAt(uint64_t offset, const std::vector<uint8_t>& file) {
  if (bytes_.size() < offset + file.size()) bytes_.resize(offset + file.size(), 0);
  std::copy(file.begin(), file.end(), bytes_.begin() + static_cast<std::ptrdiff_t>(offset));
}

bool ImageBuilder::WriteRaw(const std::string& path) const { return WriteFile(path, bytes_); }

bool ImageBuilder::WriteDiskImage(const std::string& path) const {
  std::vector<uint8_t> image = bytes_;
  ImageTrailer trailer;
  trailer.data_size = image.size();
  trailer.sector_size = static_cast<uint16_t>(sector_size_);
  uint8_t raw[ImageTrailer::kSize];
  WriteImageTrailer(trailer, raw);
  image.insert(image.end(), raw, raw + sizeof(raw));
  return WriteFile(path, image);
}

std::vector<uint8_t> RandomBytes(size_t count, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> bytes(count);
  for (auto& b : bytes) b = static_cast<uint8_t>(rng());
  return bytes;
}

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "pictavo-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
}

bool WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace pictavo::samples
