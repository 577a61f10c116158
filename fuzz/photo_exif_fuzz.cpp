// Fuzzes the EXIF entry callbacks of the picture service: the bytes are loaded
// as EXIF data (bare block or whole JPEG) and walked into a record.

#include <cstddef>
#include <cstdint>

#include "FuzzSetup.h"
#include "image/UnifiedImageInfoBuilder.h"
#include "media/MediaRecord.h"
#include "platform/exif/ExifData.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  corvane::fuzz::setUp();
  const corvane::exif::ExifDataPtr exif = corvane::exif::load({data, size});
  corvane::media::MediaRecord record;
  corvane::image::photo_exif::readInto(exif.get(), record);
  return 0;
}
