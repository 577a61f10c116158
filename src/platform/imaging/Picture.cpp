#include "platform/imaging/Picture.h"

namespace corvane::imaging {

class Picture::Impl {};

Picture::Picture(std::shared_ptr<const Impl> impl) : impl_(std::move(impl)) {}

std::optional<Picture> Picture::fromFile(const std::string&) { return std::nullopt; }
std::optional<Picture> Picture::fromBytes(media::Bytes) { return std::nullopt; }
int Picture::pixelsWide() const { return 0; }
int Picture::pixelsHigh() const { return 0; }
PointSize Picture::sizeInPoints() const { return {0, 0}; }
std::optional<Rgba> Picture::colorAt(int, int) const { return std::nullopt; }
std::optional<media::Bytes> Picture::exifData() const { return std::nullopt; }
bool Picture::hasAlpha() const { return false; }

}  // namespace corvane::imaging
