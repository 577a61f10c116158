// Fuzzes the MP3 service on whole files: the bytes are written to a .mp3
// file and built, through TagLib, the frame walker, the picture decoder and,
// for files without MPEG frames, the movie layer.

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vips/vips8>

#include "builders/MP3Parser.h"
#include "media/Utf8.h"

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
  std::string pattern = (base / "mp3-fuzz-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) std::abort();
  workDir() = pattern;
  std::atexit(removeWorkDir);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string path = workDir() + "/input.mp3";
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  const auto record = corvane::builders::MP3Parser().build(path);
  if (record) {
    // Every text of the record must be able to travel as a D-Bus string.
    for (const auto& [key, value] : *record) {
      if (const auto* text = std::get_if<std::string>(&value); text && !corvane::media::isValidUtf8(*text)) {
        std::abort();
      }
    }
  }
  return 0;
}
