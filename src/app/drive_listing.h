#pragma once

#include <QString>
#include <cstdint>
#include <optional>
#include <vector>

namespace pictavo::app {

// What the drive tree shows, gathered off the user-interface thread.
struct VolumeView {
  QString name;   // the node the sector source opens, e.g. /dev/sdb1
  QString label;  // the tree text
  uint64_t size = 0;
  bool removable = false;
  bool readable = true;  // false when this user may not read the device
};

struct DiskView {
  QString name;
  QString label;
  uint64_t size = 0;
  bool removable = false;
  bool readable = true;
  std::vector<VolumeView> volumes;
};

struct DriveListing {
  std::vector<DiskView> disks;
};

// Lists the disks of the machine and their partitions. Safe to call on any thread.
DriveListing ListDrives();

// A disk image as an entry of the drive tree: the data area's size from its trailer and the
// label "Image File (%.2f GB)" built from the whole file's size.
struct ImageEntryView {
  QString label;
  uint64_t data_size = 0;
};
// Null when the file cannot be opened or read.
std::optional<ImageEntryView> ReadImageEntry(const QString& path);

// The drive tree's size label: "512.00 MB" below 1 GiB, "7.45 GB" from 1 GiB on. With
// `single_precision` the GB value is rounded to float first, as the disk and volume labels are.
QString DriveSizeLabel(uint64_t bytes, bool single_precision);

}  // namespace pictavo::app
