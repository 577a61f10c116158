#pragma once

// What one request may cost the service, in one place: the time its decoding
// may take and the memory a decode may hold. A request over its budget gets
// the failure result its operation has (no record, no thumbnail, the input
// back) and a log line saying which budget it went over; the service's other
// requests go on.
//
// The figures come from real files (see each one). Any thread may read them;
// a Deadline is a plain value.

#include <chrono>
#include <cstdint>

namespace corvane::budget {

// How long the picture work of one request (decoding, drawing, encoding) may
// run. A 200-megapixel photo's thumbnail takes about 1.5 s here and a
// 10000 x 10000 photo turned upright about 3 s on one core; the budget leaves
// room for a machine several times slower or busier.
inline constexpr std::chrono::milliseconds kPictureWork{15'000};

// How long opening a movie may take, and again how long making one picture
// of it may take, before the movie library is interrupted: a live playlist or
// a file that makes the demuxer wait is given up on instead of holding the
// service's thread.
inline constexpr std::chrono::milliseconds kMovieStep{5'000};

// The most memory one picture decode may hold at once (pixels decoded whole,
// a progressive JPEG's coefficients, a format's whole-canvas buffer). A
// 12000 x 9000 photo decoded whole as RGB takes 309 MiB; a 200-megapixel one
// only ever decodes at a reduced scale or streamed, well under this.
inline constexpr uint64_t kDecodeBytes = 512ull << 20;

// The most scans a JPEG may have. Progressive JPEGs from cameras, phones and
// encoders have 6 (grey) to 10 (colour) scans, a few tools write up to about
// 20; each scan costs a pass over the whole picture, and a file with
// hundreds of scans takes minutes to decode.
inline constexpr int kMaxJpegScans = 100;

// A point in time after which work stops. Copies are independent values.
class Deadline {
 public:
  using Clock = std::chrono::steady_clock;

  static Deadline after(Clock::duration budget) { return Deadline(Clock::now() + budget); }
  explicit Deadline(Clock::time_point at) : at_(at) {}

  bool passed() const { return Clock::now() >= at_; }
  Clock::time_point at() const { return at_; }

 private:
  Clock::time_point at_;
};

}  // namespace corvane::budget
