#pragma once

// The fuzzed bytes as a file, for the services that take a path. Each process
// writes into a directory of its own (in memory when /dev/shm is there), so
// parallel runs never share a file and the disk is spared; the directory goes
// away when the process ends.

#include <stdlib.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace corvane::fuzz {

class FuzzInputFile {
 public:
  // fileName carries the extension the service looks at, e.g. "input.mp3".
  explicit FuzzInputFile(const std::string& fileName) : path_(directory() + "/" + fileName) {}

  const std::string& path() const { return path_; }

  bool write(const uint8_t* data, size_t size) const {
    std::FILE* file = std::fopen(path_.c_str(), "wb");
    if (file == nullptr) return false;
    const bool written = size == 0 || std::fwrite(data, 1, size, file) == size;
    return std::fclose(file) == 0 && written;
  }

  std::vector<uint8_t> read() const {
    std::ifstream in(path_, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }

 private:
  static const std::string& directory() {
    static const std::string dir = [] {
      namespace fs = std::filesystem;
      const fs::path base = fs::is_directory("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
      std::string pattern = (base / "corvane-fuzz-XXXXXX").string();
      if (mkdtemp(pattern.data()) == nullptr) abort();
      return pattern;
    }();
    static const int cleanup = atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(dir, ignored);
    });
    (void)cleanup;
    return dir;
  }

  std::string path_;
};

}  // namespace corvane::fuzz
