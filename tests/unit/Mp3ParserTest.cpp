#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>
#include <vips/vips8>

#include "builders/Id3Text.h"
#include "builders/MP3Parser.h"
#include "fixtures/Id3Fixture.h"
#include "host/MainRunLoop.h"
#include "media/MediaDBKeys.h"
#include "platform/log/Log.h"
#include "platform/movie/Movie.h"

namespace fs = std::filesystem;
using corvane::builders::MP3Parser;
using corvane::media::MediaRecord;
using corvane::movie::Movie;
using namespace corvane::test;
namespace keys = corvane::media;
namespace id3 = corvane::builders::id3;

namespace {

// Files made once for the whole suite; ffmpeg encodes the real audio.
class Mp3ParserTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    char pattern[] = "/tmp/mp3-parser-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    const std::string sine =
        "ffmpeg -nostdin -loglevel error -y -f lavfi -i sine=frequency=440:duration=5 "
        "-map_metadata -1 -id3v2_version 0 -c:a libmp3lame ";
    ASSERT_EQ(std::system((sine + "-b:a 128k " + dir_ + "/cbr.mp3").c_str()), 0);
    ASSERT_EQ(std::system((sine + "-q:a 4 " + dir_ + "/vbr.mp3").c_str()), 0);
    ASSERT_EQ(std::system((sine + "-q:a 4 -write_xing 0 " + dir_ + "/vbr-noxing.mp3").c_str()), 0);
    // Silence as PCM: no byte pattern that could pass for an MPEG frame.
    ASSERT_EQ(std::system(("ffmpeg -nostdin -loglevel error -y -f lavfi -i anullsrc=r=22050:cl=mono -t 3.5 "
                           "-c:a pcm_s16le -f wav " +
                           dir_ + "/silence.wav")
                              .c_str()),
              0);
  }
  static void TearDownTestSuite() { fs::remove_all(dir_); }

  static std::string path(const std::string& name) { return dir_ + "/" + name; }

  // A file of the tag bytes in front of hand-made silent MPEG audio.
  static std::string tagged(const std::string& name, const Id3Bytes& front, const Id3Bytes& back = {}) {
    const std::string p = path(name);
    EXPECT_TRUE(writeBytes(p, concat({front, mpegSilenceFrames(40), back})));
    return p;
  }

  static MediaRecord build(const std::string& p) {
    auto record = MP3Parser().build(p);
    EXPECT_TRUE(record.has_value()) << p;
    return record.value_or(MediaRecord{});
  }

  static std::string text(const MediaRecord& r, const char* key) {
    const auto* value = r.get<std::string>(key);
    return value ? *value : "<absent>";
  }
  static int32_t number(const MediaRecord& r, const char* key) {
    const auto* value = r.get<int32_t>(key);
    return value ? *value : -999;
  }

  static std::string dir_;
};
std::string Mp3ParserTest::dir_;

void addAllTextFrames(Id3v2Fixture& tag, bool v22) {
  tag.text(v22 ? "TT2" : "TIT2", "Title").text(v22 ? "TP1" : "TPE1", "Artist");
  tag.text(v22 ? "TAL" : "TALB", "Album").text(v22 ? "TCM" : "TCOM", "Composer");
  tag.text(v22 ? "TCO" : "TCON", "(17)").text(v22 ? "TRK" : "TRCK", "3/12");
  tag.comment("desc", "Comment text");
}

TEST_F(Mp3ParserTest, ReadsEveryTagVersionIntoTheSameKeys) {
  Id3v2Fixture v22(2), v23(3), v24(4);
  addAllTextFrames(v22, true);
  addAllTextFrames(v23, false);
  addAllTextFrames(v24, false);
  v22.text("TYE", "1999");
  v23.text("TYER", "1999");
  v24.text("TDRC", "1999");
  for (auto [name, tag] :
       {std::pair{"v22.mp3", &v22}, std::pair{"v23.mp3", &v23}, std::pair{"v24.mp3", &v24}}) {
    SCOPED_TRACE(name);
    const MediaRecord r = build(tagged(name, tag->bytes()));
    EXPECT_EQ(text(r, keys::MediaDBMusicColumnTitle), "Title");
    EXPECT_EQ(text(r, keys::MediaDBMusicColumnArtist), "Artist");
    EXPECT_EQ(text(r, keys::MediaDBMusicColumnAlbum), "Album");
    EXPECT_EQ(text(r, keys::MediaDBMusicColumnComposer), "Composer");
    EXPECT_EQ(text(r, keys::MediaDBMusicColumnGenre), "Rock");
    EXPECT_EQ(number(r, keys::MediaDBMusicColumnTrackNo), 3);
    EXPECT_EQ(text(r, keys::MediaDBMusicColumnDateReleased), "1999");
    EXPECT_EQ(text(r, keys::MediaDBCommonColumnReservedText), "Comment text");
  }
}

TEST_F(Mp3ParserTest, Id3v2WinsOverId3v1AndId3v1AloneIsRead) {
  Id3v1Fields v1{"Old title", "Old artist", "Old album", "1987", "Old comment", 9, 13};
  const MediaRecord both =
      build(tagged("both.mp3", Id3v2Fixture(3).text("TIT2", "New").bytes(), id3v1Bytes(v1)));
  EXPECT_EQ(text(both, keys::MediaDBMusicColumnTitle), "New");
  EXPECT_FALSE(both.contains(keys::MediaDBMusicColumnArtist));
  EXPECT_EQ(text(both, keys::MediaDBMusicColumnGenre), "Unknown");

  const MediaRecord only = build(tagged("v1.mp3", {}, id3v1Bytes(v1)));
  EXPECT_EQ(text(only, keys::MediaDBMusicColumnTitle), "Old title");
  EXPECT_EQ(text(only, keys::MediaDBMusicColumnArtist), "Old artist");
  EXPECT_EQ(text(only, keys::MediaDBMusicColumnAlbum), "Old album");
  EXPECT_EQ(text(only, keys::MediaDBMusicColumnDateReleased), "1987");
  EXPECT_EQ(text(only, keys::MediaDBCommonColumnReservedText), "Old comment");
  EXPECT_EQ(number(only, keys::MediaDBMusicColumnTrackNo), 9);
  EXPECT_EQ(text(only, keys::MediaDBMusicColumnGenre), "Pop");
}

TEST_F(Mp3ParserTest, GenreTrackAndRepeatedFrames) {
  const std::pair<const char*, const char*> genres[] = {
      {"(17)", "Rock"}, {"(255)", "Booty Bass"}, {"Rock", "Rock"}, {"", ""}, {"(17)Rock", "Rock"}};
  for (auto [stored, expected] : genres) {
    const MediaRecord r = build(tagged("genre.mp3", Id3v2Fixture(3).text("TCON", stored).bytes()));
    EXPECT_EQ(text(r, keys::MediaDBMusicColumnGenre), expected) << stored;
  }
  EXPECT_EQ(text(build(tagged("none.mp3", Id3v2Fixture(3).text("TIT2", "x").bytes())),
                 keys::MediaDBMusicColumnGenre),
            "Unknown");

  const MediaRecord r = build(
      tagged("twice.mp3",
             Id3v2Fixture(4).text("TIT2", "First").text("TIT2", "Second").text("TRCK", "7/12").bytes()));
  EXPECT_EQ(text(r, keys::MediaDBMusicColumnTitle), "Second");
  EXPECT_EQ(number(r, keys::MediaDBMusicColumnTrackNo), 7);
  EXPECT_EQ(number(build(tagged("a1.mp3", Id3v2Fixture(3).text("TRCK", "A1").bytes())),
                   keys::MediaDBMusicColumnTrackNo),
            0);
}

TEST_F(Mp3ParserTest, DecodesTextsByTheirEncoding) {
  Id3v2Fixture tag(4);
  tag.text("TIT2", "\xC7\xD1\xB1\xB9", 0)               // valid code page 949: Korean
      .text("TPE1", "Caf\xE9", 0)                       // not CP949: Latin-1
      .text("TALB", "Bad \xC3\x28 utf8", 3)             // ill-formed UTF-8: read as 8-bit text
      .utf16("TCOM", u"Dvo\u0159\u00E1k", true)         // BOM FE FF under encoding 1
      .text("TCON", std::string("\0J\0a\0z\0z", 8), 2)  // UTF-16BE without BOM
      .comment("d", "\xEC\xA3\xBC\xEC\x84\x9D", 3);     // UTF-8 comment
  const MediaRecord r = build(tagged("enc.mp3", tag.bytes()));
  EXPECT_EQ(text(r, keys::MediaDBMusicColumnTitle), "한국");
  EXPECT_EQ(text(r, keys::MediaDBMusicColumnArtist), "Café");
  EXPECT_EQ(text(r, keys::MediaDBMusicColumnAlbum), "Bad \xC3\x83( utf8");
  EXPECT_EQ(text(r, keys::MediaDBMusicColumnComposer), "Dvořák");
  EXPECT_EQ(text(r, keys::MediaDBMusicColumnGenre), "Jazz");
  EXPECT_EQ(text(r, keys::MediaDBCommonColumnReservedText), "주석");
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
  EXPECT_EQ(id3::decodeText({1, std::string("\0\xD8"
                                            "A\0",
                                            4)}),
            "\uFFFDA");
  EXPECT_EQ(id3::decodeText({9, std::string("plain\0tail", 10)}), "plain");
  EXPECT_EQ(id3::decodeText({0, ""}), "");

  EXPECT_EQ(id3::leadingInteger("  -12abc"), -12);
  EXPECT_EQ(id3::leadingInteger("99999999999"), 2147483647);
  EXPECT_EQ(id3::leadingInteger("-99999999999"), -2147483647 - 1);
  EXPECT_EQ(id3::leadingInteger("+"), 0);
}

TEST_F(Mp3ParserTest, TimingComesFromTheMpegHeaders) {
  const auto before = Movie::bracketCounts();
  const MediaRecord cbr = build(path("cbr.mp3"));
  EXPECT_EQ(number(cbr, keys::MediaDBMusicColumnBitrate), 128);
  EXPECT_EQ(number(cbr, keys::MediaDBMusicColumnSamplerate), 44100);
  EXPECT_EQ(number(cbr, keys::MediaDBMusicColumnPlayLength), 5);
  for (const char* name : {"vbr.mp3", "vbr-noxing.mp3"}) {
    const MediaRecord vbr = build(path(name));
    EXPECT_GE(number(vbr, keys::MediaDBMusicColumnPlayLength), 4) << name;
    EXPECT_LE(number(vbr, keys::MediaDBMusicColumnPlayLength), 6) << name;
    EXPECT_GT(number(vbr, keys::MediaDBMusicColumnBitrate), 0) << name;
  }
  EXPECT_EQ(Movie::bracketCounts().enters, before.enters);  // the movie layer was never asked

  // Any extension: still the MP3 type.
  fs::copy_file(path("cbr.mp3"), path("song.wav"), fs::copy_options::overwrite_existing);
  const MediaRecord wav = build(path("song.wav"));
  EXPECT_EQ(number(wav, keys::MediaDBCommonColumnMediaType), 0x01000001);
  EXPECT_EQ(text(wav, keys::MediaDBCommonColumnFileTypeString), "MP3");
  EXPECT_EQ(text(wav, keys::MediaDBCommonColumnFileName), "song.wav");
  ASSERT_NE(wav.get<uint64_t>(keys::MediaDBCommonColumnFileSize), nullptr);
  EXPECT_EQ(*wav.get<uint64_t>(keys::MediaDBCommonColumnFileSize), fs::file_size(path("song.wav")));
  EXPECT_TRUE(wav.contains(keys::MediaDBMusicColumnDateModified));
  EXPECT_TRUE(wav.contains(keys::MediaDBMusicColumnDateAdded));
  EXPECT_FALSE(wav.contains(keys::MediaDBCommonColumnLinkError));
  EXPECT_EQ(*wav.get<bool>(keys::MediaDBCommonColumnIsManaged), false);
}

TEST_F(Mp3ParserTest, FallsBackToTheMovieLayerWithoutMpegFrames) {
  const auto t = corvane::builders::timingFromDuration(200.5, 3'200'000);
  EXPECT_EQ(t.playLengthSeconds, 200);
  EXPECT_EQ(t.bitrateKbps, 127);
  EXPECT_FALSE(corvane::builders::timingFromDuration(0, 1000).playLengthSeconds);

  // A WAV file under an .mp3 name: no MPEG frame, but a movie of 3.5 s.
  const std::string wav = path("pcm.mp3");
  fs::copy_file(path("silence.wav"), wav, fs::copy_options::overwrite_existing);
  auto before = Movie::bracketCounts();
  const MediaRecord r = build(wav);
  EXPECT_EQ(number(r, keys::MediaDBMusicColumnPlayLength), 3);
  EXPECT_EQ(number(r, keys::MediaDBMusicColumnBitrate), int32_t(fs::file_size(wav) * 8 / 3.5 / 1000));
  EXPECT_EQ(number(r, keys::MediaDBMusicColumnSamplerate), 22050);
  auto after = Movie::bracketCounts();
  EXPECT_EQ(after.enters - before.enters, 1u);
  EXPECT_EQ(after.exits - before.exits, 1u);

  // Neither MPEG frames nor a movie: none, and the bracket is still paired.
  const std::string junk = path("junk.mp3");
  writeBytes(junk, concat({Id3v2Fixture(3).text("TIT2", "lost").bytes(), Id3Bytes(4096, 0)}));
  before = Movie::bracketCounts();
  EXPECT_FALSE(MP3Parser().build(junk));
  after = Movie::bracketCounts();
  EXPECT_EQ(after.enters - before.enters, 1u);
  EXPECT_EQ(after.exits - before.exits, 1u);
}

TEST_F(Mp3ParserTest, MovieLayerOpensNoFileNamedInsideTheFile) {
  // A playlist would make the demuxer open the files it lists; a movie is
  // only the file it was asked for.
  const std::string playlist = path("playlist.mp3");
  std::ofstream(playlist) << "#EXTM3U\n#EXT-X-TARGETDURATION:5\n#EXTINF:5.0,\n"
                          << path("cbr.mp3") << "\n#EXT-X-ENDLIST\n";
  const auto record = MP3Parser().build(playlist);
  if (record) {
    EXPECT_NE(number(*record, keys::MediaDBMusicColumnPlayLength), 5);
  }
}

TEST_F(Mp3ParserTest, BracketStepsRunOnTheMainLoop) {
  const std::string wav = path("loop.mp3");
  fs::copy_file(path("silence.wav"), wav, fs::copy_options::overwrite_existing);
  corvane::host::MainRunLoop loop;
  std::promise<void> release;
  loop.post([gate = release.get_future().share()] { gate.wait(); });  // keeps the loop busy
  std::thread mainThread([&loop] { loop.run(); });

  const auto before = Movie::bracketCounts();
  auto result = std::async(std::launch::async, [&wav] { return MP3Parser().build(wav); });
  // The build waits for the loop to take its enter step.
  EXPECT_EQ(result.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);
  EXPECT_EQ(Movie::bracketCounts().enters, before.enters);
  release.set_value();
  EXPECT_TRUE(result.get().has_value());
  EXPECT_EQ(Movie::bracketCounts().enters - before.enters, 1u);
  EXPECT_EQ(Movie::bracketCounts().exits - before.exits, 1u);
  loop.stop();
  mainThread.join();
}

// The colour at the centre of a TIFF thumbnail.
std::vector<double> centre(const corvane::media::Bytes& tiff) {
  vips::VImage image = vips::VImage::new_from_buffer(tiff.data(), tiff.size(), "");
  return image.getpoint(image.width() / 2, image.height() / 2);
}

TEST_F(Mp3ParserTest, LastDecodablePictureIsTheAlbumArt) {
  const Id3Bytes red = tinyJpeg(255, 0, 0), blue = tinyJpeg(0, 0, 255);
  const Id3Bytes garbage(300, 0x5A);
  const MediaRecord r = build(
      tagged("art.mp3", Id3v2Fixture(3).picture(red).picture(blue).picture(garbage).syncedLyrics().bytes()));
  const auto* art = r.get<corvane::media::Bytes>(keys::MediaDBMusicColumnAlbumArt);
  ASSERT_NE(art, nullptr);
  const auto colour = centre(*art);
  EXPECT_LT(colour[0], 40);
  EXPECT_GT(colour[2], 200);
  EXPECT_EQ(*r.get<bool>(keys::MediaDBMusicColumnHasLyrics), true);

  const MediaRecord broken = build(tagged("broken-art.mp3", Id3v2Fixture(2).picture(garbage).bytes()));
  EXPECT_FALSE(broken.contains(keys::MediaDBMusicColumnAlbumArt));
  EXPECT_FALSE(broken.contains(keys::MediaDBMusicColumnHasLyrics));
  EXPECT_TRUE(build(tagged("v22-art.mp3", Id3v2Fixture(2).picture(red).bytes()))
                  .contains(keys::MediaDBMusicColumnAlbumArt));
}

TEST_F(Mp3ParserTest, NoRegularFileGivesNoneSilently) {
  corvane::log::Capture capture;
  EXPECT_FALSE(MP3Parser().build(path("missing.mp3")));
  EXPECT_FALSE(MP3Parser().build(dir_));
  const std::string fifo = path("fifo.mp3");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_FALSE(MP3Parser().build(fifo));  // must not block on the open
  EXPECT_TRUE(capture.lines().empty());
}

}  // namespace
