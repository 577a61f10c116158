#pragma once

// The MP3 service: turns an MP3 file into a media record (tag texts, genre,
// track, album-art thumbnail, play length, bit rate and sampling frequency).
// The file is opened once; the ID3v2 tag is read by the id3 layer, an ID3v1
// or APE tag (only without ID3v2) and a Xing/VBRI header through TagLib on
// the same open file, and timing comes from the MPEG frames. Only a file
// without any is measured as a movie. Keeps no state between calls.

#include <cstdint>
#include <optional>
#include <string>

#include "media/MediaRecord.h"

namespace corvane::builders {

class MP3Parser {
 public:
  // The record of the file at path, whatever its extension; none when there
  // is no regular file there, or when it has no MPEG frames and cannot be
  // opened as a movie either.
  std::optional<media::MediaRecord> build(const std::string& path);
};

// Play length and bit rate measured from a movie's duration, for files without
// MPEG header information. Both none when the duration is not positive.
struct DurationTiming {
  std::optional<int32_t> playLengthSeconds;
  std::optional<int32_t> bitrateKbps;
};
DurationTiming timingFromDuration(double durationSeconds, double fileBytes);

}  // namespace corvane::builders
