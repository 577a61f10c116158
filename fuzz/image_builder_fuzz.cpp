// Fuzzes the picture service on whole files: the bytes are written to a .jpg
// file (so that the EXIF pass runs too) and built and thumbnailed.

#include <cstddef>
#include <cstdint>
#include <vips/vips8>

#include "FuzzInputFile.h"
#include "FuzzSetup.h"
#include "image/UnifiedImageInfoBuilder.h"

namespace {
const corvane::fuzz::FuzzInputFile input("input.jpg");
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  corvane::fuzz::setUp();
  if (!input.write(data, size)) return 0;
  corvane::image::UnifiedImageInfoBuilder builder;
  (void)builder.build(input.path());
  (void)builder.makeThumbnail(input.path(), 64.0f, 48.0f);
  return 0;
}
