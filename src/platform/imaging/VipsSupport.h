#pragma once

// The imaging layer's private helpers over libvips. Nothing outside
// src/platform/imaging (and its tests) includes this.

#include <string>
#include <string_view>
#include <vips/vips8>

#include "media/MediaRecord.h"
#include "media/RequestBudget.h"
#include "platform/imaging/Picture.h"

namespace corvane::imaging::detail {

// One operation of the imaging layer on libvips, for as long as the object
// lives; every operation that may fail holds one.
//
// libvips collects failure texts in a single buffer for the whole process,
// and a VError copies the whole buffer. Clearing it from one thread while
// another is between a failure and reading its text would take that text
// away, so nothing clears it while any operation is in progress: the last
// operation to end does. A failure's text is what the buffer gained since its
// own operation began (another operation failing at the same moment may add
// lines of its own; nothing is lost).
//
// Any thread; the objects of one thread must end in reverse order of making.
class VipsCall {
 public:
  VipsCall();
  ~VipsCall();
  VipsCall(const VipsCall&) = delete;
  VipsCall& operator=(const VipsCall&) = delete;

  // The text of a failure within this operation, for ImagingError.
  std::string failureText(const vips::VError& error) const;

 private:
  size_t start_ = 0;  // the buffer's length when the operation began
};

// 8-bit sRGB with 3 bands, or 4 when the picture has alpha: grey, 16-bit and
// CMYK pictures all come out as ordinary RGB.
vips::VImage toSrgb8(const vips::VImage& image);

// toSrgb8 with an opaque alpha band added when the picture has none.
vips::VImage toRgba8(const vips::VImage& image);

// Copies a blob an encoder returned and releases it.
media::Bytes takeBlob(VipsBlob* blob);

// The same pixels as image, computed only until deadline: once it has
// passed, every further request for pixels fails (the text says the picture
// went over its time budget; the first failure writes a log line), so an
// operation reading through it stops within one strip of its input.
vips::VImage withDeadline(const vips::VImage& image, const budget::Deadline& deadline);

// The log line of a picture refused or stopped for going over a budget.
void reportOverBudget(std::string_view reason);

// reportOverBudget, then ImagingError with the reason.
[[noreturn]] void failOverBudget(const std::string& reason);

}  // namespace corvane::imaging::detail
