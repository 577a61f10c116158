#include "builders/MP3Parser.h"

#include <sys/stat.h>
#include <taglib/apetag.h>
#include <taglib/attachedpictureframe.h>
#include <taglib/id3v2frame.h>
#include <taglib/id3v2framefactory.h>
#include <taglib/id3v2tag.h>
#include <taglib/mpegfile.h>
#include <taglib/mpegproperties.h>
#include <taglib/tfilestream.h>
#include <taglib/unknownframe.h>

#include <array>
#include <cmath>
#include <vector>

#include "builders/Id3Text.h"
#include "image/NSImageExtension.h"
#include "media/Genre.h"
#include "media/MediaDBKeys.h"
#include "media/Numbers.h"
#include "media/PathNames.h"
#include "media/RZMediaTypeReader.h"
#include "media/Text.h"
#include "platform/file/InputFile.h"
#include "platform/imaging/Picture.h"
#include "platform/movie/Movie.h"

namespace corvane::builders {

namespace {

using TagLib::ByteVector;

// The tag fields the record takes, whichever tag kind supplies them.
enum class Field { Title, Artist, Album, Composer, Genre, Track, Year, Comment };

struct TextFrame {
  const char* id;  // as TagLib names it after mapping ID3v2.2/2.3 ids
  Field field;
  id3::FieldLayout layout;
};

// TDRC is where ID3v2.4 keeps the year, and where TagLib puts an ID3v2.3
// TYER; a TYER of a 2.4 tag stays TYER.
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

// Frame ids can only hold upper-case letters and digits, so the lower-case
// form of an id can never come from a file: it marks a frame kept raw.
ByteVector rawId(const ByteVector& id) {
  ByteVector raw = id;
  for (char& c : raw) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return raw;
}

const TextFrame* textFrameForRawId(const ByteVector& id) {
  for (const TextFrame& frame : kTextFrames) {
    if (rawId(frame.id) == id) return &frame;
  }
  return nullptr;
}

// Leaves the text frames the record needs undecoded. TagLib would decode
// 8-bit text as Latin-1 and drop ill-formed UTF-8; the service has its own
// rules for both. Renaming such a frame after TagLib's own id mapping makes
// the factory keep it as an UnknownFrame, whose data() is the raw field data
// (already freed of unsynchronisation and compression).
//
// The frame header type is protected inside TagLib's Frame (only the factory
// itself is its friend), so its pointer type is taken from the hook's
// signature rather than named.
template <typename Method>
struct FirstParameter;
template <typename R, typename C, typename A>
struct FirstParameter<R (C::*)(A) const> {
  using type = A;
};
struct FrameFactoryHook : TagLib::ID3v2::FrameFactory {
  using HeaderPointer = FirstParameter<decltype(&FrameFactoryHook::updateFrame)>::type;
};

class RawTextFrameFactory : public TagLib::ID3v2::FrameFactory {
 public:
  RawTextFrameFactory() = default;
  ~RawTextFrameFactory() override = default;

 protected:
  bool updateFrame(FrameFactoryHook::HeaderPointer header) const override {
    if (!FrameFactory::updateFrame(header)) return false;
    const ByteVector id = header->frameID();
    for (const TextFrame& frame : kTextFrames) {
      if (id == frame.id) {
        header->setFrameID(rawId(id));
        break;
      }
    }
    return true;
  }
};

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
std::optional<media::Bytes> albumArt(const ByteVector& data) {
  auto picture = imaging::Picture::fromBytes(media::Bytes(data.begin(), data.end()));
  if (!picture) return std::nullopt;
  return image::makeThumbnailForContentCategory(*picture, image::kContentAlbumArt);
}

void readId3v2(const TagLib::ID3v2::Tag& tag, media::MediaRecord& record) {
  std::vector<const TagLib::ID3v2::AttachedPictureFrame*> pictures;
  for (const TagLib::ID3v2::Frame* frame : tag.frameList()) {
    const ByteVector id = frame->frameID();
    if (id == "SYLT") {
      record.set(media::MediaDBMusicColumnHasLyrics, true);
    } else if (id == "APIC") {
      if (auto* picture = dynamic_cast<const TagLib::ID3v2::AttachedPictureFrame*>(frame)) {
        pictures.push_back(picture);
      }
    } else if (const TextFrame* kind = textFrameForRawId(id)) {
      const auto* raw = dynamic_cast<const TagLib::ID3v2::UnknownFrame*>(frame);
      if (raw == nullptr) continue;
      const ByteVector data = raw->data();
      const auto text = id3::readTextField(std::string_view(data.data(), data.size()), kind->layout);
      if (!text) continue;
      if (auto decoded = id3::decodeText(*text)) setField(record, kind->field, *decoded);
    }
  }
  // The last picture that gives a thumbnail wins: try them from the last on,
  // so that one cover costs one decode.
  for (auto it = pictures.rbegin(); it != pictures.rend(); ++it) {
    if (auto art = albumArt((*it)->picture())) {
      record.set(media::MediaDBMusicColumnAlbumArt, std::move(*art));
      break;
    }
  }
}

// ID3v1 fields, read from the tag's own bytes: TagLib would decode them as
// Latin-1, while the service reads 8-bit text as code page 949 first.
void readId3v1(const ByteVector& block, media::MediaRecord& record) {
  constexpr size_t kSize = 128;
  if (block.size() != kSize || !block.startsWith("TAG")) return;
  auto text = [&](size_t offset, size_t length) {
    std::string_view bytes(block.data() + offset, length);
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
  const bool hasTrack = block[125] == '\0' && block[126] != '\0';
  setText(Field::Comment, text(97, hasTrack ? 28 : 30));
  if (hasTrack) record.set(media::MediaDBMusicColumnTrackNo, int32_t{static_cast<uint8_t>(block[126])});
  const auto genre = static_cast<uint8_t>(block[127]);
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

void readTags(TagLib::MPEG::File& file, media::MediaRecord& record) {
  // Only a file without an ID3v2 tag is read for the older kinds.
  if (file.hasID3v2Tag()) {
    if (const TagLib::ID3v2::Tag* tag = file.ID3v2Tag()) readId3v2(*tag, record);
    return;
  }
  if (file.hasID3v1Tag()) {
    file.seek(-128, TagLib::File::End);
    readId3v1(file.readBlock(128), record);
  }
  if (file.hasAPETag()) {
    if (const TagLib::APE::Tag* tag = file.APETag()) readApe(*tag, record);
  }
}

// One MPEG audio frame header.
struct FrameHeader {
  int bitrateKbps = 0;
  int sampleRate = 0;
  int samplesPerFrame = 0;
  size_t frameLength = 0;
  size_t sideInfoSize = 0;
  uint8_t versionBits = 0, layerBits = 0;
};

std::optional<FrameHeader> parseFrameHeader(const uint8_t* h) {
  if (h[0] != 0xFF || (h[1] & 0xE0) != 0xE0) return std::nullopt;
  const int version = (h[1] >> 3) & 3;  // 0 MPEG-2.5, 2 MPEG-2, 3 MPEG-1
  const int layer = (h[1] >> 1) & 3;    // 1 III, 2 II, 3 I
  const int bitrateIndex = h[2] >> 4, rateIndex = (h[2] >> 2) & 3, padding = (h[2] >> 1) & 1;
  if (version == 1 || layer == 0 || bitrateIndex == 0 || bitrateIndex == 15 || rateIndex == 3)
    return std::nullopt;
  static constexpr int kBitrates[5][15] = {
      {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},  // MPEG-1 layer I
      {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},     // MPEG-1 layer II
      {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320},      // MPEG-1 layer III
      {0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},     // MPEG-2/2.5 layer I
      {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},          // MPEG-2/2.5 layer II, III
  };
  static constexpr int kRates[3] = {44100, 48000, 32000};
  const bool mpeg1 = version == 3;
  const int row = mpeg1 ? 3 - layer : (layer == 3 ? 3 : 4);
  FrameHeader header;
  header.versionBits = static_cast<uint8_t>(version);
  header.layerBits = static_cast<uint8_t>(layer);
  header.bitrateKbps = kBitrates[row][bitrateIndex];
  header.sampleRate = kRates[rateIndex] >> (mpeg1 ? 0 : version == 2 ? 1 : 2);
  const int bitsPerSecond = header.bitrateKbps * 1000;
  if (layer == 3) {
    header.samplesPerFrame = 384;
    header.frameLength = static_cast<size_t>((12 * bitsPerSecond / header.sampleRate + padding) * 4);
  } else {
    header.samplesPerFrame = layer == 1 && !mpeg1 ? 576 : 1152;
    header.frameLength =
        static_cast<size_t>(header.samplesPerFrame / 8 * bitsPerSecond / header.sampleRate + padding);
  }
  const bool mono = (h[3] >> 6) == 3;
  header.sideInfoSize = mpeg1 ? (mono ? 17 : 32) : (mono ? 9 : 17);
  return header;
}

// The frames of a stream without a Xing/VBRI header, counted one by one from
// the first: the only way to know the play time of a VBR file without one.
struct StreamScan {
  uint64_t samples = 0;
  uint64_t bytes = 0;
  int sampleRate = 0;
  int firstBitrateKbps = 0;
  bool constantBitrate = true;
};

std::optional<StreamScan> scanFrames(TagLib::MPEG::File& file, long offset) {
  constexpr size_t kChunk = 64 * 1024;
  StreamScan scan;
  std::optional<FrameHeader> first;
  ByteVector buffer;
  long bufferStart = offset;
  for (;;) {
    if (offset < bufferStart || offset + 4 > bufferStart + static_cast<long>(buffer.size())) {
      file.seek(offset);
      buffer = file.readBlock(kChunk);
      bufferStart = offset;
      if (buffer.size() < 4) break;
    }
    const auto* bytes = reinterpret_cast<const uint8_t*>(buffer.data()) + (offset - bufferStart);
    const auto header = parseFrameHeader(bytes);
    // The stream ends at the first thing that is not a frame of the same
    // kind (a trailing tag, garbage, the end of the file).
    if (!header ||
        (first && (header->versionBits != first->versionBits || header->layerBits != first->layerBits ||
                   header->sampleRate != first->sampleRate))) {
      break;
    }
    if (!first) first = header;
    scan.samples += static_cast<uint64_t>(header->samplesPerFrame);
    scan.bytes += header->frameLength;
    scan.constantBitrate = scan.constantBitrate && header->bitrateKbps == first->bitrateKbps;
    offset += static_cast<long>(header->frameLength);
  }
  if (!first) return std::nullopt;
  scan.sampleRate = first->sampleRate;
  scan.firstBitrateKbps = first->bitrateKbps;
  return scan;
}

// True when the first frame carries an "Info" header: the encoder's mark of
// a constant bit rate (a "Xing" header marks a variable one).
bool hasCbrInfoTag(TagLib::MPEG::File& file, long firstFrame, const FrameHeader& header) {
  file.seek(firstFrame + 4 + static_cast<long>(header.sideInfoSize));
  return file.readBlock(4) == ByteVector("Info", 4);
}

std::optional<FrameHeader> frameHeaderAt(TagLib::MPEG::File& file, long offset) {
  file.seek(offset);
  const ByteVector bytes = file.readBlock(4);
  if (bytes.size() < 4) return std::nullopt;
  return parseFrameHeader(reinterpret_cast<const uint8_t*>(bytes.data()));
}

// Timing from the MPEG frame headers; false when the file has no valid MPEG
// frame. TagLib reads the Xing/VBRI header of VBR files; the nominal rate of
// a CBR file is its frames' own, and a VBR file without such a header is
// measured frame by frame.
bool readHeaderTiming(TagLib::MPEG::File& file, media::MediaRecord& record) {
  const TagLib::MPEG::Properties* properties = file.audioProperties();
  if (properties == nullptr || properties->sampleRate() <= 0 || properties->bitrate() <= 0) return false;
  int32_t seconds = properties->lengthInMilliseconds() / 1000;
  int32_t bitrate = properties->bitrate();
  const long firstFrame = file.firstFrameOffset();
  const std::optional<FrameHeader> firstHeader =
      firstFrame >= 0 ? frameHeaderAt(file, firstFrame) : std::nullopt;
  if (firstHeader && properties->xingHeader() != nullptr) {
    if (hasCbrInfoTag(file, firstFrame, *firstHeader)) bitrate = firstHeader->bitrateKbps;
  } else if (firstHeader) {
    if (const auto scan = scanFrames(file, firstFrame); scan && scan->samples > 0) {
      const double duration = static_cast<double>(scan->samples) / scan->sampleRate;
      seconds = media::truncateToInt32(duration);
      bitrate = scan->constantBitrate
                    ? scan->firstBitrateKbps
                    : media::truncateToInt32(std::floor(double(scan->bytes) * 8.0 / duration / 1000.0));
    }
  }
  record.set(media::MediaDBMusicColumnPlayLength, seconds);
  record.set(media::MediaDBMusicColumnBitrate, bitrate);
  record.set(media::MediaDBMusicColumnSamplerate, int32_t{properties->sampleRate()});
  return true;
}

struct FileFacts {
  std::optional<uint64_t> size;
  std::optional<media::Date> modified;
};

FileFacts readFileFacts(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return {};
  return FileFacts{static_cast<uint64_t>(st.st_size),
                   media::Date::fromSeconds(st.st_mtim.tv_sec, st.st_mtim.tv_nsec)};
}

bool isRegularFile(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// Play length, bit rate and sampling frequency of a file without MPEG
// frames, measured as a movie; false when it cannot be opened as one.
bool readMovieTiming(const std::string& path, media::MediaRecord& record) {
  const auto file = file::InputFile::open(path);
  std::optional<movie::Movie> movie;  // released after the bracket's exit
  movie::ThreadBracket bracket;
  if (file) movie = movie::Movie::open(*file, media::lastPathComponent(path)).movie;
  if (!movie) return false;
  const double fileBytes = static_cast<double>(file->facts().size.value_or(0));
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
  // Anything but a regular file (a directory, a FIFO that would block the
  // reader) holds no audio.
  if (!isRegularFile(path)) return std::nullopt;

  media::MediaRecord record;
  record.set(media::MediaDBCommonColumnFilePath, path);
  record.set(media::MediaDBCommonColumnFileName, media::lastPathComponent(path));
  record.set(media::MediaDBCommonColumnIsManaged, false);
  record.set(media::MediaDBMusicColumnGenre, std::string("Unknown"));

  bool hasHeaderTiming = false;
  {
    // Read-only, so that reading never looks like a write to file watchers.
    TagLib::FileStream stream(path.c_str(), /*openReadOnly=*/true);
    RawTextFrameFactory factory;
    TagLib::MPEG::File file(&stream, &factory, /*readProperties=*/true);
    if (file.isOpen()) {
      readTags(file, record);
      hasHeaderTiming = readHeaderTiming(file, record);
    }
  }
  if (!hasHeaderTiming && !readMovieTiming(path, record)) return std::nullopt;

  record.set(media::MediaDBMusicColumnPlayCount, int32_t{0});
  record.set(media::MediaDBMusicColumnRating, int32_t{0});
  record.set(media::MediaDBMusicColumnAlbumRating, int32_t{0});
  record.set(media::MediaDBMusicColumnDateAdded, media::Date::now());
  const FileFacts facts = readFileFacts(path);
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
