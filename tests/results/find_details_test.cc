#include "results/find_details.h"

#include <gtest/gtest.h>

#include "platform/memory_source.h"
#include "samples/image_builder.h"
#include "samples/jpeg_sample.h"
#include "samples/picture_samples.h"
#include "support/exif_writer.h"
#include "support/faulty_source.h"

namespace pictavo {
namespace {

using samples::ImageBuilder;

struct Medium {
  std::vector<uint8_t> bytes;
  std::vector<FoundFile> finds;
};

// Lays the files out behind a few sectors of other bytes, each find covering its file exactly.
Medium Lay(const std::vector<std::pair<FileTypeId, std::vector<uint8_t>>>& files) {
  ImageBuilder builder(512, 7);
  builder.Gap(3);
  Medium medium;
  for (const auto& [type, bytes] : files) {
    const uint64_t offset = builder.Place(bytes);
    medium.finds.push_back({type, offset, bytes.size(), 1});
    builder.Gap(1);
  }
  medium.bytes = builder.bytes();
  return medium;
}

TEST(FindPicture, CompletePictureWithItsFullSize) {
  const Medium medium = Lay({{kTypeJpeg, samples::EncodeJpeg({.width = 640, .height = 480})},
                             {kTypePng, samples::pattern::EncodePng({.width = 33, .height = 17})}});
  MemorySectorSource source(medium.bytes, 512);
  EXPECT_EQ(DecodeFind(source, medium.finds[0]),
            (FindPicture{true, DecodeStatus::kComplete, 640, 480}));
  EXPECT_EQ(DecodeFind(source, medium.finds[1]),
            (FindPicture{true, DecodeStatus::kComplete, 33, 17}));
  EXPECT_EQ(DecodeFind(source, medium.finds[0]).pixels(), 640u * 480u);
}

TEST(FindPicture, FileCutByTheEndOfTheSourceIsPartial) {
  const auto jpeg = samples::EncodeJpeg({.width = 320, .height = 240});
  Medium medium = Lay({{kTypeJpeg, jpeg}});
  medium.bytes.resize(medium.finds[0].offset + jpeg.size() * 2 / 3);
  MemorySectorSource source(medium.bytes, 512);
  const FindPicture picture = DecodeFind(source, medium.finds[0]);
  EXPECT_EQ(picture.status, DecodeStatus::kPartial);
  EXPECT_EQ(picture.width, 320);
}

TEST(FindPicture, NoPictureFailsAndMediaAreNotPictures) {
  const Medium medium =
      Lay({{kTypeJpeg, samples::RandomBytes(5000, 2)}, {kTypeAvi, samples::RandomBytes(5000, 3)}});
  MemorySectorSource source(medium.bytes, 512);
  EXPECT_EQ(DecodeFind(source, medium.finds[0]), (FindPicture{true, DecodeStatus::kFailed, 0, 0}));
  EXPECT_FALSE(DecodeFind(source, medium.finds[1]).is_picture);
}

TEST(FindPicture, UnreadableSectorsMakeThePictureDamaged) {
  const auto jpeg = samples::EncodeJpeg({.width = 320, .height = 240});
  const Medium medium = Lay({{kTypeJpeg, jpeg}});
  testing::FaultySource source(medium.bytes, 512);
  const uint64_t middle = (medium.finds[0].offset + jpeg.size() / 2) / 512 * 512;
  source.FailRange(middle, middle + 2048);
  EXPECT_NE(DecodeFind(source, medium.finds[0]).status, DecodeStatus::kComplete);
  std::vector<uint8_t> bytes;
  EXPECT_FALSE(ReadFindBytes(source, medium.finds[0], 0, kFindReadChunk, &bytes));
  EXPECT_EQ(bytes.size(), jpeg.size());
}

TEST(FindBytes, ReadsFromAnyPlaceInTheFind) {
  const auto file = samples::RandomBytes(3000, 9);
  const Medium medium = Lay({{kTypeJpeg, file}});
  MemorySectorSource source(medium.bytes, 512);
  std::vector<uint8_t> bytes;
  ASSERT_TRUE(ReadFindBytes(source, medium.finds[0], 700, 1000, &bytes));
  EXPECT_EQ(bytes, std::vector<uint8_t>(file.begin() + 700, file.begin() + 1700));
  ASSERT_TRUE(ReadFindBytes(source, medium.finds[0], 2500, 1000, &bytes));
  EXPECT_EQ(bytes, std::vector<uint8_t>(file.begin() + 2500, file.end()));
  ASSERT_TRUE(ReadFindBytes(source, medium.finds[0], 5000, 1000, &bytes));
  EXPECT_TRUE(bytes.empty());
}

TEST(FindDate, ReadsTheDateOfAFindOnTheMedium) {
  const auto dated =
      testing::WithExifDates(samples::EncodeJpeg({}), {"2020:02:02 20:20:20", "", ""});
  const Medium medium = Lay({{kTypeJpeg, dated}, {kTypeJpeg, samples::EncodeJpeg({})}});
  MemorySectorSource source(medium.bytes, 512);
  EXPECT_EQ(FindDateTaken(source, medium.finds[0]), (DateTaken{2020, 2, 2, 20, 20, 20}));
  EXPECT_EQ(FindDateTaken(source, medium.finds[1]), std::nullopt);
}

TEST(FindDigest, IsTheSha256OfTheContent) {
  // SHA-256("abc") = ba7816bf8f01cfea414140de5dae2223 b00361a396177a9cb410ff61f20015ad.
  const std::vector<uint8_t> abc = {'a', 'b', 'c'};
  const Medium medium = Lay({{kTypeJpeg, abc}});
  MemorySectorSource source(medium.bytes, 512);
  const auto digest = FindDigest(source, medium.finds[0]);
  ASSERT_TRUE(digest);
  EXPECT_EQ(digest->Hex(), "ba7816bf8f01cfea414140de5dae2223");
}

TEST(FindDigest, EqualForEqualContentOnly) {
  // Larger than one read chunk, so that the chunked hashing is exercised.
  const auto big = samples::RandomBytes(kFindReadChunk + 12'345, 4);
  auto other = big;
  other.back() ^= 1;
  const Medium medium = Lay({{kTypeJpeg, big}, {kTypeTiff, big}, {kTypeJpeg, other}});
  MemorySectorSource source(medium.bytes, 512);
  const auto a = FindDigest(source, medium.finds[0]);
  const auto b = FindDigest(source, medium.finds[1]);
  const auto c = FindDigest(source, medium.finds[2]);
  ASSERT_TRUE(a && b && c);
  EXPECT_EQ(*a, *b);
  EXPECT_NE(*a, *c);
}

TEST(FindDigest, CancelledGivesNothing) {
  const Medium medium = Lay({{kTypeJpeg, samples::RandomBytes(4000, 4)}});
  MemorySectorSource source(medium.bytes, 512);
  const std::atomic<bool> cancel{true};
  EXPECT_EQ(FindDigest(source, medium.finds[0], &cancel), std::nullopt);
}

TEST(RepeatedFinds, TheFirstOfEachContentStaysTheRestRepeat) {
  const ContentDigest a{1, 2}, b{1, 3}, c{0, 9};
  EXPECT_EQ(RepeatedFinds({b, a, std::nullopt, a, c, b, std::nullopt, a}),
            (std::vector<bool>{false, false, false, true, false, true, false, true}));
  EXPECT_TRUE(RepeatedFinds({}).empty());
}

TEST(FindDetailsParts, OnlyThePartsAskedForAndTheSameAsAlone) {
  const auto dated = testing::WithExifDates(samples::EncodeJpeg({.width = 200, .height = 100}),
                                            {"2020:02:02 20:20:20", "", ""});
  const Medium medium = Lay({{kTypeJpeg, dated}});
  MemorySectorSource source(medium.bytes, 512);
  const FoundFile& find = medium.finds[0];
  const FindDetails none = ReadFindDetails(source, find, {});
  EXPECT_FALSE(none.picture || none.date_taken || none.digest);
  const FindDetails cheap = ReadFindDetails(source, find, {.date_taken = true, .digest = true});
  EXPECT_FALSE(cheap.picture);
  EXPECT_EQ(cheap.date_taken, FindDateTaken(source, find));
  EXPECT_EQ(cheap.digest, FindDigest(source, find));
  const FindDetails all =
      ReadFindDetails(source, find, {.picture = true, .date_taken = true, .digest = true});
  EXPECT_EQ(all.picture, DecodeFind(source, find));
  EXPECT_EQ(all.picture->width, 200);
  EXPECT_EQ(all.date_taken, cheap.date_taken);
  EXPECT_EQ(all.digest, cheap.digest);
}

}  // namespace
}  // namespace pictavo
