#pragma once

// The AV service: describes any file the movie layer opens (MOV, MP4, AVI,
// MPEG, WAV, AIFF...). Every record gets the file-level keys; a movie with
// video gets the video keys (codecs, size, duration and a thumbnail of one
// frame) when every enabled track can be decoded; audio without video gets
// the music keys; Apple Lossless audio is refused with a log line.
//
// The movie is opened and released on the main thread (through the
// installed executor) while the calling thread waits, and the movie layer's
// enter/exit bracket surrounds every use of it on the calling thread. One
// request at a time per instance: the instance keeps the movie of the build
// in progress and the path of the last build.

#include <optional>
#include <string>

#include "media/MediaRecord.h"
#include "platform/movie/Movie.h"

namespace corvane::builders {

class QuickTimeAVParser {
 public:
  // Always a record: empty for an empty path, the file-level keys alone when
  // the file is no movie, is damaged (logged), holds Apple Lossless audio
  // (logged), has neither audio nor video, or has video that cannot be
  // decoded.
  std::optional<media::MediaRecord> build(const std::string& path);

 private:
  void parseVideo(media::MediaRecord& record);
  void parseAudio(media::MediaRecord& record, const std::optional<uint64_t>& fileSize);

  std::optional<movie::Movie> movie_;
  std::string mediaFilePath_;
};

}  // namespace corvane::builders
