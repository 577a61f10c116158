#include "image/NSImageExtension.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

#include "media/Log.h"
#include "media/Numbers.h"
#include "media/RequestBudget.h"
#include "platform/imaging/ThumbnailCanvas.h"

namespace corvane::image {

namespace {

using imaging::Rgba;

struct Box {
  int width;
  int height;
};

Box defaultBox(int category) {
  switch (category) {
    case kContentAlbumArt:
      return {200, 200};
    case kContentVideoFrame:
      return {130, 90};
    default:
      return {100, 100};
  }
}

// size / box in single precision; a zero box gives infinity, as the float
// division would.
float ratio(int size, int box) {
  if (box == 0) return std::numeric_limits<float>::infinity();
  return static_cast<float>(size) / static_cast<float>(box);
}

// A colour drawn over the canvas's white background: transparency shows white.
Rgba overWhite(Rgba colour) {
  auto blend = [&](uint8_t channel) {
    return static_cast<uint8_t>((channel * colour.a + 255 * (255 - colour.a) + 127) / 255);
  };
  return {blend(colour.r), blend(colour.g), blend(colour.b), 255};
}

Rgba fillColour(const imaging::Picture& source, int category) {
  constexpr Rgba kWhite{255, 255, 255, 255};
  constexpr Rgba kBlack{0, 0, 0, 255};
  switch (category) {
    case kContentAlbumArt:
      // Bars take the colour just inside the corner. A picture narrower or
      // lower than two pixels has no such pixel and gets black bars.
      return overWhite(source.colorAt(1, 1).value_or(kBlack));
    case kContentVideoFrame:
      return kBlack;
    default:  // photos, and codes no caller uses
      return kWhite;
  }
}

}  // namespace

std::optional<media::Bytes> makeThumbnailForContentCategory(const imaging::Picture& source, int category,
                                                            float maxWidth, float maxHeight) {
  // A negative box is no box at all.
  const int maxW = std::max(0, media::truncateToInt32(maxWidth));
  const int maxH = std::max(0, media::truncateToInt32(maxHeight));
  const int w = source.pixelsWide();
  const int h = source.pixelsHigh();
  if (w <= 0 || h <= 0) return std::nullopt;

  const float rw = ratio(w, maxW);
  const float rh = ratio(h, maxH);
  int drawW = 0;
  int drawH = 0;
  if (rw > rh) {
    drawW = maxW;
    drawH = media::truncateToInt32(static_cast<float>(h) / rw);
  } else {
    drawH = maxH;
    drawW = media::truncateToInt32(static_cast<float>(w) / rh);
  }
  if (drawW == 0) drawW = w;
  if (drawH == 0) drawH = h;

  const bool cropToPicture = category == kContentPhoto;
  const int canvasW = cropToPicture ? drawW : maxW;
  const int canvasH = cropToPicture ? drawH : maxH;
  if (canvasW <= 0 || canvasH <= 0) return std::nullopt;
  // The canvas and the scaled picture are held whole as 8-bit RGB.
  const uint64_t largest = std::max(uint64_t(canvasW) * uint64_t(canvasH), uint64_t(drawW) * uint64_t(drawH));
  if (largest * 3 > budget::kDecodeBytes) {
    log::line("Could not render image");
    return std::nullopt;
  }

  imaging::CanvasLayout layout;
  layout.width = canvasW;
  layout.height = canvasH;
  layout.pictureWidth = drawW;
  layout.pictureHeight = drawH;
  // Centred; the vertical margin is measured from the bottom edge, so an odd
  // margin leaves the extra pixel to the right and at the top.
  const int left = (canvasW - drawW) / 2;
  const int fromBottom = (canvasH - drawH) / 2;
  layout.pictureLeft = left;
  layout.pictureTop = canvasH - drawH - fromBottom;

  try {
    // The fill shows only around a picture smaller than the canvas or
    // through a transparent one; finding it costs a decode of the corner.
    const bool fillShows = drawW < canvasW || drawH < canvasH || source.hasAlpha();
    if (fillShows) layout.fill = fillColour(source, category);
    return imaging::drawScaledOnCanvasAsTiff(source, layout);
  } catch (const imaging::ImagingError& error) {
    log::line(std::string("makeThumbnailWithMaxSize Exception : ") + error.what());
    return std::nullopt;
  }
}

std::optional<media::Bytes> makeThumbnailForContentCategory(const imaging::Picture& source, int category) {
  const Box box = defaultBox(category);
  return makeThumbnailForContentCategory(source, category, static_cast<float>(box.width),
                                         static_cast<float>(box.height));
}

}  // namespace corvane::image
