#include "platform/imaging/Encoding.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "platform/imaging/PictureImpl.h"
#include "platform/imaging/VipsSupport.h"

namespace corvane::imaging {

using vips::VImage;

namespace {

constexpr uint8_t kMarker = 0xFF;
constexpr uint8_t kApp0 = 0xE0;
constexpr uint8_t kApp1 = 0xE1;
constexpr size_t kMaxSegmentPayload = 0xFFFF - 2;

// Puts an EXIF block into a JPEG as its APP1 segment, after the SOI marker
// and the JFIF segment if there is one. The block is written byte for byte
// (the encoder's own EXIF writer would add an orientation tag); a block too
// long for one segment is left out.
void insertExif(media::Bytes& jpeg, const media::Bytes& block) {
  if (block.empty() || block.size() > kMaxSegmentPayload || jpeg.size() < 4) return;
  size_t at = 2;  // after SOI
  if (jpeg.size() >= at + 4 && jpeg[at] == kMarker && jpeg[at + 1] == kApp0) {
    at += 2 + (size_t(jpeg[at + 2]) << 8 | jpeg[at + 3]);
    if (at > jpeg.size()) return;
  }
  const size_t length = block.size() + 2;
  media::Bytes segment{kMarker, kApp1, uint8_t(length >> 8), uint8_t(length & 0xFF)};
  segment.insert(segment.end(), block.begin(), block.end());
  jpeg.insert(jpeg.begin() + static_cast<std::ptrdiff_t>(at), segment.begin(), segment.end());
}

}  // namespace

media::Bytes encodeTiff(const Picture& picture) {
  const detail::VipsCall call;
  try {
    return detail::takeBlob(picture.impl().bitmap().tiffsave_buffer(
        VImage::option()->set("compression", VIPS_FOREIGN_TIFF_COMPRESSION_NONE)->set("strip", true)));
  } catch (const vips::VError& error) {
    throw ImagingError(call.failureText(error));
  }
}

media::Bytes encodeJpeg(const Picture& picture, float quality, const std::optional<media::Bytes>& exif) {
  const float clamped = std::isfinite(quality) ? std::clamp(quality, 0.0f, 1.0f) : 1.0f;
  const int q = std::max(1, static_cast<int>(std::lround(clamped * 100.0f)));
  const detail::VipsCall call;
  try {
    VImage rgb = detail::toSrgb8(picture.impl().bitmap());
    if (rgb.bands() == 4) {
      rgb = rgb.flatten(VImage::option()->set("background", std::vector<double>{0, 0, 0}))
                .cast(VIPS_FORMAT_UCHAR);
    }
    media::Bytes jpeg =
        detail::takeBlob(rgb.jpegsave_buffer(VImage::option()->set("Q", q)->set("strip", true)));
    if (exif) insertExif(jpeg, *exif);
    return jpeg;
  } catch (const vips::VError& error) {
    throw ImagingError(call.failureText(error));
  }
}

}  // namespace corvane::imaging
