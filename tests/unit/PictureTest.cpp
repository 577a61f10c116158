#include <gtest/gtest.h>

#include <filesystem>
#include <thread>
#include <utility>

#include "ImagingTestPictures.h"
#include "TagTestSupport.h"
#include "fixtures/ExifFixture.h"
#include "platform/imaging/Encoding.h"
#include "platform/imaging/Picture.h"
#include "platform/imaging/VipsSupport.h"

namespace corvane::imaging {
namespace {

namespace fs = std::filesystem;
using imagingtest::Rgb;

// A valid PNG of 1 x 1 whose IHDR is rewritten to declare width x height.
media::Bytes pngDeclaring(uint32_t width, uint32_t height) {
  media::Bytes png = imagingtest::png(1, 1, imagingtest::solid({1, 2, 3}));
  auto put32 = [&](size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) png[at + i] = uint8_t(v >> (24 - 8 * i));
  };
  put32(16, width);
  put32(20, height);
  uint32_t crc = 0xFFFFFFFFu;  // over the chunk type and data, bytes 12..28
  for (size_t i = 12; i < 29; ++i) {
    crc ^= png[i];
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  put32(29, ~crc);
  return png;
}

TEST(Picture, ReadsSizeResolutionPixelsAndExif) {
  auto corners = [](int x, int y) {
    if (x == 0 && y == 0) return Rgb{255, 0, 0};
    if (x == 39 && y == 29) return Rgb{0, 0, 255};
    return Rgb{0, 255, 0};
  };
  const auto picture = Picture::fromBytes(imagingtest::png(40, 30, corners));
  ASSERT_TRUE(picture);
  EXPECT_EQ(picture->pixelsWide(), 40);
  EXPECT_EQ(picture->pixelsHigh(), 30);
  EXPECT_FALSE(picture->hasAlpha());
  EXPECT_EQ(picture->colorAt(0, 0), (Rgba{255, 0, 0, 255}));
  EXPECT_EQ(picture->colorAt(39, 29), (Rgba{0, 0, 255, 255}));
  EXPECT_EQ(picture->colorAt(1, 1), (Rgba{0, 255, 0, 255}));
  EXPECT_FALSE(picture->colorAt(40, 0));
  EXPECT_FALSE(picture->colorAt(0, -1));
  EXPECT_FALSE(picture->exifData());

  // 300 dpi: 600 x 300 pixels are 144 x 72 points; 72 dpi and none are the pixel size.
  const vips::VImage dense =
      imagingtest::drawRgb(600, 300, imagingtest::solid({9, 9, 9}))
          .copy(vips::VImage::option()->set("xres", 300 / 25.4)->set("yres", 300 / 25.4));
  const auto printed = Picture::fromBytes(imagingtest::encode(dense, ".jpg"));
  ASSERT_TRUE(printed);
  EXPECT_NEAR(printed->sizeInPoints().width, 144.0, 0.01);
  EXPECT_NEAR(printed->sizeInPoints().height, 72.0, 0.01);
  EXPECT_NEAR(picture->sizeInPoints().width, 40.0, 0.01);

  const test::ExifBuilder exif = test::ExifBuilder().ascii(test::Ifd::Zero, test::tag::Make, "Corvane");
  const auto withExif =
      Picture::fromBytes(exif.jpeg(imagingtest::jpeg(16, 16, imagingtest::solid({1, 1, 1}))));
  ASSERT_TRUE(withExif);
  const std::optional<media::Bytes> block = withExif->exifData();
  ASSERT_TRUE(block && block->size() > 6);
  EXPECT_EQ(media::Bytes(block->begin(), block->begin() + 6), (media::Bytes{'E', 'x', 'i', 'f', 0, 0}));
}

TEST(Picture, RefusesWhatIsNoAcceptablePicture) {
  EXPECT_FALSE(Picture::fromBytes({}));
  EXPECT_FALSE(Picture::fromBytes({'h', 'e', 'l', 'l', 'o'}));
  EXPECT_FALSE(Picture::fromFile(""));
  EXPECT_FALSE(Picture::fromFile("/nonexistent/corvane/picture.jpg"));
  EXPECT_FALSE(Picture::fromFile(std::filesystem::temp_directory_path()));
  // Formats outside the photo decoders, even when libvips could read them.
  const std::string svg = "<svg xmlns='http://www.w3.org/2000/svg' width='10' height='10'/>";
  EXPECT_FALSE(Picture::fromBytes(media::Bytes(svg.begin(), svg.end())));
  const std::string ppm = "P3\n1 1\n255\n1 2 3\n";
  EXPECT_FALSE(Picture::fromBytes(media::Bytes(ppm.begin(), ppm.end())));

  // Tiny files declaring enormous pictures are refused.
  EXPECT_TRUE(Picture::fromBytes(pngDeclaring(1, 1)));
  EXPECT_FALSE(Picture::fromBytes(pngDeclaring(60000, 60000)));
  EXPECT_FALSE(Picture::fromBytes(pngDeclaring(100001, 1000)));
}

// A picture reads the file it was opened on, even after its path has come to
// name another file; opening the path again reads the new file, not a cached
// one.
TEST(Picture, APictureKeepsToTheFileItOpenedAndBmpFilesDecode) {
  const tagtest::ScratchDir dir;
  const fs::path path = dir / "p.png", other = dir / "other.png";
  imagingtest::drawRgb(12, 8, imagingtest::solid({10, 200, 30})).write_to_file(path.c_str());
  const auto before = Picture::fromFile(path);
  imagingtest::drawRgb(80, 40, imagingtest::solid({1, 2, 3})).write_to_file(other.c_str());
  fs::rename(other, path);
  const auto after = Picture::fromFile(path);
  ASSERT_TRUE(before && after);
  EXPECT_EQ(before->colorAt(11, 7), (Rgba{10, 200, 30, 255}));
  EXPECT_EQ(std::pair(after->pixelsWide(), after->pixelsHigh()), std::pair(80, 40));

  imagingtest::drawRgb(12, 8, imagingtest::solid({10, 200, 30})).write_to_file((dir / "p.bmp").c_str());
  const auto bmp = Picture::fromFile(dir / "p.bmp");
  ASSERT_TRUE(bmp);
  EXPECT_EQ(bmp->colorAt(11, 7), (Rgba{10, 200, 30, 255}));
  EXPECT_FALSE(Picture::fromBytes({'B', 'M', 0, 0, 0}));
}

// The text of a failure is the library's own and only this failure's; an
// operation still in progress on another thread keeps what libvips collected
// for it, and the last one to end leaves the buffer empty.
TEST(Picture, FailureTextsAreTheirOwnAndNotClearedUnderAnother) {
  media::Bytes jpeg = imagingtest::jpeg(400, 300, [](int x, int y) {
    return Rgb{uint8_t(x), uint8_t(y), 9};
  });
  jpeg.resize(jpeg.size() / 2);  // the header reads, the pixels do not
  const auto cut = Picture::fromBytes(jpeg);
  ASSERT_TRUE(cut);
  const auto failureText = [&]() -> std::string {
    try {
      encodeTiff(*cut);
    } catch (const ImagingError& error) {
      return error.what();
    }
    return "no failure";
  };
  const std::string first = failureText();
  EXPECT_NE(first.find("VipsJpeg"), std::string::npos) << first;
  EXPECT_EQ(failureText(), first);  // the first one is not repeated
  {
    const detail::VipsCall inProgress;
    vips_error("elsewhere", "%s", "in progress");
    std::thread([&] { EXPECT_EQ(failureText(), first); }).join();
    EXPECT_NE(std::string(vips_error_buffer()).find("in progress"), std::string::npos);
  }
  EXPECT_STREQ(vips_error_buffer(), "");
}

}  // namespace
}  // namespace corvane::imaging
