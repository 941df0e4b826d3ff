#include "results/find_marks.h"

#include <gtest/gtest.h>

#include <vector>

namespace pictavo {
namespace {

// Finds of three types, with the spare record at the end as a scan leaves it.
ScanResults MakeResults() {
  ScanResults results;
  const std::vector<std::pair<FileTypeId, uint64_t>> finds = {
      {kTypeJpeg, 100}, {kTypePng, 20}, {kTypeJpeg, 300}, {kTypeCr2, 4000}, {kTypeJpeg, 5}};
  uint64_t offset = 0;
  for (const auto& [type, length] : finds) {
    results.records.push_back({type, offset, length, 0});
    offset += 512;
    results.tallies[type].present = 1;
    ++results.tallies[type].count;
    results.tallies[type].total_bytes += length;
  }
  results.found_count = finds.size();
  results.records.push_back({});
  return results;
}

TEST(FindMarksTest, CountsFilesByTypeAndMarksAlreadySet) {
  ScanResults results = MakeResults();
  results.records[1].selected = 1;
  results.records[4].selected = 1;
  FindMarks marks(&results);
  EXPECT_EQ(marks.FileCount(kTypeJpeg), 3u);
  EXPECT_EQ(marks.FileCount(kTypePng), 1u);
  EXPECT_EQ(marks.FileCount(kTypeCr2), 1u);
  EXPECT_EQ(marks.MarkedCount(kTypeJpeg), 1u);
  EXPECT_EQ(marks.MarkedCount(kTypePng), 1u);
  EXPECT_EQ(marks.marked_files(), 2u);
  EXPECT_EQ(marks.marked_bytes(), 25u);
  EXPECT_EQ(marks.TypeLevel(kTypePng), MarkLevel::kAll);
  EXPECT_EQ(marks.TypeLevel(kTypeJpeg), MarkLevel::kSome);
  EXPECT_EQ(marks.TypeLevel(kTypeCr2), MarkLevel::kNone);
  EXPECT_EQ(marks.OverallLevel(), MarkLevel::kSome);
}

TEST(FindMarksTest, MarkingATypeLeavesTheOthersAndTheSpareRecord) {
  ScanResults results = MakeResults();
  FindMarks marks(&results);
  marks.SetType(kTypeJpeg, true);
  EXPECT_EQ(marks.marked_bytes(), 405u);
  EXPECT_EQ(marks.TypeLevel(kTypeJpeg), MarkLevel::kAll);
  EXPECT_EQ(results.records[1].selected, 0u);
  EXPECT_EQ(results.records.back().selected, 0u);
  marks.SetType(kTypeJpeg, false);
  EXPECT_EQ(marks.marked_bytes(), 0u);
  EXPECT_EQ(marks.OverallLevel(), MarkLevel::kNone);
}

TEST(FindMarksTest, TypeNoneAndTypesOutOfRangeChangeNothing) {
  ScanResults results = MakeResults();
  FindMarks marks(&results);
  marks.SetType(kTypeNone, true);
  marks.SetType(kTypeCount, true);
  EXPECT_EQ(marks.marked_files(), 0u);
}

TEST(FindMarksTest, MarkingAllAndNothing) {
  ScanResults results = MakeResults();
  FindMarks marks(&results);
  marks.SetAll(true);
  EXPECT_EQ(marks.marked_files(), 5u);
  EXPECT_EQ(marks.marked_bytes(), 4425u);
  EXPECT_EQ(marks.OverallLevel(), MarkLevel::kAll);
  EXPECT_EQ(results.records.back().selected, 0u);
  marks.SetAll(false);
  EXPECT_EQ(marks.marked_files(), 0u);
  EXPECT_EQ(marks.marked_bytes(), 0u);
}

TEST(FindMarksTest, OneFindToggledTwiceComesBack) {
  ScanResults results = MakeResults();
  FindMarks marks(&results);
  EXPECT_TRUE(marks.Toggle(3));
  EXPECT_TRUE(marks.IsMarked(3));
  EXPECT_EQ(marks.marked_bytes(), 4000u);
  EXPECT_EQ(marks.TypeLevel(kTypeCr2), MarkLevel::kAll);
  EXPECT_TRUE(marks.Toggle(3));
  EXPECT_FALSE(marks.IsMarked(3));
  EXPECT_EQ(marks.marked_bytes(), 0u);
}

TEST(FindMarksTest, SettingAMarkTwiceCountsItOnce) {
  ScanResults results = MakeResults();
  FindMarks marks(&results);
  marks.Set(0, true);
  marks.Set(0, true);
  EXPECT_EQ(marks.marked_files(), 1u);
  EXPECT_EQ(marks.marked_bytes(), 100u);
}

TEST(FindMarksTest, TheSpareRecordAndIndexesBeyondAreRefused) {
  ScanResults results = MakeResults();
  FindMarks marks(&results);
  EXPECT_FALSE(marks.Set(5, true));  // the spare record
  EXPECT_FALSE(marks.Toggle(1000));
  EXPECT_FALSE(marks.IsMarked(5));
  EXPECT_EQ(results.records[5].selected, 0u);
}

TEST(FindMarksTest, AListMarksOnlyItsFinds) {
  ScanResults results = MakeResults();
  FindMarks marks(&results);
  const std::vector<uint32_t> shown = {0, 4, 77};
  marks.SetList(shown, true);
  EXPECT_EQ(marks.MarkedRecords(), (std::vector<uint32_t>{0, 4}));
  EXPECT_EQ(marks.marked_bytes(), 105u);
  EXPECT_EQ(marks.TypeLevel(kTypeJpeg), MarkLevel::kSome);
  marks.SetList(shown, false);
  EXPECT_EQ(marks.marked_files(), 0u);
}

TEST(FindMarksTest, FindsOfUnknownTypesCountInTheTotalsOnly) {
  ScanResults results = MakeResults();
  results.records[2].type = kTypeCount + 3;
  FindMarks marks(&results);
  marks.SetAll(true);
  EXPECT_EQ(marks.marked_bytes(), 4425u);
  EXPECT_EQ(marks.FileCount(kTypeJpeg), 2u);
  EXPECT_EQ(marks.MarkedCount(kTypeCount + 3), 0u);
  marks.Set(2, false);
  EXPECT_EQ(marks.marked_bytes(), 4125u);
}

TEST(FindMarksTest, EmptyResultsAndNoResults) {
  ScanResults empty;
  FindMarks marks(&empty);
  marks.SetAll(true);
  EXPECT_EQ(marks.marked_files(), 0u);
  EXPECT_EQ(marks.OverallLevel(), MarkLevel::kNone);
  FindMarks detached;
  detached.SetAll(true);
  EXPECT_FALSE(detached.Toggle(0));
  EXPECT_TRUE(detached.MarkedRecords().empty());
}

TEST(FindMarksTest, RecountFollowsFlagsChangedElsewhere) {
  ScanResults results = MakeResults();
  FindMarks marks(&results);
  results.records[0].selected = 1;
  marks.Recount();
  EXPECT_EQ(marks.marked_bytes(), 100u);
  EXPECT_EQ(marks.MarkedCount(kTypeJpeg), 1u);
}

}  // namespace
}  // namespace pictavo
