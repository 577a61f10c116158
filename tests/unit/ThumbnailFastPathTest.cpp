// The quick routes of the album-art path must give what the general routes
// give: a pixel read straight from the decoder equals the converted one, and
// a JPEG scaled after a reduced-scale decode stays within a few levels of
// libvips' own thumbnail of the full picture; the direct JPEG decoder gives
// exactly the pixels of libvips' loader, or leaves the picture to it.

#include <gtest/gtest.h>

#include <algorithm>
#include <utility>

#include "ImagingTestPictures.h"
#include "image/NSImageExtension.h"
#include "platform/imaging/JpegScaledDecoder.h"
#include "platform/imaging/Picture.h"
#include "platform/imaging/VipsSupport.h"

namespace corvane::imaging {
namespace {

using imagingtest::decode;
using imagingtest::encode;
using vips::VImage;

// The pixel as the general conversion gives it (toRgba8 plus getpoint).
Rgba convertedPixel(const media::Bytes& bytes, int x, int y) {
  const std::vector<double> v = detail::toRgba8(decode(bytes).crop(x, y, 1, 1)).getpoint(0, 0);
  return {uint8_t(v[0]), uint8_t(v[1]), uint8_t(v[2]), uint8_t(v[3])};
}

TEST(ThumbnailFastPath, PixelReadMatchesConversionForEveryLayout) {
  const VImage rgb = imagingtest::drawRgb(6, 5, [](int x, int y) {
    return imagingtest::Rgb{uint8_t(40 * x), uint8_t(50 * y), uint8_t(7 + x * y)};
  });
  const VImage grey =
      rgb.extract_band(1).copy(VImage::option()->set("interpretation", VIPS_INTERPRETATION_B_W));
  const VImage alpha = rgb.extract_band(0);
  const VImage rgba = rgb.bandjoin(alpha), greyAlpha = grey.bandjoin(alpha),
               deep = rgb.cast(VIPS_FORMAT_USHORT) * 256;
  const auto jpeg = [](const VImage& image) { return encode(image, ".jpg", VImage::option()->set("Q", 95)); };
  // 8-bit RGB, RGBA, grey and grey + alpha; 16-bit (the general route); YCbCr and grey JPEG.
  // clang-format off
  const media::Bytes pictures[] = {encode(rgb, ".png"), encode(rgba, ".png"), encode(grey, ".png"),
                                   encode(greyAlpha, ".png"), encode(deep, ".png"), jpeg(rgb), jpeg(grey)};
  // clang-format on
  for (size_t i = 0; i < std::size(pictures); ++i) {
    SCOPED_TRACE(i);
    const auto picture = Picture::fromBytes(pictures[i]);
    ASSERT_TRUE(picture);
    for (auto [x, y] : {std::pair{0, 0}, {1, 1}, {5, 4}, {3, 2}}) {
      EXPECT_EQ(picture->colorAt(x, y), convertedPixel(pictures[i], x, y)) << x << "," << y;
    }
  }
}

TEST(ThumbnailFastPath, ReducedScaleJpegStaysCloseToFullDecode) {
  // A photo-like cover: gradients under a fixed pattern of fine detail.
  auto pixel = [](int x, int y) {
    const int detail = ((x * 7 + y * 13) % 17) - 8;
    auto clamp = [](int v) { return uint8_t(std::clamp(v, 0, 255)); };
    return imagingtest::Rgb{clamp(x / 3 + detail), clamp(y / 3 - detail), clamp((x + y) / 5 + detail)};
  };
  for (int size : {500, 1000, 801}) {
    SCOPED_TRACE(size);
    const int height = size * 3 / 4;
    const int drawH = static_cast<int>(float(height) / (float(size) / 200.0f));
    const int top = 200 - drawH - (200 - drawH) / 2;
    const media::Bytes cover = imagingtest::jpeg(size, height, pixel, 90);
    const auto picture = Picture::fromBytes(cover);
    ASSERT_TRUE(picture);
    const auto tiff = image::makeThumbnailForContentCategory(*picture, image::kContentAlbumArt);
    ASSERT_TRUE(tiff);
    const VImage thumb = decode(*tiff);
    ASSERT_EQ(std::pair(thumb.width(), thumb.height()), std::pair(200, 200));

    // The same placement drawn from libvips' thumbnail of the whole picture.
    const VImage full = decode(cover).thumbnail_image(
        200, VImage::option()->set("height", drawH)->set("size", VIPS_SIZE_FORCE));
    const VImage picturePart = thumb.crop(0, top, 200, drawH);
    const VImage diff = (picturePart.cast(VIPS_FORMAT_INT) - full.cast(VIPS_FORMAT_INT)).abs();
    EXPECT_LT(diff.avg(), 2.0);
    EXPECT_LE(diff.max(), 16.0);

    // The bars keep the full-resolution colour of source pixel (1,1).
    const Rgba corner = *picture->colorAt(1, 1);
    EXPECT_EQ(imagingtest::pixelAt(thumb, 0, 0), (imagingtest::Rgb{corner.r, corner.g, corner.b}));
    EXPECT_EQ(imagingtest::pixelAt(thumb, 199, 199), (imagingtest::Rgb{corner.r, corner.g, corner.b}));
  }
}

TEST(ThumbnailFastPath, DirectJpegDecodeGivesTheLoadersPixelsOrStandsAside) {
  const VImage rgb = imagingtest::drawRgb(403, 301, [](int x, int y) {
    return imagingtest::Rgb{uint8_t(x * 5 + y), uint8_t(y * 3 ^ x), uint8_t((x * y) >> 4)};
  });
  const VImage grey = rgb.colourspace(VIPS_INTERPRETATION_B_W);
  const media::Bytes plain[] = {
      encode(rgb, ".jpg", VImage::option()->set("subsample_mode", VIPS_FOREIGN_SUBSAMPLE_ON)),
      encode(rgb, ".jpg", VImage::option()->set("interlace", true)->set("Q", 95)), encode(grey, ".jpg")};
  for (size_t i = 0; i < std::size(plain); ++i) {
    for (int shrink : {1, 2, 4, 8}) {
      SCOPED_TRACE(testing::Message() << "picture " << i << ", 1/" << shrink);
      const auto direct = detail::decodeJpegScaled(plain[i], shrink, budget::kDecodeBytes);
      ASSERT_TRUE(direct);
      const VImage loaded = detail::toSrgb8(VImage::new_from_buffer(plain[i].data(), plain[i].size(), "",
                                                                    VImage::option()->set("shrink", shrink)));
      ASSERT_EQ(std::pair(direct->width(), direct->height()), std::pair(loaded.width(), loaded.height()));
      EXPECT_EQ((direct->cast(VIPS_FORMAT_INT) - loaded.cast(VIPS_FORMAT_INT)).abs().max(), 0.0);
    }
  }
  EXPECT_FALSE(detail::decodeJpegScaled(plain[0], 8, 50 * 37 * 3 - 1));  // over the memory limit

  // CMYK and truncated data are the loader's: the first still renders, the
  // second fails there (see the renderer's tests).
  const media::Bytes cmyk = encode(rgb.colourspace(VIPS_INTERPRETATION_CMYK), ".jpg");
  EXPECT_FALSE(detail::decodeJpegScaled(cmyk, 4, budget::kDecodeBytes));
  const auto picture = Picture::fromBytes(cmyk);
  ASSERT_TRUE(picture);
  const auto tiff = image::makeThumbnailForContentCategory(*picture, image::kContentPhoto);
  ASSERT_TRUE(tiff);
  EXPECT_EQ(decode(*tiff).width(), 100);
  const media::Bytes truncated(plain[0].begin(), plain[0].begin() + plain[0].size() / 2);
  EXPECT_FALSE(detail::decodeJpegScaled(truncated, 4, budget::kDecodeBytes));
}

}  // namespace
}  // namespace corvane::imaging
