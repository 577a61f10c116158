// Fuzzes the export settings reader on whole settings containers.

#include <cstddef>
#include <cstdint>

#include "platform/movie/ExportSettings.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  (void)corvane::movie::readExportSettings({data, size});
  return 0;
}
