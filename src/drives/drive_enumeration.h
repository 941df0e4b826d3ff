#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/block_devices.h"

namespace pictavo {

// The file-system text of a volume without a size or without a recognised file system.
inline constexpr char kNoFileSystem[] = "<N\\A>";

// A partition (or a whole-disk file system) that can be scanned.
struct VolumeRecord {
  std::string name;         // its device path, e.g. /dev/sdb1
  std::string size_text;    // decimal bytes
  std::string file_system;  // "vfat", "exfat", ... or kNoFileSystem
  std::string label;        // "/dev/sdb1 (vfat,  7.45 GB)"
  bool removable = false;   // on removable media (card readers, most USB sticks)
};

// A disk with its volumes, in the order of their partition numbers.
struct DiskRecord {
  std::string name;       // its device path, e.g. /dev/sdb
  std::string model;      // "Generic SD/MMC", ...
  std::string label;      // the model, followed by " (29.72 GB)" when the size is positive
  std::string size_text;  // decimal bytes; "0" for a card reader without a card
  bool removable = false;
  std::vector<VolumeRecord> volumes;
};

// What the drive list attaches to every entry (disks, volumes and image files alike): the name the
// sector source opens and the size in bytes as text.
struct SourceEntry {
  std::string source_name;
  std::string size_text;
};

// "512.00 MB" below 2^30 bytes, "1.00 GB" from there on (the GB figure rounded to single precision
// for disks and volumes, not for image files).
std::string SizeLabel(uint64_t size, bool single_precision = true);
std::string DiskLabel(std::string_view model, uint64_t size);
std::string VolumeLabel(std::string_view name, std::string_view file_system, uint64_t size);
// The drive list's entry for an image file, from the size of the whole file.
std::string ImageEntryLabel(uint64_t file_size);

// A size text as the drive list reads it back: characters below '0' are skipped, each other one
// adds its distance from '0' as a decimal digit.
uint64_t ParseSizeText(std::string_view text);

// The removable icon shows on a disk when one of its volumes is removable.
bool ShowsRemovableIcon(const DiskRecord& disk);

// Lists the disks of the machine from <sysfs>/block and their partitions, in name order (sda,
// sdb, ..., sdaa). Loop devices without a backing file, unconnected network block devices, RAM
// disks and zram devices are left out.
// A disk without partitions whose whole device holds a file system (a "superfloppy" card) lists
// that file system as its one volume. File systems come from probing each partition's device
// node with libblkid, or from udev's records when the node cannot be read. Synchronous: the GUI
// calls it on a worker thread.
std::vector<DiskRecord> EnumerateDrives(const BlockDeviceRoots& roots = {});

// The text under which the drive list shows `source_name`: a disk's or volume's label, "Image File
// (…)" for a disk image made by this program, the name itself for anything else.
std::string SourceLabelOf(const std::string& source_name, const BlockDeviceRoots& roots = {});

}  // namespace pictavo
