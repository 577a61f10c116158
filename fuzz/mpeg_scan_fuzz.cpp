// Fuzzes the MPEG frame walk on whole files: the walk starts at the first
// frame header in the bytes and must stay inside the file, count only what
// lies there, and always end.

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "FuzzInputFile.h"
#include "FuzzSetup.h"
#include "platform/file/InputFile.h"
#include "platform/mpeg/MpegFrames.h"

namespace {
const corvane::fuzz::FuzzInputFile input("input.mp3");
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  corvane::fuzz::setUp();
  size_t start = 0;
  while (start < size && !corvane::mpeg::parseFrameHeader({data + start, size - start})) ++start;
  if (start == size || !input.write(data, size)) return 0;
  const auto file = corvane::file::InputFile::open(input.path());
  if (!file) return 0;
  const auto scan = corvane::mpeg::scanFrames(*file, start, size);
  if (!scan) std::abort();  // there is a header at start
  if (scan->streamEnd > size || scan->firstFrame != start || scan->frames == 0) std::abort();
  (void)scan->seconds();
  return 0;
}
