#include "tags/UpdateID3Tag.h"

#include <algorithm>
#include <string_view>
#include <vector>

#include "media/Genre.h"
#include "media/MediaDBKeys.h"
#include "media/Text.h"
#include "platform/file/CheckedFileStream.h"
#include "platform/file/InputFile.h"
#include "platform/file/SafeRewrite.h"
#include "platform/id3/Id3Tag.h"
#include "platform/id3/Podcast.h"
#include "platform/id3/TagWriter.h"
#include "platform/mpeg/MpegFrames.h"
#include "tags/MediaTag.h"

namespace corvane::tags {
namespace {

using media::MediaRecord;

// Text values are stored as at most this many UTF-16 code units.
constexpr size_t kMaxTextUnits = 2000;
// Room left after the frames, so that later edits by other tools fit.
constexpr size_t kPadding = 1024;
constexpr uint8_t kFrontCover = 3;

// What the record asks of the frames of one id: they all go, and a new one
// with content takes their place when there is content.
struct Edit {
  std::string_view id;
  std::optional<media::Bytes> content;
};

// text as at most kMaxTextUnits UTF-16 units; a pair that the limit would
// split is dropped whole.
std::u16string limitedUnits(const std::string& text) {
  std::u16string units = media::utf8ToUtf16(text);
  if (units.size() > kMaxTextUnits) {
    units.resize(kMaxTextUnits);
    if (units.back() >= 0xD800 && units.back() <= 0xDBFF) units.pop_back();
  }
  return units;
}

// For the five text fields an absent entry clears the field, like the null
// marker; a value that is no text changes nothing.
void editText(const MediaRecord& record, const char* key, std::string_view id, std::vector<Edit>& edits) {
  const media::MediaValue* value = record.find(key);
  if (value == nullptr || std::holds_alternative<media::NullMarker>(*value)) {
    edits.push_back({id, std::nullopt});
    return;
  }
  const std::string* text = std::get_if<std::string>(value);
  if (text == nullptr) return;
  const std::u16string units = limitedUnits(*text);
  if (units.empty()) {
    edits.push_back({id, std::nullopt});
  } else {
    edits.push_back({id, id == "COMM" ? id3::commentContent(units) : id3::utf16TextContent(units)});
  }
}

// A list name is stored as its number, "(17)"; any other text as itself.
void editGenre(const MediaRecord& record, std::vector<Edit>& edits) {
  const std::string* name = record.get<std::string>(media::MediaDBMusicColumnGenre);
  if (name == nullptr) return;
  if (name->empty()) {
    edits.push_back({"TCON", std::nullopt});
    return;
  }
  const int number = media::findGenreNo(*name);
  edits.push_back({"TCON", number >= 0 ? id3::latin1TextContent("(" + std::to_string(number) + ")")
                                       : id3::utf16TextContent(media::utf8ToUtf16(*name))});
}

// The track is stored as the low 8 bits of the number, with no total. A
// result of 0 is no track number, and the null marker carries no number:
// both leave the track as it was, as does an absent entry.
void editTrack(const MediaRecord& record, std::vector<Edit>& edits) {
  const media::MediaValue* value = record.find(media::MediaDBMusicColumnTrackNo);
  // Text numbers wrap at 32 bits, as a 32-bit accumulator does.
  const std::optional<int64_t> number =
      value ? media::integerValue(*value, media::Overflow::Wrap) : std::nullopt;
  if (!number) return;
  const unsigned track = static_cast<unsigned>(static_cast<uint64_t>(*number) & 0xFF);
  if (track != 0) edits.push_back({"TRCK", id3::latin1TextContent(std::to_string(track))});
}

// Picture bytes are stored as given, labelled JPEG whatever they hold.
void editPicture(const MediaRecord& record, std::vector<Edit>& edits) {
  const media::MediaValue* value = record.find(media::MediaDBMusicColumnAlbumArt);
  if (value == nullptr) return;
  if (std::holds_alternative<media::NullMarker>(*value)) {
    edits.push_back({"APIC", std::nullopt});
    return;
  }
  const auto* bytes = std::get_if<media::Bytes>(value);
  if (bytes == nullptr || bytes->empty() || bytes->size() >= id3::kMaxBodySize) return;
  edits.push_back({"APIC", id3::pictureContent("image/jpeg", kFrontCover, *bytes)});
}

std::vector<Edit> editsOf(const MediaRecord& record) {
  std::vector<Edit> edits;
  editText(record, media::MediaDBMusicColumnTitle, "TIT2", edits);
  editText(record, media::MediaDBMusicColumnAlbum, "TALB", edits);
  editText(record, media::MediaDBMusicColumnArtist, "TPE1", edits);
  editText(record, media::MediaDBCommonColumnReservedText, "COMM",
           edits);  // every comment, whatever its description
  editText(record, media::MediaDBMusicColumnComposer, "TCOM", edits);
  editGenre(record, edits);
  editTrack(record, edits);
  editPicture(record, edits);
  return edits;
}

media::ByteSpan bytesOf(const TagLib::ByteVector& v) {
  return {reinterpret_cast<const uint8_t*>(v.data()), static_cast<size_t>(v.size())};
}

// Applies record to the leading ID3v2 tag of the file open on fd, in place:
// the frames of the fields it edits are replaced, every other frame carried
// over. Only for the private copy of a safe rewrite.
bool writeTagInto(int fd, const MediaRecord& record) {
  file::CheckedFileStream stream(fd);
  if (!stream.isOpen()) return false;
  const std::optional<id3::TagHeader> header = id3::parseHeader(bytesOf(stream.readBlock(id3::kHeaderSize)));
  const std::vector<Edit> edits = editsOf(record);
  const int version = id3::carriedVersion(header);
  std::vector<media::Bytes> frames;
  unsigned long oldSize = 0;
  // Only a tag at the very start is the file's tag; anything else is left to the audio.
  if (header) {
    oldSize = static_cast<unsigned long>(std::min<uint64_t>(header->totalSize(), stream.length()));
    const TagLib::ByteVector body = stream.readBlock(header->bodySize);
    id3::forEachFrame(*header, bytesOf(body), [&](const id3::Frame& frame) {
      const std::string_view id = header->majorVersion == 2 ? id3::v23Id(frame.id) : frame.id;
      if (std::none_of(edits.begin(), edits.end(), [&](const Edit& e) { return e.id == id; })) {
        frames.push_back(id3::carryFrame(*header, frame));
      }
    });
  }
  for (const Edit& edit : edits) {
    if (edit.content) frames.push_back(id3::renderFrame(version, edit.id, *edit.content));
  }
  const std::optional<media::Bytes> tag =
      frames.empty() ? media::Bytes() : id3::renderTag(version, frames, kPadding);
  if (!tag || stream.failed()) return false;
  stream.insert(
      TagLib::ByteVector(reinterpret_cast<const char*>(tag->data()), static_cast<unsigned>(tag->size())), 0,
      oldSize);
  return !stream.failed();
}

std::optional<std::string> resolvePath(const std::string& path, const MediaRecord& record) {
  if (!path.empty()) return path;
  const std::string* fromRecord = record.get<std::string>(media::MediaDBCommonColumnFilePath);
  if (fromRecord != nullptr && !fromRecord->empty()) return *fromRecord;
  return std::nullopt;
}

// MPEG audio begins with its ID3v2 tag or with its first frame. Anything
// else (an MP4 file, a picture) would be damaged by a tag put before it.
bool isMpegAudio(const file::InputFile& file) {
  const std::optional<media::Bytes> head = file.readSome(0, id3::kHeaderSize);
  return head && (id3::parseHeader(*head) || mpeg::parseFrameHeader(*head));
}

}  // namespace

bool UpdateID3Tag::updateTag(const std::string& path, const MediaRecord& record) {
  const std::optional<std::string> target = resolvePath(path, record);
  const std::optional<file::InputFile> input = target ? file::InputFile::open(*target) : std::nullopt;
  if (!input || !isMpegAudio(*input)) return false;
  return file::safeRewrite(*input, *target, [&record](int copy) { return writeTagInto(copy, record); });
}

std::optional<std::map<std::string, std::string>> UpdateID3Tag::podcastInfo(const std::string& path) {
  const std::optional<file::InputFile> input = file::InputFile::open(path);
  const std::optional<id3::StoredTag> tag = input ? id3::readLeadingTag(*input) : std::nullopt;
  const std::optional<id3::PodcastIds> ids = tag ? id3::findPodcastIds(*tag) : std::nullopt;
  if (!ids) return std::nullopt;
  std::map<std::string, std::string> info;
  if (ids->episodeId) info[kMediaTagPodcastEpisodeId] = *ids->episodeId;
  if (ids->channelUrl) info[kMediaTagPodcastChannelUrl] = *ids->channelUrl;
  return info;
}

}  // namespace corvane::tags
