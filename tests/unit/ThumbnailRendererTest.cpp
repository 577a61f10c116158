#include <gtest/gtest.h>

#include <filesystem>
#include <tuple>

#include "ImagingTestPictures.h"
#include "fixtures/JpegFixture.h"
#include "image/NSImageExtension.h"
#include "media/Log.h"

namespace corvane::image {
namespace {

using imagingtest::Area;
using imagingtest::Rgb;

constexpr Rgb kRed{200, 30, 30};
constexpr Rgb kBlack{0, 0, 0};
constexpr Rgb kWhite{255, 255, 255};

struct Rendered {
  int width = 0, height = 0;
  Area picture;  // where the source's colour landed
  vips::VImage image;
};

Rendered render(const media::Bytes& source, int category, float maxW, float maxH) {
  const auto picture = imaging::Picture::fromBytes(source);
  EXPECT_TRUE(picture);
  if (!picture) return {};
  const auto tiff = makeThumbnailForContentCategory(*picture, category, maxW, maxH);
  EXPECT_TRUE(tiff);
  if (!tiff) return {};
  const vips::VImage image = imagingtest::decode(*tiff);
  EXPECT_EQ(image.format(), VIPS_FORMAT_UCHAR);
  EXPECT_EQ(image.bands(), 3);
  return {image.width(), image.height(), imagingtest::areaOf(image, kRed, 12), image};
}

// Every pixel of the canvas outside the picture has the bar colour.
void expectBars(const Rendered& r, Rgb bar) {
  for (int y = 0; y < r.height; ++y) {
    for (int x = 0; x < r.width; ++x) {
      const bool inPicture = x >= r.picture.left && x < r.picture.left + r.picture.width &&
                             y >= r.picture.top && y < r.picture.top + r.picture.height;
      if (!inPicture) {
        ASSERT_TRUE(imagingtest::near(imagingtest::pixelAt(r.image, x, y), bar, 2)) << x << "," << y;
      }
    }
  }
}

TEST(ThumbnailRenderer, SizesAndPlacementsFollowTheBoxAndCategory) {
  log::Capture capture;
  {  // a photo from a file, cropped to the scaled picture
    const auto path = std::filesystem::temp_directory_path() / "corvane-thumb-4000x3000.jpg";
    imagingtest::drawRgb(4000, 3000, imagingtest::solid(kRed)).write_to_file(path.c_str());
    const auto picture = imaging::Picture::fromFile(path);
    ASSERT_TRUE(picture);
    const auto tiff = makeThumbnailForContentCategory(*picture, kContentPhoto);
    std::filesystem::remove(path);
    ASSERT_TRUE(tiff);
    const vips::VImage image = imagingtest::decode(*tiff);
    EXPECT_EQ(image.width(), 100);
    EXPECT_EQ(image.height(), 75);
  }
  struct Case {
    const char* what;
    int sourceW, sourceH;
    int category;
    float boxW, boxH;
    int width, height;
    Area picture;
  };
  const Case cases[] = {
      {"wide video", 1920, 1080, kContentVideoFrame, 130, 90, 130, 90, {0, 9, 130, 73}},  // 9 rows above, 8
                                                                                          // below
      {"4:3 video", 640, 480, kContentVideoFrame, 130, 90, 130, 90, {5, 0, 120, 90}},
      {"square album art", 600, 600, kContentAlbumArt, 200, 200, 200, 200, {0, 0, 200, 200}},
      {"thin photo", 3, 4000, kContentPhoto, 100, 100, 3, 100, {0, 0, 3, 100}},
      {"odd margin", 90, 90, kContentVideoFrame, 131, 90, 131, 90, {20, 0, 90, 90}},  // extra column right
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const auto pixels = imagingtest::solid(kRed);
    const media::Bytes source = c.category == kContentAlbumArt
                                    ? imagingtest::jpeg(c.sourceW, c.sourceH, pixels)
                                    : imagingtest::png(c.sourceW, c.sourceH, pixels);
    const Rendered r = render(source, c.category, c.boxW, c.boxH);
    EXPECT_EQ(r.width, c.width);
    EXPECT_EQ(r.height, c.height);
    EXPECT_EQ(std::tie(r.picture.left, r.picture.top, r.picture.width, r.picture.height),
              std::tie(c.picture.left, c.picture.top, c.picture.width, c.picture.height));
    expectBars(r, kBlack);
  }
  EXPECT_TRUE(capture.lines().empty());
}

TEST(ThumbnailRenderer, AlbumArtBarsTakeTheColourOfPixelOneOne) {
  constexpr Rgb kGreen{0, 255, 0};
  // Red, except the 2x2 top-left corner, which holds pixel (1,1).
  const media::Bytes source =
      imagingtest::png(500, 300, [](int x, int y) { return x < 2 && y < 2 ? kGreen : kRed; });
  const Rendered r = render(source, kContentAlbumArt, 200, 200);
  EXPECT_EQ(r.width, 200);
  EXPECT_EQ(r.height, 200);
  EXPECT_EQ(r.picture.top, 40);
  EXPECT_EQ(r.picture.height, 120);
  expectBars(r, kGreen);

  // A picture with no pixel (1,1) gets black bars.
  const Rendered thin =
      render(imagingtest::png(1, 300, imagingtest::solid(kRed)), kContentAlbumArt, 200, 200);
  EXPECT_TRUE(imagingtest::near(imagingtest::pixelAt(thin.image, 199, 0), kBlack, 0));
}

TEST(ThumbnailRenderer, DrawnAreaIsTheSourceScaledWithAHighQualityFilter) {
  // A smooth pattern that a wrong crop, flip or scale would move.
  auto pattern = [](int x, int y) {
    return Rgb{uint8_t(x * 255 / 639), uint8_t(y * 255 / 479), uint8_t((x + y) % 64 * 4)};
  };
  const media::Bytes source = imagingtest::png(640, 480, pattern);
  const Rendered r = render(source, kContentVideoFrame, 130, 90);
  const vips::VImage reference =
      imagingtest::decode(source)
          .thumbnail_image(120, vips::VImage::option()->set("height", 90)->set("size", VIPS_SIZE_FORCE))
          .copy_memory();
  double total = 0;
  for (int y = 0; y < 90; ++y) {
    for (int x = 0; x < 120; ++x) {
      const Rgb got = imagingtest::pixelAt(r.image, x + 5, y);
      const Rgb want = imagingtest::pixelAt(reference, x, y);
      for (size_t i = 0; i < 3; ++i) total += std::abs(int(got[i]) - int(want[i]));
    }
  }
  EXPECT_LT(total / (120.0 * 90 * 3), 2.0);
  // The black bars stay black.
  EXPECT_TRUE(imagingtest::near(imagingtest::pixelAt(r.image, 2, 45), kBlack, 0));
  EXPECT_TRUE(imagingtest::near(imagingtest::pixelAt(r.image, 127, 45), kBlack, 0));
}

TEST(ThumbnailRenderer, BoxesThatTruncateToZero) {
  log::Capture capture;
  const auto picture = imaging::Picture::fromBytes(imagingtest::png(40, 30, imagingtest::solid(kRed)));
  ASSERT_TRUE(picture);
  const auto full = makeThumbnailForContentCategory(*picture, kContentPhoto, 0.9f, 0.9f);
  ASSERT_TRUE(full);
  EXPECT_EQ(imagingtest::decode(*full).width(), 40);
  EXPECT_EQ(imagingtest::decode(*full).height(), 30);
  EXPECT_FALSE(makeThumbnailForContentCategory(*picture, kContentAlbumArt, 0.9f, 0.9f));
  EXPECT_FALSE(makeThumbnailForContentCategory(*picture, kContentVideoFrame, 0.9f, 0.9f));
  // Hostile boxes: nothing, never undefined behaviour or a giant canvas.
  EXPECT_FALSE(makeThumbnailForContentCategory(*picture, kContentVideoFrame, -5.0f, 90.0f));
  EXPECT_FALSE(makeThumbnailForContentCategory(*picture, kContentVideoFrame, NAN, NAN));
  EXPECT_TRUE(capture.lines().empty());
  EXPECT_FALSE(makeThumbnailForContentCategory(*picture, kContentVideoFrame, 1e30f, 1e30f));
  EXPECT_TRUE(capture.contains("Could not render image"));
}

TEST(ThumbnailRenderer, TransparencyGreyAndDeepPicturesBecomeOrdinaryRgb) {
  // Half transparent: flattened onto the bar colour.
  const vips::VImage rgba =
      imagingtest::drawRgb(64, 64, imagingtest::solid(kRed))
          .bandjoin_const({0})
          .copy(vips::VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB));
  const media::Bytes transparent = imagingtest::encode(rgba, ".png");
  const Rendered video = render(transparent, kContentVideoFrame, 130, 90);
  EXPECT_TRUE(imagingtest::near(imagingtest::pixelAt(video.image, 65, 45), kBlack, 2));
  const Rendered photo = render(transparent, kContentPhoto, 100, 100);
  EXPECT_TRUE(imagingtest::near(imagingtest::pixelAt(photo.image, 50, 50), kWhite, 2));

  // 16-bit grey.
  const vips::VImage grey16 = imagingtest::drawRgb(50, 50, imagingtest::solid({128, 128, 128}))
                                  .colourspace(VIPS_INTERPRETATION_GREY16);
  const auto picture = imaging::Picture::fromBytes(imagingtest::encode(grey16, ".png"));
  ASSERT_TRUE(picture);
  const auto tiff = makeThumbnailForContentCategory(*picture, kContentPhoto, 10, 10);
  ASSERT_TRUE(tiff);
  const vips::VImage out = imagingtest::decode(*tiff);
  EXPECT_EQ(out.bands(), 3);
  EXPECT_EQ(out.format(), VIPS_FORMAT_UCHAR);
  EXPECT_TRUE(imagingtest::near(imagingtest::pixelAt(out, 5, 5), {128, 128, 128}, 2));
}

TEST(ThumbnailRenderer, CorruptPicturesGiveNothingQuickly) {
  log::Capture capture;
  media::Bytes truncated = imagingtest::jpeg(800, 600, [](int x, int y) {
    return Rgb{uint8_t(x * 7), uint8_t(y * 13), uint8_t(x ^ y)};
  });
  truncated.resize(truncated.size() / 3);
  const auto picture = imaging::Picture::fromBytes(truncated);
  ASSERT_TRUE(picture);  // the header is intact
  EXPECT_FALSE(makeThumbnailForContentCategory(*picture, kContentPhoto));
  EXPECT_TRUE(capture.contains("makeThumbnailWithMaxSize Exception : "));

  // A small JPEG that declares 9000 x 9000 pixels cannot hold them: refused before any decoding.
  EXPECT_FALSE(imaging::Picture::fromBytes(
      test::withDeclaredSize(imagingtest::jpeg(16, 16, imagingtest::solid(kRed)), 9000, 9000)));
}

}  // namespace
}  // namespace corvane::image
