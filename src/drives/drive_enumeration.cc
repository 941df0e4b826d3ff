#include "drives/drive_enumeration.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cstdio>
#include <memory>

#include "drives/disk_image.h"
#include "platform/sector_source.h"

namespace pictavo {
namespace {

constexpr uint64_t kGiB = uint64_t{1} << 30;
constexpr uint64_t kMiB = uint64_t{1} << 20;

std::vector<std::string> SubFolders(const std::string& folder) {
  std::vector<std::string> names;
  DIR* dir = opendir(folder.c_str());
  if (!dir) return names;
  while (const dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    struct stat st {};
    if (stat((folder + "/" + name).c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
      names.push_back(name);
    }
  }
  closedir(dir);
  return names;
}

bool Exists(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0;
}

uint64_t ReadNumber(const std::string& path) {
  const std::string text = ReadSysfsText(path);
  uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9' || value > (UINT64_MAX - 9) / 10) return 0;
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  return value;
}

// sysfs sizes count 512-byte units whatever the device's sector size.
uint64_t SysfsBytes(const std::string& folder) {
  const uint64_t units = ReadNumber(folder + "/size");
  return units > UINT64_MAX / 512 ? 0 : units * 512;
}

dev_t DeviceNumber(const std::string& folder) {
  const std::string text = ReadSysfsText(folder + "/dev");
  unsigned major_number = 0, minor_number = 0;
  if (std::sscanf(text.c_str(), "%u:%u", &major_number, &minor_number) != 2) return 0;
  return makedev(major_number, minor_number);
}

std::string DevicePath(const BlockDeviceRoots& roots, const std::string& folder,
                       const std::string& kernel_name) {
  const std::string uevent_path = folder + "/uevent";
  if (FILE* uevent = std::fopen(uevent_path.c_str(), "r")) {
    char line[512];
    while (std::fgets(line, sizeof(line), uevent)) {
      std::string text = line;
      if (!text.starts_with("DEVNAME=")) continue;
      while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
      std::fclose(uevent);
      return roots.dev + "/" + text.substr(8);
    }
    std::fclose(uevent);
  }
  std::string name = kernel_name;
  std::replace(name.begin(), name.end(), '!', '/');  // cciss!c0d0 is /dev/cciss/c0d0
  return roots.dev + "/" + name;
}

std::string ModelOf(const std::string& folder, const std::string& kernel_name) {
  if (kernel_name.starts_with("loop")) {
    return "Loop device (" + ReadSysfsText(folder + "/loop/backing_file") + ")";
  }
  const std::string model = ReadSysfsText(folder + "/device/model");
  const std::string vendor = ReadSysfsText(folder + "/device/vendor");
  // A vendor alone is often a bus number (virtio gives "0x1af4"): only shown with a model.
  if (!model.empty()) return vendor.empty() ? model : vendor + " " + model;
  const std::string card_name = ReadSysfsText(folder + "/device/name");  // SD and MMC cards
  if (!card_name.empty()) return card_name;
  const std::string mapped_name = ReadSysfsText(folder + "/dm/name");  // LVM, LUKS, ...
  if (!mapped_name.empty()) return "Device mapper (" + mapped_name + ")";
  return kernel_name;
}

bool IsRemovable(const std::string& folder) {
  if (ReadSysfsText(folder + "/removable") == "1") return true;
  // Cards in a built-in SD slot are the disk themselves and say 0; they are removable media.
  return ReadSysfsText(folder + "/device/type") == "SD";
}

bool IsLeftOut(const std::string& folder, const std::string& kernel_name) {
  if (kernel_name.starts_with("ram") || kernel_name.starts_with("zram")) return true;
  if (kernel_name.starts_with("loop") && !Exists(folder + "/loop/backing_file")) return true;
  // Network block devices that are not connected are empty placeholders.
  if (kernel_name.starts_with("nbd") && !Exists(folder + "/pid")) return true;
  return ReadSysfsText(folder + "/hidden") == "1";
}

std::string FileSystemOf(const BlockDeviceRoots& roots, const std::string& device_path,
                         dev_t device) {
  std::string type = ProbeFileSystemType(device_path);
  if (type.empty() && device != 0) type = UdevFileSystemType(roots, device);
  return type;
}

VolumeRecord MakeVolume(const std::string& name, uint64_t size, std::string file_system,
                        bool removable) {
  VolumeRecord volume;
  volume.name = name;
  volume.size_text = std::to_string(size);
  volume.file_system = size > 0 && !file_system.empty() ? std::move(file_system) : kNoFileSystem;
  volume.label = VolumeLabel(volume.name, volume.file_system, size);
  volume.removable = removable;
  return volume;
}

// Kernel names in the order people expect: sda … sdz before sdaa, loop2 before loop10.
bool KernelNameLess(const std::string& a, const std::string& b) {
  return a.size() != b.size() ? a.size() < b.size() : a < b;
}

}  // namespace

std::string SizeLabel(uint64_t size, bool single_precision) {
  char text[64];
  if (size < kGiB) {
    std::snprintf(text, sizeof(text), "%.2f MB", static_cast<double>(size) / kMiB);
  } else {
    double gib = static_cast<double>(size) / kGiB;
    if (single_precision) gib = static_cast<float>(gib);
    std::snprintf(text, sizeof(text), "%.2f GB", gib);
  }
  return text;
}

std::string DiskLabel(std::string_view model, uint64_t size) {
  std::string label(model);
  if (size > 0) label += " (" + SizeLabel(size) + ")";
  return label;
}

std::string VolumeLabel(std::string_view name, std::string_view file_system, uint64_t size) {
  // Two blanks before the size, as the drive list has always shown it.
  return std::string(name) + " (" + std::string(file_system) + ",  " + SizeLabel(size) + ")";
}

std::string ImageEntryLabel(uint64_t file_size) {
  return "Image File (" + SizeLabel(file_size, false) + ")";
}

uint64_t ParseSizeText(std::string_view text) {
  uint64_t value = 0;
  for (const char c : text) {
    if (static_cast<unsigned char>(c) < '0') continue;
    value = value * 10 + static_cast<uint64_t>(static_cast<unsigned char>(c) - '0');
  }
  return value;
}

bool ShowsRemovableIcon(const DiskRecord& disk) {
  return std::any_of(disk.volumes.begin(), disk.volumes.end(),
                     [](const VolumeRecord& volume) { return volume.removable; });
}

std::vector<DiskRecord> EnumerateDrives(const BlockDeviceRoots& roots) {
  std::vector<DiskRecord> disks;
  const std::string block = roots.sysfs + "/block";
  std::vector<std::string> names = SubFolders(block);
  std::sort(names.begin(), names.end(), KernelNameLess);
  for (const std::string& kernel_name : names) {
    const std::string folder = block + "/" + kernel_name;
    if (IsLeftOut(folder, kernel_name)) continue;
    DiskRecord disk;
    disk.name = DevicePath(roots, folder, kernel_name);
    disk.model = ModelOf(folder, kernel_name);
    disk.removable = IsRemovable(folder);
    const uint64_t size = SysfsBytes(folder);
    disk.size_text = std::to_string(size);
    disk.label = DiskLabel(disk.model, size);
    if (size == 0) {
      disks.push_back(std::move(disk));
      continue;
    }

    struct Partition {
      uint64_t number;
      std::string folder, kernel_name;
    };
    std::vector<Partition> partitions;
    for (const std::string& child : SubFolders(folder)) {
      const std::string child_folder = folder + "/" + child;
      if (!Exists(child_folder + "/partition")) continue;
      partitions.push_back({ReadNumber(child_folder + "/partition"), child_folder, child});
    }
    std::sort(partitions.begin(), partitions.end(),
              [](const Partition& a, const Partition& b) { return a.number < b.number; });
    for (const Partition& partition : partitions) {
      const uint64_t partition_size = SysfsBytes(partition.folder);
      // An extended partition of an MBR table is a 1 KiB container of the logical ones.
      if (partition_size <= 1024) continue;
      const std::string path = DevicePath(roots, partition.folder, partition.kernel_name);
      const std::string file_system =
          partition_size > 0 ? FileSystemOf(roots, path, DeviceNumber(partition.folder)) : "";
      disk.volumes.push_back(MakeVolume(path, partition_size, file_system, disk.removable));
    }
    if (partitions.empty()) {
      const std::string file_system = FileSystemOf(roots, disk.name, DeviceNumber(folder));
      if (!file_system.empty()) {
        disk.volumes.push_back(MakeVolume(disk.name, size, file_system, disk.removable));
      }
    }
    disks.push_back(std::move(disk));
  }
  return disks;
}

std::string SourceLabelOf(const std::string& source_name, const BlockDeviceRoots& roots) {
  struct stat st {};
  if (stat(source_name.c_str(), &st) != 0) return source_name;
  if (S_ISREG(st.st_mode)) {
    const auto info = ReadImageInfo(source_name);
    return info ? ImageEntryLabel(info->file_size) : source_name;
  }
  if (!S_ISBLK(st.st_mode)) return source_name;
  const auto same_device = [&](const std::string& path) {
    struct stat other {};
    return stat(path.c_str(), &other) == 0 && S_ISBLK(other.st_mode) && other.st_rdev == st.st_rdev;
  };
  for (const DiskRecord& disk : EnumerateDrives(roots)) {
    // A whole-disk file system lists the disk's own node as its volume: the volume's label is
    // the one that names the file system.
    for (const VolumeRecord& volume : disk.volumes) {
      if (same_device(volume.name)) return volume.label;
    }
    if (same_device(disk.name)) return disk.label;
  }
  return source_name;
}

}  // namespace pictavo
