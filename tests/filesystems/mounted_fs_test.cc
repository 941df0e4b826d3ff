#include <gtest/gtest.h>

#include <map>

#include "filesystems/isolated_listing.h"
#include "filesystems/named_content.h"
#include "samples/image_builder.h"
#include "support/fs_images.h"

namespace pictavo {
namespace {

using samples::ReadFile;
using samples::TempDir;
using testing::MakeMountedImage;
using testing::SamplePhotos;
using testing::TestFile;

struct Made {
  std::vector<TestFile> files;
  std::vector<std::string> deleted;
  std::string image;
  std::string skip;
};

// Eight photos in DCIM/100TEST and one in the root, the 2nd, 5th and 7th deleted.
Made MakeCard(const TempDir& dir, const std::string& kind) {
  Made made;
  made.files = SamplePhotos("DCIM/100TEST", 8, 3);
  made.files.push_back({"Holiday 2024 – beach.jpg", made.files[0].bytes});
  made.deleted = {made.files[1].path, made.files[4].path, made.files[6].path};
  made.image = dir.File(kind + ".img");
  made.skip =
      MakeMountedImage(kind, made.image, kind == "ntfs" ? 24 : 32, made.files, made.deleted);
  return made;
}

struct Listed {
  std::unique_ptr<FileSectorSource> source;
  FileSystemListing listing;
  std::map<std::string, const NamedFile*> by_path;
};

Listed List(const std::string& image) {
  Listed listed;
  int error = 0;
  listed.source = FileSectorSource::Open(image, {}, &error);
  if (!listed.source) return listed;
  listed.listing = ListFileSystemsIsolated(*listed.source, {});
  ClassifyNamedFiles(*listed.source, listed.listing);
  for (const NamedFile& file : listed.listing.files) listed.by_path[file.path] = &file;
  return listed;
}

// Saves the files in `states` and checks them byte for byte against what was written.
void ExpectSavedExactly(Listed& listed, const Made& made, std::vector<NamedFileState> states,
                        size_t expected) {
  std::vector<size_t> which;
  for (size_t i = 0; i < listed.listing.files.size(); ++i) {
    const NamedFile& file = listed.listing.files[i];
    if (std::find(states.begin(), states.end(), file.state) != states.end()) which.push_back(i);
  }
  EXPECT_EQ(which.size(), expected);
  TempDir out;
  const SaveSummary summary =
      SaveNamedFiles(*listed.source, listed.listing, which, out.path(), nullptr, nullptr);
  EXPECT_TRUE(summary.all_written()) << SaveSummaryText(summary, out.path());
  for (const size_t i : which) {
    const NamedFile& file = listed.listing.files[i];
    const TestFile* original = nullptr;
    for (const TestFile& candidate : made.files) {
      if (candidate.path == file.path) original = &candidate;
    }
    ASSERT_TRUE(original) << file.path;
    EXPECT_EQ(ReadFile(out.File(file.path)), original->bytes) << file.path;
  }
}

TEST(Ntfs, LiveAndDeletedFilesAreListedAndSavedWithTheirNames) {
  TempDir dir;
  const Made made = MakeCard(dir, "ntfs");
  if (!made.skip.empty()) GTEST_SKIP() << made.skip;
  Listed listed = List(made.image);
  ASSERT_TRUE(listed.source);
  ASSERT_EQ(listed.listing.volumes.size(), 1u);
  EXPECT_EQ(listed.listing.volumes[0].type_name, "NTFS");
  for (const TestFile& file : made.files) {
    ASSERT_TRUE(listed.by_path.count(file.path)) << file.path;
    const bool deleted =
        std::find(made.deleted.begin(), made.deleted.end(), file.path) != made.deleted.end();
    EXPECT_EQ(listed.by_path.at(file.path)->state,
              deleted ? NamedFileState::kDeletedRecoverable : NamedFileState::kLive)
        << file.path;
  }
  ExpectSavedExactly(listed, made, {NamedFileState::kLive, NamedFileState::kDeletedRecoverable},
                     made.files.size());
}

TEST(Ext4, LiveFilesAreSavedAndDeletedOnesAreNotClaimedRecoverable) {
  TempDir dir;
  const Made made = MakeCard(dir, "ext4");
  if (!made.skip.empty()) GTEST_SKIP() << made.skip;
  Listed listed = List(made.image);
  ASSERT_TRUE(listed.source);
  ASSERT_EQ(listed.listing.volumes.size(), 1u);
  EXPECT_EQ(listed.listing.volumes[0].type_name.substr(0, 3), "Ext");
  size_t live = 0;
  for (const NamedFile& file : listed.listing.files) {
    if (file.state == NamedFileState::kLive) {
      ++live;
    } else {
      // ext4 clears a deleted file's block map: the name may survive, its content's place not.
      EXPECT_EQ(file.state, NamedFileState::kDeletedOverwritten) << file.path;
    }
  }
  EXPECT_EQ(live, made.files.size() - made.deleted.size());
  ExpectSavedExactly(listed, made, {NamedFileState::kLive}, live);
}

TEST(ExFat, LiveAndDeletedFilesAreListedAndSavedWithTheirNames) {
  TempDir dir;
  const Made made = MakeCard(dir, "exfat");
  if (!made.skip.empty()) GTEST_SKIP() << made.skip;
  Listed listed = List(made.image);
  ASSERT_TRUE(listed.source);
  ASSERT_EQ(listed.listing.volumes.size(), 1u);
  EXPECT_EQ(listed.listing.volumes[0].type_name, "exFAT");
  for (const TestFile& file : made.files) {
    ASSERT_TRUE(listed.by_path.count(file.path)) << file.path;
  }
  ExpectSavedExactly(listed, made, {NamedFileState::kLive, NamedFileState::kDeletedRecoverable},
                     made.files.size());
}

}  // namespace
}  // namespace pictavo
