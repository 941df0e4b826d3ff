#include "support/fs_images.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

#include "samples/image_builder.h"
#include "samples/jpeg_sample.h"

namespace pictavo::testing {
namespace {

std::string Quote(const std::string& text) {
  std::string quoted = "'";
  for (const char c : text) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

std::string Folder(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? "" : path.substr(0, slash);
}

}  // namespace

bool Shell(const std::string& command) {
  return std::system(("(" + command + ") >/dev/null 2>&1").c_str()) == 0;
}

std::string NeedTools(const std::vector<std::string>& programs) {
  for (const std::string& program : programs) {
    if (!Shell("command -v " + program + " || test -x /usr/sbin/" + program + " || test -x /sbin/" +
               program)) {
      return "needs " + program;
    }
  }
  return "";
}

std::string MakeFatImage(const std::string& image, uint32_t size_mib,
                         const std::vector<TestFile>& files,
                         const std::vector<std::string>& deleted, int fat_bits, uint64_t offset) {
  if (std::string missing = NeedTools({"mkfs.vfat", "mcopy", "mmd", "mdel"}); !missing.empty()) {
    return missing;
  }
  const std::string target =
      offset == 0 ? Quote(image) : Quote(image + "@@" + std::to_string(offset));
  if (size_mib > 0 && offset == 0 &&
      !Shell("truncate -s " + std::to_string(size_mib) + "M " + Quote(image) +
             " && PATH=$PATH:/usr/sbin:/sbin mkfs.vfat -F " + std::to_string(fat_bits) + " " +
             Quote(image))) {
    return "mkfs.vfat failed";
  }
  samples::TempDir staging;
  std::vector<std::string> made;
  for (const TestFile& file : files) {
    std::string folder = Folder(file.path);
    std::string walked;
    while (!folder.empty()) {
      const size_t slash = folder.find('/');
      walked += (walked.empty() ? "" : "/") + folder.substr(0, slash);
      folder = slash == std::string::npos ? "" : folder.substr(slash + 1);
      if (std::find(made.begin(), made.end(), walked) == made.end()) {
        made.push_back(walked);
        // A folder that is there already is fine; a missing one makes mcopy fail below.
        Shell("MTOOLS_SKIP_CHECK=1 mmd -i " + target + " " + Quote("::" + walked));
      }
    }
    const std::string local = staging.File("f");
    if (!samples::WriteFile(local, file.bytes) ||
        !Shell("MTOOLS_SKIP_CHECK=1 mcopy -i " + target + " " + Quote(local) + " " +
               Quote("::" + file.path))) {
      return "mcopy failed";
    }
  }
  for (const std::string& path : deleted) {
    if (!Shell("MTOOLS_SKIP_CHECK=1 mdel -i " + target + " " + Quote("::" + path)))
      return "mdel failed";
  }
  return "";
}

std::string MakeMountedImage(const std::string& kind, const std::string& image, uint32_t size_mib,
                             const std::vector<TestFile>& files,
                             const std::vector<std::string>& deleted) {
  if (geteuid() != 0) return "needs root to mount";
  std::string mkfs, mount;
  if (kind == "ntfs") {
    mkfs = "mkfs.ntfs -q -F -f -s 512 -p 0 -H 0 -S 0";
    mount = "ntfs-3g";
    if (std::string missing = NeedTools({"mkfs.ntfs", "ntfs-3g"}); !missing.empty()) return missing;
  } else if (kind == "exfat") {
    mkfs = "mkfs.exfat";
    mount = "mount.exfat-fuse";
    if (std::string missing = NeedTools({"mkfs.exfat", "mount.exfat-fuse"}); !missing.empty()) {
      return missing;
    }
  } else {
    mkfs = "mkfs." + kind + " -q -F";
    mount = "mount -o loop";
    if (std::string missing = NeedTools({"mkfs." + kind}); !missing.empty()) return missing;
  }
  if (kind != "ext4" && access("/dev/fuse", R_OK | W_OK) != 0) return "needs /dev/fuse";
  const std::string path_setting = "PATH=$PATH:/usr/sbin:/sbin ";
  if (!Shell("truncate -s " + std::to_string(size_mib) + "M " + Quote(image) + " && " +
             path_setting + mkfs + " " + Quote(image))) {
    return mkfs + " failed";
  }
  samples::TempDir mount_point;
  // exFAT's FUSE driver wants a block device: the image goes behind a loop device.
  std::string device = image;
  if (kind == "exfat") {
    const std::string name_file = mount_point.File("../" + std::to_string(getpid()) + ".loop");
    if (!Shell("losetup --find --show " + Quote(image) + " > " + Quote(name_file))) {
      return "cannot attach a loop device";
    }
    const std::vector<uint8_t> name = samples::ReadFile(name_file);
    std::remove(name_file.c_str());
    device.assign(name.begin(), name.end());
    while (!device.empty() && device.back() == '\n') device.pop_back();
  }
  const auto detach = [&] {
    if (device != image) Shell("losetup -d " + Quote(device));
  };
  if (!Shell(path_setting + mount + " " + Quote(device) + " " + Quote(mount_point.path()))) {
    detach();
    return "cannot mount " + kind;
  }
  std::string failure;
  for (const TestFile& file : files) {
    const std::string target = mount_point.path() + "/" + file.path;
    std::error_code ignored;
    std::filesystem::create_directories(Folder(target), ignored);
    if (!samples::WriteFile(target, file.bytes)) failure = "cannot write " + file.path;
  }
  Shell("sync");
  for (const std::string& path : deleted) {
    if (std::remove((mount_point.path() + "/" + path).c_str()) != 0) {
      failure = "cannot delete " + path;
    }
  }
  Shell("sync");
  if (!Shell("umount " + Quote(mount_point.path()))) {
    Shell("sleep 1; umount " + Quote(mount_point.path()));
  }
  detach();
  return failure;
}

std::vector<TestFile> SamplePhotos(const std::string& folder, int count, uint32_t seed) {
  std::vector<TestFile> photos;
  for (int i = 0; i < count; ++i) {
    TestFile file;
    char name[32];
    std::snprintf(name, sizeof name, "IMG_%04d.JPG", i + 1);
    file.path = folder + "/" + name;
    // Widths from 64 to 1024 pixels: a few kilobytes up to several clusters.
    file.bytes = samples::EncodeJpeg(
        {.width = 64 + 160 * (i % 7), .height = 48 + 90 * (i % 5), .seed = seed + i});
    photos.push_back(std::move(file));
  }
  return photos;
}

}  // namespace pictavo::testing
