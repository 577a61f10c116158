#include "tags/UpdateMP4Tag.h"

namespace corvane::tags {

// Placeholder until the MP4 metadata layer lands: nothing is written or read.
bool UpdateMP4Tag::updateTag(const std::string&, const media::MediaRecord&) { return false; }

std::optional<std::map<std::string, std::string>> UpdateMP4Tag::podcastInfo(const std::string&) {
  return std::nullopt;
}

}  // namespace corvane::tags
