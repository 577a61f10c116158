#include "platform/imaging/JpegScaledDecoder.h"

#include <turbojpeg.h>

#include <algorithm>
#include <cstdlib>
#include <memory>

namespace corvane::imaging::detail {

namespace {

struct HandleCloser {
  void operator()(void* handle) const { tjDestroy(handle); }
};
using DecompressHandle = std::unique_ptr<void, HandleCloser>;

bool isPlainColourspace(int colourspace) {
  return colourspace == TJCS_YCbCr || colourspace == TJCS_RGB || colourspace == TJCS_GRAY;
}

}  // namespace

std::optional<vips::VImage> decodeJpegScaled(std::span<const uint8_t> jpeg, int shrink, uint64_t maxBytes) {
  if (jpeg.empty() || (shrink != 1 && shrink != 2 && shrink != 4 && shrink != 8)) return std::nullopt;
  const DecompressHandle handle(tjInitDecompress());
  if (!handle) return std::nullopt;
  // The library takes a non-const pointer but never writes through it.
  auto* data = const_cast<unsigned char*>(jpeg.data());
  const auto size = static_cast<unsigned long>(jpeg.size());
  int width = 0, height = 0, subsampling = 0, colourspace = 0;
  if (tjDecompressHeader3(handle.get(), data, size, &width, &height, &subsampling, &colourspace) != 0) {
    return std::nullopt;
  }
  if (width <= 0 || height <= 0 || !isPlainColourspace(colourspace)) return std::nullopt;
  const tjscalingfactor factor{1, shrink};
  const int scaledWidth = TJSCALED(width, factor);
  const int scaledHeight = TJSCALED(height, factor);
  const bool grey = colourspace == TJCS_GRAY;
  const int bands = grey ? 1 : 3;
  const size_t bytes = size_t(scaledWidth) * size_t(scaledHeight) * size_t(bands);
  if (bytes > maxBytes) return std::nullopt;
  // malloc'd, because the picture takes the buffer over and frees it with free().
  std::unique_ptr<unsigned char, decltype(&std::free)> pixels(static_cast<unsigned char*>(std::malloc(bytes)),
                                                              &std::free);
  if (!pixels) return std::nullopt;
  // Same decoder settings as libvips' loader (accurate IDCT, smooth chroma
  // upsampling), so both paths give the same pixels. The scan limit is the
  // library's own, a second line behind the one pictures are opened with.
  const int flags = TJFLAG_STOPONWARNING | TJFLAG_LIMITSCANS;
  if (tjDecompress2(handle.get(), data, size, pixels.get(), scaledWidth, 0, scaledHeight,
                    grey ? TJPF_GRAY : TJPF_RGB, flags) != 0) {
    return std::nullopt;
  }
  vips::VImage image = vips::VImage::new_from_memory_steal(pixels.get(), bytes, scaledWidth, scaledHeight,
                                                           bands, VIPS_FORMAT_UCHAR);
  pixels.release();
  // The decoder rounds each side up, its last column and row covering part
  // of the block padding; libvips' loader leaves them out, and so does this.
  const int keptWidth = std::max(1, width / shrink);
  const int keptHeight = std::max(1, height / shrink);
  return image.crop(0, 0, std::min(keptWidth, scaledWidth), std::min(keptHeight, scaledHeight))
      .copy(vips::VImage::option()->set("interpretation",
                                        grey ? VIPS_INTERPRETATION_B_W : VIPS_INTERPRETATION_sRGB));
}

}  // namespace corvane::imaging::detail
