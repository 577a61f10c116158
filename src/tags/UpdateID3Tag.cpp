#include "tags/UpdateID3Tag.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <taglib/attachedpictureframe.h>
#include <taglib/commentsframe.h>
#include <taglib/id3v2tag.h>
#include <taglib/textidentificationframe.h>
#include <taglib/tfile.h>
#include <taglib/unknownframe.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <limits>
#include <memory>
#include <span>

#include "media/Genre.h"
#include "media/MediaDBKeys.h"
#include "media/Text.h"
#include "platform/file/CheckedFileStream.h"
#include "platform/file/InputFile.h"
#include "platform/file/SafeRewrite.h"
#include "tags/Id3RawTag.h"
#include "tags/MediaTag.h"

namespace corvane::tags {
namespace {

using media::MediaRecord;

// Text values are stored as at most this many UTF-16 code units.
constexpr size_t kMaxTextUnits = 2000;
// A podcast frame's data plus a terminating zero must fit this buffer.
constexpr size_t kFrameBufferSize = 1000;
// An ID3v2 tag's size field holds 28 bits.
constexpr size_t kMaxTagSize = id3::kHeaderSize + 0x0FFFFFFF;

// What a record entry asks of one field.
enum class Change { Set, Clear, Keep };

// A TagLib file over a stream, only to let a tag read itself from it.
class StreamFile : public TagLib::File {
 public:
  explicit StreamFile(TagLib::IOStream* stream) : TagLib::File(stream) {}
  TagLib::Tag* tag() const override { return nullptr; }
  TagLib::AudioProperties* audioProperties() const override { return nullptr; }
  bool save() override { return false; }
};

// The longest prefix of text that fits in maxUnits UTF-16 code units. A
// character outside the BMP takes two units and is kept whole or not at all.
std::string truncateToUtf16Units(const std::string& text, size_t maxUnits) {
  const std::string valid = media::toValidUtf8(text);
  size_t units = 0;
  for (size_t i = 0; i < valid.size();) {
    const uint8_t lead = static_cast<uint8_t>(valid[i]);
    const size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    const size_t width = length == 4 ? 2 : 1;
    if (units + width > maxUnits) return valid.substr(0, i);
    units += width;
    i += length;
  }
  return valid;
}

TagLib::String utf8(const std::string& text) { return TagLib::String(text, TagLib::String::UTF8); }

// For the five text fields an absent entry clears the field, like the null
// marker; a value that is no text changes nothing.
Change textChange(const MediaRecord& record, const char* key, std::string& text) {
  const media::MediaValue* value = record.find(key);
  if (value == nullptr || std::holds_alternative<media::NullMarker>(*value)) return Change::Clear;
  const std::string* s = std::get_if<std::string>(value);
  if (s == nullptr) return Change::Keep;
  text = truncateToUtf16Units(*s, kMaxTextUnits);
  return text.empty() ? Change::Clear : Change::Set;
}

void applyText(TagLib::ID3v2::Tag& tag, const MediaRecord& record, const char* key, const char* frameId) {
  std::string text;
  const Change change = textChange(record, key, text);
  if (change == Change::Keep) return;
  tag.removeFrames(frameId);
  if (change == Change::Set) {
    auto* frame = new TagLib::ID3v2::TextIdentificationFrame(frameId, TagLib::String::UTF16);
    frame->setText(utf8(text));
    tag.addFrame(frame);
  }
}

void applyComment(TagLib::ID3v2::Tag& tag, const MediaRecord& record) {
  std::string text;
  const Change change = textChange(record, media::MediaDBCommonColumnReservedText, text);
  if (change == Change::Keep) return;
  tag.removeFrames("COMM");  // every comment, whatever its description
  if (change == Change::Set) {
    auto* frame = new TagLib::ID3v2::CommentsFrame(TagLib::String::UTF16);
    frame->setLanguage("eng");
    frame->setText(utf8(text));
    tag.addFrame(frame);
  }
}

// A list name is stored as its number, "(17)"; any other text as itself.
void applyGenre(TagLib::ID3v2::Tag& tag, const MediaRecord& record) {
  const std::string* name = record.get<std::string>(media::MediaDBMusicColumnGenre);
  if (name == nullptr) return;
  tag.removeFrames("TCON");
  if (name->empty()) return;
  const int number = media::findGenreNo(*name);
  auto* frame = new TagLib::ID3v2::TextIdentificationFrame(
      "TCON", number >= 0 ? TagLib::String::Latin1 : TagLib::String::UTF16);
  frame->setText(number >= 0 ? TagLib::String("(" + std::to_string(number) + ")")
                             : utf8(media::toValidUtf8(*name)));
  tag.addFrame(frame);
}

// The track is stored as the low 8 bits of the number, with no total. A
// result of 0 is no track number, and the null marker carries no number:
// both leave the track as it was, as does an absent entry.
void applyTrack(TagLib::ID3v2::Tag& tag, const MediaRecord& record) {
  const media::MediaValue* value = record.find(media::MediaDBMusicColumnTrackNo);
  // Text numbers wrap at 32 bits, as the tag library's own conversion does.
  const std::optional<int64_t> number =
      value ? media::integerValue(*value, media::Overflow::Wrap) : std::nullopt;
  if (!number) return;
  const unsigned track = static_cast<unsigned>(static_cast<uint64_t>(*number) & 0xFF);
  if (track == 0) return;
  tag.removeFrames("TRCK");
  auto* frame = new TagLib::ID3v2::TextIdentificationFrame("TRCK", TagLib::String::Latin1);
  frame->setText(TagLib::String::number(static_cast<int>(track)));
  tag.addFrame(frame);
}

// Picture bytes are stored as given, labelled JPEG whatever they hold.
void applyPicture(TagLib::ID3v2::Tag& tag, const MediaRecord& record) {
  const media::MediaValue* value = record.find(media::MediaDBMusicColumnAlbumArt);
  if (value == nullptr) return;
  if (std::holds_alternative<media::NullMarker>(*value)) {
    tag.removeFrames("APIC");
    return;
  }
  const auto* bytes = std::get_if<media::Bytes>(value);
  if (bytes == nullptr || bytes->empty() || bytes->size() >= kMaxTagSize) return;
  tag.removeFrames("APIC");
  auto* frame = new TagLib::ID3v2::AttachedPictureFrame;
  frame->setTextEncoding(TagLib::String::Latin1);
  frame->setMimeType("image/jpeg");
  frame->setType(TagLib::ID3v2::AttachedPictureFrame::FrontCover);
  frame->setPicture(
      TagLib::ByteVector(reinterpret_cast<const char*>(bytes->data()), static_cast<unsigned>(bytes->size())));
  tag.addFrame(frame);
}

// TagLib parses the podcast frames as text frames and so mangles data that
// has no leading encoding byte ("http://x" would come back as "h"). Such
// frames are carried over as they were stored (v2.2 ids get their v2.3 names).
void keepPodcastFramesAsStored(TagLib::ID3v2::Tag& tag, const id3::TagHeader& header,
                               std::span<const uint8_t> body) {
  std::map<std::string, std::vector<std::vector<uint8_t>>> stored;
  bool mangled = false;
  id3::forEachFrame(header, body, [&](const id3::Frame& frame) {
    const std::string id = frame.id == "TID" ? "TGID" : frame.id == "WFD" ? "WFED" : std::string(frame.id);
    if ((id != "TGID" && id != "WFED") || (header.majorVersion == 2) != (frame.id.size() == 3)) return;
    if (!frame.readable) return;
    stored[id].emplace_back(frame.data.begin(), frame.data.end());
    mangled |= frame.data.empty() || frame.data[0] > 3;
  });
  if (!mangled) return;
  for (const auto& [id, frames] : stored) {
    tag.removeFrames(id.c_str());
    for (const auto& data : frames) {
      // A v2.4 frame header (syncsafe size) that the tag renders as v2.3.
      TagLib::ByteVector raw(id.c_str(), 4);
      const auto size = static_cast<uint32_t>(data.size());
      for (int shift = 21; shift >= 0; shift -= 7) raw.append(static_cast<char>((size >> shift) & 0x7F));
      raw.append(TagLib::ByteVector(2, '\0'));
      raw.append(TagLib::ByteVector(reinterpret_cast<const char*>(data.data()), size));
      tag.addFrame(new TagLib::ID3v2::UnknownFrame(raw));
    }
  }
}

void applyRecord(TagLib::ID3v2::Tag& tag, const MediaRecord& record) {
  applyText(tag, record, media::MediaDBMusicColumnTitle, "TIT2");
  applyText(tag, record, media::MediaDBMusicColumnAlbum, "TALB");
  applyText(tag, record, media::MediaDBMusicColumnArtist, "TPE1");
  applyComment(tag, record);
  applyText(tag, record, media::MediaDBMusicColumnComposer, "TCOM");
  applyGenre(tag, record);
  applyTrack(tag, record);
  applyPicture(tag, record);
}

std::optional<std::string> resolvePath(const std::string& path, const MediaRecord& record) {
  if (!path.empty()) return path;
  const std::string* fromRecord = record.get<std::string>(media::MediaDBCommonColumnFilePath);
  if (fromRecord != nullptr && !fromRecord->empty()) return *fromRecord;
  return std::nullopt;
}

// --- podcast lookup ---

class ReadFd {
 public:
  explicit ReadFd(const std::string& path) : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK)) {}
  ~ReadFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  ReadFd(const ReadFd&) = delete;
  ReadFd& operator=(const ReadFd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// The stored ID3v2 tag of a regular file: its header and body.
std::optional<std::pair<id3::TagHeader, std::vector<uint8_t>>> readTag(const std::string& path) {
  ReadFd fd(path);
  struct stat st {};
  if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  uint8_t head[id3::kHeaderSize];
  if (st.st_size < static_cast<off_t>(sizeof head) || !file::readFullyAt(fd.get(), head, sizeof head, 0))
    return std::nullopt;
  const std::optional<id3::TagHeader> header = id3::parseHeader(head);
  if (!header) return std::nullopt;
  // A tag cut short by the end of the file yields the frames that are whole.
  const size_t bodySize = static_cast<size_t>(std::min<off_t>(header->bodySize, st.st_size - off_t{10}));
  std::vector<uint8_t> body(bodySize);
  if (!file::readFullyAt(fd.get(), body.data(), body.size(), id3::kHeaderSize)) return std::nullopt;
  return std::make_pair(*header, std::move(body));
}

// A podcast frame as found; its data is copied out of the walk.
struct PodcastFrame {
  std::vector<uint8_t> data;
  bool readable = true;
};

// A podcast frame's text. Data that would not fit the frame buffer with its
// terminating zero is not read at all (a cut identifier or URL would be
// wrong). A leading text-encoding byte is honoured; without one the data is
// the text itself. The text ends at the first zero.
std::optional<std::string> podcastText(const PodcastFrame& frame) {
  std::span<const uint8_t> data = frame.data;
  if (!frame.readable || data.empty() || data.size() >= kFrameBufferSize) return std::nullopt;
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

bool UpdateID3Tag::writeTagInto(const std::string& filePath, const MediaRecord& record) {
  file::CheckedFileStream stream(filePath);
  if (!stream.isOpen()) return false;
  const TagLib::ByteVector head = stream.readBlock(id3::kHeaderSize);
  const auto header = id3::parseHeader(
      std::span(reinterpret_cast<const uint8_t*>(head.data()), static_cast<size_t>(head.size())));
  const unsigned long oldSize =
      header ? static_cast<unsigned long>(std::min<uint64_t>(header->totalSize(), stream.length())) : 0;

  StreamFile file(&stream);
  // Only a tag at the very start is the file's tag; anything else is left to the audio.
  std::unique_ptr<TagLib::ID3v2::Tag> tag =
      header ? std::make_unique<TagLib::ID3v2::Tag>(&file, 0) : std::make_unique<TagLib::ID3v2::Tag>();
  if (header && (tag->frameListMap().contains("TGID") || tag->frameListMap().contains("WFED"))) {
    stream.seek(id3::kHeaderSize);
    const TagLib::ByteVector body = stream.readBlock(header->bodySize);
    keepPodcastFramesAsStored(
        *tag, *header,
        std::span(reinterpret_cast<const uint8_t*>(body.data()), static_cast<size_t>(body.size())));
  }
  applyRecord(*tag, record);

  const TagLib::ByteVector rendered =
      tag->frameList().isEmpty() ? TagLib::ByteVector() : tag->render(TagLib::ID3v2::v3);
  if (rendered.size() > kMaxTagSize || stream.failed()) return false;
  stream.insert(rendered, 0, oldSize);
  return !stream.failed();
}

bool UpdateID3Tag::updateTag(const std::string& path, const MediaRecord& record) {
  const std::optional<std::string> target = resolvePath(path, record);
  std::error_code error;
  if (!target || !std::filesystem::exists(*target, error)) return false;
  return file::safeRewrite(*target,
                           [&record](const std::string& copy) { return writeTagInto(copy, record); });
}

std::optional<std::map<std::string, std::string>> UpdateID3Tag::podcastInfo(const std::string& path) {
  const auto tag = readTag(path);
  if (!tag) return std::nullopt;
  const auto& [header, body] = *tag;
  const bool shortIds = header.majorVersion < 3;
  // A later frame of the same kind replaces an earlier one.
  std::optional<PodcastFrame> episode, channel;
  id3::forEachFrame(header, body, [&](const id3::Frame& frame) {
    const bool isEpisode = frame.id == (shortIds ? "TID" : "TGID");
    const bool isChannel = frame.id == (shortIds ? "WFD" : "WFED");
    if (!isEpisode && !isChannel) return;
    (isEpisode ? episode : channel) =
        PodcastFrame{std::vector<uint8_t>(frame.data.begin(), frame.data.end()), frame.readable};
  });
  if (!episode || !channel || episode->data.empty() || channel->data.empty()) return std::nullopt;

  std::map<std::string, std::string> info;
  if (auto text = podcastText(*episode)) info[kMediaTagPodcastEpisodeId] = *text;
  if (auto text = podcastText(*channel)) info[kMediaTagPodcastChannelUrl] = *text;
  return info;
}

}  // namespace corvane::tags
