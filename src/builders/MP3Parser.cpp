#include "builders/MP3Parser.h"

#include <taglib/apetag.h>
#include <taglib/id3v2framefactory.h>
#include <taglib/mpegfile.h>
#include <taglib/mpegproperties.h>
#include <taglib/tfilestream.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

#include "image/NSImageExtension.h"
#include "media/Genre.h"
#include "media/MediaDBKeys.h"
#include "media/Numbers.h"
#include "media/PathNames.h"
#include "media/RZMediaTypeReader.h"
#include "media/Text.h"
#include "platform/file/InputFile.h"
#include "platform/id3/Id3Fields.h"
#include "platform/id3/Id3Tag.h"
#include "platform/imaging/Picture.h"
#include "platform/movie/Movie.h"
#include "platform/mpeg/MpegFrames.h"

namespace corvane::builders {

namespace {

// The tag fields the record takes, whichever tag kind supplies them.
enum class Field { Title, Artist, Album, Composer, Genre, Track, Year, Comment };

struct TextFrame {
  std::string_view id;  // v2.3/v2.4 ids; v2.2 ids are mapped to them
  Field field;
  id3::FieldLayout layout;
};

// TDRC is where ID3v2.4 keeps the year; TYER (v2.2 TYE) where the older
// versions do. Either counts in any version.
constexpr std::array<TextFrame, 9> kTextFrames{{
    {"TIT2", Field::Title, id3::FieldLayout::kText},
    {"TPE1", Field::Artist, id3::FieldLayout::kText},
    {"TALB", Field::Album, id3::FieldLayout::kText},
    {"TCOM", Field::Composer, id3::FieldLayout::kText},
    {"TCON", Field::Genre, id3::FieldLayout::kText},
    {"TRCK", Field::Track, id3::FieldLayout::kText},
    {"TYER", Field::Year, id3::FieldLayout::kText},
    {"TDRC", Field::Year, id3::FieldLayout::kText},
    {"COMM", Field::Comment, id3::FieldLayout::kComment},
}};

void setField(media::MediaRecord& record, Field field, const std::string& text) {
  switch (field) {
    case Field::Title:
      return record.set(media::MediaDBMusicColumnTitle, text);
    case Field::Artist:
      return record.set(media::MediaDBMusicColumnArtist, text);
    case Field::Album:
      return record.set(media::MediaDBMusicColumnAlbum, text);
    case Field::Composer:
      return record.set(media::MediaDBMusicColumnComposer, text);
    case Field::Genre:
      return record.set(media::MediaDBMusicColumnGenre, id3::genreFromContentType(text));
    case Field::Track:
      return record.set(media::MediaDBMusicColumnTrackNo,
                        static_cast<int32_t>(media::leadingInteger(text, media::Overflow::Saturate)));
    case Field::Year:
      return record.set(media::MediaDBMusicColumnDateReleased, text);
    case Field::Comment:
      return record.set(media::MediaDBCommonColumnReservedText, text);
  }
}

// The album-art thumbnail of picture bytes, none when they are no picture.
std::optional<media::Bytes> albumArt(media::ByteSpan data) {
  auto picture = imaging::Picture::fromBytes(media::Bytes(data.begin(), data.end()));
  if (!picture) return std::nullopt;
  return image::makeThumbnailForContentCategory(*picture, image::kContentAlbumArt);
}

// A compressed frame may hold a cover; nothing larger is inflated.
constexpr size_t kMaxInflatedFrame = 32 << 20;

void readId3v2(const id3::StoredTag& tag, media::MediaRecord& record) {
  const bool v22 = tag.header.majorVersion == 2;
  std::vector<media::Bytes> pictures;
  tag.forEachFrame([&](const id3::Frame& frame) {
    const std::string_view id = v22 ? id3::v23Id(frame.id) : frame.id;
    if (id == "SYLT") {
      record.set(media::MediaDBMusicColumnHasLyrics, true);
      return;
    }
    const TextFrame* text = nullptr;
    for (const TextFrame& kind : kTextFrames) {
      if (id == kind.id) text = &kind;
    }
    if (id != "APIC" && text == nullptr) return;
    std::optional<media::Bytes> inflated;
    media::ByteSpan content = frame.data;
    if (!frame.readable()) {
      inflated = id3::inflate(frame, kMaxInflatedFrame);
      if (!inflated) return;
      content = *inflated;
    }
    if (text == nullptr) {
      if (auto image = id3::pictureData(content, v22)) pictures.emplace_back(image->begin(), image->end());
    } else if (auto field = id3::readTextField(
                   std::string_view(reinterpret_cast<const char*>(content.data()), content.size()),
                   text->layout)) {
      setField(record, text->field, id3::decodeText(*field));
    }
  });
  // The last picture that gives a thumbnail wins: try them from the last on,
  // so that one cover costs one decode.
  for (auto it = pictures.rbegin(); it != pictures.rend(); ++it) {
    if (auto art = albumArt(*it)) {
      record.set(media::MediaDBMusicColumnAlbumArt, std::move(*art));
      break;
    }
  }
}

// ID3v1 fields, read from the tag's own bytes: TagLib would decode them as
// Latin-1, while the service reads 8-bit text as code page 949 first.
constexpr uint64_t kId3v1Size = 128;

void readId3v1(const media::Bytes& block, media::MediaRecord& record) {
  if (block.size() != kId3v1Size || !std::equal(block.begin(), block.begin() + 3, "TAG")) return;
  auto text = [&](size_t offset, size_t length) {
    std::string_view bytes(reinterpret_cast<const char*>(block.data()) + offset, length);
    bytes = bytes.substr(0, bytes.find('\0'));
    while (!bytes.empty() && bytes.back() == ' ') bytes.remove_suffix(1);
    return bytes;
  };
  auto setText = [&](Field field, std::string_view bytes) {
    if (!bytes.empty()) setField(record, field, media::legacy8BitToUtf8(bytes));
  };
  setText(Field::Title, text(3, 30));
  setText(Field::Artist, text(33, 30));
  setText(Field::Album, text(63, 30));
  setText(Field::Year, text(93, 4));
  // ID3v1.1 keeps a track number in the comment's last byte after a zero.
  const bool hasTrack = block[125] == 0 && block[126] != 0;
  setText(Field::Comment, text(97, hasTrack ? 28 : 30));
  if (hasTrack) record.set(media::MediaDBMusicColumnTrackNo, int32_t{block[126]});
  const uint8_t genre = block[127];
  constexpr uint8_t kNoGenre = 0xFF;
  if (genre != kNoGenre) {
    if (auto name = media::getGenreName(genre % media::kGenreCount)) {
      record.set(media::MediaDBMusicColumnGenre, *name);
    }
  }
}

void readApe(const TagLib::APE::Tag& tag, media::MediaRecord& record) {
  static constexpr std::array<std::pair<const char*, Field>, 8> kItems{{
      {"TITLE", Field::Title},
      {"ARTIST", Field::Artist},
      {"ALBUM", Field::Album},
      {"COMPOSER", Field::Composer},
      {"YEAR", Field::Year},
      {"COMMENT", Field::Comment},
      {"TRACK", Field::Track},
      {"GENRE", Field::Genre},
  }};
  const TagLib::APE::ItemListMap& items = tag.itemListMap();
  for (const auto& [key, field] : kItems) {
    const auto it = items.find(key);
    if (it == items.end() || it->second.type() != TagLib::APE::Item::Text) continue;
    setField(record, field, media::toValidUtf8(it->second.toString().to8Bit(true)));
  }
}

// The ID3v1 and APE tags count only when there is no ID3v2 tag.
void readOlderTags(TagLib::MPEG::File& file, const file::InputFile& input, media::MediaRecord& record) {
  if (file.hasID3v1Tag() && input.size() >= kId3v1Size) {
    if (auto block = input.readSome(input.size() - kId3v1Size, kId3v1Size)) readId3v1(*block, record);
  }
  if (file.hasAPETag()) {
    if (const TagLib::APE::Tag* tag = file.APETag()) readApe(*tag, record);
  }
}

// Timing from the MPEG frame headers; false when the file has no valid MPEG
// frame. TagLib reads the Xing/VBRI header of VBR files, and an "Info"
// header marks a CBR file whose nominal rate is its frames' own. Without
// such a header the frames are walked: a constant bit rate gives the
// stream's extent over that rate, a varying one the frames' samples.
bool readHeaderTiming(TagLib::MPEG::File& file, const file::InputFile& input, media::MediaRecord& record) {
  const TagLib::MPEG::Properties* properties = file.audioProperties();
  if (properties == nullptr || properties->sampleRate() <= 0 || properties->bitrate() <= 0) return false;
  int32_t seconds = properties->lengthInMilliseconds() / 1000;
  int32_t bitrate = properties->bitrate();
  const long firstFrame = file.firstFrameOffset();
  const auto firstHeader = firstFrame >= 0 ? mpeg::frameHeaderAt(input, static_cast<uint64_t>(firstFrame))
                                           : std::optional<mpeg::FrameHeader>();
  if (firstHeader && properties->xingHeader() != nullptr) {
    if (mpeg::hasInfoHeader(input, static_cast<uint64_t>(firstFrame), *firstHeader)) {
      bitrate = firstHeader->bitrateKbps;
    }
  } else if (firstHeader) {
    const uint64_t audioEnd = input.size() - (file.hasID3v1Tag() ? std::min(input.size(), kId3v1Size) : 0);
    if (const auto scan = mpeg::scanFrames(input, static_cast<uint64_t>(firstFrame), audioEnd)) {
      if (scan->constantBitrate) {
        seconds = media::truncateToInt32(scan->seconds());
        bitrate = scan->firstBitrateKbps;
      } else {
        const DurationTiming timing =
            timingFromDuration(scan->seconds(), static_cast<double>(scan->frameBytes));
        seconds = timing.playLengthSeconds.value_or(seconds);
        bitrate = timing.bitrateKbps.value_or(bitrate);
      }
    }
  }
  record.set(media::MediaDBMusicColumnPlayLength, seconds);
  record.set(media::MediaDBMusicColumnBitrate, bitrate);
  record.set(media::MediaDBMusicColumnSamplerate, int32_t{properties->sampleRate()});
  return true;
}

// Play length, bit rate and sampling frequency of a file without MPEG
// frames, measured as a movie; false when it cannot be opened as one.
bool readMovieTiming(const file::InputFile& input, const std::string& path, media::MediaRecord& record) {
  std::optional<movie::Movie> movie;  // released after the bracket's exit
  movie::ThreadBracket bracket;
  movie = movie::Movie::open(input, media::lastPathComponent(path)).movie;
  if (!movie) return false;
  const double fileBytes = static_cast<double>(input.facts().size.value_or(0));
  const DurationTiming timing = timingFromDuration(movie->duration(), fileBytes);
  if (timing.playLengthSeconds) record.set(media::MediaDBMusicColumnPlayLength, *timing.playLengthSeconds);
  if (timing.bitrateKbps) record.set(media::MediaDBMusicColumnBitrate, *timing.bitrateKbps);
  // The audio's sampling frequency, as the header path gives it.
  record.set(media::MediaDBMusicColumnSamplerate, movie->firstAudioSampleRate().value_or(0));
  return true;
}

}  // namespace

DurationTiming timingFromDuration(double durationSeconds, double fileBytes) {
  if (!(durationSeconds > 0) || !std::isfinite(durationSeconds)) return {};
  return DurationTiming{media::truncateToInt32(durationSeconds),
                        media::truncateToInt32(std::floor(fileBytes * 8.0 / durationSeconds / 1000.0))};
}

std::optional<media::MediaRecord> MP3Parser::build(const std::string& path) {
  // Anything but a regular file (a directory, a FIFO) holds no audio.
  const std::optional<file::InputFile> input = file::InputFile::open(path);
  if (!input) return std::nullopt;

  media::MediaRecord record;
  record.set(media::MediaDBCommonColumnFilePath, path);
  record.set(media::MediaDBCommonColumnFileName, media::lastPathComponent(path));
  record.set(media::MediaDBCommonColumnIsManaged, false);
  record.set(media::MediaDBMusicColumnGenre, std::string("Unknown"));

  const std::optional<id3::StoredTag> tag = id3::readLeadingTag(*input);
  if (tag) readId3v2(*tag, record);
  bool hasHeaderTiming = false;
  {
    // TagLib's stream closes the descriptor it is given, so it gets its own
    // duplicate of the open file; read-only, so that reading never looks
    // like a write to file watchers.
    TagLib::FileStream stream(::dup(input->fd()), /*openReadOnly=*/true);
    TagLib::MPEG::File file(&stream, TagLib::ID3v2::FrameFactory::instance(), /*readProperties=*/true);
    if (file.isOpen()) {
      if (!tag) readOlderTags(file, *input, record);
      hasHeaderTiming = readHeaderTiming(file, *input, record);
    }
  }
  if (!hasHeaderTiming && !readMovieTiming(*input, path, record)) return std::nullopt;

  record.set(media::MediaDBMusicColumnPlayCount, int32_t{0});
  record.set(media::MediaDBMusicColumnRating, int32_t{0});
  record.set(media::MediaDBMusicColumnAlbumRating, int32_t{0});
  record.set(media::MediaDBMusicColumnDateAdded, media::Date::now());
  const file::FileFacts facts = input->facts();
  if (facts.modified) record.set(media::MediaDBMusicColumnDateModified, *facts.modified);
  record.set(media::MediaDBCommonColumnFileSize, facts.size.value_or(0));
  record.set(media::MediaDBCommonColumnMediaType, media::kMediaTypeMP3);
  record.set(media::MediaDBCommonColumnFileTypeString,
             media::RZMediaTypeReader::typeName(media::kMediaTypeMP3));
  record.set(media::MediaDBMusicColumnDRMProperty, int32_t{0});
  record.set(media::MediaDBMusicColumnIsLicenseExpired, false);
  record.set(media::MediaDBMusicColumnPlayState, int32_t{0});
  return record;
}

}  // namespace corvane::builders
