#pragma once

// A decoded picture, the imaging layer's stand-in for an image with one
// bitmap representation. The header (pixel size, resolution, EXIF block) is
// read at once; pixels are decoded only when an operation needs them and, for
// thumbnails, at a reduced scale where the format allows it (JPEG
// shrink-on-load), so a small thumbnail of a big photo never decodes the whole
// photo.
//
// Pictures are immutable and cheap to copy (copies share the decoded state).
// Each call works on its own library objects, so one picture may be used from
// several threads at once.
//
// Only the common photo formats are decoded (JPEG, PNG, GIF, TIFF, WebP,
// HEIF, and BMP). Each picture keeps to the request budget (media/
// RequestBudget.h): a picture whose decode would hold more memory than the
// budget, a JPEG of absurdly many scans and a small file that declares a huge
// picture are refused when opened; an operation that would decode more than
// the budget fails; and pixels are computed only until kPictureWork after
// the picture was opened (a drawing's result keeps its source's deadline).
// Each refusal and each stop writes a log line.

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "media/MediaRecord.h"
#include "media/RequestBudget.h"
#include "platform/file/InputFile.h"

namespace corvane::imaging {

struct Rgba {
  uint8_t r, g, b, a;
  bool operator==(const Rgba&) const = default;
};

struct PointSize {
  double width, height;
};

// The largest bitmap (width x height) handed to the layer as pixels, a movie
// frame say: 100 megapixels, 300 MB as RGB, within the decode budget.
inline constexpr int64_t kMaxPixels = 100'000'000;
static_assert(kMaxPixels * 3 <= int64_t(budget::kDecodeBytes));

// What the layer's drawing and encoding operations throw when the decoder or
// encoder fails (truncated data, out of memory...; the text is the library's)
// or the picture goes over its budget (the text says which).
class ImagingError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Starts libvips for the process: once, at start-up, before any picture is
// made (the daemon's start-up does it). False when it cannot start.
bool startUp();

class Picture {
 public:
  // none: no picture / unreadable / refused (format or budget). The picture
  // keeps the file open while it (or a copy) lives and reads it only
  // through that descriptor, never by its path again.
  static std::optional<Picture> fromFile(std::shared_ptr<const file::InputFile> file);
  // The same for the file at path, opened with file::InputFile::open.
  static std::optional<Picture> fromFile(const std::string& path);
  // none: the bytes are no picture.
  static std::optional<Picture> fromBytes(media::Bytes bytes);
  // Packed 8-bit RGB rows, top row first (width * 3 bytes each); none when
  // the size is not positive, over kMaxPixels, or does not match the bytes.
  static std::optional<Picture> fromRgbPixels(int width, int height, const media::Bytes& rgb);

  int pixelsWide() const;  // first representation (first page/frame)
  int pixelsHigh() const;
  // Pixel size * 72 / recorded dpi (the pixel size when none or 72 is recorded).
  PointSize sizeInPoints() const;
  // (0,0) = top-left; none when outside or when the pixels cannot be decoded.
  // Colours are 8-bit sRGB; pictures without alpha give a = 255.
  std::optional<Rgba> colorAt(int x, int y) const;
  // The raw EXIF block the decoder found ("Exif\0\0" + TIFF data), if any.
  std::optional<media::Bytes> exifData() const;
  bool hasAlpha() const;

  // The layer's own operations reach the decoder state through this.
  class Impl;
  const Impl& impl() const { return *impl_; }
  explicit Picture(std::shared_ptr<const Impl> impl);

 private:
  std::shared_ptr<const Impl> impl_;
};

}  // namespace corvane::imaging
