#include "tags/UpdateMP4Tag.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "media/Log.h"
#include "media/MediaDBKeys.h"
#include "media/Text.h"
#include "platform/file/CheckedFileStream.h"
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

using TextField = std::optional<std::string> mp4::Tags::*;

struct TextKey {
  const char* key;
  TextField field;
};

constexpr std::array<TextKey, 7> kTextKeys{{
    {media::MediaDBMusicColumnTitle, &mp4::Tags::name},
    {media::MediaDBMusicColumnAlbum, &mp4::Tags::album},
    {media::MediaDBMusicColumnArtist, &mp4::Tags::artist},
    {media::MediaDBMusicColumnAlbumArtist, &mp4::Tags::albumArtist},
    {media::MediaDBMusicColumnComposer, &mp4::Tags::composer},
    {media::MediaDBMusicColumnGenre, &mp4::Tags::genre},
    {media::MediaDBMusicColumnDateReleased, &mp4::Tags::releaseDate},
}};

void logOpenFail(const std::string& path) {
  log::line(log::format("MP4Tag file open fail %s", path.c_str()));
}

// A text given is stored as it is (up to a zero byte, which no text item
// can hold); an absent entry, the null marker or a value of another kind
// leaves the item as it was.
void applyText(mp4::Tags& tags, const MediaRecord& record) {
  for (const TextKey& text : kTextKeys) {
    if (const std::string* value = record.get<std::string>(text.key)) {
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

// Whether written holds every change that was asked for (requested where it
// differs from before). Fields left alone are not compared: the library
// normalises some of them when it saves (a numeric genre becomes text,
// invalid UTF-8 is replaced).
bool holdsRequestedChanges(const mp4::Tags& written, const mp4::Tags& requested, const mp4::Tags& before) {
  for (const TextKey& text : kTextKeys) {
    const TextField field = text.field;
    if (requested.*field != before.*field && written.*field != requested.*field) return false;
  }
  if (requested.track != before.track && written.track != requested.track) return false;
  if (requested.disk != before.disk && written.disk != requested.disk) return false;
  const auto sameData = [](const mp4::Artwork& a, const mp4::Artwork& b) { return a.data == b.data; };
  return requested.artworks == before.artworks ||
         std::equal(written.artworks.begin(), written.artworks.end(), requested.artworks.begin(),
                    requested.artworks.end(), sameData);
}

// The edit step: the copy's own tags get the record's changes, written
// through a stream that notices any write that did not land. The copy is
// then read back: on a damaged file (say, a box whose size runs past its
// parent) the library can save tags where no reader finds them, which must
// not count as an update.
bool storeInto(const std::string& copyPath, const MediaRecord& record, const ArtworkChange& artwork) {
  std::optional<mp4::Mp4File> file = mp4::Mp4File::openForChange(copyPath);
  if (!file) return false;
  const mp4::Tags before = file->tags();
  const mp4::Tags updated = updatedTags(before, record, artwork);
  file::CheckedFileStream stream(copyPath);
  if (!stream.isOpen() || !file->store(updated, stream) || stream.failed()) return false;
  const std::optional<mp4::Mp4File> written = mp4::Mp4File::openRead(copyPath);
  return written && holdsRequestedChanges(written->tags(), updated, before);
}

uint64_t bigEndian(const uint8_t* p, int bytes) {
  uint64_t value = 0;
  for (int i = 0; i < bytes; ++i) value = value << 8 | p[i];
  return value;
}

// When the tags grow, the writer library moves the audio and adds the shift
// to every chunk offset table ('stco', 'co64') it finds in the movie box. It
// rewrites as many entries as the table's count says, from 16 bytes into the
// box, never checking the count against the box: a hostile count makes it
// write gigabytes past the table. It also inserts new user data right after
// the header of the movie or user-data box and then reads a table that stood
// there from its old place, which now holds tag bytes. So every such box in
// movie (4 bytes of size, then the type, anywhere, as the library may see
// one) must hold its count and must not be the first child of either box.
bool offsetTablesAreSafeToMove(mp4::ByteSpan movie) {
  for (const char* type : {"stco", "co64"}) {
    const uint64_t entrySize = type[0] == 's' ? 4 : 8;
    for (size_t from = 4; from + 12 <= movie.size();) {
      const void* found = ::memmem(movie.data() + from, movie.size() - from, type, 4);
      if (found == nullptr) break;
      const size_t at = static_cast<size_t>(static_cast<const uint8_t*>(found) - movie.data()) - 4;
      from = at + 5;
      if (at == 8 || (at > 8 && std::memcmp(movie.data() + at - 4, "udta", 4) == 0)) return false;
      if (at + 16 > movie.size()) break;  // too short for the library to read a count
      const uint8_t* box = movie.data() + at;
      const uint64_t rest = movie.size() - at;
      uint64_t length = bigEndian(box, 4);
      if (length == 1) length = bigEndian(box + 8, 8);
      if (length == 0 || length > rest) length = rest;
      if (length < 16 || bigEndian(box + 12, 4) * entrySize > length - 16) return false;
    }
  }
  return true;
}

// The boxes of a container the writer library walks into, and where their
// children begin; none for any other box.
std::optional<mp4::ByteSpan> childrenOf(mp4::FourCC type, mp4::ByteSpan payload) {
  using mp4::fourcc;
  for (const mp4::FourCC container : {fourcc("moov"), fourcc("udta"), fourcc("mdia"), fourcc("ilst"),
                                      fourcc("stbl"), fourcc("minf"), fourcc("trak")}) {
    if (type == container) return payload;
  }
  if (type == fourcc("meta")) return mp4::metaChildren(payload);
  if (type == fourcc("stsd")) return payload.size() < 8 ? mp4::ByteSpan() : payload.subspan(8);
  return std::nullopt;
}

// Whether every box the library would see in bytes lies inside its parent.
// The library trusts declared sizes: an item list or padding box that claims
// more than its parent holds makes it pad the new tags to gigabytes, and a
// size of 0 inside a container means "to the end of the file" to it. Fewer
// than 8 bytes after the last child are a terminator some writers add.
bool boxesFit(mp4::ByteSpan bytes, int depth) {
  if (depth > mp4::kMaxBoxDepth) return false;
  for (size_t at = 0; bytes.size() - at >= 8;) {
    if (bigEndian(bytes.data() + at, 4) == 0) return false;
    const auto header = mp4::parseBoxHeader(bytes.subspan(at), bytes.size() - at);
    if (!header) return false;
    const mp4::ByteSpan payload = bytes.subspan(at + header->headerSize, header->size - header->headerSize);
    const auto children = childrenOf(header->type, payload);
    if (children && !boxesFit(*children, depth + 1)) return false;
    at += header->size;
  }
  return true;
}

// Whether the writer library can save into the file without running past
// what the file holds: the top-level boxes fill the file exactly, the movie
// box (read whole, up to the size limit) is well formed with sound offset
// tables, and the file is not fragmented (the library's offset update for
// fragments writes past short fragment headers).
bool safeForTheWriter(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat st {};
  bool safe = ::fstat(fd, &st) == 0;
  const uint64_t fileSize = safe ? static_cast<uint64_t>(st.st_size) : 0;
  for (uint64_t offset = 0; safe && fileSize - offset >= 8;) {
    std::array<uint8_t, 16> head{};
    const ssize_t got = ::pread(fd, head.data(), head.size(), static_cast<off_t>(offset));
    const auto header = got < 8 ? std::nullopt
                                : mp4::parseBoxHeader(mp4::ByteSpan(head.data(), static_cast<size_t>(got)),
                                                      fileSize - offset);
    if (!header || header->type == mp4::fourcc("moof")) {
      safe = false;
      break;
    }
    if (header->type == mp4::fourcc("moov")) {
      std::vector<uint8_t> movie(header->size <= mp4::kMaxMovieBoxBytes ? header->size : 0);
      safe = !movie.empty() &&
             ::pread(fd, movie.data(), movie.size(), static_cast<off_t>(offset)) ==
                 static_cast<ssize_t>(movie.size()) &&
             boxesFit(mp4::ByteSpan(movie).subspan(header->headerSize), 1) &&
             offsetTablesAreSafeToMove(movie);
    }
    offset += header->size;
  }
  ::close(fd);
  return safe;
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
  // Open for change as a check only: the original itself is never written.
  const std::optional<mp4::Mp4File> original = mp4::Mp4File::openForChange(target);
  // A file the library would write past (see safeForTheWriter) is not opened for change.
  if (!original || !safeForTheWriter(target)) {
    logOpenFail(target);
    return false;
  }
  const ArtworkChange artwork = artworkChange(record);
  // A record that changes nothing leaves the file (and its inode) alone.
  if (updatedTags(original->tags(), record, artwork) == original->tags()) return true;
  return file::safeRewrite(
      target, [&record, &artwork](const std::string& copy) { return storeInto(copy, record, artwork); });
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
    log::line(log::format("MP4Tag no podcast info %s", path.c_str()));
    return std::nullopt;
  }
  return std::map<std::string, std::string>{{kMediaTagPodcastEpisodeId, *episode},
                                            {kMediaTagPodcastChannelUrl, *channel}};
}

}  // namespace corvane::tags
