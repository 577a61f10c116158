#pragma once

// Camera-sized test photos for the picture benchmarks, made with libvips.
//
// A photo's JPEG cost is mostly entropy decoding, which grows with the
// file's detail, so the benchmarks use pictures of three kinds:
//   Smooth   - natural-looking content (fractal surfaces have the 1/f
//              spectrum of real scenes) with light sensor grain, chroma
//              subsampled 4:2:0 as cameras and phones write it;
//   Detailed - the same with rougher content and stronger grain;
//   Grainy   - every pixel under heavy noise, chroma at full resolution:
//              the worst case for a decoder, far noisier than real photos.
// All are 4000 x 3000 at quality 90.

#include <string>
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

}  // namespace corvane::bench
