#pragma once

// The MP4 (iTunes-style metadata) tag writer and podcast reader. Created per
// request by MediaTag.

#include <map>
#include <optional>
#include <string>

#include "media/MediaRecord.h"

namespace corvane::tags {

class UpdateMP4Tag {
 public:
  bool updateTag(const std::string& path, const media::MediaRecord& record);
  std::optional<std::map<std::string, std::string>> podcastInfo(const std::string& path);
};

}  // namespace corvane::tags
