#include "results/preview.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "platform/memory_source.h"
#include "samples/image_builder.h"
#include "samples/jpeg_sample.h"
#include "samples/modern_picture_samples.h"

namespace pictavo {
namespace {

TEST(Preview, RefusesMediaTypesFirstThenLargeFiles) {
  struct Case {
    FileTypeId type;
    uint64_t length;
    PreviewRefusal expected;
  };
  const Case cases[] = {
      {kTypeJpeg, 20'971'519, PreviewRefusal::kNone},
      {kTypeJpeg, 20'971'520, PreviewRefusal::kTooLarge},
      {kTypeCr2, 100'000'000, PreviewRefusal::kTooLarge},
      {kTypeAvi, 1, PreviewRefusal::kMediaType},
      {kTypeMov, 20'971'520, PreviewRefusal::kMediaType},
      {kTypeWav, 5, PreviewRefusal::kMediaType},
      {kTypeMpeg, 0xFFFFFFFF, PreviewRefusal::kMediaType},
      {kTypeX3f, 1000, PreviewRefusal::kNone},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(CheckPreviewRequest(c.type, c.length), c.expected) << c.type << " " << c.length;
  }
  EXPECT_EQ(PreviewRefusalText(PreviewRefusal::kMediaType),
            "Preview is not available for audio and video file formats in this version.");
  EXPECT_EQ(PreviewRefusalText(PreviewRefusal::kTooLarge),
            "Preview of this file is not possible, file is too large");
  EXPECT_EQ(kPreviewUnavailableText, "Preview is not available.");
}

TEST(Preview, ModernPictureTypesPreviewLargerFilesAndMediaStaysRefused) {
  struct Case {
    FileTypeId type;
    uint64_t length;
    PreviewRefusal expected;
  };
  const Case cases[] = {
      {kTypeHeic, 40'000'000, PreviewRefusal::kNone},
      {kTypeAvif, 30'000'000, PreviewRefusal::kNone},
      {kTypeWebp, 25'000'000, PreviewRefusal::kNone},
      {kTypeCr3, 268'435'455, PreviewRefusal::kNone},
      {kTypeCr3, 268'435'456, PreviewRefusal::kTooLarge},
      {kTypeDngOther, 60'000'000, PreviewRefusal::kNone},
      // The original DNG type keeps its limit.
      {kTypeDng, 20'971'520, PreviewRefusal::kTooLarge},
      {kTypeMp4, 1, PreviewRefusal::kMediaType},
      {kTypeM4a, 1, PreviewRefusal::kMediaType},
      {kType3gp, 40'000'000, PreviewRefusal::kMediaType},
      {kTypeOgg, 1, PreviewRefusal::kMediaType},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(CheckPreviewRequest(c.type, c.length), c.expected) << c.type << " " << c.length;
  }
}

TEST(Preview, HintTableTriesBitmapsFirstForTheCommonTypes) {
  for (FileTypeId id = 1; id < kTypeCount; ++id) {
    const bool bitmap_first =
        id <= 4 || id == 7 || id == 10 || id == 13 || id == 15 || id == 16 || id == 20;
    EXPECT_EQ(PreviewFormatHint(id), bitmap_first ? FormatHint::kBitmapFirst : FormatHint::kDetect)
        << id;
  }
}

TEST(Preview, PicturesAreShrunkToThePaneAndCentred) {
  struct Case {
    int w, h, pane_w, pane_h;
    PanePlacement expected;
  };
  const Case cases[] = {
      {4000, 3000, 500, 500, {500, 375, 0, 62, true}},
      {200, 100, 400, 400, {200, 100, 100, 150, false}},
      {400, 400, 400, 400, {400, 400, 0, 0, false}},
      {401, 100, 400, 400, {400, 99, 0, 150, true}},
      {100, 3000, 300, 300, {10, 300, 145, 0, true}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(PlaceInPane(c.w, c.h, c.pane_w, c.pane_h), c.expected) << c.w << "x" << c.h;
  }
}

// Points the temporary-folder variables somewhere else for one test.
class EnvironmentOverride {
 public:
  EnvironmentOverride(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    had_ = std::getenv(name) != nullptr;
    if (value)
      setenv(name, value, 1);
    else
      unsetenv(name);
  }
  ~EnvironmentOverride() {
    if (had_)
      setenv(name_, old_.c_str(), 1);
    else
      unsetenv(name_);
  }

 private:
  const char* name_;
  std::string old_;
  bool had_ = false;
};

mode_t ModeOf(const std::string& path) {
  struct stat info {};
  lstat(path.c_str(), &info);
  return info.st_mode;
}

TEST(Preview, TemporaryFilesLiveInAPrivateFolder) {
  samples::TempDir runtime, tmp;
  std::string directory, error;
  {
    EnvironmentOverride xdg("XDG_RUNTIME_DIR", runtime.path().c_str());
    ASSERT_TRUE(PreviewTempDirectory(&directory, &error)) << error;
    EXPECT_EQ(directory, runtime.path() + "/pictavo/" + std::to_string(getpid()));
    EXPECT_EQ(ModeOf(directory) & 0777, 0700u);
    EXPECT_EQ(ModeOf(runtime.path() + "/pictavo") & 0777, 0700u);
  }
  EnvironmentOverride xdg("XDG_RUNTIME_DIR", nullptr);
  EnvironmentOverride tmpdir("TMPDIR", tmp.path().c_str());
  const std::string expected = tmp.path() + "/pictavo-" + std::to_string(geteuid());
  // A folder of ours left open to others is closed again.
  ASSERT_EQ(mkdir(expected.c_str(), 0755), 0);
  chmod(expected.c_str(), 0755);
  ASSERT_TRUE(PreviewTempDirectory(&directory, &error)) << error;
  EXPECT_EQ(directory, expected + "/" + std::to_string(getpid()));
  EXPECT_EQ(ModeOf(expected) & 0777, 0700u);
  // A link planted under the name is not followed.
  ASSERT_EQ(rmdir(directory.c_str()), 0);
  ASSERT_EQ(rmdir(expected.c_str()), 0);
  ASSERT_EQ(symlink(runtime.path().c_str(), expected.c_str()), 0);
  EXPECT_FALSE(PreviewTempDirectory(&directory, &error));
  EXPECT_NE(error.find("not a private directory"), std::string::npos) << error;
}

TEST(Preview, CopiesTheExtentDecodesItAndDeletesTheCopy) {
  samples::TempDir runtime;
  EnvironmentOverride xdg("XDG_RUNTIME_DIR", runtime.path().c_str());
  samples::ImageBuilder builder(512, 5);
  builder.Gap(3);
  const auto jpeg = samples::EncodeJpeg({.width = 300, .height = 200});
  const uint64_t at = builder.Place(jpeg);
  builder.Gap(2);
  MemorySectorSource source(builder.bytes(), 512);

  std::string error;
  {
    PreviewTempFile temp;
    EXPECT_TRUE(temp.path().empty());
    FoundFile file{kTypeJpeg, at, static_cast<uint32_t>(jpeg.size()), 0};
    ASSERT_TRUE(temp.CopyFrom(source, file, &error)) << error;
    const std::string own_folder = runtime.path() + "/pictavo/" + std::to_string(getpid());
    EXPECT_EQ(temp.path(), own_folder + "/Tmp.jpeg");
    EXPECT_EQ(samples::ReadFile(temp.path()), jpeg);
    const PreviewPicture preview = LoadPreviewPicture(temp, kTypeJpeg);
    EXPECT_FALSE(preview.placeholder);
    EXPECT_EQ(preview.status, DecodeStatus::kComplete);
    EXPECT_EQ(preview.picture.width, 300);
    temp.Delete();
    EXPECT_FALSE(std::filesystem::exists(temp.path()));
    EXPECT_FALSE(std::filesystem::exists(own_folder));
    EXPECT_FALSE(temp.path().empty());  // the path stays set

    // A file of a type without an extension is no picture: the placeholder shows, and the copy
    // is deleted at once.
    FoundFile junk{kTypeDbx, 0, 1000, 0};
    ASSERT_TRUE(temp.CopyFrom(source, junk, &error)) << error;
    EXPECT_EQ(temp.path(), own_folder + "/Tmp.");
    EXPECT_EQ(std::filesystem::file_size(temp.path()), 1000u);
    const PreviewPicture placeholder = LoadPreviewPicture(temp, kTypeDbx);
    EXPECT_TRUE(placeholder.placeholder);
    EXPECT_EQ(placeholder.status, DecodeStatus::kFailed);
    EXPECT_EQ(placeholder.picture.width, 160);
    EXPECT_FALSE(std::filesystem::exists(temp.path()));

    ASSERT_TRUE(temp.CopyFrom(source, file, &error));
    ASSERT_TRUE(std::filesystem::exists(own_folder + "/Tmp.jpeg"));
  }
  // The object deletes its file, and the process's folder with it, when it goes.
  const std::string own_folder = runtime.path() + "/pictavo/" + std::to_string(getpid());
  EXPECT_FALSE(std::filesystem::exists(own_folder + "/Tmp.jpeg"));
  EXPECT_FALSE(std::filesystem::exists(own_folder));
}

TEST(Preview, TurnedHeicFoundOnAMediumPreviewsUpright) {
  samples::TempDir runtime;
  EnvironmentOverride xdg("XDG_RUNTIME_DIR", runtime.path().c_str());
  const auto heic = samples::pattern::EncodeHeif({.width = 64, .height = 48, .orientation = 6});
  ASSERT_FALSE(heic.empty());
  samples::ImageBuilder builder(512, 5);
  builder.Gap(2);
  const uint64_t at = builder.Place(heic);
  builder.Gap(2);
  MemorySectorSource source(builder.bytes(), 512);
  PreviewTempFile temp;
  std::string error;
  FoundFile file{kTypeHeic, at, static_cast<uint32_t>(heic.size()), 0};
  ASSERT_TRUE(temp.CopyFrom(source, file, &error)) << error;
  const PreviewPicture preview = LoadPreviewPicture(temp, kTypeHeic);
  EXPECT_FALSE(preview.placeholder) << preview.message;
  EXPECT_EQ(preview.status, DecodeStatus::kComplete);
  EXPECT_EQ(preview.picture.width, 48);
  EXPECT_EQ(preview.picture.height, 64);
}

}  // namespace
}  // namespace pictavo
