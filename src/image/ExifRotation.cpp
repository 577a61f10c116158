#include "image/ExifRotation.h"

namespace corvane::image {

media::Bytes rotateImageDataByExif(const media::Bytes& data) { return data; }

std::optional<imaging::Picture> copyRotatedImageWithFlip(const imaging::Picture&, bool, bool, float) {
  return std::nullopt;
}

}  // namespace corvane::image
