#include "app/drive_listing.h"

#include <unistd.h>

#include <QFile>
#include <cerrno>

#include "drives/disk_image.h"
#include "drives/drive_enumeration.h"
#include "platform/system_error.h"

namespace pictavo::app {
namespace {

QString FromUtf8(const std::string& text) { return QString::fromStdString(text); }

// Reading a device node needs the right to open it; root and members of the 'disk' group have it.
// Only a refusal that privileges would lift marks a device as one this user may not read; other
// failures are left for the scan to report in the system's words.
bool Readable(const std::string& device) {
  return access(device.c_str(), R_OK) == 0 || !PrivilegesMayHelp(errno);
}

}  // namespace

DriveListing ListDrives() {
  DriveListing listing;
  for (const DiskRecord& record : EnumerateDrives()) {
    DiskView disk;
    disk.name = FromUtf8(record.name);
    disk.label = FromUtf8(record.label);
    disk.size = ParseSizeText(record.size_text);
    disk.removable = ShowsRemovableIcon(record);
    disk.readable = Readable(record.name);
    for (const VolumeRecord& volume_record : record.volumes) {
      VolumeView volume;
      volume.name = FromUtf8(volume_record.name);
      volume.label = FromUtf8(volume_record.label);
      volume.size = ParseSizeText(volume_record.size_text);
      volume.removable = volume_record.removable;
      volume.readable = Readable(volume_record.name);
      disk.volumes.push_back(std::move(volume));
    }
    listing.disks.push_back(std::move(disk));
  }
  return listing;
}

QString DriveSizeLabel(uint64_t bytes, bool single_precision) {
  return FromUtf8(SizeLabel(bytes, single_precision));
}

std::optional<ImageEntryView> ReadImageEntry(const QString& path) {
  const std::optional<ImageInfo> info = ReadImageInfo(QFile::encodeName(path).toStdString());
  if (!info) return std::nullopt;
  ImageEntryView entry;
  entry.data_size = info->trailer.data_size;
  entry.label = FromUtf8(ImageEntryLabel(info->file_size));
  return entry;
}

}  // namespace pictavo::app
