// Fuzzes the MP4 service on whole files: the bytes are written to a .m4a
// file, built into a record and dumped to /dev/null.

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vips/vips8>

#include "builders/MP4Parser.h"

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

std::FILE* devNull() {
  static std::FILE* sink = std::fopen("/dev/null", "w");
  return sink;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char*** argv) {
  VIPS_INIT((*argv)[0]);
  const fs::path base = fs::is_directory("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
  std::string pattern = (base / "mp4-fuzz-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr || devNull() == nullptr) std::abort();
  workDir() = pattern;
  std::atexit(removeWorkDir);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string path = workDir() + "/input.m4a";
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  corvane::builders::MP4Parser parser;
  (void)parser.build(path);
  (void)parser.testMp4v2(path, devNull());
  return 0;
}
