// Fuzzes the ID3 tag reader and the podcast lookup on arbitrary tag bytes:
// every frame must lie inside the tag, and the identifiers found must be
// valid UTF-8 and bounded by the frame limit.

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "FuzzSetup.h"
#include "media/Text.h"
#include "platform/id3/Id3Tag.h"
#include "platform/id3/Podcast.h"

namespace id3 = corvane::id3;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  corvane::fuzz::setUp();
  const auto header = id3::parseHeader({data, size});
  if (!header) return 0;
  const size_t bodySize = std::min<size_t>(header->bodySize, size - id3::kHeaderSize);
  const id3::StoredTag tag{
      *header, corvane::media::Bytes(data + id3::kHeaderSize, data + id3::kHeaderSize + bodySize)};
  tag.forEachFrame([&](const id3::Frame& frame) {
    if (frame.data.size() > frame.stored.size() || frame.stored.size() > bodySize) std::abort();
    (void)id3::inflate(frame, 1 << 20);
  });
  const auto ids = id3::findPodcastIds(tag);
  if (!ids) return 0;
  // UTF-16 text grows by half at most.
  for (const auto& text : {ids->episodeId, ids->channelUrl}) {
    if (text && (!corvane::media::isValidUtf8(*text) || text->size() >= 1500)) std::abort();
  }
  return 0;
}
