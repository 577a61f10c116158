// Turns fuzzed bytes upright by their EXIF orientation: any input must come
// back as a JPEG or unchanged, never crash, hang or exhaust memory.

#include <cstddef>
#include <cstdint>

#include "FuzzSetup.h"
#include "image/ExifRotation.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  corvane::fuzz::setUp();
  const corvane::media::Bytes input(data, data + size);
  const corvane::media::Bytes output = corvane::image::rotateImageDataByExif(input);
  // Whatever comes back is either the input or a new JPEG.
  if (output != input && (output.size() < 4 || output[0] != 0xFF || output[1] != 0xD8)) __builtin_trap();
  return 0;
}
