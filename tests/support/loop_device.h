#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "samples/image_builder.h"

namespace pictavo::testing {

// A real block device for tests that need one: a file holding `medium`, given an MBR partition
// table with one FAT partition from 1 MiB to the end, attached as a loop device with partitions.
// Needs root and a working losetup; otherwise ok() is false and skip_reason() says why. The loop
// device is detached (and anything mounted unmounted) when the object goes.
class LoopDevice {
 public:
  explicit LoopDevice(std::vector<uint8_t> medium);
  ~LoopDevice();
  LoopDevice(const LoopDevice&) = delete;
  LoopDevice& operator=(const LoopDevice&) = delete;

  bool ok() const { return skip_reason_.empty(); }
  const std::string& skip_reason() const { return skip_reason_; }
  const std::string& disk() const { return disk_; }            // /dev/loopN
  const std::string& partition() const { return partition_; }  // /dev/loopNp1
  std::string backing_file() const { return dir_.File("medium.bin"); }
  static constexpr uint64_t kPartitionStart = 1 << 20;

  // Mounts the partition on a fresh folder (reformatted as ext4 when the kernel cannot mount FAT);
  // empty when that fails.
  std::string Mount();

 private:
  samples::TempDir dir_;
  std::string disk_, partition_, mount_point_, skip_reason_;
};

}  // namespace pictavo::testing
