// Fuzzes the picture service on whole files: the bytes are written to a .jpg
// file (so that the EXIF pass runs too) and built and thumbnailed.

#include <vips/vips8>

#include <cstddef>
#include <cstdint>

#include "FuzzInputFile.h"
#include "QuietLog.h"
#include "image/UnifiedImageInfoBuilder.h"

namespace {
const corvane::fuzz::FuzzInputFile input("input.jpg");
}

extern "C" int LLVMFuzzerInitialize(int*, char*** argv) {
  VIPS_INIT((*argv)[0]);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  corvane::fuzz::silenceLog();
  if (!input.write(data, size)) return 0;
  corvane::image::UnifiedImageInfoBuilder builder;
  (void)builder.build(input.path());
  (void)builder.makeThumbnail(input.path(), 64.0f, 48.0f);
  return 0;
}
