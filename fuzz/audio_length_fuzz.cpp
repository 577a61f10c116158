// Fuzzes the audio stream library's measure of FLAC and Ogg streams: the
// first byte picks the kind, the rest is the stream, opened from memory.

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "FuzzSetup.h"
#include "platform/audio/AudioStreams.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace corvane;
  fuzz::setUp();
  static const bool started = audio::init(-1, 44100, 0, nullptr, nullptr);
  (void)started;
  if (size < 1) return 0;
  const bool flac = data[0] & 1;
  const audio::StreamHandle stream =
      flac ? audio::flacStreamCreateFile(true, data + 1, 0, size - 1, audio::kStreamAutoFree)
           : audio::streamCreateFile(true, data + 1, 0, size - 1, audio::kStreamAutoFree);
  if (stream == 0) {
    if (audio::errorGetCode() == audio::kOk) std::abort();
    return 0;
  }
  const uint64_t bytes = audio::channelGetLength(stream, audio::kLengthInBytes);
  if (bytes == UINT64_MAX || audio::channelBytes2Seconds(stream, bytes) < 0) std::abort();
  if (!audio::streamFree(stream)) std::abort();
  return 0;
}
