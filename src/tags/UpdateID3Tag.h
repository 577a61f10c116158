#pragma once

// The ID3v2 tag writer for MP3 files and their podcast reader. Created per
// request by MediaTag; holds no state, so separate instances (or calls) may
// run on different threads at once.

#include <map>
#include <optional>
#include <string>

#include "media/MediaRecord.h"

namespace corvane::tags {

class UpdateID3Tag {
 public:
  // Rewrites the ID3v2 tag of the file at path ("" = the record's "FilePath")
  // from record. Only the frames of the eight fields the record speaks for
  // (title, album, artist, comment, composer, genre, track, picture) change;
  // every other frame is kept byte for byte. A v2.4 tag stays v2.4; a v2.3
  // tag, a v2.2 tag (its frames in their v2.3 form) or a new one is written
  // as v2.3. An ID3v1 tag and the audio stay byte for byte. The file is
  // replaced only by a complete, flushed rewrite. False, with the file
  // unchanged, when there is no path or file, when the file is no MPEG audio
  // (it begins with neither an ID3v2 tag nor an MPEG frame header), or when
  // the rewrite fails.
  bool updateTag(const std::string& path, const media::MediaRecord& record);

  // The episode id (TGID, v2.2 TID) and channel URL (WFED, v2.2 WFD) of the
  // file's ID3v2 tag. None when the file has no tag or lacks either frame; a
  // record without an entry whose frame cannot be read as text (1000 bytes of
  // data or more, compressed, or not UTF-8).
  std::optional<std::map<std::string, std::string>> podcastInfo(const std::string& path);
};

}  // namespace corvane::tags
