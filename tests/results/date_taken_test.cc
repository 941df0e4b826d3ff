#include "results/date_taken.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <random>

#include "platform/output_file.h"
#include "samples/image_builder.h"
#include "samples/jpeg_sample.h"
#include "samples/picture_samples.h"
#include "support/exif_writer.h"

namespace pictavo {
namespace {

using testing::ExifDates;
using testing::WithExifDates;

struct DateRow {
  const char* text;
  std::optional<DateTaken> expected;
};

class ExifDateText : public ::testing::TestWithParam<DateRow> {};

TEST_P(ExifDateText, ParsesPossibleDatesOnly) {
  EXPECT_EQ(ParseExifDate(GetParam().text), GetParam().expected) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Table, ExifDateText,
    ::testing::Values(
        DateRow{"2024:07:13 18:22:05", DateTaken{2024, 7, 13, 18, 22, 5}},
        DateRow{"2024-07-13 18:22:05", DateTaken{2024, 7, 13, 18, 22, 5}},
        DateRow{"2024:07:13T18:22:05", DateTaken{2024, 7, 13, 18, 22, 5}},
        DateRow{"2024:07:13 18:22:05+02:00", DateTaken{2024, 7, 13, 18, 22, 5}},
        DateRow{"2024:02:29 00:00:00", DateTaken{2024, 2, 29, 0, 0, 0}},
        DateRow{"2000:02:29 23:59:59", DateTaken{2000, 2, 29, 23, 59, 59}},
        DateRow{"2023:02:29 12:00:00", std::nullopt}, DateRow{"1900:02:29 12:00:00", std::nullopt},
        DateRow{"0000:00:00 00:00:00", std::nullopt}, DateRow{"    :  :     :  :  ", std::nullopt},
        DateRow{"2024:13:01 12:00:00", std::nullopt}, DateRow{"2024:04:31 12:00:00", std::nullopt},
        DateRow{"2024:07:13 24:00:00", std::nullopt}, DateRow{"2024:07:13 12:60:00", std::nullopt},
        DateRow{"2024:07:13 12:00:60", std::nullopt}, DateRow{"1899:12:31 12:00:00", std::nullopt},
        DateRow{"2100:01:01 12:00:00", std::nullopt}, DateRow{"2024:07-13 12:00:00", std::nullopt},
        DateRow{"2024:07:13", std::nullopt}, DateRow{"", std::nullopt}));

TEST(DateTakenTexts, FolderAndNameStem) {
  const DateTaken date{2024, 7, 3, 8, 2, 5};
  EXPECT_EQ(date.FolderPath(), "2024/2024-07-03");
  EXPECT_EQ(date.DayText(), "2024-07-03");
  EXPECT_EQ(date.NameStem(), "2024-07-03 08.02.05");
}

TEST(DateTakenTexts, SecondsCountFromTheEpoch) {
  EXPECT_EQ((DateTaken{1970, 1, 1, 0, 0, 0}.SecondsAsUtc()), 0);
  EXPECT_EQ((DateTaken{2024, 7, 13, 18, 22, 5}.SecondsAsUtc()), 1'720'894'925);
  EXPECT_EQ((DateTaken{1969, 12, 31, 23, 59, 59}.SecondsAsUtc()), -1);
}

std::vector<uint8_t> Jpeg() { return samples::EncodeJpeg({.width = 96, .height = 64}); }

TEST(ReadDateTaken, TakesDateTimeOriginalFirst) {
  const auto jpeg =
      WithExifDates(Jpeg(), {"2021:05:06 07:08:09", "2022:01:01 00:00:00", "2023:01:01 00:00:00"});
  ASSERT_FALSE(jpeg.empty());
  EXPECT_EQ(ReadDateTaken(jpeg), (DateTaken{2021, 5, 6, 7, 8, 9}));
}

TEST(ReadDateTaken, FallsBackToDigitizedThenToTheFileDate) {
  const auto digitized = WithExifDates(Jpeg(), {"", "2022:01:02 03:04:05", "2023:01:01 00:00:00"});
  EXPECT_EQ(ReadDateTaken(digitized), (DateTaken{2022, 1, 2, 3, 4, 5}));
  const auto modified = WithExifDates(Jpeg(), {"", "", "2023:06:07 08:09:10"});
  EXPECT_EQ(ReadDateTaken(modified), (DateTaken{2023, 6, 7, 8, 9, 10}));
}

TEST(ReadDateTaken, SkipsAnImpossibleDateForTheNextTag) {
  const auto jpeg = WithExifDates(Jpeg(), {"0000:00:00 00:00:00", "2022:01:02 03:04:05", ""});
  EXPECT_EQ(ReadDateTaken(jpeg), (DateTaken{2022, 1, 2, 3, 4, 5}));
}

TEST(ReadDateTaken, NothingWithoutADate) {
  EXPECT_EQ(ReadDateTaken(Jpeg()), std::nullopt);
  EXPECT_EQ(ReadDateTaken(WithExifDates(Jpeg(), {})), std::nullopt);
  EXPECT_EQ(ReadDateTaken(samples::pattern::EncodePng({})), std::nullopt);
  EXPECT_EQ(ReadDateTaken(samples::RandomBytes(100'000, 3)), std::nullopt);
  EXPECT_EQ(ReadDateTaken({}), std::nullopt);
}

TEST(ReadDateTaken, ReadsTiffBasedFiles) {
  const auto tiff =
      WithExifDates(samples::pattern::EncodeTiff({}), {"2019:12:31 23:59:58", "", ""});
  ASSERT_FALSE(tiff.empty());
  EXPECT_EQ(ReadDateTaken(tiff), (DateTaken{2019, 12, 31, 23, 59, 58}));
}

// Every cut of a dated JPEG, and the JPEG with its bytes flipped one by one in the metadata,
// reads without a crash and gives either the date or nothing.
TEST(ReadDateTaken, DamagedMetadataGivesTheDateOrNothing) {
  const auto jpeg = WithExifDates(Jpeg(), {"2021:05:06 07:08:09", "", ""});
  const DateTaken date{2021, 5, 6, 7, 8, 9};
  for (size_t cut = 0; cut < 600 && cut < jpeg.size(); cut += 7) {
    const auto result = ReadDateTaken(std::span(jpeg).first(cut));
    EXPECT_TRUE(!result || *result == date) << cut;
  }
  for (size_t at = 2; at < 400 && at < jpeg.size(); ++at) {
    std::vector<uint8_t> damaged = jpeg;
    damaged[at] ^= 0xA5;
    const auto result = ReadDateTaken(damaged);
    if (result) {
      EXPECT_TRUE(result->month >= 1 && result->month <= 12 && result->day >= 1 &&
                  result->day <= 31 && result->hour <= 23)
          << at;
    }
  }
}

TEST(ReadDateTaken, DamagedTiffMetadataGivesADateOrNothing) {
  const auto tiff =
      WithExifDates(samples::pattern::EncodeTiff({}), {"2019:12:31 23:59:58", "", ""});
  ASSERT_FALSE(tiff.empty());
  std::mt19937 random(5);
  for (int round = 0; round < 300; ++round) {
    std::vector<uint8_t> damaged = tiff;
    for (int flips = 0; flips < 3; ++flips) {
      damaged[random() % std::min<size_t>(damaged.size(), 512)] ^=
          static_cast<uint8_t>(1 + random() % 255);
    }
    const auto result = ReadDateTaken(damaged);
    if (result) {
      // Whatever the damage left, the date is a possible one.
      char text[32];
      std::snprintf(text, sizeof(text), "%04d:%02d:%02d %02d:%02d:%02d", result->year,
                    result->month, result->day, result->hour, result->minute, result->second);
      EXPECT_EQ(ParseExifDate(text), result) << round;
    }
  }
}

TEST(LocalTimeOf, ShowsTheSameWallClockTime) {
  const DateTaken date{2024, 7, 13, 18, 22, 5};
  const time_t seconds = static_cast<time_t>(LocalTimeOf(date));
  std::tm local{};
  localtime_r(&seconds, &local);
  EXPECT_EQ(local.tm_year + 1900, 2024);
  EXPECT_EQ(local.tm_mon + 1, 7);
  EXPECT_EQ(local.tm_mday, 13);
  EXPECT_EQ(local.tm_hour, 18);
  EXPECT_EQ(local.tm_min, 22);
  EXPECT_EQ(local.tm_sec, 5);
}

}  // namespace
}  // namespace pictavo

namespace pictavo {
namespace {

// A camera JPEG's metadata comes before its picture data: its first 64 KiB give the date.
TEST(ReadDateTaken, TheHeadOfALargeJpegIsEnough) {
  const auto jpeg =
      WithExifDates(samples::EncodeJpeg({.width = 1600, .height = 1200, .quality = 95}),
                    {"2021:05:06 07:08:09", "", ""});
  ASSERT_GT(jpeg.size(), 200'000u);
  EXPECT_EQ(ReadDateTaken(std::span(jpeg).first(65'536)), (DateTaken{2021, 5, 6, 7, 8, 9}));
}

}  // namespace
}  // namespace pictavo

namespace pictavo {
namespace {

struct CorpusRow {
  const char* path;  // under the corpus folder
  const char* stem;  // the name the date gives, as exiftool reads it
};

class CorpusDateTaken : public ::testing::TestWithParam<CorpusRow> {};

// Camera files of many makes: the date of their first 4 MiB is the one exiftool reads.
TEST_P(CorpusDateTaken, AgreesWithExiftool) {
  const std::string path = std::string(PICTAVO_CORPUS_DIR) + "/" + GetParam().path;
  std::vector<uint8_t> bytes;
  int error = 0;
  if (!ReadWholeFile(path, size_t{1} << 30, &bytes, &error)) GTEST_SKIP() << path << " absent";
  const auto date = ReadDateTaken(bytes);
  ASSERT_TRUE(date) << path;
  EXPECT_EQ(date->NameStem(), GetParam().stem) << path;
}

INSTANTIATE_TEST_SUITE_P(
    Table, CorpusDateTaken,
    ::testing::Values(CorpusRow{"heic/iphone13pro-grid8x6-depth.heic", "2023-02-21 14.33.08"},
                      CorpusRow{"heic/samsung-s22plus-motionphoto-mpvd-sefd.heic",
                                "2024-01-12 21.38.53"},
                      CorpusRow{"heic/sony-a7s3-10bit-heix-grid2x2.hif", "2020-09-14 11.09.34"},
                      CorpusRow{"avif/ms-bbb-4k-alpha-exif.avif", "2013-12-17 22.15.36"},
                      CorpusRow{"cr2/canon-350d-stripped.cr2", "2005-08-03 18.59.18"},
                      CorpusRow{"cr3/canon-r6-pruned-no-mdat.cr3", "2021-05-12 12.21.21"},
                      CorpusRow{"nef/nikon-d70-stripped.nef", "2004-06-09 16.02.35"},
                      CorpusRow{"arw/sony-a7iii-truncated.arw", "2024-09-14 13.54.44"},
                      CorpusRow{"dng/nikon-z9-adobe-dng-complete.dng", "2025-08-10 19.02.53"},
                      CorpusRow{"raf/fuji-s5pro-stripped.raf", "2007-05-22 13.58.30"},
                      CorpusRow{"rw2/panasonic-lx3-stripped.rw2", "2008-08-06 15.21.56"},
                      CorpusRow{"jpeg/kodak-dc240.jpg", "1999-05-25 21.00.09"},
                      CorpusRow{"jpeg/canon-eos6d-progressive.jpg", "2013-01-11 13.02.14"}));

}  // namespace
}  // namespace pictavo
