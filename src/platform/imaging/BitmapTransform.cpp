#include "platform/imaging/BitmapTransform.h"

#include <cmath>
#include <string>

#include "platform/imaging/PictureImpl.h"
#include "platform/imaging/VipsSupport.h"

namespace corvane::imaging {

using vips::VImage;

namespace {

// Counter-clockwise quarter turns, 0..3, when angle is a whole multiple of 90.
std::optional<int> quarterTurns(double angleDegrees) {
  if (std::fmod(angleDegrees, 90.0) != 0.0) return std::nullopt;
  const double turns = std::fmod(angleDegrees / 90.0, 4.0);
  return (static_cast<int>(turns) + 4) % 4;
}

VImage turn(const VImage& rgba, double angleDegrees) {
  if (const auto quarters = quarterTurns(angleDegrees)) {
    // libvips turns clockwise as seen; a counter-clockwise quarter is three of them.
    switch (*quarters) {
      case 1:
        return rgba.rot(VIPS_ANGLE_D270);
      case 2:
        return rgba.rot(VIPS_ANGLE_D180);
      case 3:
        return rgba.rot(VIPS_ANGLE_D90);
      default:
        return rgba;
    }
  }
  // libvips' rotate turns clockwise as seen (y axis down).
  return rgba.rotate(-angleDegrees, VImage::option()->set("background", std::vector<double>{0, 0, 0, 0}));
}

// A fresh bitmap carries none of the source's metadata: its orientation above
// all, which would make viewers turn the upright result again. The image is
// new and held only here, so changing it in place is safe.
void dropMetadata(VImage& bitmap) {
  gchar** fields = vips_image_get_fields(bitmap.get_image());
  for (gchar** field = fields; field != nullptr && *field != nullptr; ++field) {
    vips_image_remove(bitmap.get_image(), *field);  // the built-in fields stay
  }
  g_strfreev(fields);
}

}  // namespace

Picture drawTurnedAndMirrored(const Picture& picture, double angleDegrees, bool mirrorX, bool mirrorY,
                              int width, int height) {
  if (width <= 0 || height <= 0 || !std::isfinite(angleDegrees)) {
    throw ImagingError("cannot make a bitmap of that size");
  }
  if (uint64_t(width) * uint64_t(height) * 4 > budget::kDecodeBytes) {
    detail::failOverBudget("a bitmap of " + std::to_string(width) + " x " + std::to_string(height) +
                           " pixels would hold " + detail::mebibytes(uint64_t(width) * uint64_t(height) * 4));
  }
  const detail::VipsCall call;
  try {
    const VImage source = picture.impl().bitmap();
    // A quarter turn moves pixels only, so an opaque picture is turned as it
    // is and its alpha, 255 everywhere, is added after; any other angle
    // leaves corners uncovered, which must be transparent.
    const VImage colour = detail::toSrgb8(source);
    const bool quarter = quarterTurns(angleDegrees).has_value();
    VImage drawn = turn(quarter ? colour : detail::toRgba8(colour), angleDegrees);
    if (mirrorX) drawn = drawn.fliphor();
    if (mirrorY) drawn = drawn.flipver();
    if (drawn.width() != width || drawn.height() != height) {
      drawn = detail::toRgba8(drawn).gravity(VIPS_COMPASS_DIRECTION_CENTRE, width, height,
                                             VImage::option()
                                                 ->set("extend", VIPS_EXTEND_BACKGROUND)
                                                 ->set("background", std::vector<double>{0, 0, 0, 0}));
    }
    const bool sideways = quarterTurns(angleDegrees).value_or(0) % 2 == 1;
    const double xres = sideways ? source.yres() : source.xres();
    const double yres = sideways ? source.xres() : source.yres();
    auto finished = [&](const VImage& pixels) {
      VImage bitmap = pixels.copy(VImage::option()
                                      ->set("interpretation", VIPS_INTERPRETATION_sRGB)
                                      ->set("xres", xres)
                                      ->set("yres", yres));
      dropMetadata(bitmap);
      return bitmap;
    };
    std::optional<VImage> opaqueColour;
    if (drawn.bands() == 3) opaqueColour = finished(drawn);
    return Picture(
        Picture::Impl::fromBitmap(finished(detail::toRgba8(drawn)), picture.impl().deadline(), opaqueColour));
  } catch (const vips::VError& error) {
    throw ImagingError(call.failureText(error));
  }
}

}  // namespace corvane::imaging
