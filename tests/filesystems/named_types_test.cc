#include <gtest/gtest.h>

#include "filesystems/named_content.h"
#include "filesystems/tsk_listing.h"
#include "samples/image_builder.h"
#include "samples/modern_samples.h"
#include "support/fs_images.h"

namespace pictavo {
namespace {

// A phone's .dng is no Pentax or Leica DNG: the recogniser of the other DNG type, which shares
// the extension, takes it, so that a deleted one counts as recoverable and is typed as carving
// types it.
TEST(NamedFileTypes, AFileTakesTheTypeOfItsExtensionWhoseRecogniserAcceptsIt) {
  samples::TempDir dir;
  const std::string image = dir.File("phone.img");
  const std::vector<testing::TestFile> files = {
      {"DCIM/Camera/PXL_0001.RAW-01.dng", samples::MakeDng({})},
      {"DCIM/Camera/PXL_0002.RAW-01.dng", samples::MakeDng({.seed = 5})},
  };
  const std::string why =
      testing::MakeFatImage(image, 36, files, {"DCIM/Camera/PXL_0002.RAW-01.dng"});
  if (!why.empty()) GTEST_SKIP() << why;
  int error = 0;
  auto source = FileSectorSource::Open(image, {}, &error);
  ASSERT_TRUE(source);
  FileSystemListing listing = ListFileSystemsInProcess(*source, {});
  ASSERT_EQ(listing.files.size(), 2u);
  EXPECT_EQ(listing.files[0].type, kTypeDng);  // by its name
  ClassifyNamedFiles(*source, listing);
  for (const NamedFile& file : listing.files) {
    EXPECT_EQ(file.type, kTypeDngOther) << file.path;
    EXPECT_TRUE(file.content_matches) << file.path;
    EXPECT_EQ(file.state,
              file.deleted ? NamedFileState::kDeletedRecoverable : NamedFileState::kLive);
  }
}

}  // namespace
}  // namespace pictavo
