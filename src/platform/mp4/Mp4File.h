#pragma once

// The MP4 metadata layer: reads the iTunes-style metadata list
// (moov/udta/meta/ilst) and the first audio track's timing of an MP4 family
// file (MP4, M4A, M4V...), and writes the tag writer's fields back.
//
// Reading is done here with our own box reader, in one pass over the movie
// box only: the media data is never read, and TagLib is not involved (it
// folds a numeric 'gnre' into '©gen' text, so a reader built on it cannot tell
// the two apart). Writing goes through TagLib's MP4 file, which moves the
// chunk offsets when the movie box grows. TagLib trusts the sizes and counts
// it finds, so a store first checks that the file is one TagLib can save into
// without writing past what it holds, and refuses the others.
//
// An Mp4File holds no open file: reading takes what it needs from a file the
// caller opened. Objects are independent; use one per thread.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "media/MediaRecord.h"
#include "platform/file/InputFile.h"
#include "platform/mp4/BoxReader.h"

namespace corvane::file {
class CheckedFileStream;
}

namespace corvane::mp4 {

// Index and total of a track or disc entry.
struct IndexTotal {
  uint16_t index = 0;
  uint16_t total = 0;
  bool operator==(const IndexTotal&) const = default;
};

// Artwork kinds as the tag set numbers them (the number is printed in dumps).
enum class ArtworkType : int { Undefined = 0, Bmp = 1, Gif = 2, Jpeg = 3, Png = 4 };

struct Artwork {
  media::Bytes data;
  ArtworkType type = ArtworkType::Undefined;
  bool operator==(const Artwork&) const = default;
};

// The tag set: every field is absent unless the file has the item. Text is
// the item's bytes up to the first NUL, not checked for UTF-8. A field with
// several data elements gives the first one, a code that occurs twice the
// first item.
struct Tags {
  std::optional<std::string> name;             // ©nam
  std::optional<std::string> artist;           // ©ART
  std::optional<std::string> albumArtist;      // aART
  std::optional<std::string> album;            // ©alb
  std::optional<std::string> grouping;         // ©grp
  std::optional<std::string> composer;         // ©wrt
  std::optional<std::string> comments;         // ©cmt
  std::optional<std::string> genre;            // ©gen, only from a real ©gen item
  std::optional<uint16_t> genreType;           // gnre, 1-based genre code
  std::optional<std::string> releaseDate;      // ©day
  std::optional<IndexTotal> track;             // trkn
  std::optional<IndexTotal> disk;              // disk
  std::optional<uint16_t> tempo;               // tmpo
  std::optional<uint8_t> compilation;          // cpil
  std::optional<std::string> tvShow;           // tvsh
  std::optional<std::string> tvNetwork;        // tvnn
  std::optional<std::string> tvEpisodeID;      // tven
  std::optional<uint32_t> tvSeason;            // tvsn
  std::optional<uint32_t> tvEpisode;           // tves
  std::optional<std::string> description;      // desc
  std::optional<std::string> longDescription;  // ldes
  std::optional<std::string> lyrics;           // ©lyr
  std::optional<std::string> sortName;         // sonm
  std::optional<std::string> sortArtist;       // soar
  std::optional<std::string> sortAlbumArtist;  // soaa
  std::optional<std::string> sortAlbum;        // soal
  std::optional<std::string> sortComposer;     // soco
  std::optional<std::string> sortTVShow;       // sosn
  std::vector<Artwork> artworks;               // covr, one per data element, in file order
  std::optional<std::string> copyright;        // cprt
  std::optional<std::string> encodingTool;     // ©too
  std::optional<std::string> encodedBy;        // ©enc
  std::optional<std::string> purchaseDate;     // purd
  std::optional<uint8_t> podcast;              // pcst
  std::optional<std::string> keywords;         // keyw
  std::optional<std::string> category;         // catg
  std::optional<uint8_t> hdVideo;              // hdvd
  std::optional<uint8_t> mediaType;            // stik
  std::optional<uint8_t> contentRating;        // rtng
  std::optional<uint8_t> gapless;              // pgap
  std::optional<uint32_t> contentID;           // cnID
  std::optional<uint32_t> artistID;            // atID
  std::optional<uint64_t> playlistID;          // plID
  std::optional<uint32_t> genreID;             // geID
  std::optional<std::string> xid;              // xid
  std::optional<std::string> iTunesAccount;    // apID
  std::optional<uint8_t> iTunesAccountType;    // akID
  std::optional<uint32_t> iTunesCountry;       // sfID

  // Artwork list edits. The index forms return false (and change nothing)
  // when index is past the end.
  void addArtwork(Artwork artwork);
  bool setArtwork(size_t index, Artwork artwork);
  bool removeArtwork(size_t index);

  bool operator==(const Tags&) const = default;
};

// The text fields a store writes, each with its item and the media record key
// the tag writer takes it from. With track, disk and the artwork list they
// are everything a store changes.
struct WritableText {
  std::optional<std::string> Tags::*field;
  const char* code;       // the item's atom name
  const char* recordKey;  // MediaDB column key
};
extern const std::array<WritableText, 7> kWritableTexts;

// One data element of a metadata item: its well-known type (1 UTF-8, 0
// implicit, 13 JPEG, 21 signed integer...) and its value bytes.
struct DataElement {
  uint32_t typeCode = 0;
  media::Bytes bytes;
};

// One entry of the metadata list, in file order.
struct MetadataItem {
  std::string code;  // the four raw bytes of the atom name, e.g. "purl", "\251nam"
  std::string mean;  // free-form ("----") items only
  std::string name;  // free-form ("----") items only
  std::vector<DataElement> data;
};

// The first audio track ("soun" handler, first in file order).
struct AudioTrack {
  uint32_t trackId = 0;    // from its track header, 0 when that is missing
  uint64_t duration = 0;   // media header duration, in the track's own ticks
  uint32_t timeScale = 0;  // ticks per second
  // Bits per second: the decoder configuration's average bit rate when the
  // file states one (not 0), else computed from the sample sizes and the
  // duration; 0 when neither is known.
  uint32_t bitRate = 0;
};

// A movie box larger than this is refused rather than read into memory.
inline constexpr uint64_t kMaxMovieBoxBytes = 256ull * 1024 * 1024;

class Mp4File {
 public:
  // None when the file cannot be read or has no well-formed movie box
  // ('moov') among its top-level boxes.
  static std::optional<Mp4File> read(const file::InputFile& file);
  // read() of the file at path, opened with file::InputFile::open (so also
  // none for a missing path or anything but a regular file).
  static std::optional<Mp4File> openRead(const std::string& path);
  // The same reading done on a whole file's bytes already in memory.
  static std::optional<Mp4File> fromBytes(ByteSpan fileBytes);

  // The tag set, as fetched when the file was opened.
  const Tags& tags() const { return tags_; }
  // Every metadata item, in file order.
  const std::vector<MetadataItem>& items() const { return items_; }
  std::optional<AudioTrack> firstAudioTrack() const { return audio_; }

  // Writes the writable fields (kWritableTexts, track, disk, the artwork
  // list) into the file that stream is open on, which holds the bytes this
  // object was read from (the file itself, or a copy of it). Each field that
  // differs from tags() is replaced (removed when absent in updated); every
  // other field and item is kept. Nothing is written when none differs.
  //
  // False, having written nothing, when the file is one the writer library
  // would write past or pad without bound: top-level boxes that do not fill
  // the file exactly, a fragmented file, a movie box larger than
  // kMaxMovieBoxBytes or with a box that overruns its parent, a chunk offset
  // table whose count overruns its box or that stands first in the movie or
  // user-data box. False also when a write fails or the file does not read
  // back with every requested change (the library can save tags where no
  // reader finds them); the file may then be half written, so callers write
  // into a copy. On success tags() and items() describe the file as written.
  //
  // The writer library rewrites a numeric 'gnre' as '©gen' text with the
  // same genre name whenever it saves.
  bool store(const Tags& updated, file::CheckedFileStream& stream);

 private:
  // The items, tags and first audio track of a movie box's bytes.
  static Mp4File fromMovieBox(const media::Bytes& movie);
  Mp4File() = default;

  Tags tags_;
  std::vector<MetadataItem> items_;
  std::optional<AudioTrack> audio_;
};

}  // namespace corvane::mp4
