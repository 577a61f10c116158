// Fuzzes the EXIF entry callbacks of the picture service: the bytes are loaded
// as EXIF data (bare block or whole JPEG) and walked into a record.

#include <libexif/exif-data.h>

#include <cstddef>
#include <cstdint>
#include <memory>

#include "FuzzSetup.h"
#include "image/UnifiedImageInfoBuilder.h"
#include "media/MediaRecord.h"

namespace {

struct ExifDataRelease {
  void operator()(ExifData* data) const { exif_data_unref(data); }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  corvane::fuzz::setUp();
  std::unique_ptr<ExifData, ExifDataRelease> exif(
      exif_data_new_from_data(data, static_cast<unsigned int>(size)));
  corvane::media::MediaRecord record;
  corvane::image::photo_exif::readInto(exif.get(), record);
  return 0;
}
