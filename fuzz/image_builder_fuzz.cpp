// Fuzzes the picture service on whole files: the bytes are written to a .jpg
// file (so that the EXIF pass runs too) and built and thumbnailed.

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vips/vips8>

#include "image/UnifiedImageInfoBuilder.h"

namespace fs = std::filesystem;

namespace {

// A directory of this process's own, in memory when /dev/shm exists.
std::string& workDir() {
  static std::string dir;
  return dir;
}

void removeWorkDir() {
  std::error_code ignored;
  if (!workDir().empty()) fs::remove_all(workDir(), ignored);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char*** argv) {
  VIPS_INIT((*argv)[0]);
  const fs::path base = fs::is_directory("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
  std::string pattern = (base / "ib-fuzz-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) std::abort();
  workDir() = pattern;
  std::atexit(removeWorkDir);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string path = workDir() + "/input.jpg";
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  corvane::image::UnifiedImageInfoBuilder builder;
  (void)builder.build(path);
  (void)builder.makeThumbnail(path, 64.0f, 48.0f);
  return 0;
}
