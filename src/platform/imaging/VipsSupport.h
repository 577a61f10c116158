#pragma once

// The imaging layer's private helpers over libvips. Nothing outside
// src/platform/imaging includes this.

#include <string>
#include <vips/vips8>

#include "media/MediaRecord.h"
#include "platform/imaging/Picture.h"

namespace corvane::imaging::detail {

// The text of a libvips failure, for ImagingError. Clears the library's error
// buffer so that later failures do not repeat this one.
std::string describe(const vips::VError& error);

// 8-bit sRGB with 3 bands, or 4 when the picture has alpha: grey, 16-bit and
// CMYK pictures all come out as ordinary RGB.
vips::VImage toSrgb8(const vips::VImage& image);

// toSrgb8 with an opaque alpha band added when the picture has none.
vips::VImage toRgba8(const vips::VImage& image);

// Copies a blob an encoder returned and releases it.
media::Bytes takeBlob(VipsBlob* blob);

}  // namespace corvane::imaging::detail
