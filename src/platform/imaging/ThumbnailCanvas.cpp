#include "platform/imaging/ThumbnailCanvas.h"

#include "platform/imaging/PictureImpl.h"
#include "platform/imaging/VipsSupport.h"

namespace corvane::imaging {

using vips::VImage;

media::Bytes drawScaledOnCanvasAsTiff(const Picture& picture, const CanvasLayout& layout) {
  const detail::VipsCall call;
  try {
    const std::vector<double> fill{double(layout.fill.r), double(layout.fill.g), double(layout.fill.b)};
    VImage drawn = detail::toSrgb8(picture.impl().scaled(layout.pictureWidth, layout.pictureHeight));
    if (drawn.bands() == 4) {
      drawn = drawn.flatten(VImage::option()->set("background", fill)).cast(VIPS_FORMAT_UCHAR);
    }
    const bool fillsCanvas = layout.pictureLeft == 0 && layout.pictureTop == 0 &&
                             layout.pictureWidth == layout.width && layout.pictureHeight == layout.height;
    if (!fillsCanvas) {
      drawn = drawn.embed(layout.pictureLeft, layout.pictureTop, layout.width, layout.height,
                          VImage::option()->set("extend", VIPS_EXTEND_BACKGROUND)->set("background", fill));
    }
    return detail::takeBlob(drawn.tiffsave_buffer(
        VImage::option()->set("compression", VIPS_FOREIGN_TIFF_COMPRESSION_NONE)->set("strip", true)));
  } catch (const vips::VError& error) {
    throw ImagingError(call.failureText(error));
  }
}

}  // namespace corvane::imaging
