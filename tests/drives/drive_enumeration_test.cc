#include "drives/drive_enumeration.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "samples/image_builder.h"
#include "support/loop_device.h"

namespace pictavo {
namespace {

using samples::TempDir;

TEST(DriveLabels, SizesBelowOneGibibyteAreInMegabytes) {
  EXPECT_EQ(DiskLabel("Card", uint64_t{1} << 30), "Card (1.00 GB)");
  EXPECT_EQ(DiskLabel("Card", uint64_t{1} << 29), "Card (512.00 MB)");
  EXPECT_EQ(DiskLabel("Card", (uint64_t{1} << 30) - 1), "Card (1024.00 MB)");
  EXPECT_EQ(DiskLabel("Empty reader", 0), "Empty reader");
  EXPECT_EQ(VolumeLabel("E:", "FAT32", 8'000'000'000), "E: (FAT32,  7.45 GB)");
  EXPECT_EQ(VolumeLabel("/dev/sdb1", kNoFileSystem, 0), "/dev/sdb1 (<N\\A>,  0.00 MB)");
  // Disks and volumes round the GB figure to single precision, image entries do not.
  EXPECT_EQ(SizeLabel(14586782363), "13.59 GB");
  EXPECT_EQ(SizeLabel(14586782363, false), "13.58 GB");
  EXPECT_EQ(ImageEntryLabel(14586782363), "Image File (13.58 GB)");
  EXPECT_EQ(ImageEntryLabel(6ULL << 30), "Image File (6.00 GB)");
}

TEST(DriveLabels, SizeTextsReadBackSkippingCharactersBelowTheDigits) {
  EXPECT_EQ(ParseSizeText("8000000000"), 8'000'000'000u);
  EXPECT_EQ(ParseSizeText(""), 0u);
  EXPECT_EQ(ParseSizeText(" 1 024"), 1024u);
  EXPECT_EQ(ParseSizeText("6442450944"), 6ULL << 30);
}

// A small sysfs, device folder and udev database laid out the way the kernel and udev lay them.
class FakeMachine {
 public:
  FakeMachine() {
    roots.sysfs = dir.File("sys");
    roots.dev = dir.File("dev");
    roots.udev_data = dir.File("udev");
    roots.mountinfo = dir.File("mountinfo");
    for (const auto& folder :
         {roots.sysfs + "/block", roots.sysfs + "/dev/block", roots.dev, roots.udev_data}) {
      std::filesystem::create_directories(folder);
    }
  }

  void Write(const std::string& path, const std::string& text) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path) << text << "\n";
  }

  // A disk at sys/block/NAME with its size in 512-byte units.
  std::string Disk(const std::string& name, uint64_t units, unsigned major_number,
                   unsigned minor_number, const std::string& model = "", bool removable = false) {
    const std::string folder = roots.sysfs + "/block/" + name;
    Write(folder + "/size", std::to_string(units));
    Write(folder + "/removable", removable ? "1" : "0");
    Write(folder + "/dev", std::to_string(major_number) + ":" + std::to_string(minor_number));
    Write(folder + "/uevent", "MAJOR=" + std::to_string(major_number) + "\nDEVNAME=" + name);
    if (!model.empty()) Write(folder + "/device/model", model);
    Link(folder, major_number, minor_number);
    return folder;
  }

  std::string Partition(const std::string& disk, const std::string& name, unsigned number,
                        uint64_t units, unsigned major_number, unsigned minor_number,
                        const std::string& udev_type = "") {
    const std::string folder = roots.sysfs + "/block/" + disk + "/" + name;
    Write(folder + "/size", std::to_string(units));
    Write(folder + "/partition", std::to_string(number));
    Write(folder + "/dev", std::to_string(major_number) + ":" + std::to_string(minor_number));
    Write(folder + "/uevent", "DEVTYPE=partition\nDEVNAME=" + name);
    Link(folder, major_number, minor_number);
    if (!udev_type.empty()) {
      Write(roots.udev_data + "/b" + std::to_string(major_number) + ":" +
                std::to_string(minor_number),
            "S:disk/by-uuid/1234\nE:ID_FS_USAGE=filesystem\nE:ID_FS_TYPE=" + udev_type);
    }
    return folder;
  }

  void Link(const std::string& folder, unsigned major_number, unsigned minor_number) {
    const std::string link = roots.sysfs + "/dev/block/" + std::to_string(major_number) + ":" +
                             std::to_string(minor_number);
    std::filesystem::remove(link);
    std::filesystem::create_symlink(folder, link);
  }

  TempDir dir;
  BlockDeviceRoots roots;
};

const DiskRecord* FindDisk(const std::vector<DiskRecord>& disks, const std::string& name) {
  for (const DiskRecord& disk : disks) {
    if (disk.name == name) return &disk;
  }
  return nullptr;
}

TEST(DriveEnumeration, ListsDisksWithPartitionsInOrderAndLeavesOutVirtualDevices) {
  FakeMachine machine;
  const uint64_t units = 8'000'000'000 / 512;
  machine.Disk("sdb", units + 2048, 8, 16, "SD/MMC", true);
  machine.Write(machine.roots.sysfs + "/block/sdb/device/vendor", "Generic-   ");
  machine.Partition("sdb", "sdb2", 2, 4096, 8, 18);  // no file system
  machine.Partition("sdb", "sdb1", 1, units, 8, 17, "vfat");
  machine.Partition("sdb", "sdb3", 3, 2, 8, 19);  // an extended partition's container
  machine.Disk("sdc", 0, 8, 32, "Card Reader", true);
  machine.Disk("sda", 1953525168, 8, 0, "Samsung SSD 870");
  machine.Partition("sda", "sda1", 1, 1953523120, 8, 1, "ext4");
  machine.Disk("loop0", 0, 7, 0);
  machine.Disk("loop1", 16384, 7, 1);
  machine.Write(machine.roots.sysfs + "/block/loop1/loop/backing_file", "/home/me/card.img");
  machine.Disk("ram0", 8192, 1, 0);
  machine.Disk("zram0", 8192, 253, 0);
  machine.Disk("sdaa", 2048, 65, 160, "Spare");
  machine.Disk("nbd0", 0, 43, 0);
  machine.Disk("dm-0", 4096, 254, 0);
  machine.Write(machine.roots.sysfs + "/block/dm-0/dm/name", "vg-photos");

  const std::vector<DiskRecord> disks = EnumerateDrives(machine.roots);
  std::vector<std::string> names;
  for (const DiskRecord& disk : disks) names.push_back(disk.name);
  const std::string dev = machine.roots.dev;
  EXPECT_EQ(names, (std::vector<std::string>{dev + "/sda", dev + "/sdb", dev + "/sdc",
                                             dev + "/dm-0", dev + "/sdaa", dev + "/loop1"}));
  EXPECT_EQ(FindDisk(disks, dev + "/dm-0")->label, "Device mapper (vg-photos) (2.00 MB)");

  const DiskRecord* card = FindDisk(disks, dev + "/sdb");
  ASSERT_TRUE(card);
  EXPECT_EQ(card->model, "Generic- SD/MMC");
  EXPECT_EQ(card->label, "Generic- SD/MMC (7.45 GB)");
  EXPECT_EQ(card->size_text, std::to_string((units + 2048) * 512));
  EXPECT_TRUE(card->removable);
  EXPECT_TRUE(ShowsRemovableIcon(*card));
  ASSERT_EQ(card->volumes.size(), 2u);
  EXPECT_EQ(card->volumes[0].name, dev + "/sdb1");
  EXPECT_EQ(card->volumes[0].file_system, "vfat");
  EXPECT_EQ(card->volumes[0].label, dev + "/sdb1 (vfat,  7.45 GB)");
  EXPECT_EQ(card->volumes[0].size_text, "8000000000");
  EXPECT_TRUE(card->volumes[0].removable);
  EXPECT_EQ(card->volumes[1].file_system, kNoFileSystem);
  EXPECT_EQ(card->volumes[1].label, dev + "/sdb2 (<N\\A>,  2.00 MB)");

  const DiskRecord* reader = FindDisk(disks, dev + "/sdc");
  ASSERT_TRUE(reader);
  EXPECT_EQ(reader->label, "Card Reader");
  EXPECT_EQ(reader->size_text, "0");
  EXPECT_TRUE(reader->volumes.empty());
  EXPECT_FALSE(ShowsRemovableIcon(*reader));

  const DiskRecord* ssd = FindDisk(disks, dev + "/sda");
  ASSERT_TRUE(ssd);
  EXPECT_FALSE(ShowsRemovableIcon(*ssd));
  ASSERT_EQ(ssd->volumes.size(), 1u);
  EXPECT_EQ(ssd->volumes[0].label, dev + "/sda1 (ext4,  931.51 GB)");

  const DiskRecord* loop = FindDisk(disks, dev + "/loop1");
  ASSERT_TRUE(loop);
  EXPECT_EQ(loop->model, "Loop device (/home/me/card.img)");
}

TEST(DriveEnumeration, ProbesFileSystemsOnDeviceNodesAndWholeDiskCards) {
  if (system("command -v mkfs.vfat >/dev/null 2>&1") != 0) GTEST_SKIP() << "no mkfs.vfat";
  FakeMachine machine;
  machine.Disk("mmcblk0", 65536, 179, 0);
  machine.Write(machine.roots.sysfs + "/block/mmcblk0/device/name", "SD32G");
  machine.Write(machine.roots.sysfs + "/block/mmcblk0/device/type", "SD");
  machine.Partition("mmcblk0", "mmcblk0p1", 1, 65536 - 2048, 179, 1);
  machine.Disk("sdd", 65536, 8, 48, "Flash Disk", true);  // no partition table
  // Regular files stand in for the device nodes; libblkid probes them the same way.
  for (const std::string node : {"mmcblk0p1", "sdd"}) {
    const std::string path = machine.roots.dev + "/" + node;
    std::ofstream(path).close();
    ASSERT_EQ(truncate(path.c_str(), 32 << 20), 0);
    ASSERT_EQ(system(("mkfs.vfat " + path + " >/dev/null 2>&1").c_str()), 0);
  }

  const std::vector<DiskRecord> disks = EnumerateDrives(machine.roots);
  const DiskRecord* sd = FindDisk(disks, machine.roots.dev + "/mmcblk0");
  ASSERT_TRUE(sd);
  EXPECT_EQ(sd->model, "SD32G");
  EXPECT_TRUE(sd->removable) << "cards in a built-in slot are removable media";
  ASSERT_EQ(sd->volumes.size(), 1u);
  EXPECT_EQ(sd->volumes[0].file_system, "vfat");

  const DiskRecord* stick = FindDisk(disks, machine.roots.dev + "/sdd");
  ASSERT_TRUE(stick);
  ASSERT_EQ(stick->volumes.size(), 1u);
  EXPECT_EQ(stick->volumes[0].name, stick->name);
  EXPECT_EQ(stick->volumes[0].label, stick->name + " (vfat,  32.00 MB)");
}

TEST(DriveEnumeration, DisksUnderFollowsPartitionsAndStackedDevices) {
  FakeMachine machine;
  machine.Disk("sda", 1000, 8, 0);
  machine.Partition("sda", "sda1", 1, 900, 8, 1);
  machine.Disk("sdb", 1000, 8, 16);
  machine.Partition("sdb", "sdb1", 1, 900, 8, 17);
  machine.Disk("sdc", 1000, 8, 32);
  const std::string dm = machine.Disk("dm-0", 1800, 254, 0);  // e.g. LVM over sda1 and sdb1
  std::filesystem::create_directories(dm + "/slaves");
  std::filesystem::create_symlink(machine.roots.sysfs + "/block/sda/sda1", dm + "/slaves/sda1");
  std::filesystem::create_symlink(machine.roots.sysfs + "/block/sdb/sdb1", dm + "/slaves/sdb1");
  const std::string loopy = machine.Disk("dm-1", 10, 254, 1);  // a broken tree with a cycle
  std::filesystem::create_directories(loopy + "/slaves");
  std::filesystem::create_symlink(loopy, loopy + "/slaves/dm-1");

  using Set = std::set<std::string>;
  EXPECT_EQ(DisksUnder(machine.roots, makedev(8, 17)), Set{"sdb"});
  EXPECT_EQ(DisksUnder(machine.roots, makedev(8, 16)), Set{"sdb"});
  EXPECT_EQ(DisksUnder(machine.roots, makedev(254, 0)), (Set{"sda", "sdb"}));
  EXPECT_EQ(DisksUnder(machine.roots, makedev(8, 32)), Set{"sdc"});
  EXPECT_EQ(DisksUnder(machine.roots, makedev(9, 9)), Set{});
  EXPECT_TRUE(DisksUnder(machine.roots, makedev(254, 1)).empty());
}

TEST(DriveEnumeration, ALoopDeviceWithAPartitionTableAndFatIsListed) {
  testing::LoopDevice loop(std::vector<uint8_t>(8 << 20));
  if (!loop.ok()) GTEST_SKIP() << loop.skip_reason();
  const std::vector<DiskRecord> disks = EnumerateDrives();
  const DiskRecord* disk = FindDisk(disks, loop.disk());
  ASSERT_TRUE(disk) << loop.disk();
  EXPECT_EQ(disk->size_text, std::to_string(8 << 20));
  ASSERT_EQ(disk->volumes.size(), 1u);
  EXPECT_EQ(disk->volumes[0].name, loop.partition());
  EXPECT_EQ(disk->volumes[0].file_system, "vfat");
  EXPECT_EQ(disk->volumes[0].size_text, std::to_string((8 << 20) - (1 << 20)));
  EXPECT_EQ(SourceLabelOf(loop.partition()), disk->volumes[0].label);
  EXPECT_EQ(SourceLabelOf(loop.disk()), disk->label);
}

}  // namespace
}  // namespace pictavo
