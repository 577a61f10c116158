#include "builders/CheckValidate.h"

#include <algorithm>

namespace corvane::builders {

namespace {

using movie::findComponent;
using movie::FourCC;

bool passes(const movie::Track& track) {
  if (track.mediaType == movie::kMediaVideo || track.mediaType == movie::kMediaSound) {
    if (!track.dataFormat) return true;  // no sample description: nothing to ask about
    const FourCC format = *track.dataFormat;
    if (track.mediaType == movie::kMediaVideo) return findComponent(movie::kImageDecompressor, format);
    return findComponent(movie::kSoundDecompressor, format) || findComponent(movie::kAudioDecoder, format);
  }
  return findComponent(movie::kMediaHandler, track.mediaType);
}

}  // namespace

bool validateMedia(const movie::Movie& movie) {
  const auto& tracks = movie.tracks();
  return std::all_of(tracks.begin(), tracks.end(),
                     [](const movie::Track& track) { return !track.enabled || passes(track); });
}

bool isAlacAudio(const movie::Movie& movie) {
  const auto& tracks = movie.tracks();
  return std::any_of(tracks.begin(), tracks.end(), [](const movie::Track& track) {
    return track.enabled && track.mediaType == movie::kMediaSound &&
           track.dataFormat == movie::kFormatAppleLossless;
  });
}

}  // namespace corvane::builders
