#include "support/loop_device.h"

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <thread>

namespace pictavo::testing {
namespace {

bool Run(const std::string& command) {
  return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

std::string Output(const std::string& command) {
  std::string out;
  FILE* pipe = popen((command + " 2>/dev/null").c_str(), "r");
  if (!pipe) return out;
  char buffer[256];
  while (std::fgets(buffer, sizeof(buffer), pipe)) out += buffer;
  pclose(pipe);
  while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
  return out;
}

bool WaitFor(const std::string& path) {
  for (int i = 0; i < 40; ++i) {
    struct stat st {};
    if (stat(path.c_str(), &st) == 0) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

}  // namespace

LoopDevice::LoopDevice(std::vector<uint8_t> medium) {
  if (geteuid() != 0) {
    skip_reason_ = "needs root to attach a loop device";
    return;
  }
  const std::string backing = dir_.File("medium.bin");
  if (!samples::WriteFile(backing, medium) ||
      !Run("echo 'start=2048, type=c' | sfdisk -q " + backing)) {
    skip_reason_ = "cannot write a partition table (sfdisk)";
    return;
  }
  disk_ = Output("losetup -f --show -P " + backing);
  if (disk_.empty()) {
    skip_reason_ = "losetup cannot attach a loop device here";
    return;
  }
  const std::string name = disk_.substr(disk_.find_last_of('/') + 1);
  partition_ = disk_ + "p1";
  // Some kernels leave partition scanning of loop devices to user space.
  if (!WaitFor("/sys/block/" + name + "/" + name + "p1")) Run("partx -a " + disk_);
  if (!WaitFor(partition_)) {
    skip_reason_ = "the loop device's partition did not appear";
    return;
  }
  if (!Run("mkfs.vfat " + partition_)) skip_reason_ = "mkfs.vfat failed";
}

LoopDevice::~LoopDevice() {
  if (!mount_point_.empty()) Run("umount " + mount_point_);
  if (!disk_.empty()) Run("losetup -d " + disk_);
}

std::string LoopDevice::Mount() {
  const std::string point = dir_.File("mnt");
  std::filesystem::create_directory(point);
  // Kernels without FAT support still mount ext4; the tests that mount need some file system
  // on the partition, not FAT in particular.
  if (!Run("mount " + partition_ + " " + point) &&
      !(Run("mkfs.ext4 -q -F " + partition_) && Run("mount " + partition_ + " " + point))) {
    return {};
  }
  mount_point_ = point;
  return point;
}

}  // namespace pictavo::testing
