#include "platform/block_devices.h"

#include <blkid/blkid.h>
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/loop.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <vector>

namespace pictavo {
namespace {

std::string DeviceNumberText(dev_t device) {
  return std::to_string(major(device)) + ":" + std::to_string(minor(device));
}

std::optional<std::string> RealPath(const std::string& path) {
  char resolved[PATH_MAX];
  if (!realpath(path.c_str(), resolved)) return std::nullopt;
  return std::string(resolved);
}

bool Exists(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0;
}

std::vector<std::string> FolderEntries(const std::string& folder) {
  std::vector<std::string> names;
  DIR* dir = opendir(folder.c_str());
  if (!dir) return names;
  while (const dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(dir);
  return names;
}

std::string ParentOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos || slash == 0 ? std::string("/") : path.substr(0, slash);
}

std::string BaseOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Depth and visited set bound the walk: a broken tree with a cycle of "slaves" links cannot keep
// it going.
void CollectDisks(const std::string& folder, int depth, std::set<std::string>& visited,
                  std::set<std::string>& disks) {
  if (depth > 16 || !visited.insert(folder).second) return;
  const std::string disk = Exists(folder + "/partition") ? ParentOf(folder) : folder;
  std::vector<std::string> lower;
  for (const std::string& layer : {folder, disk}) {
    for (const std::string& name : FolderEntries(layer + "/slaves")) {
      if (auto target = RealPath(layer + "/slaves/" + name)) lower.push_back(*target);
    }
  }
  if (lower.empty()) {
    disks.insert(BaseOf(disk));
    return;
  }
  for (const std::string& target : lower) CollectDisks(target, depth + 1, visited, disks);
}

}  // namespace

std::string ReadSysfsText(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  if (!in || !std::getline(in, line)) return {};
  while (!line.empty() && (line.back() == ' ' || line.back() == '\n' || line.back() == '\r' ||
                           line.back() == '\t')) {
    line.pop_back();
  }
  return line;
}

std::optional<std::string> SysfsFolderOf(const BlockDeviceRoots& roots, dev_t device) {
  return RealPath(roots.sysfs + "/dev/block/" + DeviceNumberText(device));
}

std::set<std::string> DisksUnder(const BlockDeviceRoots& roots, dev_t device) {
  std::set<std::string> disks;
  const auto folder = SysfsFolderOf(roots, device);
  if (!folder) return disks;
  std::set<std::string> visited;
  CollectDisks(*folder, 0, visited, disks);
  return disks;
}

std::set<FileIdentity> LoopBackingFilesUnder(const BlockDeviceRoots& roots, dev_t device) {
  std::set<FileIdentity> files;
  for (const std::string& disk : DisksUnder(roots, device)) {
    const std::string backing =
        ReadSysfsText(roots.sysfs + "/block/" + disk + "/loop/backing_file");
    if (backing.empty()) continue;
    struct stat st {};
    if (stat(backing.c_str(), &st) == 0) {
      files.insert({st.st_dev, st.st_ino});
      continue;
    }
    // The file was renamed or deleted since it was attached; the device still knows it.
    const int fd = open((roots.dev + "/" + disk).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) continue;
    loop_info64 info{};
    if (ioctl(fd, LOOP_GET_STATUS64, &info) == 0) {
      files.insert({static_cast<dev_t>(info.lo_device), static_cast<ino_t>(info.lo_inode)});
    }
    close(fd);
  }
  return files;
}

std::optional<dev_t> BlockDeviceOfFileSystem(const BlockDeviceRoots& roots, dev_t st_dev) {
  if (major(st_dev) != 0) return st_dev;
  // mountinfo: "36 35 0:45 / /mnt rw,relatime shared:1 - btrfs /dev/sdb1 rw,..."; the fields
  // after the lone "-" are the file-system type and the mount source.
  std::ifstream in(roots.mountinfo);
  const std::string wanted = DeviceNumberText(st_dev);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string id, parent, number;
    if (!(fields >> id >> parent >> number) || number != wanted) continue;
    std::string field;
    while (fields >> field && field != "-") {
    }
    std::string type, source;
    if (!(fields >> type >> source) || !source.starts_with("/")) continue;
    struct stat st {};
    if (stat(source.c_str(), &st) == 0 && S_ISBLK(st.st_mode)) return st.st_rdev;
  }
  return std::nullopt;
}

std::string ProbeFileSystemType(const std::string& path) {
  blkid_probe probe = blkid_new_probe_from_filename(path.c_str());
  if (!probe) return {};
  blkid_probe_enable_superblocks(probe, 1);
  blkid_probe_set_superblocks_flags(probe, BLKID_SUBLKS_TYPE);
  blkid_probe_enable_partitions(probe, 0);
  std::string type;
  const char* value = nullptr;
  if (blkid_do_safeprobe(probe) == 0 &&
      blkid_probe_lookup_value(probe, "TYPE", &value, nullptr) == 0 && value) {
    type = value;
  }
  blkid_free_probe(probe);
  return type;
}

std::string UdevFileSystemType(const BlockDeviceRoots& roots, dev_t device) {
  std::ifstream in(roots.udev_data + "/b" + DeviceNumberText(device));
  std::string line;
  constexpr std::string_view kKey = "E:ID_FS_TYPE=";
  while (std::getline(in, line)) {
    if (line.starts_with(kKey)) return line.substr(kKey.size());
  }
  return {};
}

}  // namespace pictavo
