#pragma once

// Pictures for the imaging tests, drawn pixel by pixel and encoded with
// libvips, and helpers to read results back.

#include <array>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>
#include <vips/vips8>

#include "media/MediaRecord.h"
#include "platform/imaging/VipsSupport.h"

namespace corvane::imagingtest {

using Rgb = std::array<uint8_t, 3>;
using PixelFn = std::function<Rgb(int x, int y)>;

inline vips::VImage drawRgb(int width, int height, const PixelFn& pixel) {
  std::vector<uint8_t> data(size_t(width) * height * 3);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const Rgb c = pixel(x, y);
      std::copy(c.begin(), c.end(), data.begin() + (size_t(y) * width + x) * 3);
    }
  }
  VipsImage* image =
      vips_image_new_from_memory_copy(data.data(), data.size(), width, height, 3, VIPS_FORMAT_UCHAR);
  if (image == nullptr) throw vips::VError();
  return vips::VImage(image).copy(vips::VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB));
}

inline media::Bytes encode(const vips::VImage& image, const char* suffix, vips::VOption* options = nullptr) {
  void* buffer = nullptr;
  size_t length = 0;
  image.write_to_buffer(suffix, &buffer, &length, options);
  media::Bytes bytes(static_cast<uint8_t*>(buffer), static_cast<uint8_t*>(buffer) + length);
  g_free(buffer);
  return bytes;
}

inline media::Bytes jpeg(int width, int height, const PixelFn& pixel, int quality = 95) {
  return encode(drawRgb(width, height, pixel), ".jpg", vips::VImage::option()->set("Q", quality));
}

inline media::Bytes png(int width, int height, const PixelFn& pixel) {
  return encode(drawRgb(width, height, pixel), ".png");
}

inline PixelFn solid(Rgb colour) {
  return [colour](int, int) { return colour; };
}

inline vips::VImage decode(const media::Bytes& bytes) {
  return vips::VImage::new_from_buffer(bytes.data(), bytes.size(), "").copy_memory();
}

// A pixel of an 8-bit image in memory (as decode() gives it); grey repeats.
inline Rgb pixelAt(const vips::VImage& image, int x, int y) {
  const auto* data = static_cast<const uint8_t*>(image.data());
  const size_t bands = size_t(image.bands());
  const uint8_t* p = data + (size_t(y) * size_t(image.width()) + size_t(x)) * bands;
  return bands >= 3 ? Rgb{p[0], p[1], p[2]} : Rgb{p[0], p[0], p[0]};
}

inline bool near(Rgb a, Rgb b, int tolerance) {
  const auto close = [&](size_t i) { return std::abs(int(a[i]) - int(b[i])) <= tolerance; };
  return close(0) && close(1) && close(2);
}

// Where the pixels near colour lie: the bounding box, or width 0 when none.
struct Area {
  int left = 0, top = 0, width = 0, height = 0;
};

inline Area areaOf(const vips::VImage& image, Rgb colour, int tolerance) {
  int minX = image.width(), minY = image.height(), maxX = -1, maxY = -1;
  for (int y = 0; y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) {
      if (!near(pixelAt(image, x, y), colour, tolerance)) continue;
      minX = std::min(minX, x), maxX = std::max(maxX, x);
      minY = std::min(minY, y), maxY = std::max(maxY, y);
    }
  }
  if (maxX < 0) return {};
  return {minX, minY, maxX - minX + 1, maxY - minY + 1};
}

}  // namespace corvane::imagingtest
