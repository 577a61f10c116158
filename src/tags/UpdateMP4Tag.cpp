#include "tags/UpdateMP4Tag.h"

#include <array>
#include <cstring>

#include "media/Log.h"
#include "media/MediaDBKeys.h"
#include "media/Text.h"
#include "platform/file/CheckedFileStream.h"
#include "platform/file/InputFile.h"
#include "platform/file/SafeRewrite.h"
#include "platform/imaging/Encoding.h"
#include "platform/imaging/Picture.h"
#include "platform/mp4/Mp4File.h"
#include "tags/MediaTag.h"

namespace corvane::tags {
namespace {

using media::MediaRecord;
using media::MediaValue;

// The JPEG encoder's usual default: artwork is a cover, not an archive copy.
constexpr float kArtworkJpegQuality = 0.75f;
// Podcast values are staged in a buffer of this size with a terminating zero,
// so the longest value taken is one byte less.
constexpr size_t kPodcastBufferSize = 2000;

void logOpenFail(const std::string& path) { log::line("MP4Tag file open fail " + log::shown(path)); }

// A text given is stored as it is (up to a zero byte, which no text item
// can hold); an absent entry, the null marker or a value of another kind
// leaves the item as it was.
void applyText(mp4::Tags& tags, const MediaRecord& record) {
  for (const mp4::WritableText& text : mp4::kWritableTexts) {
    if (const std::string* value = record.get<std::string>(text.recordKey)) {
      tags.*(text.field) = media::toValidUtf8(value->substr(0, value->find('\0')));
    }
  }
}

// The new index is the number cut to 16 bits. The file's total is kept when
// it is larger than the new index; otherwise the index is its own total.
void applyIndex(std::optional<mp4::IndexTotal>& entry, const MediaRecord& record, const char* key) {
  const MediaValue* value = record.find(key);
  // Text numbers saturate at the 32-bit range, as a number-from-text conversion does.
  const std::optional<int64_t> number =
      value ? media::integerValue(*value, media::Overflow::Saturate) : std::nullopt;
  if (!number) return;
  const auto index = static_cast<uint16_t>(static_cast<uint64_t>(*number) & 0xFFFF);
  const uint16_t total = entry && entry->total > index ? entry->total : index;
  entry = mp4::IndexTotal{index, total};
}

// What the record asks of the artwork list.
struct ArtworkChange {
  std::optional<media::Bytes> jpeg;  // replaces the first artwork, or is added to none
  bool removeFirst = false;
};

std::optional<media::Bytes> reencodeAsJpeg(const media::Bytes& bytes) {
  const std::optional<imaging::Picture> picture = imaging::Picture::fromBytes(bytes);
  if (!picture) return std::nullopt;
  try {
    return imaging::encodeJpeg(*picture, kArtworkJpegQuality, std::nullopt);
  } catch (const imaging::ImagingError&) {
    return std::nullopt;
  }
}

// Picture bytes are re-encoded as JPEG; bytes that do not decode or encode
// change nothing. The null marker removes the first artwork. An absent entry
// keeps every artwork: a record that does not mention the picture must not
// cost the file its cover.
ArtworkChange artworkChange(const MediaRecord& record) {
  const MediaValue* value = record.find(media::MediaDBMusicColumnAlbumArt);
  if (value == nullptr) return {};
  if (std::holds_alternative<media::NullMarker>(*value)) return {std::nullopt, true};
  if (const auto* bytes = std::get_if<media::Bytes>(value)) return {reencodeAsJpeg(*bytes), false};
  return {};
}

void applyArtwork(mp4::Tags& tags, const ArtworkChange& change) {
  if (change.jpeg) {
    mp4::Artwork artwork{*change.jpeg, mp4::ArtworkType::Jpeg};
    if (tags.artworks.empty()) {
      tags.addArtwork(std::move(artwork));
    } else {
      tags.setArtwork(0, std::move(artwork));
    }
  } else if (change.removeFirst) {
    tags.removeArtwork(0);  // further artworks stay
  }
}

mp4::Tags updatedTags(mp4::Tags tags, const MediaRecord& record, const ArtworkChange& artwork) {
  applyText(tags, record);
  applyIndex(tags.track, record, media::MediaDBMusicColumnTrackNo);
  applyIndex(tags.disk, record, media::MediaDBMusicColumnDiscNo);
  applyArtwork(tags, artwork);
  return tags;
}

std::string resolvePath(const std::string& path, const MediaRecord& record) {
  if (!path.empty()) return path;
  const std::string* fromRecord = record.get<std::string>(media::MediaDBCommonColumnFilePath);
  return fromRecord ? *fromRecord : std::string();
}

// A podcast value: 1 to 1999 bytes, read as a zero-terminated UTF-8 text.
// Longer or empty values are passed over (nullopt), an undecodable one
// reads as "no value" (an empty optional inside).
std::optional<std::optional<std::string>> podcastValue(const mp4::DataElement& element,
                                                       std::array<char, kPodcastBufferSize>& buffer) {
  const size_t size = element.bytes.size();
  if (size < 1 || size >= kPodcastBufferSize) return std::nullopt;
  std::memcpy(buffer.data(), element.bytes.data(), size);
  buffer[size] = '\0';
  const std::string text(buffer.data());
  if (!media::isValidUtf8(text)) return std::optional<std::string>();
  return std::optional<std::string>(text);
}

}  // namespace

bool UpdateMP4Tag::updateTag(const std::string& path, const MediaRecord& record) {
  const std::string target = resolvePath(path, record);
  // Opened once: what is read, checked and copied is this one file, even if
  // the path is swapped meanwhile (the rewrite then refuses to replace it).
  const std::optional<file::InputFile> input = file::InputFile::open(target);
  const std::optional<mp4::Mp4File> original = input ? mp4::Mp4File::read(*input) : std::nullopt;
  if (!original || !input->writable()) {
    logOpenFail(target);
    return false;
  }
  const mp4::Tags updated = updatedTags(original->tags(), record, artworkChange(record));
  // A record that changes nothing leaves the file (and its inode) alone.
  if (updated == original->tags()) return true;
  // The copy's own tags get the changes, written through a stream that
  // notices any write that did not land; the original is never written.
  return file::safeRewrite(*input, target, [&original, &updated](int copyFd) {
    file::CheckedFileStream stream(copyFd);
    mp4::Mp4File copy = *original;
    return stream.isOpen() && copy.store(updated, stream) && !stream.failed();
  });
}

std::optional<std::map<std::string, std::string>> UpdateMP4Tag::podcastInfo(const std::string& path) {
  const std::optional<mp4::Mp4File> file = mp4::Mp4File::openRead(path);
  if (!file) {
    logOpenFail(path);
    return std::nullopt;
  }
  // One staging buffer per lookup, so lookups never share it.
  std::array<char, kPodcastBufferSize> buffer{};
  std::optional<std::string> episode, channel;
  for (const mp4::MetadataItem& item : file->items()) {
    if (item.data.empty()) continue;
    const bool isChannel = item.code == "purl";
    if (!isChannel && item.code != "egid") continue;
    // A later item of the same code replaces an earlier one.
    if (auto value = podcastValue(item.data.front(), buffer)) (isChannel ? channel : episode) = *value;
  }
  if (!episode || !channel) {
    log::line("MP4Tag no podcast info " + log::shown(path));
    return std::nullopt;
  }
  return std::map<std::string, std::string>{{kMediaTagPodcastEpisodeId, *episode},
                                            {kMediaTagPodcastChannelUrl, *channel}};
}

}  // namespace corvane::tags
