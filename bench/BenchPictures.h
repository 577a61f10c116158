#pragma once

// The benchmarks' pictures, made with libvips, and the libvips references
// they are measured against.
//
// Photos: a photo's JPEG cost is mostly entropy decoding, which grows with the
// file's detail, so the benchmarks use pictures of three kinds:
//   Smooth   - natural-looking content (fractal surfaces have the 1/f
//              spectrum of real scenes) with light sensor grain, chroma
//              subsampled 4:2:0 as cameras and phones write it;
//   Detailed - the same with rougher content and stronger grain;
//   Grainy   - every pixel under heavy noise, chroma at full resolution:
//              the worst case for a decoder, far noisier than real photos.
// All are 4000 x 3000 at quality 90.

#include <cstdint>
#include <string>
#include <vector>
#include <vips/vips8>

namespace corvane::bench {

enum class PhotoKind { Smooth, Detailed, Grainy };

inline const char* photoKindName(PhotoKind kind) {
  switch (kind) {
    case PhotoKind::Smooth:
      return "smooth";
    case PhotoKind::Detailed:
      return "detailed";
    default:
      return "grainy";
  }
}

inline void writePhotoLikeJpeg(const std::string& path, PhotoKind kind) {
  using vips::VImage;
  constexpr int kWidth = 4000;
  constexpr int kHeight = 3000;
  VImage rgb;
  if (kind == PhotoKind::Grainy) {
    VImage xy = VImage::xyz(kWidth, kHeight);
    VImage noise = VImage::gaussnoise(kWidth, kHeight, VImage::option()->set("sigma", 12.0));
    VImage x = xy.extract_band(0) * (255.0 / kWidth);
    VImage y = xy.extract_band(1) * (255.0 / kHeight);
    rgb = (x.bandjoin(y).bandjoin((x + y) / 2) + noise - 128).cast(VIPS_FORMAT_UCHAR);
    rgb.jpegsave(path.c_str(), VImage::option()->set("Q", 90));
    return;
  }
  const double dimension = kind == PhotoKind::Smooth ? 2.3 : 2.5;
  const double grain = kind == PhotoKind::Smooth ? 2.0 : 4.0;
  const VImage luminance = VImage::fractsurf(kWidth, kHeight, dimension);
  const double gain = 45.0 / luminance.deviate();  // a photo's usual contrast around mid grey
  const VImage base = luminance * gain + 128;
  auto channel = [&](double tint) {
    const VImage noise = VImage::gaussnoise(kWidth, kHeight, VImage::option()->set("sigma", grain));
    if (tint == 0) return base + noise;
    return base + VImage::fractsurf(kWidth, kHeight, dimension) * (gain * tint) + noise;
  };
  rgb = channel(0.35).bandjoin(channel(0)).bandjoin(channel(0.35)).cast(VIPS_FORMAT_UCHAR);
  rgb.jpegsave(path.c_str(),
               VImage::option()->set("Q", 90)->set("subsample_mode", VIPS_FOREIGN_SUBSAMPLE_ON));
}

// A size x size cover: a colour gradient under noise that varies with seed,
// about the file size a scanned or photographed cover has at this pixel size,
// encoded by suffix (".jpg", ".png"...).
inline std::vector<uint8_t> coverPicture(int size, int seed, const char* suffix = ".jpg") {
  using vips::VImage;
  const VImage xy = VImage::xyz(size, size);
  const VImage x = xy.extract_band(0) * (255.0 / size);
  const VImage y = xy.extract_band(1) * (255.0 / size);
  const VImage noise = VImage::gaussnoise(size, size, VImage::option()->set("sigma", 10.0 + seed % 7));
  const VImage picture = (x.bandjoin(y).bandjoin((x + y) / 2 + seed) + noise - 128).cast(VIPS_FORMAT_UCHAR);
  void* buffer = nullptr;
  size_t length = 0;
  picture.write_to_buffer(suffix, &buffer, &length, VImage::option()->set("Q", 85));
  std::vector<uint8_t> bytes(static_cast<const uint8_t*>(buffer),
                             static_cast<const uint8_t*>(buffer) + length);
  g_free(buffer);
  return bytes;
}

// The length of image encoded as TIFF, the renderer's output format.
inline size_t tiffLength(const vips::VImage& image) {
  void* buffer = nullptr;
  size_t length = 0;
  image.write_to_buffer(".tif", &buffer, &length);
  g_free(buffer);
  return length;
}

// The reference album art: libvips' own thumbnail of the picture's bytes to
// fit box x box, encoded as TIFF; returns the TIFF's length.
inline size_t referenceCoverThumbnail(const void* data, size_t size, int box) {
  VipsBlob* blob = vips_blob_new(nullptr, data, size);  // borrows the bytes
  const vips::VImage thumbnail =
      vips::VImage::thumbnail_buffer(blob, box, vips::VImage::option()->set("height", box));
  vips_area_unref(VIPS_AREA(blob));
  return tiffLength(thumbnail);
}

}  // namespace corvane::bench
