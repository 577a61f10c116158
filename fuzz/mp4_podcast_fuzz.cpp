// Fuzzes the MP4 podcast reader on arbitrary file contents: a result holds
// both entries, each valid UTF-8 that fits the 2000-byte staging buffer.

#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzInputFile.h"
#include "FuzzSetup.h"
#include "media/Text.h"
#include "tags/MediaTag.h"
#include "tags/UpdateMP4Tag.h"

namespace {

const corvane::fuzz::FuzzInputFile input("input.m4a");

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  corvane::fuzz::setUp();
  if (!input.write(data, size)) return 0;
  const auto info = corvane::tags::UpdateMP4Tag().podcastInfo(input.path());
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
