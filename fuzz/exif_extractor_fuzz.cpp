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

#include "image/ExifExtractor.h"
#include "platform/ipc/ExifInfoCodec.h"

namespace {

// One directory per process, in memory when /dev/shm is there, so that runs
// in parallel do not share a file and the disk is spared.
const std::string& inputPath() {
  static const std::string path = [] {
    std::string pattern =
        std::filesystem::is_directory("/dev/shm") ? "/dev/shm/exif-fuzz-XXXXXX" : "/tmp/exif-fuzz-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) abort();
    static std::string dir = pattern;
    atexit([] { std::filesystem::remove_all(dir); });
    return dir + "/input.jpg";
  }();
  return path;
}

bool writeInput(const uint8_t* data, size_t size) {
  FILE* file = std::fopen(inputPath().c_str(), "wb");
  if (file == nullptr) return false;
  const bool written = size == 0 || std::fwrite(data, 1, size, file) == size;
  return std::fclose(file) == 0 && written;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (!writeInput(data, size)) return 0;
  const auto info = corvane::image::ExifExtractor().extractExif(inputPath());
  if (info) {
    const auto wire = corvane::ipc::toWire(*info);
    const auto back = corvane::ipc::exifInfoFromWire(wire);
    // Texts may be repaired on the way out, but the numbers must survive.
    if (back.versionNumber() != info->versionNumber() || back.date() != info->date()) abort();
  }
  return 0;
}
