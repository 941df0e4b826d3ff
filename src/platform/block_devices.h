#pragma once

#include <sys/types.h>

#include <optional>
#include <set>
#include <string>
#include <utility>

namespace pictavo {

// Where the system describes its block devices. Tests point these at small fake trees.
struct BlockDeviceRoots {
  std::string sysfs = "/sys";
  std::string dev = "/dev";
  std::string udev_data = "/run/udev/data";
  std::string mountinfo = "/proc/self/mountinfo";
};

// The first line of a small sysfs attribute file, without trailing blanks; empty when absent.
std::string ReadSysfsText(const std::string& path);

// The sysfs folder of a block device number (…/block/sdb or …/block/sdb/sdb1), resolved through
// <sysfs>/dev/block/MAJOR:MINOR.
std::optional<std::string> SysfsFolderOf(const BlockDeviceRoots& roots, dev_t device);

// The kernel names of the whole disks that hold a block device: the disk of a partition, the disk
// itself, and for stacked devices (device mapper, md RAID) the disks under every layer.
std::set<std::string> DisksUnder(const BlockDeviceRoots& roots, dev_t device);

// A file by its device and inode numbers, which name it whatever path leads to it.
using FileIdentity = std::pair<dev_t, ino_t>;

// The files behind the loop devices among the disks that hold `device` (see DisksUnder): two loop
// devices over one file are one medium, and so are a loop device and its file. Read from
// <sysfs>/block/loopN/loop/backing_file, or asked of the device itself when the file's name no
// longer leads to it.
std::set<FileIdentity> LoopBackingFilesUnder(const BlockDeviceRoots& roots, dev_t device);

// The block device that holds the file system with device number `st_dev`. File systems on
// block devices report it directly; some (btrfs) report an anonymous number, and then the mount
// table names the device. Nullopt for file systems without one (tmpfs, network shares).
std::optional<dev_t> BlockDeviceOfFileSystem(const BlockDeviceRoots& roots, dev_t st_dev);

// The file-system type found on a device or file ("vfat", "exfat", "ntfs", "ext4", ...) by
// probing its superblocks with libblkid; empty when none is recognised or it cannot be read.
std::string ProbeFileSystemType(const std::string& path);

// The file-system type udev recorded for a device (readable without privileges); empty if none.
std::string UdevFileSystemType(const BlockDeviceRoots& roots, dev_t device);

}  // namespace pictavo
