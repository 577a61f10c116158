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
  // from record and saves it as ID3v2.3; an ID3v1 tag and the audio stay byte
  // for byte. The file is replaced only by a complete, flushed rewrite.
  // False when there is no path or file, or when the rewrite fails (the file
  // is then unchanged).
  bool updateTag(const std::string& path, const media::MediaRecord& record);

  // The episode id (TGID, v2.2 TID) and channel URL (WFED, v2.2 WFD) of the
  // file's ID3v2 tag. None when the file has no tag or lacks either frame; a
  // record without an entry whose frame cannot be read as text (1000 bytes of
  // data or more, compressed, or not UTF-8).
  std::optional<std::map<std::string, std::string>> podcastInfo(const std::string& path);

  // The edit step of updateTag: applies record to the ID3v2 tag of the file
  // at filePath, in place. Callers that are not editing a private copy must
  // use updateTag instead.
  static bool writeTagInto(const std::string& filePath, const media::MediaRecord& record);
};

}  // namespace corvane::tags
