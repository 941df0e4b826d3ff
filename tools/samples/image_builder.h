#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace pictavo::samples {

// Lays files out in a medium image at sector boundaries, with filler bytes between them, and
// remembers where each one went.
class ImageBuilder {
 public:
  enum class Fill { kZeros, kRandom };

  explicit ImageBuilder(uint32_t sector_size = 512, uint32_t seed = 1)
      : sector_size_(sector_size), rng_(seed) {}

  // Appends `sectors` sectors of filler.
  void Gap(uint32_t sectors, Fill fill = Fill::kRandom);
  // Appends `file` at the next sector boundary (padding the previous sector with filler) and
  // returns its offset.
  uint64_t Place(const std::vector<uint8_t>& file, Fill slack = Fill::kZeros);
  // Writes `file` over the image at `offset`, growing it as needed.
  void PlaceAt(uint64_t offset, const std::vector<uint8_t>& file);
  // Pads to a whole number of sectors.
  void AlignToSector(Fill fill = Fill::kZeros);

  const std::vector<uint8_t>& bytes() const { return bytes_; }
  uint32_t sector_size() const { return sector_size_; }

  // Writes the image as a raw dump, or with the disk image trailer.
  bool WriteRaw(const std::string& path) const;
  bool WriteDiskImage(const std::string& path) const;

 private:
  void Append(size_t count, Fill fill);

  uint32_t sector_size_;
  std::mt19937 rng_;
  std::vector<uint8_t> bytes_;
};

// Fills `count` bytes from a seeded generator, avoiding nothing: random bytes may hold
// signatures, as real leftovers on a card do.
std::vector<uint8_t> RandomBytes(size_t count, uint32_t seed);

// A fresh temporary directory, removed with its contents when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

bool WriteFile(const std::string& path, const std::vector<uint8_t>& bytes);
std::vector<uint8_t> ReadFile(const std::string& path);

}  // namespace pictavo::samples
