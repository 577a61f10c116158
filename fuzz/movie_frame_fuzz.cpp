// Fuzzes the movie layer's pictures: the bytes are written to a file,
// opened as a movie, and the frame at a time the input chooses, the frame at
// 10.8 s and the poster are made.

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "FuzzInputFile.h"
#include "FuzzSetup.h"
#include "platform/imaging/Picture.h"
#include "platform/movie/Movie.h"

namespace {

const corvane::fuzz::FuzzInputFile input("input.mov");

void check(const std::optional<corvane::movie::Frame>& frame) {
  if (!frame) return;
  const int64_t pixels = int64_t{frame->width} * frame->height;
  if (frame->width <= 0 || frame->height <= 0 || pixels > corvane::imaging::kMaxPixels ||
      frame->rgb.size() != static_cast<size_t>(pixels) * 3) {
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace corvane;
  fuzz::setUp();
  // The first byte picks the time, in quarter seconds.
  if (size < 1 || !input.write(data + 1, size - 1)) return 0;
  const auto file = file::InputFile::open(input.path());
  if (!file) return 0;
  movie::OpenResult opened = movie::Movie::open(*file, "input.mov");
  if (!opened.movie) return 0;
  check(opened.movie->frameAt(data[0] / 4.0));
  check(opened.movie->frameAt(10.8));
  check(opened.movie->posterFrame());
  return 0;
}
