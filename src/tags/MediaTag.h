#pragma once

// The tag service: picks the writer for a request and hands it on unchanged.
// Keeps no state; any number of calls may run at once.

#include <map>
#include <optional>
#include <string>

#include "media/MediaRecord.h"

namespace corvane::tags {

// Keys of the podcast info record.
inline constexpr const char* kMediaTagPodcastEpisodeId = "kMediaTagPodcastEpisodeId";
inline constexpr const char* kMediaTagPodcastChannelUrl = "kMediaTagPodcastChannelUrl";

using PodcastInfo = std::map<std::string, std::string>;

class MediaTag {
 public:
  // Rewrites the tags of the file at path ("" = the record's "FilePath") from
  // record, by the writer that the record's "MediaType" code names: MP3 ->
  // ID3, M4A -> MP4. Any other code, or none, gives false and touches nothing.
  bool updateTag(const std::string& path, const media::MediaRecord& record);

  // The podcast identifiers of the file: read as ID3 when path's extension is
  // "mp3" (any case), else as MP4. None when the file does not hold them.
  std::optional<PodcastInfo> podcastInfo(const std::string& path);
};

}  // namespace corvane::tags
