#include <gtest/gtest.h>

#include "results/snapshot.h"
#include "samples/image_builder.h"

namespace pictavo {
namespace {

using samples::ReadFile;
using samples::TempDir;

RecoverySnapshot TwoFinds() {
  RecoverySnapshot snapshot;
  snapshot.source_name = "/dev/sdb";
  snapshot.source_label = "/dev/sdb (SD card, 64.00 GB)";
  snapshot.source_size = 64ULL << 30;
  snapshot.results.records = {
      {kTypeJpeg, 4096, 1000, 0}, {kTypePng, 8192, 70000, 0}, {kTypeNone, 9000, 0, 0}};
  snapshot.results.found_count = 2;
  snapshot.results.tallies[kTypeJpeg] = {1, 1, 1000};
  snapshot.results.tallies[kTypePng] = {1, 1, 70000};
  return snapshot;
}

// A card whose file system describes a deleted video of 5 GiB lying past the 4 GiB mark, and a
// live photo.
FileSystemListing CardListing() {
  FileSystemListing listing;
  listing.volumes.push_back({1 << 20, 63ULL << 30, 131072, "exFAT", ""});
  listing.notes = {"exFAT at byte 1048576: a note"};
  NamedFile video;
  video.path = "DCIM/Camera/VID_0001.MP4";
  video.type = kTypeMp4;
  video.size = 5ULL << 30;
  video.modified = 1'700'000'000;
  video.deleted = true;
  video.content_matches = true;
  video.state = NamedFileState::kDeletedRecoverable;
  video.runs = {{0, 6ULL << 30, 5ULL << 30, false, false}};
  listing.files.push_back(video);
  NamedFile photo;
  photo.path = "DCIM/Camera/IMG_0002.JPG";
  photo.type = kTypeJpeg;
  photo.size = 1000;
  photo.content_matches = true;
  photo.runs = {{0, 4096, 1000, false, false}};
  listing.files.push_back(photo);
  return listing;
}

std::vector<uint8_t> Encode(const RecoverySnapshot& snapshot) {
  std::string error;
  auto bytes = EncodeSnapshot(snapshot, &error);
  EXPECT_TRUE(bytes) << error;
  return bytes ? *bytes : std::vector<uint8_t>();
}

bool HasTag(const std::vector<uint8_t>& bytes, char last) {
  return bytes.size() > 9 && bytes[0] == 8 && bytes[7] == last && bytes[8] == 0;
}

TEST(SnapshotNamedFiles, WithoutThemTheClassicLayoutIsWrittenAsBefore) {
  const std::vector<uint8_t> bytes = Encode(TwoFinds());
  EXPECT_TRUE(HasTag(bytes, 'I'));
  EXPECT_EQ(bytes.size(), kSnapshotFixedBytes + 2 * (8 + 28) + 3 * kSnapshotRecordBytes);
  EXPECT_FALSE(NeedsVersionedSnapshot(TwoFinds()));
}

TEST(SnapshotNamedFiles, TheyComeBackWithTheirSixtyFourBitSizesAndStates) {
  RecoverySnapshot snapshot = TwoFinds();
  snapshot.named = CardListing();
  const std::vector<uint8_t> bytes = Encode(snapshot);
  EXPECT_TRUE(HasTag(bytes, 'V'));

  TempDir dir;
  const std::string path = dir.File("card.dat");
  ASSERT_TRUE(WriteSnapshot(path, snapshot).ok);
  RecoverySnapshot loaded;
  const SnapshotStatus status = ReadSnapshot(path, &loaded);
  ASSERT_TRUE(status.ok) << status.message;
  EXPECT_EQ(loaded.results.records, snapshot.results.records);
  EXPECT_EQ(loaded.results.tallies, snapshot.results.tallies);
  EXPECT_EQ(loaded.source_label, snapshot.source_label);
  // The listing is the same to the byte, the 5 GiB size and the offset past 4 GiB included.
  EXPECT_EQ(EncodeListing(loaded.named), EncodeListing(snapshot.named));
  ASSERT_EQ(loaded.named.files.size(), 2u);
  EXPECT_EQ(loaded.named.files[0].size, 5ULL << 30);
  EXPECT_EQ(loaded.named.files[0].ContiguousOffset(), 6ULL << 30);
  EXPECT_EQ(loaded.named.files[0].state, NamedFileState::kDeletedRecoverable);
  EXPECT_EQ(loaded.named.notes, snapshot.named.notes);
}

TEST(SnapshotNamedFiles, AFileSystemWithoutPhotosIsKeptToo) {
  RecoverySnapshot snapshot = TwoFinds();
  snapshot.named.volumes = CardListing().volumes;
  RecoverySnapshot loaded;
  std::string error;
  ASSERT_TRUE(DecodeSnapshot(Encode(snapshot), &loaded, &error)) << error;
  EXPECT_EQ(loaded.named.volumes.size(), 1u);
  EXPECT_TRUE(loaded.named.files.empty());
}

TEST(SnapshotNamedFiles, ADamagedListingLoadsNothing) {
  RecoverySnapshot snapshot = TwoFinds();
  snapshot.named = CardListing();
  std::vector<uint8_t> bytes = Encode(snapshot);
  // The listing is the last section, and the state of its last file its last byte: a state
  // that does not exist makes the whole snapshot refused.
  bytes.back() = 7;
  RecoverySnapshot loaded = TwoFinds();
  std::string error;
  EXPECT_FALSE(DecodeSnapshot(bytes, &loaded, &error));
  EXPECT_NE(error.find("files with names"), std::string::npos) << error;
  EXPECT_EQ(loaded.results.records, TwoFinds().results.records);
}

TEST(SnapshotByteSize, IsExactlyWhatIsWrittenInEitherLayout) {
  RecoverySnapshot classic = TwoFinds();
  RecoverySnapshot accented = TwoFinds();
  accented.source_label = "Carte mémoire — vacances 📷";
  RecoverySnapshot modern = TwoFinds();
  modern.results.records[0] = {kTypeHeic, 4096, 1000, 0};
  RecoverySnapshot long_video = TwoFinds();
  long_video.results.records[1].length = 5ULL << 30;
  RecoverySnapshot named = accented;
  named.named = CardListing();
  RecoverySnapshot nothing;
  for (const RecoverySnapshot* snapshot :
       {&classic, &accented, &modern, &long_video, &named, &nothing}) {
    SCOPED_TRACE(snapshot->source_label);
    EXPECT_EQ(SnapshotByteSize(*snapshot), Encode(*snapshot).size());
  }
}

TEST(SnapshotByteSize, ASnapshotTooLargeToBeLoadedAgainIsNotWritten) {
  EXPECT_EQ(SnapshotSizeProblem(kMaxSnapshotBytes), "");
  const std::string problem = SnapshotSizeProblem(kMaxSnapshotBytes + 1);
  EXPECT_NE(problem.find("too large"), std::string::npos);
  EXPECT_NE(problem.find("Nothing was saved"), std::string::npos);
}

}  // namespace
}  // namespace pictavo
