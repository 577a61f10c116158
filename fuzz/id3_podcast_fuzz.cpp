// Fuzzes the ID3 podcast reader on arbitrary file contents.

#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

#include "FuzzInputFile.h"
#include "FuzzSetup.h"
#include "media/Text.h"
#include "tags/UpdateID3Tag.h"

namespace {

const corvane::fuzz::FuzzInputFile input("input.mp3");

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  corvane::fuzz::setUp();
  if (!input.write(data, size)) return 0;
  const auto info = corvane::tags::UpdateID3Tag().podcastInfo(input.path());
  if (info) {
    // Entries are valid UTF-8 and bounded by the frame buffer (UTF-16 text grows by half at most).
    for (const auto& [key, value] : *info) {
      if (!corvane::media::isValidUtf8(value) || value.size() >= 1500) abort();
    }
  }
  return 0;
}
