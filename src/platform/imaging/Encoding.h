#pragma once

// Encodes pictures as TIFF and JPEG.

#include <cstdint>
#include <optional>

#include "media/MediaRecord.h"
#include "platform/imaging/Picture.h"

namespace corvane::imaging {

// The picture's full-resolution bitmap as an uncompressed TIFF, in its own
// samples (a grey picture stays one sample per pixel, RGBA four), so the
// lengths of two encodings compare as the bitmaps' sizes do. Throws ImagingError.
media::Bytes encodeTiff(const Picture& picture);

// encodeTiff(picture).size(), worked out from the picture's size and samples
// without decoding or encoding anything.
uint64_t encodedTiffLength(const Picture& picture);

// A baseline JPEG of the picture as 8-bit sRGB (transparency flattened onto
// black). quality is the compression factor, 0.0 (smallest) to 1.0 (best);
// exif, when given, is written unchanged as the file's EXIF block ("Exif\0\0"
// + TIFF data, at most 65533 bytes, else left out). No other metadata is
// written.
// Throws ImagingError.
media::Bytes encodeJpeg(const Picture& picture, float quality, const std::optional<media::Bytes>& exif);

}  // namespace corvane::imaging
