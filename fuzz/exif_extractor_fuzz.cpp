// Fuzzes the EXIF extractor service: the bytes are written to a file, which
// the extractor reads like any picture path; the record then goes through the
// wire codec and back.

#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

#include "FuzzInputFile.h"
#include "FuzzSetup.h"
#include "image/ExifExtractor.h"
#include "platform/ipc/ExifInfoCodec.h"

namespace {

const corvane::fuzz::FuzzInputFile input("input.jpg");

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  corvane::fuzz::setUp();
  if (!input.write(data, size)) return 0;
  const auto info = corvane::image::ExifExtractor().extractExif(input.path());
  if (info) {
    const auto wire = corvane::ipc::toWire(*info);
    const auto back = corvane::ipc::exifInfoFromWire(wire);
    // Texts may be repaired on the way out, but the numbers must survive.
    if (back.versionNumber() != info->versionNumber() || back.date() != info->date()) abort();
  }
  return 0;
}
