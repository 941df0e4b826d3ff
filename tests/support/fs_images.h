#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pictavo::testing {

// Builds real file-system images with the system's own tools (mkfs.*, mtools, mount), for the
// tests of listing and saving files by name. Each builder returns an empty string when it could
// make the image, else why not (a tool is missing, mounting is not allowed), for GTEST_SKIP.

struct TestFile {
  std::string path;  // inside the file system: "DCIM/100TEST/IMG_0001.JPG"
  std::vector<uint8_t> bytes;
};

// Runs a shell command quietly; true when it exited with 0.
bool Shell(const std::string& command);
// Empty when every program named is on the PATH, else "needs NAME".
std::string NeedTools(const std::vector<std::string>& programs);

// A FAT image of `size_mib` MiB (FAT32 unless `fat_bits` says 12 or 16) at `image`, filled
// with `files` through mtools, then `deleted` (paths) removed with mdel. A size of 0 adds to
// the image there; a non-zero `offset` (with size 0) works on the FAT that starts there.
std::string MakeFatImage(const std::string& image, uint32_t size_mib,
                         const std::vector<TestFile>& files,
                         const std::vector<std::string>& deleted, int fat_bits = 32,
                         uint64_t offset = 0);

// An image of file system `kind` ("ntfs", "ext4", "exfat") made by its mkfs, mounted (loop
// mount or FUSE), filled with `files`, `deleted` removed, and unmounted.
std::string MakeMountedImage(const std::string& kind, const std::string& image, uint32_t size_mib,
                             const std::vector<TestFile>& files,
                             const std::vector<std::string>& deleted);

// Real photos of a few sizes: seeded JPEGs, some larger than a cluster.
std::vector<TestFile> SamplePhotos(const std::string& folder, int count, uint32_t seed = 1);

}  // namespace pictavo::testing
