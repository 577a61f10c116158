// Fuzzes the EXIF extractor service: the bytes are written to a file, which
// the extractor reads like any picture path; the record then goes through the
// record codec and back.

#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

#include "FuzzInputFile.h"
#include "FuzzSetup.h"
#include "host/ExifInfoCodec.h"
#include "image/ExifExtractor.h"

namespace {

const corvane::fuzz::FuzzInputFile input("input.jpg");

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  corvane::fuzz::setUp();
  if (!input.write(data, size)) return 0;
  const auto info = corvane::image::ExifExtractor().extractExif(input.path());
  if (info) {
    const auto back = corvane::host::exifInfoFromRecord(corvane::host::exifRecord(*info));
    if (!(back == *info)) abort();
  }
  return 0;
}
