// The imaging layer and the one renderer: pictures from bytes and files, the
// decoders allowed and the size limit, failure texts; thumbnails' sizes,
// placements and bar colours. The quick routes of the album-art path give
// what the general routes give: the direct JPEG decoder gives exactly the
// pixels of libvips' loader (or leaves the picture to it), and a scaled
// picture stays within a few levels of libvips' own thumbnail.

#include <chrono>

#include "fixtures/JpegFixture.h"
#include "image/NSImageExtension.h"
#include "platform/imaging/Encoding.h"
#include "platform/imaging/JpegScaledDecoder.h"
#include "platform/imaging/Picture.h"
#include "platform/imaging/VipsSupport.h"
#include "unit/TestSupport.h"

namespace corvane::imaging {
namespace {

namespace fs = std::filesystem;
using namespace image;  // the renderer
using imagingtest::decode;
using imagingtest::encode;
using imagingtest::Rgb;
using vips::VImage;

constexpr Rgb kRed{200, 30, 30}, kBlack{0, 0, 0};

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
  const auto picture = Picture::fromBytes(imagingtest::png(40, 30, [](int x, int y) {
    return x == 0 && y == 0 ? Rgb{255, 0, 0} : x == 39 && y == 29 ? Rgb{0, 0, 255} : Rgb{0, 255, 0};
  }));
  ASSERT_TRUE(picture);
  EXPECT_EQ(std::tuple(picture->pixelsWide(), picture->pixelsHigh(), picture->hasAlpha()),
            std::tuple(40, 30, false));
  EXPECT_EQ(picture->colorAt(0, 0), (Rgba{255, 0, 0, 255}));
  EXPECT_EQ(picture->colorAt(39, 29), (Rgba{0, 0, 255, 255}));
  EXPECT_EQ(picture->colorAt(1, 1), (Rgba{0, 255, 0, 255}));
  EXPECT_FALSE(picture->colorAt(40, 0) || picture->colorAt(0, -1) || picture->exifData());
  EXPECT_NEAR(picture->sizeInPoints().width, 40.0, 0.01);  // no resolution: the pixel size

  // 300 dpi: 600 x 300 pixels are 144 x 72 points.
  const VImage dense = imagingtest::drawRgb(600, 300, imagingtest::solid({9, 9, 9}))
                           .copy(VImage::option()->set("xres", 300 / 25.4)->set("yres", 300 / 25.4));
  const auto printed = Picture::fromBytes(encode(dense, ".jpg"));
  ASSERT_TRUE(printed);
  EXPECT_NEAR(printed->sizeInPoints().width, 144.0, 0.01);
  EXPECT_NEAR(printed->sizeInPoints().height, 72.0, 0.01);

  const test::ExifBuilder exif = test::ExifBuilder().ascii(test::Ifd::Zero, EXIF_TAG_MAKE, "Corvane");
  const auto block =
      Picture::fromBytes(exif.jpeg(imagingtest::jpeg(16, 16, imagingtest::solid({1, 1, 1}))))->exifData();
  ASSERT_TRUE(block && block->size() > 6);
  EXPECT_EQ(media::Bytes(block->begin(), block->begin() + 6), (media::Bytes{'E', 'x', 'i', 'f', 0, 0}));
}

TEST(Picture, RefusesWhatIsNoAcceptablePicture) {
  const std::string svg = "<svg xmlns='http://www.w3.org/2000/svg' width='10' height='10'/>";
  const std::string ppm = "P3\n1 1\n255\n1 2 3\n";
  // Formats outside the photo decoders, even when libvips could read them;
  // tiny files declaring enormous pictures.
  for (const media::Bytes& bytes :
       {media::Bytes{}, media::Bytes{'h', 'e', 'l', 'l', 'o'}, media::Bytes(svg.begin(), svg.end()),
        media::Bytes(ppm.begin(), ppm.end()), media::Bytes{'B', 'M', 0, 0, 0}, pngDeclaring(60000, 60000),
        pngDeclaring(100001, 1000)})
    EXPECT_FALSE(Picture::fromBytes(bytes));
  EXPECT_TRUE(Picture::fromBytes(pngDeclaring(1, 1)));
  for (const char* path : {"", "/nonexistent/corvane/picture.jpg", "/tmp"})
    EXPECT_FALSE(Picture::fromFile(path));
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

struct Rendered {
  int width = 0, height = 0;
  imagingtest::Area picture;  // where the source's red landed
  VImage image;
};

Rendered render(const media::Bytes& source, int category, float maxW, float maxH) {
  const auto picture = Picture::fromBytes(source);
  const auto tiff = picture ? makeThumbnailForContentCategory(*picture, category, maxW, maxH) : std::nullopt;
  EXPECT_TRUE(tiff);
  if (!tiff) return {};
  const VImage image = decode(*tiff);
  EXPECT_EQ(std::pair(image.format(), image.bands()), std::pair(VIPS_FORMAT_UCHAR, 3));
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
  struct Case {
    const char* what;
    int sourceW, sourceH, category;
    float boxW, boxH;
    int width, height;
    imagingtest::Area picture;
  };
  // An odd margin leaves the extra pixel to the right and at the top.
  const Case cases[] = {
      {"wide video", 1920, 1080, kContentVideoFrame, 130, 90, 130, 90, {0, 9, 130, 73}},
      {"4:3 video", 640, 480, kContentVideoFrame, 130, 90, 130, 90, {5, 0, 120, 90}},
      {"square album art", 600, 600, kContentAlbumArt, 200, 200, 200, 200, {0, 0, 200, 200}},
      {"thin photo", 3, 4000, kContentPhoto, 100, 100, 3, 100, {0, 0, 3, 100}},
      {"odd margin", 90, 90, kContentVideoFrame, 131, 90, 131, 90, {20, 0, 90, 90}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const auto pixels = imagingtest::solid(kRed);
    const Rendered r = render(c.category == kContentAlbumArt ? imagingtest::jpeg(c.sourceW, c.sourceH, pixels)
                                                             : imagingtest::png(c.sourceW, c.sourceH, pixels),
                              c.category, c.boxW, c.boxH);
    EXPECT_EQ(std::pair(r.width, r.height), std::pair(c.width, c.height));
    EXPECT_EQ(std::tie(r.picture.left, r.picture.top, r.picture.width, r.picture.height),
              std::tie(c.picture.left, c.picture.top, c.picture.width, c.picture.height));
    expectBars(r, kBlack);
  }
  EXPECT_TRUE(capture.lines().empty());
}

// Album art's bars take the colour of source pixel (1,1) (the quick route's
// test reads them), black when there is none.
TEST(ThumbnailRenderer, AlbumArtBarsAreBlackWithoutPixelOneOne) {
  const Rendered thin =
      render(imagingtest::png(1, 300, imagingtest::solid(kRed)), kContentAlbumArt, 200, 200);
  EXPECT_TRUE(imagingtest::near(imagingtest::pixelAt(thin.image, 199, 0), kBlack, 0));
}

TEST(ThumbnailRenderer, BoxesThatTruncateToZeroAndHostileBoxes) {
  log::Capture capture;
  const auto picture = Picture::fromBytes(imagingtest::png(40, 30, imagingtest::solid(kRed)));
  ASSERT_TRUE(picture);
  const auto full = makeThumbnailForContentCategory(*picture, kContentPhoto, 0.9f, 0.9f);
  ASSERT_TRUE(full);
  EXPECT_EQ(std::pair(decode(*full).width(), decode(*full).height()), std::pair(40, 30));
  EXPECT_FALSE(makeThumbnailForContentCategory(*picture, kContentAlbumArt, 0.9f, 0.9f));
  EXPECT_FALSE(makeThumbnailForContentCategory(*picture, kContentVideoFrame, 0.9f, 0.9f));
  // Hostile boxes: nothing, never undefined behaviour or a giant canvas.
  EXPECT_FALSE(makeThumbnailForContentCategory(*picture, kContentVideoFrame, -5.0f, 90.0f));
  EXPECT_FALSE(makeThumbnailForContentCategory(*picture, kContentVideoFrame, NAN, NAN));
  EXPECT_TRUE(capture.lines().empty());
  EXPECT_FALSE(makeThumbnailForContentCategory(*picture, kContentVideoFrame, 1e30f, 1e30f));
  EXPECT_TRUE(capture.contains("Could not render image"));
}

TEST(ThumbnailRenderer, CorruptPicturesGiveNothingQuickly) {
  log::Capture capture;
  media::Bytes truncated = imagingtest::jpeg(800, 600, [](int x, int y) {
    return Rgb{uint8_t(x * 7), uint8_t(y * 13), uint8_t(x ^ y)};
  });
  truncated.resize(truncated.size() / 3);
  const auto picture = Picture::fromBytes(truncated);
  ASSERT_TRUE(picture);  // the header is intact
  EXPECT_FALSE(makeThumbnailForContentCategory(*picture, kContentPhoto));
  EXPECT_TRUE(capture.contains("makeThumbnailWithMaxSize Exception : "));

  // A small JPEG that declares 9000 x 9000 pixels cannot hold them: refused before any decoding.
  EXPECT_FALSE(Picture::fromBytes(
      test::withDeclaredSize(imagingtest::jpeg(16, 16, imagingtest::solid(kRed)), 9000, 9000)));
}

// The pixel as the general conversion gives it (toRgba8 plus getpoint).
Rgba convertedPixel(const media::Bytes& bytes, int x, int y) {
  const std::vector<double> v = detail::toRgba8(decode(bytes).crop(x, y, 1, 1)).getpoint(0, 0);
  return {uint8_t(v[0]), uint8_t(v[1]), uint8_t(v[2]), uint8_t(v[3])};
}

TEST(ThumbnailFastPath, PixelReadMatchesConversionForEveryLayout) {
  const VImage rgb = imagingtest::drawRgb(6, 5, [](int x, int y) {
    return Rgb{uint8_t(40 * x), uint8_t(50 * y), uint8_t(7 + x * y)};
  });
  const VImage grey =
      rgb.extract_band(1).copy(VImage::option()->set("interpretation", VIPS_INTERPRETATION_B_W));
  const VImage alpha = rgb.extract_band(0);
  const auto jpeg = [](const VImage& image) { return encode(image, ".jpg", VImage::option()->set("Q", 95)); };
  // 8-bit RGB, RGBA, grey and grey + alpha; 16-bit (the general route); YCbCr and grey JPEG.
  for (const media::Bytes& bytes :
       {encode(rgb, ".png"), encode(rgb.bandjoin(alpha), ".png"), encode(grey, ".png"),
        encode(grey.bandjoin(alpha), ".png"), encode(rgb.cast(VIPS_FORMAT_USHORT) * 256, ".png"), jpeg(rgb),
        jpeg(grey)}) {
    const auto picture = Picture::fromBytes(bytes);
    ASSERT_TRUE(picture);
    for (auto [x, y] : {std::pair{0, 0}, {1, 1}, {5, 4}, {3, 2}})
      EXPECT_EQ(picture->colorAt(x, y), convertedPixel(bytes, x, y)) << x << "," << y;
  }
}

TEST(ThumbnailFastPath, ScaledPictureStaysCloseToLibvipsThumbnail) {
  // A photo-like cover: gradients under a fixed pattern of fine detail.
  auto pixel = [](int x, int y) {
    const int detail = ((x * 7 + y * 13) % 17) - 8;
    auto clamp = [](int v) { return uint8_t(std::clamp(v, 0, 255)); };
    return Rgb{clamp(x / 3 + detail), clamp(y / 3 - detail), clamp((x + y) / 5 + detail)};
  };
  // A PNG goes the general route: a full decode scaled with the same filter.
  for (const auto& [size, png] : {std::pair(500, false), {1000, false}, {801, false}, {640, true}}) {
    SCOPED_TRACE(size);
    const int height = size * 3 / 4;
    const int drawH = static_cast<int>(float(height) / (float(size) / 200.0f));
    const int top = 200 - drawH - (200 - drawH) / 2;
    const media::Bytes cover =
        png ? imagingtest::png(size, height, pixel) : imagingtest::jpeg(size, height, pixel, 90);
    const auto picture = Picture::fromBytes(cover);
    ASSERT_TRUE(picture);
    const VImage thumb =
        decode(makeThumbnailForContentCategory(*picture, kContentAlbumArt).value_or(media::Bytes{}));
    ASSERT_EQ(std::pair(thumb.width(), thumb.height()), std::pair(200, 200));
    // The same placement drawn from libvips' thumbnail of the whole picture.
    const VImage full = decode(cover).thumbnail_image(
        200, VImage::option()->set("height", drawH)->set("size", VIPS_SIZE_FORCE));
    const VImage diff =
        (thumb.crop(0, top, 200, drawH).cast(VIPS_FORMAT_INT) - full.cast(VIPS_FORMAT_INT)).abs();
    EXPECT_LT(diff.avg(), 2.0);
    EXPECT_LE(diff.max(), 16.0);
    // The bars keep the full-resolution colour of source pixel (1,1).
    const Rgba corner = *picture->colorAt(1, 1);
    EXPECT_EQ(imagingtest::pixelAt(thumb, 0, 0), (Rgb{corner.r, corner.g, corner.b}));
    EXPECT_EQ(imagingtest::pixelAt(thumb, 199, 199), (Rgb{corner.r, corner.g, corner.b}));
  }
}

TEST(ThumbnailFastPath, DirectJpegDecodeGivesTheLoadersPixelsOrStandsAside) {
  const VImage rgb = imagingtest::drawRgb(403, 301, [](int x, int y) {
    return Rgb{uint8_t(x * 5 + y), uint8_t(y * 3 ^ x), uint8_t((x * y) >> 4)};
  });
  const media::Bytes plain[] = {
      encode(rgb, ".jpg", VImage::option()->set("subsample_mode", VIPS_FOREIGN_SUBSAMPLE_ON)),
      encode(rgb, ".jpg", VImage::option()->set("interlace", true)->set("Q", 95)),
      encode(rgb.colourspace(VIPS_INTERPRETATION_B_W), ".jpg")};
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
  // second fails there (see CorruptPicturesGiveNothingQuickly).
  const media::Bytes cmyk = encode(rgb.colourspace(VIPS_INTERPRETATION_CMYK), ".jpg");
  EXPECT_FALSE(detail::decodeJpegScaled(cmyk, 4, budget::kDecodeBytes));
  const auto tiff = makeThumbnailForContentCategory(*Picture::fromBytes(cmyk), kContentPhoto);
  EXPECT_EQ(decode(tiff.value_or(media::Bytes{})).width(), 100);
  EXPECT_FALSE(detail::decodeJpegScaled(
      media::Bytes(plain[0].begin(), plain[0].begin() + plain[0].size() / 2), 4, budget::kDecodeBytes));
}

}  // namespace
}  // namespace corvane::imaging
