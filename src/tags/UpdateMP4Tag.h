#pragma once

// The MP4 (iTunes-style metadata) tag writer and podcast reader. Created per
// request by MediaTag; holds no state, so separate instances (or calls) may
// run on different threads at once.

#include <map>
#include <optional>
#include <string>

#include "media/MediaRecord.h"

namespace corvane::tags {

class UpdateMP4Tag {
 public:
  // Rewrites the metadata of the M4A file at path ("" = the record's
  // "FilePath") from record: the texts given (Title, Album, Artist,
  // AlbumArtist, Composer, Genre, DateReleased) are set, the null marker and
  // absent entries leave them; TrackNo and DiscNo set the index (cut to 16
  // bits) and keep a larger total; AlbumArt picture bytes are re-encoded as
  // JPEG and replace the first artwork (or become the only one), the null
  // marker removes the first artwork, an absent entry keeps them all. The
  // file is replaced only by a complete, flushed rewrite; the audio stays.
  // False, with the file unchanged, when it cannot be opened for change as
  // an MP4 file, the MP4 layer refuses to store into it (a file the writer
  // library would write past), or the rewrite fails. A record that changes
  // nothing succeeds without writing.
  bool updateTag(const std::string& path, const media::MediaRecord& record);

  // The episode id ('egid') and channel URL ('purl') of the file's metadata,
  // each a UTF-8 value of 1 to 1999 bytes (read up to its first zero byte;
  // longer values are passed over). None unless both are there.
  std::optional<std::map<std::string, std::string>> podcastInfo(const std::string& path);
};

}  // namespace corvane::tags
