#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <map>

#include "filesystems/isolated_listing.h"
#include "filesystems/named_content.h"
#include "filesystems/tsk_listing.h"
#include "platform/memory_source.h"
#include "samples/image_builder.h"
#include "samples/png_sample.h"
#include "support/fs_images.h"

namespace pictavo {
namespace {

using samples::ReadFile;
using samples::TempDir;
using testing::MakeFatImage;
using testing::SamplePhotos;
using testing::TestFile;

std::unique_ptr<FileSectorSource> Open(const std::string& path) {
  int error = 0;
  return FileSectorSource::Open(path, {}, &error);
}

FileSystemListing ListAndClassify(SectorSource& source) {
  FileSystemListing listing = ListFileSystemsInProcess(source, {});
  ClassifyNamedFiles(source, listing);
  return listing;
}

std::map<std::string, const NamedFile*> ByPath(const FileSystemListing& listing) {
  std::map<std::string, const NamedFile*> files;
  for (const NamedFile& file : listing.files) files[file.path] = &file;
  return files;
}

bool HasNote(const FileSystemListing& listing, const std::string& part) {
  for (const std::string& note : listing.notes) {
    if (note.find(part) != std::string::npos) return true;
  }
  return false;
}

// A FAT32 card: six photos and a long-named PNG in DCIM/100TEST, three of them deleted.
class FatCard : public ::testing::Test {
 protected:
  void SetUp() override {
    files_ = SamplePhotos("DCIM/100TEST", 6);
    files_.push_back(
        {"DCIM/100TEST/Long name photo.png", samples::EncodePng({.width = 90, .height = 70})});
    deleted_ = {"DCIM/100TEST/IMG_0002.JPG", "DCIM/100TEST/IMG_0005.JPG",
                "DCIM/100TEST/Long name photo.png"};
    image_ = dir_.File("card.img");
    const std::string why = MakeFatImage(image_, 40, files_, deleted_);
    if (!why.empty()) GTEST_SKIP() << why;
  }

  const std::vector<uint8_t>& Original(const std::string& path) const {
    for (const TestFile& file : files_) {
      if (file.path == path) return file.bytes;
    }
    static const std::vector<uint8_t> none;
    return none;
  }

  TempDir dir_;
  std::vector<TestFile> files_;
  std::vector<std::string> deleted_;
  std::string image_;
};

TEST_F(FatCard, ListsLiveAndDeletedFilesWithTheirNames) {
  auto source = Open(image_);
  ASSERT_TRUE(source);
  const FileSystemListing listing = ListAndClassify(*source);
  ASSERT_EQ(listing.volumes.size(), 1u);
  EXPECT_EQ(listing.volumes[0].type_name, "FAT32");
  EXPECT_TRUE(listing.notes.empty()) << listing.notes.front();
  const auto files = ByPath(listing);
  ASSERT_EQ(files.size(), 7u);
  const struct {
    const char* path;
    NamedFileState state;
  } rows[] = {
      {"DCIM/100TEST/IMG_0001.JPG", NamedFileState::kLive},
      {"DCIM/100TEST/_MG_0002.JPG", NamedFileState::kDeletedRecoverable},
      {"DCIM/100TEST/IMG_0003.JPG", NamedFileState::kLive},
      {"DCIM/100TEST/IMG_0004.JPG", NamedFileState::kLive},
      {"DCIM/100TEST/_MG_0005.JPG", NamedFileState::kDeletedRecoverable},
      {"DCIM/100TEST/IMG_0006.JPG", NamedFileState::kLive},
      {"DCIM/100TEST/Long name photo.png", NamedFileState::kDeletedRecoverable},
  };
  for (const auto& row : rows) {
    ASSERT_TRUE(files.count(row.path)) << row.path;
    const NamedFile& file = *files.at(row.path);
    EXPECT_EQ(file.state, row.state) << row.path;
    EXPECT_TRUE(file.content_matches) << row.path;
    EXPECT_GT(file.modified, 1'600'000'000) << row.path;
  }
  EXPECT_EQ(files.at("DCIM/100TEST/IMG_0003.JPG")->size,
            Original("DCIM/100TEST/IMG_0003.JPG").size());
  EXPECT_EQ(files.at("DCIM/100TEST/Long name photo.png")->type, kTypePng);
}

TEST_F(FatCard, SavesEveryFileByteForByteUnderItsFoldersWithItsTime) {
  auto source = Open(image_);
  ASSERT_TRUE(source);
  const FileSystemListing listing = ListAndClassify(*source);
  std::vector<size_t> all(listing.files.size());
  for (size_t i = 0; i < all.size(); ++i) all[i] = i;
  TempDir out;
  const SaveSummary summary = SaveNamedFiles(*source, listing, all, out.path(), nullptr, nullptr);
  EXPECT_EQ(summary.written, 7u);
  EXPECT_TRUE(summary.all_written()) << SaveSummaryText(summary, out.path());
  for (const NamedFile& file : listing.files) {
    std::string original = file.path;
    if (original.find("/_MG_") != std::string::npos) {
      original.replace(original.find("/_MG_"), 5, "/IMG_");
    }
    const std::string saved = out.File(file.path);
    EXPECT_EQ(ReadFile(saved), Original(original)) << file.path;
    struct stat st {};
    ASSERT_EQ(stat(saved.c_str(), &st), 0);
    EXPECT_EQ(st.st_mtime, file.modified) << file.path;
  }
  // A second run never overwrites: every file gets the next free name.
  const SaveSummary again = SaveNamedFiles(*source, listing, all, out.path(), nullptr, nullptr);
  EXPECT_EQ(again.renamed, 7u);
  EXPECT_EQ(ReadFile(out.File("DCIM/100TEST/IMG_0001 (2).JPG")),
            Original("DCIM/100TEST/IMG_0001.JPG"));
}

TEST_F(FatCard, TheChildProcessHandsBackTheSameListing) {
  auto source = Open(image_);
  ASSERT_TRUE(source);
  const FileSystemListing here = ListFileSystemsInProcess(*source, {});
  const FileSystemListing there = ListFileSystemsIsolated(*source, {});
  EXPECT_FALSE(there.pass_failed);
  EXPECT_EQ(EncodeListing(here), EncodeListing(there));
}

TEST_F(FatCard, OurDiskImageTrailerIsNotPartOfTheMedium) {
  samples::ImageBuilder builder(512);
  builder.PlaceAt(0, ReadFile(image_));
  const std::string disk_image = dir_.File("card.pimg");
  ASSERT_TRUE(builder.WriteDiskImage(disk_image));
  auto raw = Open(image_);
  auto image = Open(disk_image);
  ASSERT_TRUE(raw && image);
  EXPECT_EQ(image->kind(), SourceKind::kImageFile);
  EXPECT_EQ(EncodeListing(ListAndClassify(*image)), EncodeListing(ListAndClassify(*raw)));
}

// Offsets of the structures of a FAT32 image, read from its boot sector.
struct FatLayout {
  uint64_t fat_offset, fat_bytes, data_offset, cluster_bytes;
  uint32_t copies;
  explicit FatLayout(const std::vector<uint8_t>& image) {
    const uint32_t bytes_per_sector = image[11] | (image[12] << 8);
    fat_offset = uint64_t{uint32_t(image[14] | (image[15] << 8))} * bytes_per_sector;
    copies = image[16];
    fat_bytes =
        uint64_t{uint32_t(image[36] | (image[37] << 8) | (image[38] << 16))} * bytes_per_sector;
    data_offset = fat_offset + copies * fat_bytes;
    cluster_bytes = uint64_t{image[13]} * bytes_per_sector;
  }
  uint64_t ClusterOffset(uint32_t cluster) const {
    return data_offset + (cluster - 2) * cluster_bytes;
  }
};

TEST_F(FatCard, AZeroedFirstFatIsReadFromTheSecondCopyWithANote) {
  std::vector<uint8_t> image = ReadFile(image_);
  const FatLayout layout(image);
  std::fill(image.begin() + layout.fat_offset, image.begin() + layout.fat_offset + layout.fat_bytes,
            0);
  MemorySectorSource source(image, 512);
  const FileSystemListing listing = ListAndClassify(source);
  EXPECT_TRUE(HasNote(listing, "the first copy of the allocation table is damaged"));
  const auto files = ByPath(listing);
  ASSERT_EQ(files.size(), 7u);
  EXPECT_EQ(files.at("DCIM/100TEST/IMG_0001.JPG")->state, NamedFileState::kLive);
  EXPECT_EQ(files.at("DCIM/100TEST/_MG_0002.JPG")->state, NamedFileState::kDeletedRecoverable);

  // With both copies zeroed nothing tells live from deleted: a note says so, and every file is
  // still listed with its content.
  std::fill(image.begin() + layout.fat_offset, image.begin() + layout.data_offset, 0);
  MemorySectorSource both(image, 512);
  const FileSystemListing damaged = ListAndClassify(both);
  EXPECT_TRUE(HasNote(damaged, "both copies of the allocation table are damaged"));
  EXPECT_EQ(ByPath(damaged).size(), 7u);
  EXPECT_TRUE(ByPath(damaged).at("DCIM/100TEST/IMG_0001.JPG")->content_matches);
}

TEST_F(FatCard, ADeletedFileWhoseFirstClusterIsTakenAgainIsOverwritten) {
  std::vector<uint8_t> image = ReadFile(image_);
  const FatLayout layout(image);
  MemorySectorSource intact(image, 512);
  const FileSystemListing before = ListAndClassify(intact);
  const auto files = ByPath(before);
  const NamedFile& gone = *files.at("DCIM/100TEST/_MG_0002.JPG");
  ASSERT_EQ(gone.state, NamedFileState::kDeletedRecoverable);
  // Another file now holds its first cluster, and wrote other bytes there.
  const uint64_t start = *gone.ContiguousOffset();
  const uint32_t cluster =
      static_cast<uint32_t>((start - layout.data_offset) / layout.cluster_bytes + 2);
  for (uint32_t copy = 0; copy < layout.copies; ++copy) {
    const uint64_t entry = layout.fat_offset + copy * layout.fat_bytes + 4 * cluster;
    image[entry] = image[entry + 1] = image[entry + 2] = 0xFF;
    image[entry + 3] = 0x0F;
  }
  MemorySectorSource taken(image, 512);
  EXPECT_EQ(ByPath(ListAndClassify(taken)).at("DCIM/100TEST/_MG_0002.JPG")->state,
            NamedFileState::kDeletedOverwritten);
  // Free again but holding other bytes: its content no longer starts as a JPEG's.
  image = ReadFile(image_);
  std::fill(image.begin() + start, image.begin() + start + 512, 0x42);
  MemorySectorSource scribbled(image, 512);
  EXPECT_EQ(ByPath(ListAndClassify(scribbled)).at("DCIM/100TEST/_MG_0002.JPG")->state,
            NamedFileState::kDeletedOverwritten);
}

// The directory entry named `name` (8.3, space-padded) in the folder at `cluster`.
uint64_t FindEntry(const std::vector<uint8_t>& image, const FatLayout& layout, uint32_t cluster,
                   const char* name) {
  const uint64_t start = layout.ClusterOffset(cluster);
  for (uint64_t at = start; at + 32 <= start + layout.cluster_bytes; at += 32) {
    if (std::memcmp(&image[at], name, 11) == 0) return at;
  }
  return 0;
}

uint32_t EntryCluster(const std::vector<uint8_t>& image, uint64_t entry) {
  return (uint32_t(image[entry + 21]) << 24) | (uint32_t(image[entry + 20]) << 16) |
         (uint32_t(image[entry + 27]) << 8) | image[entry + 26];
}

TEST_F(FatCard, ADirectoryLoopEndsTheWalkWithANote) {
  const std::vector<TestFile> folder = {
      {"DCIM/100TEST/LOOP/KEEP.JPG", Original("DCIM/100TEST/IMG_0001.JPG")}};
  ASSERT_EQ(MakeFatImage(image_, 0, folder, {}, 32, 0), "");
  std::vector<uint8_t> image = ReadFile(image_);
  const FatLayout layout(image);
  const uint64_t dcim = FindEntry(image, layout, 2, "DCIM       ");
  ASSERT_NE(dcim, 0u);
  const uint64_t test = FindEntry(image, layout, EntryCluster(image, dcim), "100TEST    ");
  ASSERT_NE(test, 0u);
  const uint64_t loop = FindEntry(image, layout, EntryCluster(image, test), "LOOP       ");
  ASSERT_NE(loop, 0u);
  // LOOP now leads back to DCIM.
  const uint32_t target = EntryCluster(image, dcim);
  image[loop + 20] = target >> 16 & 0xFF;
  image[loop + 21] = target >> 24;
  image[loop + 26] = target & 0xFF;
  image[loop + 27] = target >> 8 & 0xFF;
  MemorySectorSource source(image, 512);
  const FileSystemListing listing = ListFileSystemsIsolated(source, {});
  EXPECT_FALSE(listing.pass_failed);
  EXPECT_TRUE(HasNote(listing, "a loop")) << listing.notes.size();
  size_t first_photo = 0;
  for (const NamedFile& file : listing.files) first_photo += file.Name() == "IMG_0001.JPG";
  EXPECT_EQ(first_photo, 1u) << "a file met again through the loop is listed once";
}

TEST_F(FatCard, AChainIntoNowhereIsNotedAndTheFileSavedAsDamaged) {
  std::vector<uint8_t> image = ReadFile(image_);
  const FatLayout layout(image);
  MemorySectorSource intact(image, 512);
  const FileSystemListing before = ListAndClassify(intact);
  const NamedFile* big = nullptr;
  for (const NamedFile& file : before.files) {
    if (!file.deleted && file.size > 2 * layout.cluster_bytes && (!big || file.size > big->size))
      big = &file;
  }
  ASSERT_TRUE(big);
  const uint32_t first = static_cast<uint32_t>(
      (*big->ContiguousOffset() - layout.data_offset) / layout.cluster_bytes + 2);
  for (uint32_t copy = 0; copy < layout.copies; ++copy) {
    const uint64_t entry = layout.fat_offset + copy * layout.fat_bytes + 4 * first;
    image[entry] = 0xEF;
    image[entry + 1] = 0xCD;
    image[entry + 2] = 0xAB;  // cluster 0x00ABCDEF: far past the end
    image[entry + 3] = 0x00;
  }
  MemorySectorSource source(image, 512);
  const FileSystemListing listing = ListAndClassify(source);
  EXPECT_TRUE(HasNote(listing, "its cluster chain is broken"));
  std::vector<size_t> which;
  for (size_t i = 0; i < listing.files.size(); ++i) {
    if (listing.files[i].path == big->path) which.push_back(i);
  }
  ASSERT_EQ(which.size(), 1u);
  TempDir out;
  const SaveSummary summary = SaveNamedFiles(source, listing, which, out.path(), nullptr, nullptr);
  EXPECT_EQ(summary.damaged, 1u);
  ASSERT_EQ(summary.files.size(), 1u);
  EXPECT_EQ(summary.files[0].unreadable_bytes, big->size - layout.cluster_bytes);
  const std::vector<uint8_t> saved = ReadFile(out.File(big->path));
  ASSERT_EQ(saved.size(), big->size);
  EXPECT_TRUE(
      std::equal(saved.begin(), saved.begin() + layout.cluster_bytes, Original(big->path).begin()));
}

// A medium whose reads bring the reading process down, as a crash inside the library would.
class CrashingSource : public MemorySectorSource {
 public:
  using MemorySectorSource::MemorySectorSource;
  int64_t Pread(uint64_t, uint8_t*, uint32_t, int*) override { std::abort(); }
};

TEST(IsolatedListing, ACrashWhileReadingIsReportedAndTheCallerGoesOn) {
  CrashingSource source(std::vector<uint8_t>(1 << 20), 512);
  const FileSystemListing listing = ListFileSystemsIsolated(source, {});
  EXPECT_TRUE(listing.pass_failed);
  ASSERT_EQ(listing.notes.size(), 1u);
  EXPECT_EQ(listing.notes[0].rfind(kFileSystemPassFailedNote, 0), 0u) << listing.notes[0];
  EXPECT_TRUE(listing.files.empty());
}

TEST(IsolatedListing, AMediumWithoutAFileSystemGivesAnEmptyListing) {
  MemorySectorSource source(samples::RandomBytes(4 << 20, 9), 512);
  const FileSystemListing listing = ListFileSystemsIsolated(source, {});
  EXPECT_FALSE(listing.pass_failed);
  EXPECT_TRUE(listing.volumes.empty());
  EXPECT_TRUE(listing.files.empty());
}

// Two FAT partitions behind a partition table (DOS and GPT), as on a disk.
class PartitionedDisk : public ::testing::TestWithParam<const char*> {};

TEST_P(PartitionedDisk, ListsTheFilesOfEachPartitionUnderItsName) {
  if (std::string missing = testing::NeedTools({"sfdisk"}); !missing.empty())
    GTEST_SKIP() << missing;
  TempDir dir;
  const std::string disk = dir.File("disk.img");
  const std::string layout =
      std::string("label: ") + GetParam() + "\nstart=2048, size=40960, type=" +
      (std::string(GetParam()) == "gpt" ? "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7" : "c") +
      "\nstart=45056, size=40960, type=" +
      (std::string(GetParam()) == "gpt" ? "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7" : "c") + "\n";
  ASSERT_TRUE(testing::Shell("truncate -s 48M " + disk + " && printf '" + layout +
                             "' | PATH=$PATH:/usr/sbin:/sbin sfdisk -q " + disk));
  for (const uint64_t start : {2048u, 45056u}) {
    if (!testing::Shell("PATH=$PATH:/usr/sbin:/sbin mkfs.vfat -F 16 --offset " +
                        std::to_string(start) + " " + disk + " 40960")) {
      GTEST_SKIP() << "mkfs.vfat --offset failed";
    }
  }
  const auto first = SamplePhotos("DCIM/A", 2, 1);
  const auto second = SamplePhotos("DCIM/B", 3, 7);
  ASSERT_EQ(MakeFatImage(disk, 0, first, {"DCIM/A/IMG_0002.JPG"}, 16, 2048 * 512), "");
  ASSERT_EQ(MakeFatImage(disk, 0, second, {}, 16, 45056 * 512), "");
  auto source = Open(disk);
  ASSERT_TRUE(source);
  const FileSystemListing listing = ListAndClassify(*source);
  ASSERT_EQ(listing.volumes.size(), 2u);
  EXPECT_EQ(listing.volumes[0].offset, 2048u * 512);
  EXPECT_EQ(listing.volumes[1].type_name, "FAT16");
  std::vector<std::string> shown;
  for (const NamedFile& file : listing.files) shown.push_back(NamedFileShownPath(listing, file));
  const std::string first_name = listing.volumes[0].partition_name;
  EXPECT_NE(std::find(shown.begin(), shown.end(), first_name + " (FAT16)/DCIM/A/_MG_0002.JPG"),
            shown.end());
  EXPECT_EQ(shown.size(), 5u);
  for (const NamedFile& file : listing.files) {
    EXPECT_NE(file.state, NamedFileState::kDeletedOverwritten) << file.path;
  }
}

INSTANTIATE_TEST_SUITE_P(Tables, PartitionedDisk, ::testing::Values("dos", "gpt"));

}  // namespace
}  // namespace pictavo
