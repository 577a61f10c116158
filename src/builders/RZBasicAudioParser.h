#pragma once

// The FLAC/Ogg service: a music record from the file's name and facts alone
// (no tags are read), with the play length measured by the audio stream
// library (platform/audio), which the host starts once before the first
// request. One request at a time per instance: it keeps the path of the
// request in progress.

#include <optional>
#include <string>

#include "media/MediaRecord.h"
#include "platform/file/InputFile.h"

namespace corvane::builders {

class RZBasicAudioParser {
 public:
  // none when there is no regular file at path (nothing is measured then).
  // A file that is not FLAC or Ogg by its extension, or that the library
  // cannot open (logged), gets a record without PlayLength and ReservedInt 9.
  std::optional<media::MediaRecord> build(const std::string& path);

  // True, with duration = the stream's seconds + 1.0, when path names FLAC
  // or Ogg by its extension (any case) and the library opens the stream
  // read from file; false otherwise, duration untouched.
  bool isSupportMedia(const std::string& path, const file::InputFile& file, double& duration);

 private:
  std::string mediaFilePath_;
};

}  // namespace corvane::builders
