#include "filesystems/named_file.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>

#include "filesystems/named_content.h"
#include "platform/memory_source.h"
#include "samples/image_builder.h"

namespace pictavo {
namespace {

FileSystemListing SampleListing() {
  FileSystemListing listing;
  listing.volumes.push_back({1048576, 64 << 20, 4096, "FAT32", "Partition 1"});
  listing.volumes.push_back({80 << 20, 16 << 20, 512, "NTFS", "Partition 2"});
  listing.notes = {"FAT32 at byte 1048576: a note", ""};
  NamedFile photo;
  photo.volume = 0;
  photo.path = "DCIM/100CANON/_MG_0001.JPG";
  photo.type = kTypeJpeg;
  photo.size = 10'000;
  photo.modified = 1'700'000'000;
  photo.accessed = -5;
  photo.created = 1;
  photo.deleted = true;
  photo.first_block_in_use = true;
  photo.runs = {{0, 1'052'672, 8192, false, false}, {8192, 0, 1808, true, true}};
  listing.files.push_back(photo);
  NamedFile small;
  small.volume = 1;
  small.path = "tiny\tname\n.png";
  small.type = kTypePng;
  small.size = 3;
  small.resident = true;
  small.resident_bytes = {1, 2, 3};
  listing.files.push_back(small);
  return listing;
}

void ExpectSameFile(const NamedFile& a, const NamedFile& b) {
  EXPECT_EQ(a.volume, b.volume);
  EXPECT_EQ(a.path, b.path);
  EXPECT_EQ(a.type, b.type);
  EXPECT_EQ(a.size, b.size);
  EXPECT_EQ(a.modified, b.modified);
  EXPECT_EQ(a.accessed, b.accessed);
  EXPECT_EQ(a.created, b.created);
  EXPECT_EQ(a.deleted, b.deleted);
  EXPECT_EQ(a.first_block_in_use, b.first_block_in_use);
  EXPECT_EQ(a.resident, b.resident);
  EXPECT_EQ(a.resident_bytes, b.resident_bytes);
  EXPECT_EQ(a.runs, b.runs);
}

TEST(ListingEncoding, RoundTripsEveryField) {
  const FileSystemListing listing = SampleListing();
  const std::vector<uint8_t> bytes = EncodeListing(listing);
  const auto decoded = DecodeListing(bytes.data(), bytes.size());
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->notes, listing.notes);
  ASSERT_EQ(decoded->volumes.size(), 2u);
  EXPECT_EQ(decoded->volumes[1].type_name, "NTFS");
  EXPECT_EQ(decoded->volumes[0].partition_name, "Partition 1");
  EXPECT_EQ(decoded->volumes[0].block_size, 4096u);
  ASSERT_EQ(decoded->files.size(), 2u);
  ExpectSameFile(decoded->files[0], listing.files[0]);
  ExpectSameFile(decoded->files[1], listing.files[1]);
}

TEST(ListingEncoding, RefusesEveryCutAndAnyTrailingByte) {
  std::vector<uint8_t> bytes = EncodeListing(SampleListing());
  for (size_t length = 0; length < bytes.size(); ++length) {
    EXPECT_FALSE(DecodeListing(bytes.data(), length)) << length;
  }
  bytes.push_back(0);
  EXPECT_FALSE(DecodeListing(bytes.data(), bytes.size()));
}

TEST(ListingEncoding, RefusesHugeCountsAndBadReferences) {
  FileSystemListing listing = SampleListing();
  listing.files[0].volume = 7;  // no such volume
  std::vector<uint8_t> bytes = EncodeListing(listing);
  EXPECT_FALSE(DecodeListing(bytes.data(), bytes.size()));
  // Every byte flipped in turn: decoding either refuses or gives a listing, never reads outside.
  bytes = EncodeListing(SampleListing());
  for (size_t i = 0; i < bytes.size(); ++i) {
    std::vector<uint8_t> damaged = bytes;
    damaged[i] ^= 0xFF;
    (void)DecodeListing(damaged.data(), damaged.size());
  }
}

TEST(TypeFromFileName, UsesTheExtensionAndTheUsualOtherSpellings) {
  const struct {
    const char* name;
    FileTypeId type;
  } rows[] = {
      {"IMG_0001.JPG", kTypeJpeg}, {"a.jpeg", kTypeJpeg},    {"scan.TIF", kTypeTiff},
      {"x.tiff", kTypeTiff},       {"DSC_1.NEF", kTypeNef},  {"clip.MOV", kTypeMov},
      {"clip.mp4", kTypeMp4},      {"v.MPG", kTypeMpeg},     {"s.png", kTypePng},
      {"notes.txt", kTypeNone},    {"noext", kTypeNone},     {"dot.", kTypeNone},
      {".jpg", kTypeJpeg},         {"a.jpg.bak", kTypeNone}, {"IMG_1.HEIC", kTypeHeic},
      {"v.m4v", kTypeMp4},         {"n.opus", kTypeOgg},
  };
  for (const auto& row : rows) EXPECT_EQ(TypeFromFileName(row.name), row.type) << row.name;
}

TEST(NamedFile, ContiguousOffsetOnlyForOneUnbrokenPiece) {
  NamedFile file;
  file.size = 10'000;
  file.runs = {{0, 4096, 8192, false, false}, {8192, 4096 + 8192, 4096, false, false}};
  EXPECT_EQ(file.ContiguousOffset(), 4096u);
  file.runs[1].source_offset = 65536;
  EXPECT_FALSE(file.ContiguousOffset());
  file.runs = {{0, 0, 10'000, true, false}};
  EXPECT_FALSE(file.ContiguousOffset());
  file.runs = {{0, 512, 4096, false, false}};  // the map ends before the file does
  EXPECT_FALSE(file.ContiguousOffset());
  EXPECT_EQ(file.Name(), "");
  file.path = "DCIM/A.JPG";
  EXPECT_EQ(file.Name(), "A.JPG");
}

TEST(NamedFileSource, ReadsThroughRunsAndHolesInFileOrder) {
  std::vector<uint8_t> medium(8192);
  for (size_t i = 0; i < medium.size(); ++i) medium[i] = static_cast<uint8_t>(i / 512 + 1);
  MemorySectorSource source(medium, 512);
  NamedFile file;
  file.size = 2048;
  // Sector 5, then a hole, then sector 2, then half of sector 7.
  file.runs = {{0, 5 * 512, 512, false, false},
               {512, 0, 512, true, false},
               {1024, 2 * 512, 512, false, false},
               {1536, 7 * 512, 512, false, false}};
  NamedFileSource content(source, file);
  std::vector<uint8_t> bytes(2048);
  ASSERT_TRUE(content.ReadAt(0, 2048, bytes.data(), ReadRule::kChunk));
  EXPECT_EQ(bytes[0], 6);
  EXPECT_EQ(bytes[511], 6);
  EXPECT_EQ(bytes[512], 0);
  EXPECT_EQ(bytes[1023], 0);
  EXPECT_EQ(bytes[1024], 3);
  EXPECT_EQ(bytes[2047], 8);
  uint8_t byte = 0;
  uint32_t delivered = 9;
  EXPECT_TRUE(content.ReadAt(2048, 1, &byte, ReadRule::kChunk, &delivered));
  EXPECT_EQ(delivered, 0u) << "nothing past the file's end";
  ASSERT_NE(content.View(1024, 512), nullptr);
  EXPECT_EQ(content.View(1024, 512), source.View(1024, 512));
  EXPECT_EQ(content.View(0, 1024), nullptr) << "a view never spans two runs";
  EXPECT_EQ(content.SourceOffsetOf(1030), 2u * 512 + 6);
  EXPECT_FALSE(content.SourceOffsetOf(600));
}

// Stops the run at its first report of progress.
class CancelAtFirstProgress : public SaveObserver {
 public:
  explicit CancelAtFirstProgress(std::atomic<bool>* cancel) : cancel_(cancel) {}
  void OnProgress(uint64_t bytes_done, uint64_t) override {
    if (bytes_done > 0) cancel_->store(true);
  }

 private:
  std::atomic<bool>* cancel_;
};

TEST(SaveNamedFiles, AFileOfMoreThanFourGibibytesIsReadWhole) {
  // A 4 GiB video whose last sector lies past the 32-bit limit, the rest a hole.
  std::vector<uint8_t> medium(4096);
  for (size_t i = 0; i < medium.size(); ++i) medium[i] = static_cast<uint8_t>(i / 512 + 1);
  MemorySectorSource source(medium, 512);
  FileSystemListing listing;
  listing.volumes.emplace_back();
  NamedFile& file = listing.files.emplace_back();
  file.path = "DCIM/100MEDIA/CLIP0001.MP4";
  file.size = (uint64_t{4} << 30) + 1024;
  file.runs = {{0, 512, 512, false, false},
               {512, 0, (uint64_t{4} << 30), true, false},
               {(uint64_t{4} << 30) + 512, 3 * 512, 512, false, false}};
  NamedFileSource content(source, file);
  EXPECT_EQ(content.Size(), file.size);
  uint8_t last = 0;
  ASSERT_TRUE(content.ReadAt(file.size - 1, 1, &last, ReadRule::kChunk));
  EXPECT_EQ(last, 4);

  // Saving takes it on (and is cancelled here rather than write 4 GiB), where it used to be
  // refused for its size.
  samples::TempDir out;
  std::atomic<bool> cancel{false};
  CancelAtFirstProgress observer(&cancel);
  const SaveSummary summary = SaveNamedFiles(source, listing, {0}, out.path(), &observer, &cancel);
  EXPECT_TRUE(summary.cancelled);
  EXPECT_EQ(summary.failed, 0u);
  EXPECT_FALSE(std::filesystem::exists(out.File(file.path)));

  // Sizes come from the medium: their sum never wraps round to a small number.
  const uint64_t size = file.size;
  listing.files.push_back(listing.files[0]);  // `file` is not used past here
  listing.files[1].size = UINT64_MAX - 100;
  EXPECT_EQ(NamedFilesBytes(listing, {0}), size);
  EXPECT_EQ(NamedFilesBytes(listing, {0, 1, 7}), UINT64_MAX);
}

TEST(NamedFileShownPath, KeepsSavedPathsInsideTheDestination) {
  FileSystemListing listing = SampleListing();
  NamedFile file;
  file.volume = 1;
  file.path = "../../etc/./x.jpg";
  EXPECT_EQ(NamedFileShownPath(listing, file), "Partition 2 (NTFS)/_/_/etc/_/x.jpg");
  listing.volumes.resize(1);
  file.volume = 0;
  file.path = "a//b.jpg";
  EXPECT_EQ(NamedFileShownPath(listing, file), "a/_/b.jpg");
}

}  // namespace
}  // namespace pictavo
