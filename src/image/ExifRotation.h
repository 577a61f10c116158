#pragma once

// Turns pictures upright by their EXIF orientation.

#include <optional>

#include "media/MediaRecord.h"
#include "platform/imaging/Picture.h"

namespace corvane::image {

// A new upright JPEG carrying the source's EXIF (without an orientation tag),
// or `data` unchanged when there is nothing to do or anything fails.
media::Bytes rotateImageDataByExif(const media::Bytes& data);

// A new RGBA picture: image turned by angle degrees (counter-clockwise, y axis
// up) and then mirrored. Exact for multiples of 90 degrees; none when the
// picture cannot be decoded or the angle is not finite.
std::optional<imaging::Picture> copyRotatedImageWithFlip(const imaging::Picture& image, bool mirrorX,
                                                         bool mirrorY, float angle);

}  // namespace corvane::image
