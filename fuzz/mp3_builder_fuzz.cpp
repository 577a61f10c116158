// Fuzzes the MP3 service on whole files: the bytes are written to a .mp3
// file and built, through TagLib, the frame walker, the picture decoder and,
// for files without MPEG frames, the movie layer.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vips/vips8>

#include "FuzzInputFile.h"
#include "FuzzSetup.h"
#include "builders/MP3Parser.h"
#include "media/Text.h"

namespace {
const corvane::fuzz::FuzzInputFile input("input.mp3");
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  corvane::fuzz::setUp();
  if (!input.write(data, size)) return 0;
  const auto record = corvane::builders::MP3Parser().build(input.path());
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
