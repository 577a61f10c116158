#include "image/NSImageExtension.h"

namespace corvane::image {

std::optional<media::Bytes> makeThumbnailForContentCategory(const imaging::Picture&, int, float, float) {
  return std::nullopt;
}

std::optional<media::Bytes> makeThumbnailForContentCategory(const imaging::Picture&, int) {
  return std::nullopt;
}

}  // namespace corvane::image
