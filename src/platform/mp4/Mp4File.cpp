#include "platform/mp4/Mp4File.h"

#include <taglib/mp4coverart.h>
#include <taglib/mp4file.h>
#include <taglib/mp4item.h>
#include <taglib/mp4tag.h>
#include <taglib/tstringlist.h>

#include <algorithm>
#include <array>
#include <climits>
#include <limits>
#include <utility>

#include "media/MediaDBKeys.h"
#include "platform/file/CheckedFileStream.h"
#include "platform/mp4/StoreGuard.h"

namespace corvane::mp4 {

namespace {

// Real metadata lists hold a few dozen items and a handful of pictures; these
// bounds keep a hostile list of millions of tiny boxes from costing gigabytes.
constexpr size_t kMaxItems = 4096;
constexpr size_t kMaxElementsPerItem = 1024;
// Real files have a handful of top-level boxes before the movie box.
constexpr int kMaxTopLevelBoxes = 4096;

using detail::ReadAt;

// The payload of the first top-level 'moov' box. Every top-level header
// before it must be well formed; a movie box that is cut short or larger
// than kMaxMovieBoxBytes is refused.
std::optional<media::Bytes> readMovieBox(uint64_t fileSize, const ReadAt& readAt) {
  uint64_t offset = 0;
  for (int count = 0; offset < fileSize && count < kMaxTopLevelBoxes; ++count) {
    std::array<uint8_t, 16> head{};
    const auto headLength = static_cast<size_t>(std::min<uint64_t>(head.size(), fileSize - offset));
    const std::span<uint8_t> headBytes(head.data(), headLength);
    if (!readAt(offset, headBytes)) return std::nullopt;
    const auto header = parseBoxHeader(headBytes, fileSize - offset);
    if (!header) return std::nullopt;
    if (header->type == fourcc("moov")) {
      const uint64_t payloadSize = header->size - header->headerSize;
      if (payloadSize > kMaxMovieBoxBytes) return std::nullopt;
      media::Bytes movie(static_cast<size_t>(payloadSize));
      if (!readAt(offset + header->headerSize, movie)) return std::nullopt;
      return movie;
    }
    offset += header->size;
  }
  return std::nullopt;
}

// ---- metadata list -------------------------------------------------------

std::string afterVersionAndFlags(ByteSpan payload) {
  if (payload.size() < 4) return {};
  return std::string(payload.begin() + 4, payload.end());
}

MetadataItem readItem(const Box& itemBox) {
  MetadataItem item;
  item.code = fourccText(itemBox.type);
  BoxReader parts(itemBox.payload);
  while (auto part = parts.next()) {
    if (part->type == fourcc("data")) {
      if (item.data.size() >= kMaxElementsPerItem) continue;
      ByteCursor cursor(part->payload);
      const uint32_t versionAndType = cursor.u32();
      cursor.skip(4);  // locale
      if (!cursor.ok()) continue;
      const ByteSpan value = cursor.rest();
      item.data.push_back({versionAndType & 0xFFFFFF, media::Bytes(value.begin(), value.end())});
    } else if (part->type == fourcc("mean")) {
      item.mean = afterVersionAndFlags(part->payload);
    } else if (part->type == fourcc("name")) {
      item.name = afterVersionAndFlags(part->payload);
    }
  }
  return item;
}

std::vector<MetadataItem> readItems(ByteSpan movie) {
  std::vector<MetadataItem> items;
  const auto list = findPath(movie, {fourcc("udta"), fourcc("meta"), fourcc("ilst")});
  if (!list) return items;
  BoxReader reader(list->payload);
  while (auto box = reader.next()) {
    if (items.size() >= kMaxItems) break;
    items.push_back(readItem(*box));
  }
  return items;
}

const media::Bytes* firstElement(const MetadataItem& item) {
  return item.data.empty() ? nullptr : &item.data.front().bytes;
}

// Text stops at the first NUL, as a C string would: nothing after it could
// be shown or sent anyway.
std::optional<std::string> textOf(const MetadataItem& item) {
  const media::Bytes* bytes = firstElement(item);
  if (!bytes) return std::nullopt;
  const auto end = std::find(bytes->begin(), bytes->end(), uint8_t{0});
  return std::string(bytes->begin(), end);
}

// A big-endian unsigned integer of 1 to 8 bytes that fits T.
template <typename T>
std::optional<T> numberOf(const MetadataItem& item) {
  const media::Bytes* bytes = firstElement(item);
  if (!bytes || bytes->empty() || bytes->size() > 8) return std::nullopt;
  uint64_t value = 0;
  for (uint8_t b : *bytes) value = (value << 8) | b;
  if (value > std::numeric_limits<T>::max()) return std::nullopt;
  return static_cast<T>(value);
}

// trkn / disk: 2 reserved bytes, the index, then (when present) the total.
std::optional<IndexTotal> indexTotalOf(const MetadataItem& item) {
  const media::Bytes* bytes = firstElement(item);
  if (!bytes || bytes->size() < 4) return std::nullopt;
  ByteCursor cursor(*bytes);
  cursor.skip(2);
  IndexTotal pair;
  pair.index = cursor.u16();
  if (cursor.remaining() >= 2) pair.total = cursor.u16();
  return pair;
}

ArtworkType artworkTypeOf(const DataElement& element) {
  switch (element.typeCode) {
    case 13:
      return ArtworkType::Jpeg;
    case 14:
      return ArtworkType::Png;
    case 12:
      return ArtworkType::Gif;
    case 27:
      return ArtworkType::Bmp;
    case 0:
      break;  // implicit: look at the bytes
    default:
      return ArtworkType::Undefined;
  }
  const auto starts = [&](std::initializer_list<uint8_t> magic) {
    return element.bytes.size() >= magic.size() &&
           std::equal(magic.begin(), magic.end(), element.bytes.begin());
  };
  if (starts({0xFF, 0xD8, 0xFF})) return ArtworkType::Jpeg;
  if (starts({0x89, 'P', 'N', 'G'})) return ArtworkType::Png;
  if (starts({'G', 'I', 'F', '8'})) return ArtworkType::Gif;
  if (starts({'B', 'M'})) return ArtworkType::Bmp;
  return ArtworkType::Undefined;
}

using TextField = std::optional<std::string> Tags::*;

struct TextItem {
  const char* code;
  TextField field;
};

constexpr std::array<TextItem, 29> kTextItems{{
    {"\251nam", &Tags::name},      {"\251ART", &Tags::artist},       {"aART", &Tags::albumArtist},
    {"\251alb", &Tags::album},     {"\251grp", &Tags::grouping},     {"\251wrt", &Tags::composer},
    {"\251cmt", &Tags::comments},  {"\251gen", &Tags::genre},        {"\251day", &Tags::releaseDate},
    {"tvsh", &Tags::tvShow},       {"tvnn", &Tags::tvNetwork},       {"tven", &Tags::tvEpisodeID},
    {"desc", &Tags::description},  {"ldes", &Tags::longDescription}, {"\251lyr", &Tags::lyrics},
    {"sonm", &Tags::sortName},     {"soar", &Tags::sortArtist},      {"soaa", &Tags::sortAlbumArtist},
    {"soal", &Tags::sortAlbum},    {"soco", &Tags::sortComposer},    {"sosn", &Tags::sortTVShow},
    {"cprt", &Tags::copyright},    {"\251too", &Tags::encodingTool}, {"\251enc", &Tags::encodedBy},
    {"purd", &Tags::purchaseDate}, {"keyw", &Tags::keywords},        {"catg", &Tags::category},
    {"xid ", &Tags::xid},          {"apID", &Tags::iTunesAccount},
}};

template <typename T>
void setOnce(std::optional<T>& field, std::optional<T> value) {
  if (!field) field = std::move(value);
}

template <typename T>
struct NumberItem {
  const char* code;
  std::optional<T> Tags::*field;
};

constexpr std::array<NumberItem<uint8_t>, 7> kByteItems{{
    {"cpil", &Tags::compilation},
    {"pcst", &Tags::podcast},
    {"hdvd", &Tags::hdVideo},
    {"stik", &Tags::mediaType},
    {"rtng", &Tags::contentRating},
    {"pgap", &Tags::gapless},
    {"akID", &Tags::iTunesAccountType},
}};
constexpr std::array<NumberItem<uint16_t>, 2> kShortItems{
    {{"gnre", &Tags::genreType}, {"tmpo", &Tags::tempo}}};
constexpr std::array<NumberItem<uint32_t>, 6> kWordItems{{
    {"tvsn", &Tags::tvSeason},
    {"tves", &Tags::tvEpisode},
    {"cnID", &Tags::contentID},
    {"atID", &Tags::artistID},
    {"geID", &Tags::genreID},
    {"sfID", &Tags::iTunesCountry},
}};

// Sets the field of table that item's code names; false when none does.
template <typename T, size_t N>
bool addFrom(const std::array<NumberItem<T>, N>& table, Tags& tags, const MetadataItem& item) {
  for (const NumberItem<T>& entry : table) {
    if (item.code != entry.code) continue;
    setOnce(tags.*(entry.field), numberOf<T>(item));
    return true;
  }
  return false;
}

void addNumber(Tags& tags, const MetadataItem& item) {
  if (addFrom(kByteItems, tags, item) || addFrom(kShortItems, tags, item) || addFrom(kWordItems, tags, item))
    return;
  if (item.code == "plID") setOnce(tags.playlistID, numberOf<uint64_t>(item));
  if (item.code == "trkn") setOnce(tags.track, indexTotalOf(item));
  if (item.code == "disk") setOnce(tags.disk, indexTotalOf(item));
}

Tags tagsFrom(const std::vector<MetadataItem>& items) {
  Tags tags;
  bool artworkSeen = false;
  for (const MetadataItem& item : items) {
    const auto text = std::find_if(kTextItems.begin(), kTextItems.end(),
                                   [&](const TextItem& t) { return item.code == t.code; });
    if (text != kTextItems.end()) {
      setOnce(tags.*(text->field), textOf(item));
    } else if (item.code == "covr") {
      if (artworkSeen) continue;
      artworkSeen = true;
      for (const DataElement& element : item.data)
        tags.artworks.push_back({element.bytes, artworkTypeOf(element)});
    } else {
      addNumber(tags, item);
    }
  }
  return tags;
}

// ---- first audio track ----------------------------------------------------

uint32_t trackIdOf(ByteSpan trak) {
  const auto header = findChild(trak, fourcc("tkhd"));
  if (!header) return 0;
  ByteCursor cursor(header->payload);
  const uint8_t version = cursor.u8();
  cursor.skip(3);                      // flags
  cursor.skip(version == 1 ? 16 : 8);  // creation and modification times
  const uint32_t id = cursor.u32();
  return cursor.ok() ? id : 0;
}

// Time scale and duration from the media header, version 0 (32-bit times)
// or 1 (64-bit times).
void readMediaHeader(ByteSpan trak, AudioTrack& track) {
  const auto header = findPath(trak, {fourcc("mdia"), fourcc("mdhd")});
  if (!header) return;
  ByteCursor cursor(header->payload);
  const uint8_t version = cursor.u8();
  cursor.skip(3);
  if (version > 1) return;
  cursor.skip(version == 1 ? 16 : 8);
  const uint32_t timeScale = cursor.u32();
  const uint64_t duration = version == 1 ? cursor.u64() : cursor.u32();
  if (!cursor.ok()) return;
  track.timeScale = timeScale;
  track.duration = duration;
}

// The length of an MPEG-4 descriptor: up to four bytes of 7 bits each.
uint32_t descriptorLength(ByteCursor& cursor) {
  uint32_t length = 0;
  for (int i = 0; i < 4; ++i) {
    const uint8_t b = cursor.u8();
    length = (length << 7) | (b & 0x7F);
    if ((b & 0x80) == 0) break;
  }
  return length;
}

// avgBitrate of the decoder configuration in an 'esds' payload.
std::optional<uint32_t> esdsAverageBitRate(ByteSpan payload) {
  constexpr uint8_t kEsDescriptor = 0x03, kDecoderConfig = 0x04;
  ByteCursor cursor(payload);
  cursor.skip(4);  // version and flags
  if (cursor.u8() != kEsDescriptor) return std::nullopt;
  descriptorLength(cursor);
  cursor.skip(2);  // ES_ID
  const uint8_t flags = cursor.u8();
  if (flags & 0x80) cursor.skip(2);            // depends on another stream
  if (flags & 0x40) cursor.skip(cursor.u8());  // URL
  if (flags & 0x20) cursor.skip(2);            // OCR stream
  if (cursor.u8() != kDecoderConfig) return std::nullopt;
  descriptorLength(cursor);
  cursor.skip(1 + 1 + 3 + 4);  // object type, stream type, buffer size, max bit rate
  const uint32_t average = cursor.u32();
  if (!cursor.ok()) return std::nullopt;
  return average;
}

// The 'esds' of the first sample description, directly under the audio
// sample entry or inside a QuickTime 'wave' box.
std::optional<uint32_t> declaredBitRate(ByteSpan trak) {
  const auto descriptions = findPath(trak, {fourcc("mdia"), fourcc("minf"), fourcc("stbl"), fourcc("stsd")});
  if (!descriptions) return std::nullopt;
  ByteCursor cursor(descriptions->payload);
  cursor.skip(8);  // version, flags, entry count
  if (!cursor.ok()) return std::nullopt;
  const auto entry = BoxReader(cursor.rest()).next();
  if (!entry) return std::nullopt;
  // Sound sample entry: 8 bytes of reserved and reference index, then 20
  // bytes of sound description; QuickTime versions 1 and 2 add 16 or 36.
  ByteCursor fields(entry->payload);
  fields.skip(8);
  const uint16_t version = fields.u16();
  const size_t headerSize = version == 1 ? 44 : version == 2 ? 64 : 28;
  if (!fields.ok() || entry->payload.size() < headerSize) return std::nullopt;
  const ByteSpan children = entry->payload.subspan(headerSize);
  auto esds = findChild(children, fourcc("esds"));
  if (!esds) esds = findPath(children, {fourcc("wave"), fourcc("esds")});
  return esds ? esdsAverageBitRate(esds->payload) : std::nullopt;
}

// Sum of the sample sizes; none when the table is missing or cut short.
std::optional<uint64_t> totalSampleBytes(ByteSpan trak) {
  const auto sizes = findPath(trak, {fourcc("mdia"), fourcc("minf"), fourcc("stbl"), fourcc("stsz")});
  if (!sizes) return std::nullopt;
  ByteCursor cursor(sizes->payload);
  cursor.skip(4);
  const uint32_t commonSize = cursor.u32();
  const uint32_t count = cursor.u32();
  if (!cursor.ok()) return std::nullopt;
  if (commonSize != 0) return uint64_t{commonSize} * count;
  if (cursor.remaining() / 4 < count) return std::nullopt;
  uint64_t total = 0;
  for (uint32_t i = 0; i < count; ++i) total += cursor.u32();
  return total;
}

uint32_t bitRateOf(ByteSpan trak, const AudioTrack& track) {
  if (const auto declared = declaredBitRate(trak); declared && *declared != 0) return *declared;
  const auto bytes = totalSampleBytes(trak);
  if (!bytes || track.duration == 0 || track.timeScale == 0) return 0;
  const double bits =
      static_cast<double>(*bytes) * 8.0 * track.timeScale / static_cast<double>(track.duration);
  return bits >= std::numeric_limits<uint32_t>::max() ? std::numeric_limits<uint32_t>::max()
                                                      : static_cast<uint32_t>(bits);
}

bool isSoundTrack(ByteSpan trak) {
  const auto handler = findPath(trak, {fourcc("mdia"), fourcc("hdlr")});
  if (!handler) return false;
  ByteCursor cursor(handler->payload);
  cursor.skip(8);  // version, flags, pre-defined
  return cursor.u32() == fourcc("soun") && cursor.ok();
}

std::optional<AudioTrack> readFirstAudioTrack(ByteSpan movie) {
  BoxReader reader(movie);
  while (auto box = reader.next()) {
    if (box->type != fourcc("trak") || !isSoundTrack(box->payload)) continue;
    AudioTrack track;
    track.trackId = trackIdOf(box->payload);
    readMediaHeader(box->payload, track);
    track.bitRate = bitRateOf(box->payload, track);
    return track;
  }
  return std::nullopt;
}

// ---- writing --------------------------------------------------------------

TagLib::String itemKey(const char* code) { return TagLib::String(code, TagLib::String::Latin1); }

void storeText(TagLib::MP4::Tag& tag, const char* code, const std::optional<std::string>& value) {
  if (value) {
    tag.setItem(itemKey(code),
                TagLib::MP4::Item(TagLib::StringList(TagLib::String(*value, TagLib::String::UTF8))));
  } else {
    tag.removeItem(itemKey(code));
  }
}

void storePair(TagLib::MP4::Tag& tag, const char* code, const std::optional<IndexTotal>& value) {
  if (value) {
    tag.setItem(itemKey(code), TagLib::MP4::Item(int{value->index}, int{value->total}));
  } else {
    tag.removeItem(itemKey(code));
  }
}

TagLib::MP4::CoverArt::Format coverFormat(ArtworkType type) {
  switch (type) {
    case ArtworkType::Jpeg:
      return TagLib::MP4::CoverArt::JPEG;
    case ArtworkType::Png:
      return TagLib::MP4::CoverArt::PNG;
    case ArtworkType::Gif:
      return TagLib::MP4::CoverArt::GIF;
    case ArtworkType::Bmp:
      return TagLib::MP4::CoverArt::BMP;
    case ArtworkType::Undefined:
      break;
  }
  return TagLib::MP4::CoverArt::Unknown;
}

void storeArtworks(TagLib::MP4::Tag& tag, const std::vector<Artwork>& artworks) {
  if (artworks.empty()) {
    tag.removeItem("covr");
    return;
  }
  TagLib::MP4::CoverArtList list;
  for (const Artwork& art : artworks) {
    const TagLib::ByteVector data(reinterpret_cast<const char*>(art.data.data()),
                                  static_cast<unsigned int>(art.data.size()));
    list.append(TagLib::MP4::CoverArt(coverFormat(art.type), data));
  }
  tag.setItem("covr", TagLib::MP4::Item(list));
}

bool writableFieldsDiffer(const Tags& a, const Tags& b) {
  for (const WritableText& t : kWritableTexts) {
    if (a.*(t.field) != b.*(t.field)) return true;
  }
  return a.track != b.track || a.disk != b.disk || a.artworks != b.artworks;
}

// Whether written holds every change that was asked for (requested where it
// differs from before). Fields left alone are not compared: the library
// normalises some of them when it saves (a numeric genre becomes text,
// invalid UTF-8 is replaced). Artwork is compared by its bytes: the library
// may store the picture kind differently.
bool holdsRequestedChanges(const Tags& written, const Tags& requested, const Tags& before) {
  for (const WritableText& t : kWritableTexts) {
    if (requested.*(t.field) != before.*(t.field) && written.*(t.field) != requested.*(t.field)) return false;
  }
  if (requested.track != before.track && written.track != requested.track) return false;
  if (requested.disk != before.disk && written.disk != requested.disk) return false;
  const auto sameData = [](const Artwork& a, const Artwork& b) { return a.data == b.data; };
  return requested.artworks == before.artworks ||
         std::equal(written.artworks.begin(), written.artworks.end(), requested.artworks.begin(),
                    requested.artworks.end(), sameData);
}

// Positioned reads through the stream a store writes with.
ReadAt readerOf(file::CheckedFileStream& stream) {
  return [&stream](uint64_t offset, std::span<uint8_t> out) {
    return offset <= static_cast<uint64_t>(LONG_MAX) &&
           stream.readAt(static_cast<long>(offset), reinterpret_cast<char*>(out.data()), out.size());
  };
}

}  // namespace

const std::array<WritableText, 7> kWritableTexts{{
    {&Tags::name, "\251nam", media::MediaDBMusicColumnTitle},
    {&Tags::album, "\251alb", media::MediaDBMusicColumnAlbum},
    {&Tags::artist, "\251ART", media::MediaDBMusicColumnArtist},
    {&Tags::albumArtist, "aART", media::MediaDBMusicColumnAlbumArtist},
    {&Tags::composer, "\251wrt", media::MediaDBMusicColumnComposer},
    {&Tags::genre, "\251gen", media::MediaDBMusicColumnGenre},
    {&Tags::releaseDate, "\251day", media::MediaDBMusicColumnDateReleased},
}};

void Tags::addArtwork(Artwork artwork) { artworks.push_back(std::move(artwork)); }

bool Tags::setArtwork(size_t index, Artwork artwork) {
  if (index >= artworks.size()) return false;
  artworks[index] = std::move(artwork);
  return true;
}

bool Tags::removeArtwork(size_t index) {
  if (index >= artworks.size()) return false;
  artworks.erase(artworks.begin() + static_cast<std::ptrdiff_t>(index));
  return true;
}

std::optional<Mp4File> Mp4File::fromBytes(ByteSpan fileBytes) {
  const auto movie = readMovieBox(fileBytes.size(), [&](uint64_t offset, std::span<uint8_t> out) {
    if (offset > fileBytes.size() || out.size() > fileBytes.size() - offset) return false;
    std::copy_n(fileBytes.begin() + static_cast<std::ptrdiff_t>(offset), out.size(), out.begin());
    return true;
  });
  if (!movie) return std::nullopt;
  return fromMovieBox(*movie);
}

std::optional<Mp4File> Mp4File::read(const file::InputFile& file) {
  const auto movie = readMovieBox(file.size(), [&file](uint64_t offset, std::span<uint8_t> out) {
    return file.readAt(offset, out.data(), out.size());
  });
  if (!movie) return std::nullopt;
  return fromMovieBox(*movie);
}

std::optional<Mp4File> Mp4File::openRead(const std::string& path) {
  const std::optional<file::InputFile> file = file::InputFile::open(path);
  if (!file) return std::nullopt;
  return read(*file);
}

Mp4File Mp4File::fromMovieBox(const media::Bytes& movie) {
  Mp4File file;
  file.items_ = readItems(movie);
  file.tags_ = tagsFrom(file.items_);
  file.audio_ = readFirstAudioTrack(movie);
  return file;
}

bool Mp4File::store(const Tags& updated, file::CheckedFileStream& stream) {
  if (!writableFieldsDiffer(tags_, updated)) return true;
  const ReadAt readAt = readerOf(stream);
  const long length = stream.length();
  if (stream.failed() || !detail::safeForTheWriter(static_cast<uint64_t>(length), readAt)) return false;
  {
    // Audio properties are not needed for a save; skipping them saves a pass.
    TagLib::MP4::File file(&stream, false);
    TagLib::MP4::Tag* tag = file.tag();
    if (!file.isValid() || file.readOnly() || tag == nullptr) return false;
    for (const WritableText& t : kWritableTexts) {
      if (tags_.*(t.field) != updated.*(t.field)) storeText(*tag, t.code, updated.*(t.field));
    }
    // TagLib folds 'gnre' into the same genre text, so which of the two it
    // would save depends on the file: a real ©gen text is written out again.
    if (updated.genre) storeText(*tag, "\251gen", updated.genre);
    if (tags_.track != updated.track) storePair(*tag, "trkn", updated.track);
    if (tags_.disk != updated.disk) storePair(*tag, "disk", updated.disk);
    if (tags_.artworks != updated.artworks) storeArtworks(*tag, updated.artworks);
    if (!file.save() || stream.failed()) return false;
  }
  // What the file now holds, so that a second store compares against it.
  const auto movie = readMovieBox(static_cast<uint64_t>(stream.length()), readAt);
  if (!movie || stream.failed()) return false;
  Mp4File written = fromMovieBox(*movie);
  if (!holdsRequestedChanges(written.tags_, updated, tags_)) return false;
  *this = std::move(written);
  return true;
}

}  // namespace corvane::mp4
