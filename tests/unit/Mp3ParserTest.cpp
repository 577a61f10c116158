// The MP3 info builder: ID3v2 (every version and layout), ID3v1, text
// encodings, the genre and track rules, the cover; timing from the MPEG
// frames (with the frame walk) or, without frames, from the movie layer
// through the main-thread bracket.

#include <zlib.h>

#include <chrono>
#include <future>
#include <vips/vips8>

#include "BusyMainLoop.h"
#include "builders/MP3Parser.h"
#include "media/MainThread.h"
#include "platform/file/InputFile.h"
#include "platform/id3/Id3Fields.h"
#include "platform/movie/Movie.h"
#include "platform/mpeg/MpegFrames.h"
#include "unit/TestSupport.h"

namespace corvane {
namespace {

namespace fs = std::filesystem;
using builders::MP3Parser;
using movie::Movie;
using namespace test;
using namespace media;  // the MediaDB keys

using tagtest::Fields;
using tagtest::pick;

// The movie layer's enter and exit steps taken while body runs.
std::pair<uint64_t, uint64_t> brackets(const std::function<void()>& body) {
  const auto before = Movie::bracketCounts();
  body();
  const auto after = Movie::bracketCounts();
  return {after.enters - before.enters, after.exits - before.exits};
}
const std::pair<uint64_t, uint64_t> kNoBracket{0, 0}, kOneBracket{1, 1};

class Mp3ParserTest : public ::testing::Test {
 protected:
  std::string path(const std::string& name) const { return dir_ / name; }
  // ffmpeg's encoding of a tone (options: bit rate, headers), with one frame
  // header zeroed when damaged.
  std::string encoded(const std::string& name, const std::string& options, int seconds,
                      bool damaged = false) {
    EXPECT_TRUE(tagtest::run(
        "ffmpeg -nostdin -v error -y -f lavfi -i sine=frequency=440:duration=" + std::to_string(seconds) +
        " -map_metadata -1 -id3v2_version 0 -c:a libmp3lame " + options + " " + path(name)));
    if (damaged) {
      auto bytes = tagtest::readBytes(path(name));
      size_t at = bytes.size() / 2;
      while (!(bytes[at] == 0xFF && (bytes[at + 1] & 0xFE) == 0xFA && (bytes[at + 2] & 0xF0) != 0xF0)) ++at;
      std::fill_n(bytes.begin() + static_cast<long>(at), 4, 0);
      writeBytes(path(name), bytes);
    }
    return path(name);
  }
  // A WAV file of 3.5 s of silence (no byte pattern that could pass for an
  // MPEG frame) under this name.
  std::string wav(const std::string& name) {
    EXPECT_TRUE(
        tagtest::run("ffmpeg -nostdin -v error -y -f lavfi -i anullsrc=r=22050:cl=mono -t 3.5 "
                     "-c:a pcm_s16le -f wav " +
                     path(name)));
    return path(name);
  }
  // A file of the tag bytes in front of hand-made silent MPEG audio.
  std::string tagged(const Bytes& front, const Bytes& back = {}) {
    EXPECT_TRUE(writeBytes(path("tagged.mp3"), concat({front, silentMpegFrames(40), back})));
    return path("tagged.mp3");
  }
  static MediaRecord build(const std::string& p) {
    auto record = MP3Parser().build(p);
    EXPECT_TRUE(record.has_value()) << p;
    return record.value_or(MediaRecord{});
  }

  tagtest::ScratchDir dir_;
};

TEST_F(Mp3ParserTest, ReadsEveryTagVersionIntoTheSameKeys) {
  // clang-format off
  const Fields expected{{MediaDBMusicColumnTitle, "Title"}, {MediaDBMusicColumnArtist, "Artist"},
                        {MediaDBMusicColumnAlbum, "Album"}, {MediaDBMusicColumnComposer, "Composer"},
                        {MediaDBMusicColumnGenre, "Rock"}, {MediaDBMusicColumnTrackNo, "3"},
                        {MediaDBMusicColumnDateReleased, "1999"}, {MediaDBCommonColumnReservedText, "Comment text"}};
  // clang-format on
  for (int version : {2, 3, 4}) {
    SCOPED_TRACE(version);
    const bool v22 = version == 2;
    Id3TagBytes tag(version);
    tag.text(v22 ? "TT2" : "TIT2", "Title").text(v22 ? "TP1" : "TPE1", "Artist");
    tag.text(v22 ? "TAL" : "TALB", "Album").text(v22 ? "TCM" : "TCOM", "Composer");
    tag.text(v22 ? "TCO" : "TCON", "(17)").text(v22 ? "TRK" : "TRCK", "3/12");
    tag.text(v22 ? "TYE" : version == 3 ? "TYER" : "TDRC", "1999").comment("desc", "Comment text");
    EXPECT_EQ(pick(build(tagged(tag.bytes())), expected), expected);
  }

  // ID3v2 wins over ID3v1; ID3v1 alone is read.
  const Id3v1Fields v1{"Old title", "Old artist", "Old album", "1987", "Old comment", 9, 13};
  const Fields both{{MediaDBMusicColumnTitle, "New"},
                    {MediaDBMusicColumnArtist, "<absent>"},
                    {MediaDBMusicColumnGenre, "Unknown"}};
  EXPECT_EQ(pick(build(tagged(Id3TagBytes(3).text("TIT2", "New").bytes(), id3v1Bytes(v1))), both), both);
  // clang-format off
  const Fields only{{MediaDBMusicColumnTitle, "Old title"}, {MediaDBMusicColumnArtist, "Old artist"},
                    {MediaDBMusicColumnAlbum, "Old album"}, {MediaDBMusicColumnDateReleased, "1987"},
                    {MediaDBCommonColumnReservedText, "Old comment"}, {MediaDBMusicColumnTrackNo, "9"},
                    {MediaDBMusicColumnGenre, "Pop"}};
  // clang-format on
  EXPECT_EQ(pick(build(tagged({}, id3v1Bytes(v1))), only), only);
}

TEST_F(Mp3ParserTest, GenreTrackRepeatedFramesAndTagLayouts) {
  // A v2.3 frame stored compressed: the content's size, then its zlib stream.
  const std::string zipped("\0Zipped", 7);
  uLongf size = compressBound(zipped.size());
  Bytes compressed{0, 0, 0, static_cast<uint8_t>(zipped.size())};
  compressed.resize(4 + size);
  compress(compressed.data() + 4, &size, reinterpret_cast<const Bytef*>(zipped.data()), zipped.size());
  compressed.resize(4 + size);
  const std::pair<Id3TagBytes, Fields> rows[] = {
      {Id3TagBytes(3).text("TCON", "(255)"), {{MediaDBMusicColumnGenre, "Booty Bass"}}},
      {Id3TagBytes(3).text("TCON", "Rock"), {{MediaDBMusicColumnGenre, "Rock"}}},
      {Id3TagBytes(3).text("TCON", ""), {{MediaDBMusicColumnGenre, ""}}},
      {Id3TagBytes(3).text("TCON", "(17)Rock"), {{MediaDBMusicColumnGenre, "Rock"}}},
      {Id3TagBytes(4).text("TIT2", "First").text("TIT2", "Second").text("TRCK", "7/12"),
       {{MediaDBMusicColumnTitle, "Second"}, {MediaDBMusicColumnTrackNo, "7"}}},
      {Id3TagBytes(3).text("TRCK", "A1"), {{MediaDBMusicColumnTrackNo, "0"}}},
      // Layouts: an extended header with tag-wide unsynchronisation, plain
      // v2.4 sizes, a compressed frame.
      {Id3TagBytes(3).extendedHeader().unsynchronise().utf16("TIT2", u"\u00FF\u00FF").padding(8),
       {{MediaDBMusicColumnTitle, "ÿÿ"}}},
      {Id3TagBytes(4).plainFrameSizes().text("TALB", std::string(200, 'a')).text("TIT2", "After"),
       {{MediaDBMusicColumnTitle, "After"}}},
      {Id3TagBytes(3).frame("TIT2", compressed, 0x0080), {{MediaDBMusicColumnTitle, "Zipped"}}}};
  for (const auto& [tag, expected] : rows) {
    SCOPED_TRACE(expected.begin()->second);
    EXPECT_EQ(pick(build(tagged(tag.bytes())), expected), expected);
  }
}

TEST_F(Mp3ParserTest, DecodesTextsByTheirEncoding) {
  Id3TagBytes tag(4);
  tag.text("TIT2", "\xC7\xD1\xB1\xB9", 0)               // valid code page 949: Korean
      .text("TPE1", "Caf\xE9", 0)                       // not CP949: Latin-1
      .text("TALB", "Bad \xC3\x28 utf8", 3)             // ill-formed UTF-8: read as 8-bit text
      .utf16("TCOM", u"Dvo\u0159\u00E1k", true)         // BOM FE FF under encoding 1
      .text("TCON", std::string("\0J\0a\0z\0z", 8), 2)  // UTF-16BE without BOM
      .comment("d", "\xEC\xA3\xBC\xEC\x84\x9D", 3);     // UTF-8 comment
  // clang-format off
  const Fields expected{{MediaDBMusicColumnTitle, "한국"}, {MediaDBMusicColumnArtist, "Café"},
                        {MediaDBMusicColumnAlbum, "Bad \xC3\x83( utf8"}, {MediaDBMusicColumnComposer, "Dvořák"},
                        {MediaDBMusicColumnGenre, "Jazz"}, {MediaDBCommonColumnReservedText, "주석"}};
  // clang-format on
  EXPECT_EQ(pick(build(tagged(tag.bytes())), expected), expected);
}

TEST(Id3TextTest, ReadsTheFirstStringOfTheTextField) {
  using id3::FieldLayout;
  // A UTF-16 comment: its description and text each carry a BOM; a UTF-16
  // terminator is an aligned zero unit, not any two zero bytes.
  const std::string comment(
      "\1eng\xFF\xFE"
      "d\0\0\0\xFF\xFE\0\1b\0\0\0x",
      19);
  auto field = id3::readTextField(comment, FieldLayout::kComment);
  ASSERT_TRUE(field);
  EXPECT_EQ(id3::decodeText(*field), "\u0100b");
  EXPECT_FALSE(id3::readTextField(std::string("\0en", 3), FieldLayout::kComment));
  EXPECT_FALSE(id3::readTextField("\0engno terminator", FieldLayout::kComment));
  EXPECT_FALSE(id3::readTextField("", FieldLayout::kText));
  // Several texts (ID3v2.4): the first; a missing BOM reads little-endian;
  // an unpaired surrogate is replaced, not dropped.
  EXPECT_EQ(id3::decodeText(*id3::readTextField(std::string("\x00One\x00Two", 8), FieldLayout::kText)),
            "One");
  EXPECT_EQ(id3::decodeText({1, std::string("H\x00i\x00", 4)}), "Hi");
  EXPECT_EQ(id3::decodeText({1, std::string("\0\xD8\x41\0", 4)}), "\uFFFDA");
  EXPECT_EQ(id3::decodeText({9, std::string("plain\0tail", 10)}), "plain");
  for (const auto& [text, expected] : std::vector<std::pair<const char*, int64_t>>{
           {"  -12abc", -12}, {"99999999999", 2147483647}, {"-99999999999", -2147483648LL}, {"+", 0}})
    EXPECT_EQ(leadingInteger(text, Overflow::Saturate), expected) << text;
}

// Timing comes from the MPEG frames, never from the movie layer. A CBR
// file gives its frames' nominal rate, with an Info header or without one
// (then the frames are walked); one damaged frame header does not cut a
// CBR length (players estimate it from the size) nor a VBR one (walked).
TEST_F(Mp3ParserTest, TimingComesFromTheMpegFrames) {
  const std::string cbr = encoded("cbr.mp3", "-b:a 128k", 5);
  const std::string vbr = encoded("vbr.mp3", "-q:a 4", 5);
  const std::string cbrDamaged = encoded("cbr-damaged.mp3", "-b:a 128k -write_xing 0", 20, true);
  const std::string vbrDamaged = encoded("vbr-damaged.mp3", "-q:a 4 -write_xing 0", 20, true);
  const auto probed =
      tagtest::run("ffprobe -v error -show_entries format=duration -of csv=p=0 " + cbrDamaged);
  ASSERT_TRUE(probed);
  std::map<std::string, MediaRecord> records;
  EXPECT_EQ(brackets([&] {
              for (const std::string& file : {cbr, vbr, cbrDamaged, vbrDamaged}) records[file] = build(file);
            }),
            kNoBracket);
  const auto number = [&](const std::string& file, const char* key) {
    const auto* value = records[file].get<int32_t>(key);
    return value ? *value : -999;
  };
  const Fields timing{{MediaDBMusicColumnBitrate, "128"},
                      {MediaDBMusicColumnSamplerate, "44100"},
                      {MediaDBMusicColumnPlayLength, "5"}};
  EXPECT_EQ(pick(records[cbr], timing), timing);
  EXPECT_NEAR(number(vbr, MediaDBMusicColumnPlayLength), 5, 1);
  EXPECT_GT(number(vbr, MediaDBMusicColumnBitrate), 0);
  EXPECT_EQ(number(cbrDamaged, MediaDBMusicColumnBitrate), 128);
  EXPECT_NEAR(number(cbrDamaged, MediaDBMusicColumnPlayLength), std::stod(*probed), 1.0);
  EXPECT_NEAR(number(vbrDamaged, MediaDBMusicColumnPlayLength), 20.0, 1.0);

  // Any extension: still the MP3 type; the file facts are the file's.
  fs::copy_file(cbr, path("song.wav"));
  const MediaRecord r = build(path("song.wav"));
  const Fields type{{MediaDBCommonColumnMediaType, std::to_string(kMediaTypeMP3)},
                    {MediaDBCommonColumnFileTypeString, "MP3"},
                    {MediaDBCommonColumnFileName, "song.wav"}};
  EXPECT_EQ(pick(r, type), type);
  EXPECT_EQ(*r.get<uint64_t>(MediaDBCommonColumnFileSize), fs::file_size(cbr));
  EXPECT_TRUE(r.contains(MediaDBMusicColumnDateModified) && r.contains(MediaDBMusicColumnDateAdded));
}

TEST(MpegFrameWalkTest, ResynchronisesOnConfirmedHeadersOnly) {
  tagtest::ScratchDir dir;
  const Bytes frames = silentMpegFrames(20);
  const uint64_t frameBytes = frames.size() / 20;
  // A stray sync pattern in a gap, as of a 320 kbit/s frame: that frame
  // would end inside the zeros of a real one, where no header confirms it.
  const Bytes strayGap = concat({Bytes(10, 0), {0xFF, 0xFB, 0xE0, 0x64}, Bytes(40, 0)});
  // clang-format off
  const struct { Bytes stream; uint64_t frames, extent; } rows[] = {
      {concat({frames, Bytes(frameBytes, 0), frames}), 40, 41 * frameBytes},  // a frame zeroed
      {concat({frames, strayGap, frames}), 40, 40 * frameBytes + strayGap.size()},
      {concat({frames, Bytes(5000, 0x55)}), 20, 20 * frameBytes}};
  // clang-format on
  for (const auto& row : rows) {
    writeBytes(dir / "walk.mp3", row.stream);
    const auto input = file::InputFile::open(dir / "walk.mp3");
    const auto scan = mpeg::scanFrames(*input, 0, input->size());
    ASSERT_TRUE(scan);
    EXPECT_EQ(scan->frames, row.frames);
    EXPECT_EQ(scan->streamEnd - scan->firstFrame, row.extent);
    EXPECT_TRUE(scan->constantBitrate);
  }
}

TEST_F(Mp3ParserTest, FallsBackToTheMovieLayerWithoutMpegFrames) {
  const auto t = builders::timingFromDuration(200.5, 3'200'000);
  EXPECT_EQ(std::pair(t.playLengthSeconds, t.bitrateKbps), std::pair(std::optional(200), std::optional(127)));
  EXPECT_FALSE(builders::timingFromDuration(0, 1000).playLengthSeconds);

  // A WAV file under an .mp3 name: no MPEG frame, but a movie of 3.5 s, in
  // one enter and one exit step, each waiting for the main loop.
  const std::string file = wav("pcm.mp3");
  MediaRecord r;
  EXPECT_EQ(brackets([&] {
              BusyMainLoop loop;
              const auto enters = Movie::bracketCounts().enters;
              auto result = std::async(std::launch::async, [&file] { return MP3Parser().build(file); });
              EXPECT_EQ(result.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);
              EXPECT_EQ(Movie::bracketCounts().enters, enters);
              loop.open();
              r = result.get().value_or(MediaRecord{});
            }),
            kOneBracket);
  const Fields expected{
      {MediaDBMusicColumnPlayLength, "3"},
      {MediaDBMusicColumnBitrate, std::to_string(int32_t(fs::file_size(file) * 8 / 3.5 / 1000))},
      {MediaDBMusicColumnSamplerate, "22050"}};
  EXPECT_EQ(pick(r, expected), expected);

  // Neither MPEG frames nor a movie: none, and the bracket is still paired.
  writeBytes(path("junk.mp3"), concat({Id3TagBytes(3).text("TIT2", "lost").bytes(), Bytes(4096, 0)}));
  EXPECT_EQ(brackets([&] { EXPECT_FALSE(MP3Parser().build(path("junk.mp3"))); }), kOneBracket);
}

TEST_F(Mp3ParserTest, LastDecodablePictureIsTheAlbumArtAndOtherFilesGiveNone) {
  const Bytes red = tinyJpeg(255, 0, 0), blue = tinyJpeg(0, 0, 255), garbage(300, 0x5A);
  const MediaRecord r =
      build(tagged(Id3TagBytes(3).picture(red).picture(blue).picture(garbage).syncedLyrics().bytes()));
  const auto* art = r.get<Bytes>(MediaDBMusicColumnAlbumArt);
  ASSERT_NE(art, nullptr);
  vips::VImage image = vips::VImage::new_from_buffer(art->data(), art->size(), "");
  const auto centre = image.getpoint(image.width() / 2, image.height() / 2);
  EXPECT_LT(centre[0], 40);
  EXPECT_GT(centre[2], 200);
  EXPECT_EQ(*r.get<bool>(MediaDBMusicColumnHasLyrics), true);

  const MediaRecord broken = build(tagged(Id3TagBytes(2).picture(garbage).bytes()));
  EXPECT_FALSE(broken.contains(MediaDBMusicColumnAlbumArt) || broken.contains(MediaDBMusicColumnHasLyrics));
  EXPECT_TRUE(build(tagged(Id3TagBytes(2).picture(red).bytes())).contains(MediaDBMusicColumnAlbumArt));

  // No regular file: none, silently, and a FIFO does not block the open.
  log::Capture capture;
  ASSERT_EQ(mkfifo(path("fifo.mp3").c_str(), 0600), 0);
  for (const std::string& p : {path("missing.mp3"), dir_.path().string(), path("fifo.mp3")})
    EXPECT_FALSE(MP3Parser().build(p)) << p;
  EXPECT_TRUE(capture.lines().empty());
}

}  // namespace
}  // namespace corvane
