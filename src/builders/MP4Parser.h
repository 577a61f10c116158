#pragma once

// The MP4 service: turns an MP4 family file (MP4, M4A, M4V...) into a media
// record: iTunes-style tags, genre, track and disc, an album-art thumbnail of
// the first cover, the first audio track's play length, time scale and bit
// rate, the file's own facts and the catalogue defaults. Keeps no state
// between calls.

#include <cstdio>
#include <optional>
#include <string>

#include "media/MediaRecord.h"

namespace corvane::builders {

class MP4Parser {
 public:
  // The record of the file at path; none (and the line "MP4Parser file open
  // fail") when it cannot be opened as an MP4 file.
  std::optional<media::MediaRecord> build(const std::string& path);

  // Diagnosis: prints every tag of the file, one "field: value" line each, to
  // out and returns 0; prints "MP4Modify failed" and returns 1 when the file
  // cannot be opened for change. Nothing is written to the file.
  int testMp4v2(const std::string& path, std::FILE* out = stdout);
};

}  // namespace corvane::builders
