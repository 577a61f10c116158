// Fuzzes the movie layer's opening and track inspection: the bytes are
// written to a file, opened as a movie, and every attribute, track and
// check the AV service reads is read.

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "FuzzInputFile.h"
#include "FuzzSetup.h"
#include "builders/CheckValidate.h"
#include "media/Text.h"
#include "platform/movie/Movie.h"

namespace {
const corvane::fuzz::FuzzInputFile input("input.mov");
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace corvane;
  fuzz::setUp();
  if (!input.write(data, size)) return 0;
  const auto file = file::InputFile::open(input.path());
  if (!file) return 0;
  const movie::OpenResult opened = movie::Movie::open(*file, "input.mov");
  if (!opened.movie) return 0;
  const movie::Movie& m = *opened.movie;
  // Texts must be able to travel as D-Bus strings.
  if (!media::isValidUtf8(m.displayName())) std::abort();
  (void)m.duration(), (void)m.hasAudio(), (void)m.hasVideo(), (void)m.naturalSize();
  (void)m.creationTime(), (void)m.modificationTime(), (void)m.firstAudioSampleRate();
  for (const movie::Track& track : m.tracks()) {
    if (track.mediaType == 0) std::abort();
  }
  (void)builders::validateMedia(m);
  (void)builders::isAlacAudio(m);
  return 0;
}
