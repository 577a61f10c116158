#include <gtest/gtest.h>
#include <libexif/exif-data.h>

#include <map>

#include "ImagingTestPictures.h"
#include "fixtures/ExifFixture.h"
#include "image/ExifRotation.h"
#include "platform/log/Log.h"

namespace corvane::image {
namespace {

using imagingtest::Rgb;

constexpr int kW = 96;  // stored picture, not square, so quarter turns show in the size
constexpr int kH = 64;
constexpr int kBlock = 16;
constexpr Rgb kRed{230, 20, 20};      // stored top-left corner
constexpr Rgb kGreen{20, 200, 20};    // stored top-right
constexpr Rgb kBlue{20, 20, 230};     // stored bottom-left
constexpr Rgb kYellow{230, 230, 20};  // stored bottom-right
constexpr Rgb kGrey{128, 128, 128};

Rgb cornerPattern(int x, int y) {
  const bool left = x < kBlock, right = x >= kW - kBlock, top = y < kBlock, bottom = y >= kH - kBlock;
  if (top && left) return kRed;
  if (top && right) return kGreen;
  if (bottom && left) return kBlue;
  if (bottom && right) return kYellow;
  return kGrey;
}

media::Bytes photoWithOrientation(uint16_t orientation) {
  return test::ExifBuilder()
      .ascii(test::Ifd::Zero, test::tag::Make, "Corvane Test Camera")
      .shortValue(test::Ifd::Zero, test::tag::Orientation, orientation)
      .jpeg(imagingtest::jpeg(kW, kH, cornerPattern));
}

struct ExifSummary {
  bool present = false;
  bool hasOrientation = false;
  std::string make;
};

ExifSummary exifOf(const media::Bytes& jpeg) {
  ExifSummary summary;
  ExifData* data = exif_data_new_from_data(jpeg.data(), static_cast<unsigned>(jpeg.size()));
  if (!data) return summary;
  summary.present = true;
  for (ExifContent* content : data->ifd) {
    if (exif_content_get_entry(content, EXIF_TAG_ORIENTATION)) summary.hasOrientation = true;
  }
  if (ExifEntry* make = exif_data_get_entry(data, EXIF_TAG_MAKE)) {
    char buffer[256] = {};
    summary.make = exif_entry_get_value(make, buffer, sizeof buffer);
  }
  exif_data_unref(data);
  return summary;
}

enum Corner { TL, TR, BL, BR };

Rgb colourNear(const vips::VImage& image, Corner corner) {
  const int x = corner == TL || corner == BL ? kBlock / 2 : image.width() - kBlock / 2;
  const int y = corner == TL || corner == TR ? kBlock / 2 : image.height() - kBlock / 2;
  return imagingtest::pixelAt(image, x, y);
}

TEST(ExifRotation, EveryOrientationComesOutUpright) {
  struct Case {
    uint16_t orientation;
    bool sideways;
    // Where the stored corners red, green, blue, yellow end up.
    Corner red, green, blue, yellow;
  };
  const Case cases[] = {
      {2, false, TR, TL, BR, BL},  // mirrored left-right
      {3, false, BR, BL, TR, TL},  // turned 180
      {4, false, BL, BR, TL, TR},  // mirrored top-bottom
      {5, true, TL, BL, TR, BR},   // transposed
      {6, true, TR, BR, TL, BL},   // turned 90 clockwise
      {7, true, BR, TR, BL, TL},   // transverse
      {8, true, BL, TL, BR, TR},   // turned 90 counter-clockwise
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.orientation);
    log::Capture capture;
    const media::Bytes source = photoWithOrientation(c.orientation);
    const media::Bytes result = rotateImageDataByExif(source);
    ASSERT_NE(result, source);
    EXPECT_TRUE(capture.lines().empty());
    const vips::VImage image = imagingtest::decode(result);
    EXPECT_EQ(image.width(), c.sideways ? kH : kW);
    EXPECT_EQ(image.height(), c.sideways ? kW : kH);
    EXPECT_TRUE(imagingtest::near(colourNear(image, c.red), kRed, 40));
    EXPECT_TRUE(imagingtest::near(colourNear(image, c.green), kGreen, 40));
    EXPECT_TRUE(imagingtest::near(colourNear(image, c.blue), kBlue, 40));
    EXPECT_TRUE(imagingtest::near(colourNear(image, c.yellow), kYellow, 40));
    // The source's EXIF comes along, without the orientation that would turn it again.
    const ExifSummary exif = exifOf(result);
    EXPECT_TRUE(exif.present);
    EXPECT_FALSE(exif.hasOrientation);
    EXPECT_EQ(exif.make, "Corvane Test Camera");
  }
}

TEST(ExifRotation, ABigPhotoTurnedClockwise) {
  const media::Bytes source = test::ExifBuilder()
                                  .shortValue(test::Ifd::Zero, test::tag::Orientation, 6)
                                  .jpeg(imagingtest::jpeg(4000, 3000, [](int x, int y) {
                                    return x < 100 && y < 100 ? kRed : kGrey;
                                  }));
  const vips::VImage image = imagingtest::decode(rotateImageDataByExif(source));
  EXPECT_EQ(image.width(), 3000);
  EXPECT_EQ(image.height(), 4000);
  EXPECT_TRUE(imagingtest::near(imagingtest::pixelAt(image, 2950, 50), kRed, 40));
}

TEST(ExifRotation, NothingToDoOrBadInputReturnsTheInput) {
  struct Case {
    const char* name;
    media::Bytes bytes;
    const char* line;
  };
  const media::Bytes plainJpeg = imagingtest::jpeg(32, 24, cornerPattern);
  const Case cases[] = {
      {"Top-left", photoWithOrientation(1), "rotateImageDataByExif - no orientation"},
      {"EXIF without the tag",
       test::ExifBuilder().ascii(test::Ifd::Zero, test::tag::Make, "X").jpeg(plainJpeg),
       "rotateImageDataByExif - no orientation"},
      {"no EXIF", plainJpeg, "rotateImageDataByExif - no orientation"},
      {"PNG", imagingtest::png(32, 24, cornerPattern), "rotateImageDataByExif - no orientation"},
      {"orientation outside the table", photoWithOrientation(9), "rotateImageDataByExif - no orientation"},
      {"not a picture", media::Bytes{'n', 'o', 't', ' ', 'a', 'n', ' ', 'i', 'm', 'a', 'g', 'e'},
       "rotateImageDataByExif - bad image"},
      {"empty", media::Bytes{}, "rotateImageDataByExif - bad image"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    log::Capture capture;
    EXPECT_EQ(rotateImageDataByExif(c.bytes), c.bytes);
    EXPECT_EQ(capture.lines(), std::vector<std::string>{c.line});
  }

  // Intact header and orientation, but the pixel data cut short.
  media::Bytes truncated = test::ExifBuilder()
                               .shortValue(test::Ifd::Zero, test::tag::Orientation, 6)
                               .jpeg(imagingtest::jpeg(400, 300, [](int x, int y) {
                                 return Rgb{uint8_t(x * 7), uint8_t(y * 13), uint8_t(x ^ y)};
                               }));
  truncated.resize(truncated.size() / 2);
  log::Capture capture;
  EXPECT_EQ(rotateImageDataByExif(truncated), truncated);
  EXPECT_EQ(capture.lines(), std::vector<std::string>{"rotateImageDataByExif - failed to rotate"});
}

// The quantisation tables of a JPEG: they depend only on the quality it was written with.
media::Bytes quantTables(const media::Bytes& jpeg) {
  media::Bytes tables;
  for (size_t i = 2; i + 4 <= jpeg.size() && jpeg[i] == 0xFF && jpeg[i + 1] != 0xDA;) {
    const size_t length = size_t(jpeg[i + 2]) << 8 | jpeg[i + 3];
    if (jpeg[i + 1] == 0xDB) tables.insert(tables.end(), jpeg.begin() + i, jpeg.begin() + i + 2 + length);
    i += 2 + length;
  }
  return tables;
}

TEST(ExifRotation, QualityFollowsTheSourceBitmapOverTheRgbaBitmap) {
  auto rotatedQuality = [](const vips::VImage& stored) {
    const media::Bytes source = test::ExifBuilder()
                                    .shortValue(test::Ifd::Zero, test::tag::Orientation, 3)
                                    .jpeg(imagingtest::encode(stored, ".jpg"));
    const media::Bytes tables = quantTables(rotateImageDataByExif(source));
    const vips::VImage rgb = imagingtest::drawRgb(8, 8, imagingtest::solid(kGrey));
    for (int q = 1; q <= 100; ++q) {
      if (quantTables(imagingtest::encode(rgb, ".jpg", vips::VImage::option()->set("Q", q))) == tables)
        return q;
    }
    return 0;
  };
  const vips::VImage colour = imagingtest::drawRgb(400, 300, cornerPattern);
  EXPECT_EQ(rotatedQuality(colour), 75);  // 3 samples over 4
  EXPECT_EQ(rotatedQuality(colour.extract_band(1).copy(
                vips::VImage::option()->set("interpretation", VIPS_INTERPRETATION_B_W))),
            25);  // 1 sample over 4
}

TEST(ExifRotation, CopyRotatedImageWithFlipSizes) {
  const auto picture = imaging::Picture::fromBytes(imagingtest::png(30, 20, cornerPattern));
  ASSERT_TRUE(picture);
  for (float angle : {0.0f, 180.0f, -180.0f, 360.0f}) {
    const auto same = copyRotatedImageWithFlip(*picture, false, false, angle);
    ASSERT_TRUE(same);
    EXPECT_EQ(same->pixelsWide(), 30);
    EXPECT_EQ(same->pixelsHigh(), 20);
    EXPECT_TRUE(same->hasAlpha());
  }
  const auto quarter = copyRotatedImageWithFlip(*picture, false, false, 270.0f);
  ASSERT_TRUE(quarter);
  EXPECT_EQ(quarter->pixelsWide(), 20);
  EXPECT_EQ(quarter->pixelsHigh(), 30);
  // 270 counter-clockwise is 90 clockwise: the stored top-left goes top-right.
  const auto red = quarter->colorAt(19, 0);
  ASSERT_TRUE(red);
  EXPECT_TRUE(imagingtest::near({red->r, red->g, red->b}, {230, 20, 20}, 0));
  const auto tilted = copyRotatedImageWithFlip(*picture, false, false, 45.0f);
  ASSERT_TRUE(tilted);
  EXPECT_EQ(tilted->pixelsWide(), 35);  // 30 cos 45 + 20 sin 45 = 35.36
  EXPECT_EQ(tilted->pixelsHigh(), 35);
  EXPECT_FALSE(copyRotatedImageWithFlip(*picture, false, false, NAN));
}

}  // namespace
}  // namespace corvane::image
