// Fuzzes the ID3 podcast reader on arbitrary file contents.

#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

#include "media/Utf8.h"
#include "tags/UpdateID3Tag.h"

namespace {

const std::string& inputPath() {
  static const std::string path = [] {
    std::string pattern =
        std::filesystem::is_directory("/dev/shm") ? "/dev/shm/id3p-fuzz-XXXXXX" : "/tmp/id3p-fuzz-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) abort();
    static std::string dir = pattern;
    atexit([] { std::filesystem::remove_all(dir); });
    return dir + "/input.mp3";
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
  const auto info = corvane::tags::UpdateID3Tag().podcastInfo(inputPath());
  if (info) {
    // Entries are valid UTF-8 and bounded by the frame buffer (UTF-16 text grows by half at most).
    for (const auto& [key, value] : *info) {
      if (!corvane::media::isValidUtf8(value) || value.size() >= 1500) abort();
    }
  }
  return 0;
}
