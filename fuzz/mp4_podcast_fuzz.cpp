// Fuzzes the MP4 podcast reader on arbitrary file contents: a result holds
// both entries, each valid UTF-8 that fits the 2000-byte staging buffer.

#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

#include "media/Utf8.h"
#include "platform/log/Log.h"
#include "tags/MediaTag.h"
#include "tags/UpdateMP4Tag.h"

namespace {

const std::string& inputPath() {
  static const std::string path = [] {
    std::string pattern =
        std::filesystem::is_directory("/dev/shm") ? "/dev/shm/mp4p-fuzz-XXXXXX" : "/tmp/mp4p-fuzz-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) abort();
    static std::string dir = pattern;
    atexit([] { std::filesystem::remove_all(dir); });
    corvane::log::setSink([](std::string_view) {});  // a line per lookup without podcast items
    return dir + "/input.m4a";
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
  const auto info = corvane::tags::UpdateMP4Tag().podcastInfo(inputPath());
  if (!info) return 0;
  if (info->size() != 2 || !info->count(corvane::tags::kMediaTagPodcastEpisodeId) ||
      !info->count(corvane::tags::kMediaTagPodcastChannelUrl)) {
    abort();
  }
  for (const auto& [key, value] : *info) {
    if (!corvane::media::isValidUtf8(value) || value.size() >= 2000) abort();
  }
  return 0;
}
