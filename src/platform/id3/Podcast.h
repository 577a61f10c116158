#pragma once

// The podcast identifiers of an ID3v2 tag: the episode id (TGID, in v2.2
// tags TID) and the channel feed URL (WFED, in v2.2 tags WFD). Pure
// functions: any thread.

#include <optional>
#include <string>

#include "platform/id3/Id3Tag.h"

namespace corvane::id3 {

// A podcast frame's content is read only when it and a terminating zero fit
// this many bytes; a cut identifier or URL would be a wrong one.
inline constexpr size_t kPodcastFrameLimit = 1000;

struct PodcastIds {
  // Each is none when its frame cannot be read as text: too long for the
  // limit, compressed or encrypted, or not UTF-8 (UTF-16 text with a
  // stray surrogate counts as not text either).
  std::optional<std::string> episodeId;
  std::optional<std::string> channelUrl;
};

// The identifiers of the tag; none unless it has both frames with content
// (the last frame of each kind counts). A leading text-encoding byte is
// honoured; without one the content is the text itself. A text ends at its
// first zero.
std::optional<PodcastIds> findPodcastIds(const StoredTag& tag);

}  // namespace corvane::id3
