#include "results/saving_session.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <set>

#include "platform/memory_source.h"
#include "samples/image_builder.h"
#include "samples/jpeg_sample.h"
#include "samples/picture_samples.h"
#include "support/exif_writer.h"
#include "support/faulty_source.h"

namespace pictavo {
namespace {

using samples::ReadFile;
using samples::TempDir;

class RecordingObserver : public SavingObserver {
 public:
  void OnFileStart(size_t index, const std::string& path) override {
    starts.emplace_back(index, path);
  }
  void OnFileDone(const SavedFile& file) override { done.push_back(file.name); }
  std::vector<std::pair<size_t, std::string>> starts;
  std::vector<std::string> done;
};

struct Medium {
  std::vector<uint8_t> bytes;
  ScanResults results;
  std::vector<std::vector<uint8_t>> files;
};

Medium Lay(const std::vector<std::pair<FileTypeId, std::vector<uint8_t>>>& files) {
  samples::ImageBuilder builder(512, 11);
  builder.Gap(2);
  Medium medium;
  for (const auto& [type, bytes] : files) {
    medium.results.records.push_back({type, builder.Place(bytes), bytes.size(), 1});
    medium.files.push_back(bytes);
    builder.Gap(1);
  }
  medium.results.records.push_back({});
  medium.results.found_count = files.size();
  medium.bytes = builder.bytes();
  return medium;
}

std::vector<uint8_t> DatedJpeg(const std::string& date, uint32_t seed) {
  return testing::WithExifDates(samples::EncodeJpeg({.seed = seed}), {date, "", ""});
}

// The four finds most tests save: two photos of the same second, one without a date, a PNG.
Medium FourFinds() {
  return Lay({{kTypeJpeg, DatedJpeg("2024:07:13 18:22:05", 1)},
              {kTypeJpeg, DatedJpeg("2024:07:13 18:22:05", 2)},
              {kTypeJpeg, samples::EncodeJpeg({.seed = 3})},
              {kTypePng, samples::pattern::EncodePng({})}});
}

TEST(SavingSession, FlatLayoutSavesUnderTheListNames) {
  Medium medium = FourFinds();
  medium.results.records[1].selected = 0;
  MemorySectorSource source(medium.bytes, 512);
  TempDir dir;
  SavingSession session(source, medium.results, dir.path());
  EXPECT_EQ(session.MarkedCount(), 3u);
  RecordingObserver observer;
  const SaveSummary summary = session.Run(&observer, nullptr);
  EXPECT_TRUE(summary.all_written());
  EXPECT_EQ(observer.starts, (std::vector<std::pair<size_t, std::string>>{
                                 {0, "File0.jpeg"}, {2, "File2.jpeg"}, {3, "File0.png"}}));
  EXPECT_EQ(ReadFile(dir.File("File0.jpeg")), medium.files[0]);
  EXPECT_EQ(ReadFile(dir.File("File2.jpeg")), medium.files[2]);
  EXPECT_EQ(ReadFile(dir.File("File0.png")), medium.files[3]);
  EXPECT_FALSE(std::filesystem::exists(dir.File("File1.jpeg")));
}

TEST(SavingSession, ByDateNamesFilesAfterTheirDateAndKeepsTheRestNumbered) {
  const Medium medium = FourFinds();
  MemorySectorSource source(medium.bytes, 512);
  TempDir dir;
  RecordingObserver observer;
  const SaveSummary summary =
      SavingSession(source, medium.results, dir.path(), {.layout = {.by_date = true}})
          .Run(&observer, nullptr);
  EXPECT_EQ(summary.written, 4u);
  // The second photo of the same second is announced under the name it is planned with and
  // done under the next free one.
  EXPECT_EQ(observer.starts, (std::vector<std::pair<size_t, std::string>>{
                                 {0, "2024/2024-07-13/2024-07-13 18.22.05.jpeg"},
                                 {1, "2024/2024-07-13/2024-07-13 18.22.05.jpeg"},
                                 {2, "undated/File2.jpeg"},
                                 {3, "undated/File0.png"}}));
  EXPECT_EQ(observer.done[1], "2024/2024-07-13/2024-07-13 18.22.05 (2).jpeg");
  EXPECT_EQ(ReadFile(dir.File("2024/2024-07-13/2024-07-13 18.22.05.jpeg")), medium.files[0]);
  EXPECT_EQ(ReadFile(dir.File("2024/2024-07-13/2024-07-13 18.22.05 (2).jpeg")), medium.files[1]);
  EXPECT_EQ(ReadFile(dir.File("undated/File2.jpeg")), medium.files[2]);
  EXPECT_EQ(ReadFile(dir.File("undated/File0.png")), medium.files[3]);
  struct stat st {};
  ASSERT_EQ(stat(dir.File("2024/2024-07-13/2024-07-13 18.22.05.jpeg").c_str(), &st), 0);
  EXPECT_EQ(st.st_mtime, LocalTimeOf({2024, 7, 13, 18, 22, 5}));
}

TEST(SavingSession, ByTypeAndDate) {
  const Medium medium = FourFinds();
  MemorySectorSource source(medium.bytes, 512);
  TempDir dir;
  const SaveSummary summary = SavingSession(source, medium.results, dir.path(),
                                            {.layout = {.by_type = true, .by_date = true}})
                                  .Run(nullptr, nullptr);
  EXPECT_EQ(summary.written, 4u);
  EXPECT_TRUE(std::filesystem::exists(dir.File("jpeg/2024/2024-07-13/2024-07-13 18.22.05.jpeg")));
  EXPECT_TRUE(std::filesystem::exists(dir.File("jpeg/undated/File2.jpeg")));
  EXPECT_TRUE(std::filesystem::exists(dir.File("png/undated/File0.png")));
}

TEST(SavingSession, ByTypeAlone) {
  const Medium medium = FourFinds();
  MemorySectorSource source(medium.bytes, 512);
  TempDir dir;
  SavingSession(source, medium.results, dir.path(), {.layout = {.by_type = true}})
      .Run(nullptr, nullptr);
  EXPECT_EQ(ReadFile(dir.File("jpeg/File1.jpeg")), medium.files[1]);
  EXPECT_EQ(ReadFile(dir.File("png/File0.png")), medium.files[3]);
}

TEST(SavingSession, FileSystemNamesReplaceListAndDateNamesButNotFolders) {
  const Medium medium = FourFinds();
  MemorySectorSource source(medium.bytes, 512);
  TempDir dir;
  // Two finds named alike (files of two folders), one unnamed, one whose name is unusable.
  const std::vector<std::string> names = {"DCIM/100CANON/IMG_0001.JPG",
                                          "DCIM/101CANON/IMG_0001.JPG", "",
                                          "DCIM/" + std::string(230, 'x') + ".PNG"};
  RecordingObserver observer;
  const SaveSummary summary =
      SavingSession(source, medium.results, dir.path(),
                    {.layout = {.by_date = true, .file_system_names = &names}})
          .Run(&observer, nullptr);
  EXPECT_EQ(summary.written, 4u);
  EXPECT_EQ(observer.done, (std::vector<std::string>{"2024/2024-07-13/IMG_0001.JPG",
                                                     "2024/2024-07-13/IMG_0001 (2).JPG",
                                                     "undated/File2.jpeg", "undated/File0.png"}));
  EXPECT_EQ(ReadFile(dir.File("2024/2024-07-13/IMG_0001 (2).JPG")), medium.files[1]);
  // The photo keeps the time it was taken.
  struct stat st {};
  ASSERT_EQ(stat(dir.File("2024/2024-07-13/IMG_0001.JPG").c_str(), &st), 0);
  EXPECT_EQ(st.st_mtime, LocalTimeOf({2024, 7, 13, 18, 22, 5}));

  EXPECT_EQ(SavedNameFromPath("IMG_0002.JPG"), "IMG_0002.JPG");
  EXPECT_EQ(SavedNameFromPath("Partition 2 (NTFS)/a/.."), "");
  EXPECT_EQ(SavedNameFromPath("DCIM/"), "");
}

TEST(SavingSession, NeverOverwritesAFileOfAnEarlierRun) {
  const Medium medium = FourFinds();
  MemorySectorSource source(medium.bytes, 512);
  TempDir dir;
  std::filesystem::create_directories(dir.File("2024/2024-07-13"));
  const std::vector<uint8_t> mine = {1, 2, 3};
  samples::WriteFile(dir.File("2024/2024-07-13/2024-07-13 18.22.05.jpeg"), mine);
  const SaveSummary summary =
      SavingSession(source, medium.results, dir.path(), {.layout = {.by_date = true}})
          .Run(nullptr, nullptr);
  EXPECT_EQ(summary.renamed, 2u);
  EXPECT_EQ(ReadFile(dir.File("2024/2024-07-13/2024-07-13 18.22.05.jpeg")), mine);
  EXPECT_EQ(ReadFile(dir.File("2024/2024-07-13/2024-07-13 18.22.05 (2).jpeg")), medium.files[0]);
  EXPECT_EQ(ReadFile(dir.File("2024/2024-07-13/2024-07-13 18.22.05 (3).jpeg")), medium.files[1]);
  EXPECT_NE(SaveSummaryText(summary, dir.path())
                .find("2024/2024-07-13/2024-07-13 18.22.05.jpeg as "
                      "2024/2024-07-13/2024-07-13 18.22.05 (2).jpeg"),
            std::string::npos);
}

TEST(SavingSession, AFolderThatCannotBeMadeFailsOnlyItsFiles) {
  const Medium medium = FourFinds();
  MemorySectorSource source(medium.bytes, 512);
  TempDir dir;
  samples::WriteFile(dir.File("undated"), {1});
  const SaveSummary summary =
      SavingSession(source, medium.results, dir.path(), {.layout = {.by_date = true}})
          .Run(nullptr, nullptr);
  EXPECT_EQ(summary.written, 2u);
  EXPECT_EQ(summary.failed, 2u);
  EXPECT_NE(SaveSummaryText(summary, dir.path())
                .find("undated/File2.jpeg was not saved: cannot "
                      "create"),
            std::string::npos);
}

TEST(SavingSession, KeepsOnlyTheRecordsTheSummaryNames) {
  std::vector<std::pair<FileTypeId, std::vector<uint8_t>>> files;
  for (uint32_t i = 0; i < 40; ++i) files.push_back({kTypeJpeg, samples::RandomBytes(700, i)});
  const Medium medium = Lay(files);
  testing::FaultySource source(medium.bytes, 512);
  source.FailRange(medium.results.records[7].offset, medium.results.records[7].offset + 512);
  TempDir dir;
  const SaveSummary lean = SavingSession(source, medium.results, dir.path()).Run(nullptr, nullptr);
  EXPECT_EQ(lean.written, 39u);
  EXPECT_EQ(lean.damaged, 1u);
  ASSERT_EQ(lean.files.size(), 1u);
  EXPECT_EQ(lean.files[0].name, "File7.jpeg");
  TempDir again;
  const SaveSummary full =
      SavingSession(source, medium.results, again.path(), {.layout = {}, .keep_all_files = true})
          .Run(nullptr, nullptr);
  EXPECT_EQ(full.files.size(), 40u);
  EXPECT_EQ(SaveSummaryText(lean, "d"), SaveSummaryText(full, "d"));
}

TEST(SavingSession, SeveralThreadsGiveTheRunOfOne) {
  std::vector<std::pair<FileTypeId, std::vector<uint8_t>>> files;
  for (uint32_t i = 0; i < 30; ++i) {
    files.push_back(
        {kTypeJpeg, DatedJpeg(i % 3 ? "2023:03:0" + std::to_string(i % 3) + " 10:00:00" : "", i)});
  }
  const Medium medium = Lay(files);
  MemorySectorSource source(medium.bytes, 512);
  TempDir one, two;
  RecordingObserver observed_one, observed_two;
  const SavingLayout layout{.by_date = true};
  const SaveSummary a = SavingSession(source, medium.results, one.path(), {.layout = layout})
                            .Run(&observed_one, nullptr);
  const SaveSummary b =
      SavingSession(source, medium.results, two.path(), {.layout = layout, .threads = 3})
          .Run(&observed_two, nullptr);
  EXPECT_EQ(a.written, 30u);
  EXPECT_EQ(b.written, 30u);
  EXPECT_EQ(observed_one.starts, observed_two.starts);
  // Of the files that want one name, the earlier in the list gets it, whichever thread copied it.
  EXPECT_EQ(observed_one.done, observed_two.done);
  EXPECT_EQ(ReadFile(two.File("2023/2023-03-01/2023-03-01 10.00.00.jpeg")), medium.files[1]);
  EXPECT_EQ(ReadFile(two.File("2023/2023-03-01/2023-03-01 10.00.00 (2).jpeg")), medium.files[4]);
  std::set<std::string> saved_one, saved_two;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(one.path())) {
    saved_one.insert(std::filesystem::relative(entry.path(), one.path()));
  }
  for (const auto& entry : std::filesystem::recursive_directory_iterator(two.path())) {
    saved_two.insert(std::filesystem::relative(entry.path(), two.path()));
  }
  EXPECT_EQ(saved_one, saved_two);
  EXPECT_TRUE(saved_one.count("2023/2023-03-02/2023-03-02 10.00.00 (10).jpeg"));
}

TEST(SavingSession, CancelledBeforeTheFirstFile) {
  const Medium medium = FourFinds();
  MemorySectorSource source(medium.bytes, 512);
  TempDir dir;
  const std::atomic<bool> cancel{true};
  const SaveSummary summary =
      SavingSession(source, medium.results, dir.path()).Run(nullptr, &cancel);
  EXPECT_TRUE(summary.cancelled);
  EXPECT_EQ(summary.written, 0u);
}

TEST(SavingSession, DestinationCheckUsesTheMarkedBytes) {
  const Medium medium = FourFinds();
  MemorySectorSource source(medium.bytes, 512, "/nonexistent-source");
  TempDir dir;
  SavingSession session(source, medium.results, dir.path() + "/new/folder");
  EXPECT_TRUE(session.CheckDestination().accepted());
  EXPECT_EQ(session.MakeDestination(), "");
  EXPECT_TRUE(std::filesystem::is_directory(dir.path() + "/new/folder"));
}

}  // namespace
}  // namespace pictavo
