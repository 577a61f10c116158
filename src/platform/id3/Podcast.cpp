#include "platform/id3/Podcast.h"

#include "media/Text.h"

namespace corvane::id3 {
namespace {

// A podcast frame as found; its content is copied out of the walk.
struct Found {
  media::Bytes data;
  bool readable = true;
};

std::optional<std::string> podcastText(const Found& frame) {
  media::ByteSpan data = frame.data;
  if (!frame.readable || data.size() >= kPodcastFrameLimit) return std::nullopt;
  const uint8_t encoding = data[0];
  if (encoding == 1 || encoding == 2) {
    data = data.subspan(1);
    return media::utf16ToUtf8(std::string_view(reinterpret_cast<const char*>(data.data()), data.size()),
                              encoding == 2 ? media::ByteOrder::BigEndian : media::ByteOrder::LittleEndian,
                              media::BadSurrogate::Reject);
  }
  if (encoding == 0 || encoding == 3) data = data.subspan(1);
  std::string text(reinterpret_cast<const char*>(data.data()), data.size());
  text.resize(std::min(text.size(), text.find('\0')));
  if (!media::isValidUtf8(text)) return std::nullopt;
  return text;
}

}  // namespace

std::optional<PodcastIds> findPodcastIds(const StoredTag& tag) {
  const bool shortIds = tag.header.majorVersion == 2;
  std::optional<Found> episode, channel;
  tag.forEachFrame([&](const Frame& frame) {
    const bool isEpisode = frame.id == (shortIds ? "TID" : "TGID");
    const bool isChannel = frame.id == (shortIds ? "WFD" : "WFED");
    if (!isEpisode && !isChannel) return;
    (isEpisode ? episode : channel) =
        Found{media::Bytes(frame.data.begin(), frame.data.end()), frame.readable()};
  });
  if (!episode || !channel || episode->data.empty() || channel->data.empty()) return std::nullopt;
  return PodcastIds{podcastText(*episode), podcastText(*channel)};
}

}  // namespace corvane::id3
