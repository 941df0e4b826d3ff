#include "imaging/picture.h"

#include <gtest/gtest.h>

namespace pictavo {
namespace {

Picture Filled(int w, int h, uint32_t colour) {
  Picture p;
  p.Allocate(w, h, colour);
  return p;
}

TEST(FitWithin, ShrinksWithTheSmallerFactorAndNeverEnlarges) {
  struct Case {
    int w, h, box_w, box_h;
    PictureSize expected;
  };
  const Case cases[] = {
      {4000, 3000, 500, 500, {500, 375}}, {3000, 4000, 500, 500, {375, 500}},
      {6000, 4000, 800, 600, {800, 533}}, {200, 100, 400, 400, {200, 100}},  // fits: unchanged
      {400, 400, 400, 400, {400, 400}},   {10000, 1, 100, 100, {100, 1}},  // never below one pixel
      {0, 10, 100, 100, {0, 0}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(FitWithin(c.w, c.h, c.box_w, c.box_h), c.expected) << c.w << "x" << c.h;
  }
}

TEST(ResamplePicture, AreaAverageAveragesTheCoveredPixels) {
  Picture p;
  p.Allocate(2, 2);
  p.pixels = {PackRgb(0, 0, 0), PackRgb(200, 100, 40), PackRgb(100, 0, 20), PackRgb(100, 100, 100)};
  ASSERT_TRUE(ResamplePicture(p, 1, 1));
  EXPECT_EQ(p.At(0, 0), PackRgb(100, 50, 40));

  // 3 -> 2 columns: each output pixel covers one and a half source pixels.
  Picture row;
  row.Allocate(3, 1);
  row.pixels = {PackRgb(0, 0, 0), PackRgb(90, 90, 90), PackRgb(180, 180, 180)};
  ASSERT_TRUE(ResamplePicture(row, 2, 1));
  EXPECT_EQ(row.At(0, 0), PackRgb(30, 30, 30));     // (0 * 1 + 90 * 0.5) / 1.5
  EXPECT_EQ(row.At(1, 0), PackRgb(150, 150, 150));  // (90 * 0.5 + 180 * 1) / 1.5
}

TEST(ResamplePicture, ConstantPicturesStayConstantAtAnySize) {
  const uint32_t colour = PackRgb(12, 200, 77);
  for (auto [w, h] : {std::pair{1, 1}, {7, 3}, {300, 2}, {33, 31}, {640, 480}, {1000, 1}}) {
    for (ResampleFilter filter : {ResampleFilter::kAreaAverage, ResampleFilter::kBilinear}) {
      Picture p = Filled(97, 61, colour);
      ASSERT_TRUE(ResamplePicture(p, w, h, filter));
      ASSERT_EQ(p.width, w);
      ASSERT_EQ(p.height, h);
      for (uint32_t px : p.pixels) ASSERT_EQ(px, colour) << w << "x" << h;
    }
  }
}

TEST(ResamplePicture, TransparentPixelsDoNotBleedTheirColour) {
  Picture p;
  p.Allocate(2, 1);
  p.pixels = {PackArgb(0, 255, 0, 0), PackArgb(255, 0, 0, 255)};
  ASSERT_TRUE(ResamplePicture(p, 1, 1));
  EXPECT_EQ(p.At(0, 0), PackArgb(128, 0, 0, 255));
}

TEST(ResamplePicture, BilinearInterpolatesBetweenNeighbours) {
  Picture p;
  p.Allocate(2, 1);
  p.pixels = {PackRgb(0, 0, 0), PackRgb(200, 200, 200)};
  ASSERT_TRUE(ResamplePicture(p, 4, 1, ResampleFilter::kBilinear));
  EXPECT_EQ(p.At(0, 0), PackRgb(0, 0, 0));
  EXPECT_EQ(p.At(1, 0), PackRgb(50, 50, 50));
  EXPECT_EQ(p.At(2, 0), PackRgb(150, 150, 150));
  EXPECT_EQ(p.At(3, 0), PackRgb(200, 200, 200));
}

TEST(ResamplePicture, RefusesEmptyPicturesAndSizes) {
  Picture empty;
  EXPECT_FALSE(ResamplePicture(empty, 10, 10));
  Picture p = Filled(4, 4, 0xFF000000u);
  EXPECT_FALSE(ResamplePicture(p, 0, 10));
  EXPECT_FALSE(ResamplePicture(p, 10, -1));
  EXPECT_EQ(p.width, 4);
}

}  // namespace
}  // namespace pictavo
