#include <gtest/gtest.h>
#include <sys/stat.h>
#include <zlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <thread>
#include <vips/vips8>

#include "BusyMainLoop.h"
#include "TagTestSupport.h"
#include "builders/MP3Parser.h"
#include "fixtures/Id3Fixture.h"
#include "media/Log.h"
#include "media/MainThread.h"
#include "media/MediaDBKeys.h"
#include "platform/file/InputFile.h"
#include "platform/id3/Id3Fields.h"
#include "platform/movie/Movie.h"
#include "platform/mpeg/MpegFrames.h"

namespace fs = std::filesystem;
using corvane::builders::MP3Parser;
using corvane::media::MediaRecord;
using corvane::movie::Movie;
using namespace corvane::test;
using namespace corvane::media;  // the MediaDB keys
namespace id3 = corvane::id3;
namespace tt = corvane::tagtest;

namespace {

// Keys and their values, numbers written as text; "<absent>" for no value.
using Fields = std::map<std::string, std::string>;

Fields pick(const MediaRecord& r, const Fields& like) {
  Fields out;
  for (const auto& [key, ignored] : like) {
    const auto* text = r.get<std::string>(key);
    const auto* number = r.get<int32_t>(key);
    out[key] = text ? *text : number ? std::to_string(*number) : "<absent>";
  }
  return out;
}

int32_t number(const MediaRecord& r, const char* key) {
  const auto* value = r.get<int32_t>(key);
  return value ? *value : -999;
}

// A v2.3 frame stored compressed: the content's size, then its zlib stream.
Id3Bytes compressedFrameData(const std::string& content) {
  uLongf size = compressBound(content.size());
  Id3Bytes out{0, 0, 0, static_cast<uint8_t>(content.size())};
  out.resize(4 + size);
  compress(out.data() + 4, &size, reinterpret_cast<const Bytef*>(content.data()), content.size());
  out.resize(4 + size);
  return out;
}

// Files made once for the whole suite; ffmpeg encodes the real audio.
class Mp3ParserTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = std::make_unique<tt::ScratchDir>();
    const std::string sine =
        "ffmpeg -nostdin -v error -y -f lavfi -i sine=frequency=440:duration=5 "
        "-map_metadata -1 -id3v2_version 0 -c:a libmp3lame ";
    ASSERT_TRUE(tt::run(sine + "-b:a 128k " + path("cbr.mp3")));
    ASSERT_TRUE(tt::run(sine + "-q:a 4 " + path("vbr.mp3")));
    // Silence as PCM: no byte pattern that could pass for an MPEG frame.
    ASSERT_TRUE(
        tt::run("ffmpeg -nostdin -v error -y -f lavfi -i anullsrc=r=22050:cl=mono -t 3.5 "
                "-c:a pcm_s16le -f wav " +
                path("silence.wav")));
  }
  static void TearDownTestSuite() { dir_.reset(); }

  static std::string path(const std::string& name) { return *dir_ / name; }

  // A file of the tag bytes in front of hand-made silent MPEG audio.
  static std::string tagged(const std::string& name, const Id3Bytes& front, const Id3Bytes& back = {}) {
    EXPECT_TRUE(writeBytes(path(name), concat({front, silentMpegFrames(40), back})));
    return path(name);
  }

  static MediaRecord build(const std::string& p) {
    auto record = MP3Parser().build(p);
    EXPECT_TRUE(record.has_value()) << p;
    return record.value_or(MediaRecord{});
  }

  // The movie layer's enter and exit steps taken while body runs.
  static std::pair<uint64_t, uint64_t> brackets(const std::function<void()>& body) {
    const auto before = Movie::bracketCounts();
    body();
    const auto after = Movie::bracketCounts();
    return {after.enters - before.enters, after.exits - before.exits};
  }

  static std::unique_ptr<tt::ScratchDir> dir_;
};
std::unique_ptr<tt::ScratchDir> Mp3ParserTest::dir_;

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
    EXPECT_EQ(pick(build(tagged("v2.mp3", tag.bytes())), expected), expected);
  }
}

TEST_F(Mp3ParserTest, Id3v2WinsOverId3v1AndId3v1AloneIsRead) {
  const Id3v1Fields v1{"Old title", "Old artist", "Old album", "1987", "Old comment", 9, 13};
  const Fields both{{MediaDBMusicColumnTitle, "New"},
                    {MediaDBMusicColumnArtist, "<absent>"},
                    {MediaDBMusicColumnGenre, "Unknown"}};
  EXPECT_EQ(pick(build(tagged("both.mp3", Id3TagBytes(3).text("TIT2", "New").bytes(), id3v1Bytes(v1))), both),
            both);
  // clang-format off
  const Fields only{{MediaDBMusicColumnTitle, "Old title"}, {MediaDBMusicColumnArtist, "Old artist"},
                    {MediaDBMusicColumnAlbum, "Old album"}, {MediaDBMusicColumnDateReleased, "1987"},
                    {MediaDBCommonColumnReservedText, "Old comment"}, {MediaDBMusicColumnTrackNo, "9"},
                    {MediaDBMusicColumnGenre, "Pop"}};
  // clang-format on
  EXPECT_EQ(pick(build(tagged("v1.mp3", {}, id3v1Bytes(v1))), only), only);
}

TEST_F(Mp3ParserTest, GenreTrackRepeatedFramesAndTagLayouts) {
  const std::pair<Id3TagBytes, Fields> rows[] = {
      {Id3TagBytes(3).text("TCON", "(255)"), {{MediaDBMusicColumnGenre, "Booty Bass"}}},
      {Id3TagBytes(3).text("TCON", "Rock"), {{MediaDBMusicColumnGenre, "Rock"}}},
      {Id3TagBytes(3).text("TCON", ""), {{MediaDBMusicColumnGenre, ""}}},
      {Id3TagBytes(3).text("TCON", "(17)Rock"), {{MediaDBMusicColumnGenre, "Rock"}}},
      {Id3TagBytes(3).text("TIT2", "x"), {{MediaDBMusicColumnGenre, "Unknown"}}},
      {Id3TagBytes(4).text("TIT2", "First").text("TIT2", "Second").text("TRCK", "7/12"),
       {{MediaDBMusicColumnTitle, "Second"}, {MediaDBMusicColumnTrackNo, "7"}}},
      {Id3TagBytes(3).text("TRCK", "A1"), {{MediaDBMusicColumnTrackNo, "0"}}},
      // Layouts: an extended header with tag-wide unsynchronisation, plain
      // v2.4 sizes, a compressed frame.
      {Id3TagBytes(3).extendedHeader().unsynchronise().utf16("TIT2", u"\u00FF\u00FF").padding(8),
       {{MediaDBMusicColumnTitle, "ÿÿ"}}},
      {Id3TagBytes(4).plainFrameSizes().text("TALB", std::string(200, 'a')).text("TIT2", "After"),
       {{MediaDBMusicColumnTitle, "After"}}},
      {Id3TagBytes(3).frame("TIT2", compressedFrameData(std::string("\0Zipped", 7)), 0x0080),
       {{MediaDBMusicColumnTitle, "Zipped"}}}};
  for (const auto& [tag, expected] : rows) {
    SCOPED_TRACE(expected.begin()->second);
    EXPECT_EQ(pick(build(tagged("genre.mp3", tag.bytes())), expected), expected);
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
  EXPECT_EQ(pick(build(tagged("enc.mp3", tag.bytes())), expected), expected);
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
  field = id3::readTextField(std::string("\x00One\x00Two", 8), FieldLayout::kText);
  EXPECT_EQ(id3::decodeText(*field), "One");
  EXPECT_EQ(id3::decodeText({1, std::string("H\x00i\x00", 4)}), "Hi");
  EXPECT_EQ(id3::decodeText({1, std::string("\0\xD8\x41\0", 4)}), "\uFFFDA");
  EXPECT_EQ(id3::decodeText({9, std::string("plain\0tail", 10)}), "plain");

  for (const auto& [text, expected] : std::vector<std::pair<const char*, int64_t>>{
           {"  -12abc", -12}, {"99999999999", 2147483647}, {"-99999999999", -2147483648LL}, {"+", 0}}) {
    EXPECT_EQ(leadingInteger(text, Overflow::Saturate), expected) << text;
  }
}

TEST_F(Mp3ParserTest, TimingComesFromTheMpegHeaders) {
  const Fields cbr{{MediaDBMusicColumnBitrate, "128"},
                   {MediaDBMusicColumnSamplerate, "44100"},
                   {MediaDBMusicColumnPlayLength, "5"}};
  MediaRecord vbr;
  // The movie layer is never asked when there are MPEG frames.
  EXPECT_EQ(brackets([&] {
              EXPECT_EQ(pick(build(path("cbr.mp3")), cbr), cbr);
              vbr = build(path("vbr.mp3"));
            }),
            std::make_pair(uint64_t{0}, uint64_t{0}));
  EXPECT_NEAR(number(vbr, MediaDBMusicColumnPlayLength), 5, 1);
  EXPECT_GT(number(vbr, MediaDBMusicColumnBitrate), 0);

  // Any extension: still the MP3 type.
  fs::copy_file(path("cbr.mp3"), path("song.wav"), fs::copy_options::overwrite_existing);
  const MediaRecord wav = build(path("song.wav"));
  const Fields type{{MediaDBCommonColumnMediaType, std::to_string(0x01000001)},
                    {MediaDBCommonColumnFileTypeString, "MP3"},
                    {MediaDBCommonColumnFileName, "song.wav"}};
  EXPECT_EQ(pick(wav, type), type);
  EXPECT_EQ(*wav.get<uint64_t>(MediaDBCommonColumnFileSize), fs::file_size(path("song.wav")));
  EXPECT_TRUE(wav.contains(MediaDBMusicColumnDateModified) && wav.contains(MediaDBMusicColumnDateAdded));
  EXPECT_FALSE(wav.contains(MediaDBCommonColumnLinkError));
  EXPECT_EQ(*wav.get<bool>(MediaDBCommonColumnIsManaged), false);
}

TEST_F(Mp3ParserTest, ADamagedFrameHeaderDoesNotCutTheLength) {
  // 20 s streams without a Xing header, so that the frames themselves are
  // walked, with one frame header in the middle zeroed. Players estimate a
  // CBR stream's length from its size; a VBR one has to be walked.
  for (const bool constant : {true, false}) {
    const std::string file = path("damaged.mp3");
    ASSERT_TRUE(
        tt::run("ffmpeg -nostdin -v error -y -f lavfi -i sine=frequency=440:duration=20 -map_metadata -1 "
                "-id3v2_version 0 -write_xing 0 -c:a libmp3lame " +
                std::string(constant ? "-b:a 128k " : "-q:a 4 ") + file));
    auto bytes = tt::readBytes(file);
    size_t at = bytes.size() / 2;
    while (!(bytes[at] == 0xFF && (bytes[at + 1] & 0xFE) == 0xFA && (bytes[at + 2] & 0xF0) != 0xF0)) ++at;
    std::fill_n(bytes.begin() + static_cast<long>(at), 4, 0);
    writeBytes(file, bytes);
    const auto probed = tt::run("ffprobe -v error -show_entries format=duration -of csv=p=0 " + file);
    EXPECT_NEAR(number(build(file), MediaDBMusicColumnPlayLength), constant ? std::stod(*probed) : 20.0, 1.0);
  }
}

TEST(MpegFrameWalkTest, ResynchronisesOnConfirmedHeadersOnly) {
  tt::ScratchDir dir;
  const Id3Bytes frames = silentMpegFrames(20);
  const uint64_t frameBytes = frames.size() / 20;
  // A stray sync pattern in a gap, as of a 320 kbit/s frame: that frame
  // would end inside the zeros of a real one, where no header confirms it.
  const Id3Bytes strayGap = concat({Id3Bytes(10, 0), {0xFF, 0xFB, 0xE0, 0x64}, Id3Bytes(40, 0)});
  // clang-format off
  const struct { Id3Bytes stream; uint64_t frames, extent; } rows[] = {
      {concat({frames, Id3Bytes(frameBytes, 0), frames}), 40, 41 * frameBytes},  // a frame zeroed
      {concat({frames, strayGap, frames}), 40, 40 * frameBytes + strayGap.size()},
      {concat({frames, Id3Bytes(5000, 0x55)}), 20, 20 * frameBytes}};
  // clang-format on
  for (const auto& row : rows) {
    writeBytes(dir / "walk.mp3", row.stream);
    const auto input = corvane::file::InputFile::open(dir / "walk.mp3");
    const auto scan = corvane::mpeg::scanFrames(*input, 0, input->size());
    ASSERT_TRUE(scan);
    EXPECT_EQ(scan->frames, row.frames);
    EXPECT_EQ(scan->streamEnd - scan->firstFrame, row.extent);
    EXPECT_TRUE(scan->constantBitrate);
  }
}

TEST_F(Mp3ParserTest, FallsBackToTheMovieLayerWithoutMpegFrames) {
  const auto t = corvane::builders::timingFromDuration(200.5, 3'200'000);
  EXPECT_EQ(t.playLengthSeconds, 200);
  EXPECT_EQ(t.bitrateKbps, 127);
  EXPECT_FALSE(corvane::builders::timingFromDuration(0, 1000).playLengthSeconds);

  // A WAV file under an .mp3 name: no MPEG frame, but a movie of 3.5 s, in
  // one enter and one exit step.
  const std::string wav = path("pcm.mp3");
  fs::copy_file(path("silence.wav"), wav, fs::copy_options::overwrite_existing);
  MediaRecord r;
  EXPECT_EQ(brackets([&] { r = build(wav); }), std::make_pair(uint64_t{1}, uint64_t{1}));
  const Fields expected{
      {MediaDBMusicColumnPlayLength, "3"},
      {MediaDBMusicColumnBitrate, std::to_string(int32_t(fs::file_size(wav) * 8 / 3.5 / 1000))},
      {MediaDBMusicColumnSamplerate, "22050"}};
  EXPECT_EQ(pick(r, expected), expected);

  // Neither MPEG frames nor a movie: none, and the bracket is still paired.
  const std::string junk = path("junk.mp3");
  writeBytes(junk, concat({Id3TagBytes(3).text("TIT2", "lost").bytes(), Id3Bytes(4096, 0)}));
  EXPECT_EQ(brackets([&] { EXPECT_FALSE(MP3Parser().build(junk)); }),
            std::make_pair(uint64_t{1}, uint64_t{1}));
}

TEST_F(Mp3ParserTest, MovieLayerOpensNoFileNamedInsideTheFile) {
  // A playlist would make the demuxer open the files it lists; a movie is
  // only the file it was asked for.
  const std::string playlist = path("playlist.mp3");
  std::ofstream(playlist) << "#EXTM3U\n#EXT-X-TARGETDURATION:5\n#EXTINF:5.0,\n"
                          << path("cbr.mp3") << "\n#EXT-X-ENDLIST\n";
  const auto record = MP3Parser().build(playlist);
  if (record) {
    EXPECT_NE(number(*record, MediaDBMusicColumnPlayLength), 5);
  }
}

TEST_F(Mp3ParserTest, BracketStepsRunOnTheMainLoop) {
  const std::string wav = path("loop.mp3");
  fs::copy_file(path("silence.wav"), wav, fs::copy_options::overwrite_existing);
  BusyMainLoop loop;
  const auto before = Movie::bracketCounts();
  auto result = std::async(std::launch::async, [&wav] { return MP3Parser().build(wav); });
  // The build waits for the loop to take its enter step.
  EXPECT_EQ(result.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);
  EXPECT_EQ(Movie::bracketCounts().enters, before.enters);
  loop.open();
  EXPECT_TRUE(result.get().has_value());
  EXPECT_EQ(Movie::bracketCounts().enters - before.enters, 1u);
  EXPECT_EQ(Movie::bracketCounts().exits - before.exits, 1u);
}

TEST_F(Mp3ParserTest, LastDecodablePictureIsTheAlbumArt) {
  const Id3Bytes red = tinyJpeg(255, 0, 0), blue = tinyJpeg(0, 0, 255);
  const Id3Bytes garbage(300, 0x5A);
  const MediaRecord r = build(
      tagged("art.mp3", Id3TagBytes(3).picture(red).picture(blue).picture(garbage).syncedLyrics().bytes()));
  const auto* art = r.get<Bytes>(MediaDBMusicColumnAlbumArt);
  ASSERT_NE(art, nullptr);
  vips::VImage image = vips::VImage::new_from_buffer(art->data(), art->size(), "");
  const auto centre = image.getpoint(image.width() / 2, image.height() / 2);
  EXPECT_LT(centre[0], 40);
  EXPECT_GT(centre[2], 200);
  EXPECT_EQ(*r.get<bool>(MediaDBMusicColumnHasLyrics), true);

  const MediaRecord broken = build(tagged("broken-art.mp3", Id3TagBytes(2).picture(garbage).bytes()));
  EXPECT_FALSE(broken.contains(MediaDBMusicColumnAlbumArt));
  EXPECT_FALSE(broken.contains(MediaDBMusicColumnHasLyrics));
  EXPECT_TRUE(
      build(tagged("v22-art.mp3", Id3TagBytes(2).picture(red).bytes())).contains(MediaDBMusicColumnAlbumArt));
}

TEST_F(Mp3ParserTest, NoRegularFileGivesNoneSilently) {
  corvane::log::Capture capture;
  EXPECT_FALSE(MP3Parser().build(path("missing.mp3")));
  EXPECT_FALSE(MP3Parser().build(dir_->path()));
  ASSERT_EQ(mkfifo(path("fifo.mp3").c_str(), 0600), 0);
  EXPECT_FALSE(MP3Parser().build(path("fifo.mp3")));  // must not block on the open
  EXPECT_TRUE(capture.lines().empty());
}

}  // namespace
