// Pictures keep to the request budget: what would cost too much is refused
// before decoding, a decode over the memory budget fails, work stops at the
// deadline, each with a log line; and the TIFF lengths behind the rotation's
// quality are worked out exactly, and its encode skips an opaque alpha.

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <tuple>
#include <vector>

#include "ImagingTestPictures.h"
#include "fixtures/ExifFixture.h"
#include "fixtures/JpegFixture.h"
#include "image/ExifRotation.h"
#include "media/Log.h"
#include "platform/imaging/Encoding.h"
#include "platform/imaging/Picture.h"
#include "platform/imaging/VipsSupport.h"

namespace corvane::imaging {
namespace {

using vips::VImage;

constexpr const char* kOverBudget = "Picture over budget: ";

TEST(PictureBudget, CostlyPicturesAreRefusedBeforeDecoding) {
  const std::tuple<const char*, media::Bytes, const char*> refused[] = {
      {"946 scans", test::progressiveJpeg(8000, 8000, 63, 4), "a JPEG of more than 100 scans"},
      {"a bomb", test::withDeclaredSize(test::minimalJpeg(), 50000, 50000),
       "50000 x 50000 pixels declared in a file of"},
      // 10 scans, but its coefficients alone would take 561 MiB.
      {"coefficients", test::progressiveJpeg(14000, 14000, 3, 0),
       "decoding 14000 x 14000 pixels would hold 561"},
  };
  for (const auto& [name, bytes, reason] : refused) {
    SCOPED_TRACE(name);
    log::Capture capture;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(Picture::fromBytes(bytes));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
    ASSERT_EQ(capture.lines().size(), 1u);
    EXPECT_NE(capture.lines()[0].find(std::string(kOverBudget) + reason), std::string::npos)
        << capture.lines()[0];
  }
  // Beyond the old fixed 100 megapixels, but a thumbnail's decode is affordable.
  const auto large = Picture::fromBytes(test::progressiveJpeg(12000, 9000, 3, 0));
  ASSERT_TRUE(large);
  EXPECT_EQ(large->pixelsWide(), 12000);
}

TEST(PictureBudget, AWholeDecodeOverTheBudgetFailsWithALogLine) {
  // Coefficients (324 MiB) and the whole picture (309 MiB) together are too much.
  const media::Bytes bytes = test::ExifBuilder()
                                 .shortValue(test::Ifd::Zero, test::tag::Orientation, 6)
                                 .jpeg(test::progressiveJpeg(12000, 9000, 3, 0));
  const auto picture = Picture::fromBytes(bytes);
  ASSERT_TRUE(picture);
  log::Capture capture;
  EXPECT_THROW(encodeTiff(*picture), ImagingError);
  EXPECT_FALSE(image::copyRotatedImageWithFlip(*picture, false, false, 90));
  EXPECT_EQ(image::rotateImageDataByExif(bytes), bytes);
  EXPECT_EQ(capture.count("Picture over budget: decoding 12000 x 9000 pixels would hold"), 3u);
  EXPECT_EQ(capture.count("rotateImageDataByExif - failed to rotate"), 1u);
}

TEST(PictureBudget, WorkStopsAtTheDeadlineOnce) {
  const VImage pixels = VImage::black(2000, 2000);
  const budget::Deadline passed(budget::Deadline::Clock::now());
  log::Capture capture;
  const detail::VipsCall call;
  try {
    detail::withDeadline(pixels, passed).avg();
    ADD_FAILURE() << "no failure";
  } catch (const vips::VError& error) {
    EXPECT_NE(call.failureText(error).find("time budget"), std::string::npos);
  }
  EXPECT_EQ(capture.count("Picture over budget: the picture's work went over its time budget"), 1u);
  EXPECT_EQ(detail::withDeadline(pixels, budget::Deadline::after(std::chrono::minutes(1))).avg(), 0.0);
}

TEST(PictureBudget, TiffLengthIsWorkedOutAsTheEncoderWritesIt) {
  auto drawn = [](int width, int height) {
    return imagingtest::drawRgb(width, height, [](int x, int y) {
      return imagingtest::Rgb{uint8_t(x), uint8_t(y), uint8_t(x ^ y)};
    });
  };
  // Strips of 128 rows, 16-bit byte counts up to 64 KiB a strip, one strip.
  const std::pair<int, int> sizes[] = {{1, 1}, {333, 1}, {10, 129}, {170, 300}, {171, 300}, {700, 100}};
  for (const auto& [width, height] : sizes) {
    const VImage rgb = drawn(width, height);
    const VImage grey =
        rgb.extract_band(0).copy(VImage::option()->set("interpretation", VIPS_INTERPRETATION_B_W));
    const std::tuple<const char*, media::Bytes> pictures[] = {
        {"grey", imagingtest::encode(grey, ".png")},
        {"grey alpha", imagingtest::encode(grey.bandjoin(grey), ".png")},
        {"RGB", imagingtest::encode(rgb, ".png")},
        {"RGBA", imagingtest::encode(rgb.bandjoin(grey), ".png")},
        {"16-bit",
         imagingtest::encode((rgb.cast(VIPS_FORMAT_USHORT) * 256)
                                 .cast(VIPS_FORMAT_USHORT)
                                 .copy(VImage::option()->set("interpretation", VIPS_INTERPRETATION_RGB16)),
                             ".png")},
        {"CMYK", imagingtest::encode(rgb.colourspace(VIPS_INTERPRETATION_CMYK), ".jpg")},
    };
    for (const auto& [name, bytes] : pictures) {
      SCOPED_TRACE(testing::Message() << name << " " << width << " x " << height);
      const auto picture = Picture::fromBytes(bytes);
      ASSERT_TRUE(picture);
      EXPECT_EQ(encodedTiffLength(*picture), encodeTiff(*picture).size());
      const auto turned = image::copyRotatedImageWithFlip(*picture, true, false, 90);  // RGBA
      ASSERT_TRUE(turned);
      EXPECT_EQ(encodedTiffLength(*turned), encodeTiff(*turned).size());
      // An opaque picture's turn is encoded without making and flattening
      // its alpha: the same JPEG as from the RGBA bitmap itself.
      EXPECT_EQ(encodeJpeg(*turned, 0.9f, std::nullopt),
                encodeJpeg(*Picture::fromBytes(encodeTiff(*turned)), 0.9f, std::nullopt));
    }
  }
}

}  // namespace
}  // namespace corvane::imaging
