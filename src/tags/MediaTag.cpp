#include "tags/MediaTag.h"

#include <strings.h>

#include "media/MediaDBKeys.h"
#include "media/RZMediaTypeReader.h"
#include "tags/UpdateID3Tag.h"
#include "tags/UpdateMP4Tag.h"

namespace corvane::tags {
namespace {

// The record's media type code; an absent entry or one of another kind is 0.
int32_t mediaType(const media::MediaRecord& record) {
  const int32_t* code = record.get<int32_t>(media::MediaDBCommonColumnMediaType);
  return code ? *code : media::kMediaTypeUnknown;
}

bool isMp3Extension(const std::string& path) {
  const std::string_view ext = media::RZMediaTypeReader::extension(path);
  return ext.size() == 3 && ::strncasecmp(ext.data(), "mp3", 3) == 0;
}

}  // namespace

bool MediaTag::updateTag(const std::string& path, const media::MediaRecord& record) {
  switch (mediaType(record)) {
    case media::kMediaTypeM4A:
      return UpdateMP4Tag().updateTag(path, record);
    case media::kMediaTypeMP3:
      return UpdateID3Tag().updateTag(path, record);
    default:
      return false;
  }
}

std::optional<PodcastInfo> MediaTag::podcastInfo(const std::string& path) {
  if (isMp3Extension(path)) return UpdateID3Tag().podcastInfo(path);
  return UpdateMP4Tag().podcastInfo(path);
}

}  // namespace corvane::tags
