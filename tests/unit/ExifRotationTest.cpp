#include <gtest/gtest.h>
#include <libexif/exif-data.h>

#include <memory>
#include <tuple>
#include <utility>

#include "ImagingTestPictures.h"
#include "fixtures/ExifFixture.h"
#include "image/ExifRotation.h"
#include "media/Log.h"

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
      .shortValue(test::Ifd::Exif, test::tag::ExposureProgram, 2)
      .jpeg(imagingtest::jpeg(kW, kH, cornerPattern));
}

// Whether the JPEG carries EXIF, whether any directory holds an orientation,
// the Make text (IFD 0) and the exposure program (the EXIF sub-directory).
std::tuple<bool, bool, std::string, std::string> exifOf(const media::Bytes& jpeg) {
  std::unique_ptr<ExifData, void (*)(ExifData*)> data(
      exif_data_new_from_data(jpeg.data(), static_cast<unsigned>(jpeg.size())), exif_data_unref);
  if (!data) return {false, false, "", ""};
  bool hasOrientation = false;
  for (ExifContent* content : data->ifd)
    hasOrientation |= exif_content_get_entry(content, EXIF_TAG_ORIENTATION) != nullptr;
  char make[256] = {}, program[256] = {};
  if (ExifEntry* entry = exif_data_get_entry(data.get(), EXIF_TAG_MAKE))
    exif_entry_get_value(entry, make, sizeof make);
  if (ExifEntry* entry = exif_data_get_entry(data.get(), EXIF_TAG_EXPOSURE_PROGRAM))
    exif_entry_get_value(entry, program, sizeof program);
  return {true, hasOrientation, make, program};
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
    const std::pair<Corner, Rgb> corners[] = {
        {c.red, kRed}, {c.green, kGreen}, {c.blue, kBlue}, {c.yellow, kYellow}};
    for (const auto& [corner, colour] : corners)
      EXPECT_TRUE(imagingtest::near(colourNear(image, corner), colour, 40));
    // The source's EXIF sub-directory comes along; its main directory, with
    // the orientation that would turn it again, stays behind.
    EXPECT_EQ(exifOf(result), std::make_tuple(true, false, std::string(), std::string("Normal program")));
  }
}

TEST(ExifRotation, NothingToDoOrBadInputReturnsTheInput) {
  const std::string noOrientation = "rotateImageDataByExif - no orientation";
  const media::Bytes plainJpeg = imagingtest::jpeg(32, 24, cornerPattern);
  // Intact header and orientation, but the pixel data cut short.
  media::Bytes truncated = test::ExifBuilder()
                               .shortValue(test::Ifd::Zero, test::tag::Orientation, 6)
                               .jpeg(imagingtest::jpeg(400, 300, [](int x, int y) {
                                 return Rgb{uint8_t(x * 7), uint8_t(y * 13), uint8_t(x ^ y)};
                               }));
  truncated.resize(truncated.size() / 2);
  const std::tuple<const char*, media::Bytes, std::string> cases[] = {
      {"Top-left", photoWithOrientation(1), noOrientation},
      {"EXIF without the tag",
       test::ExifBuilder().ascii(test::Ifd::Zero, test::tag::Make, "X").jpeg(plainJpeg), noOrientation},
      {"no EXIF", plainJpeg, noOrientation},
      {"PNG", imagingtest::png(32, 24, cornerPattern), noOrientation},
      {"orientation outside the table", photoWithOrientation(9), noOrientation},
      {"not a picture", media::Bytes{'n', 'o', 't', ' ', 'a', 'n', ' ', 'i', 'm', 'a', 'g', 'e'},
       "rotateImageDataByExif - bad image"},
      {"empty", media::Bytes{}, "rotateImageDataByExif - bad image"},
      {"truncated", truncated, "rotateImageDataByExif - failed to rotate"},
  };
  for (const auto& [name, bytes, line] : cases) {
    SCOPED_TRACE(name);
    log::Capture capture;
    EXPECT_EQ(rotateImageDataByExif(bytes), bytes);
    EXPECT_EQ(capture.lines(), std::vector<std::string>{line});
  }
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
  // 45 degrees: 30 cos 45 + 20 sin 45 = 35.36 each way.
  const std::tuple<float, int, int> sizes[] = {{0, 30, 20},   {180, 30, 20}, {-180, 30, 20},
                                               {360, 30, 20}, {270, 20, 30}, {45, 35, 35}};
  for (const auto& [angle, width, height] : sizes) {
    const auto turned = copyRotatedImageWithFlip(*picture, false, false, angle);
    ASSERT_TRUE(turned) << angle;
    EXPECT_EQ(std::pair(turned->pixelsWide(), turned->pixelsHigh()), std::pair(width, height)) << angle;
    EXPECT_TRUE(width != 30 || turned->hasAlpha()) << angle;
  }
  // 270 counter-clockwise is 90 clockwise: the stored top-left goes top-right.
  const auto red = copyRotatedImageWithFlip(*picture, false, false, 270.0f)->colorAt(19, 0);
  ASSERT_TRUE(red);
  EXPECT_TRUE(imagingtest::near({red->r, red->g, red->b}, kRed, 0));
  EXPECT_FALSE(copyRotatedImageWithFlip(*picture, false, false, NAN));
}

}  // namespace
}  // namespace corvane::image
