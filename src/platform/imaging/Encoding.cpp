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

// The TIFF layout the encoder writes (libvips over libtiff, uncompressed,
// no metadata): the 8-byte header, the pixels in strips of 128 rows, one
// directory of 15 entries (plus ExtraSamples when there are samples beyond
// the colour ones, plus InkSet for CMYK) at the next even offset, and the
// values too long for an entry: the two resolutions, BitsPerSample and
// SampleFormat per sample beyond two, ExtraSamples beyond two, and the strip
// offsets and byte counts when there is more than one strip (byte counts as
// 16-bit numbers while a whole strip stays under 64 KiB).
uint64_t uncompressedTiffLength(uint64_t width, uint64_t height, uint64_t bands, uint64_t bytesPerSample,
                                bool cmyk) {
  constexpr uint64_t kRowsPerStrip = 128;
  const uint64_t rowBytes = width * bands * bytesPerSample;
  const uint64_t strips = (height + kRowsPerStrip - 1) / kRowsPerStrip;
  const uint64_t colours = cmyk && bands >= 4 ? 4 : bands >= 3 ? 3 : 1;
  const uint64_t extras = bands - std::min(bands, colours);
  const uint64_t entries = 15 + (extras > 0 ? 1 : 0) + (cmyk && bands >= 4 ? 1 : 0);
  auto outOfEntry = [](uint64_t bytes) { return bytes > 4 ? bytes : 0; };
  uint64_t values = 2 * 8 + 2 * outOfEntry(2 * bands) + outOfEntry(2 * extras);
  if (strips > 1) {
    values += outOfEntry(4 * strips);
    values += outOfEntry((kRowsPerStrip * rowBytes <= 0xFFFF ? 2 : 4) * strips);
  }
  const uint64_t directoryAt = (8 + rowBytes * height + 1) / 2 * 2;
  return directoryAt + 2 + 12 * entries + 4 + values;
}

}  // namespace

uint64_t encodedTiffLength(const Picture& picture) {
  const auto& facts = picture.impl().facts();
  return uncompressedTiffLength(uint64_t(facts.width), uint64_t(facts.height), uint64_t(facts.bands),
                                vips_format_sizeof(facts.format),
                                facts.interpretation == VIPS_INTERPRETATION_CMYK);
}

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
    const std::optional<VImage> opaque = picture.impl().opaqueColour();
    VImage rgb = opaque ? *opaque : detail::toSrgb8(picture.impl().bitmap());
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
