// The AV service, the movie checks and the movie layer under them, on files
// made with ffmpeg once for the suite (small, low frame rates, short).

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <future>
#include <set>

#include "BusyMainLoop.h"
#include "TestSupport.h"
#include "builders/QuickTimeAVParser.h"
#include "media/Log.h"
#include "media/MediaDBKeys.h"
#include "platform/imaging/Picture.h"
#include "platform/movie/Movie.h"

namespace {

namespace fs = std::filesystem;
namespace tt = corvane::tagtest;
using corvane::builders::QuickTimeAVParser;
using corvane::imaging::Rgba;
using corvane::media::MediaRecord;
using corvane::movie::Movie;
using corvane::test::BusyMainLoop;
using namespace corvane::media;  // the MediaDB keys

using tt::Fields;
using tt::pick;
using tt::shown;

std::set<std::string> keysOf(const MediaRecord& r) {
  std::set<std::string> keys;
  for (const auto& entry : r) keys.insert(entry.first);
  return keys;
}

const std::set<std::string> kCommonKeys{MediaDBCommonColumnFilePath,  MediaDBCommonColumnFileName,
                                        MediaDBCommonColumnIsManaged, MediaDBCommonColumnFileSize,
                                        MediaDBCommonColumnMediaType, MediaDBCommonColumnFileTypeString,
                                        MediaDBCommonColumnLinkError};

// Sets the enabled bit of the n-th track header, or the data format of the
// n-th sample description, in a file whose movie box comes first.
void patch(const fs::path& file, const char* box, int n, const std::function<void(uint8_t*)>& change) {
  std::vector<uint8_t> bytes = tt::readBytes(file);
  size_t at = 0;
  for (int seen = -1; seen < n; ++seen) {
    const auto it =
        std::search(bytes.begin() + static_cast<long>(at) + (seen >= 0), bytes.end(), box, box + 4);
    ASSERT_NE(it, bytes.end()) << box;
    at = static_cast<size_t>(it - bytes.begin());
  }
  change(&bytes[at + 4]);
  ASSERT_TRUE(tt::writeBytes(file, bytes));
}
void setTrackEnabled(const fs::path& f, int n, bool on) {
  patch(f, "tkhd", n, [on](uint8_t* p) { p[3] = static_cast<uint8_t>(on ? p[3] | 1 : p[3] & ~1); });
}
void setSampleFormat(const fs::path& f, int n, const char* format) {
  patch(f, "stsd", n, [format](uint8_t* p) { std::copy(format, format + 4, p + 12); });
}

class AvParserTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { dir_ = std::make_unique<tt::ScratchDir>(); }
  static void TearDownTestSuite() { dir_.reset(); }

  // The fixture called name, made on first use (ctest runs each test in a
  // process of its own).
  static std::string path(const std::string& name) {
    const std::string out = *dir_ / name;
    if (fs::exists(out)) return out;
    const std::string h264 = " -c:v libx264 -preset ultrafast -pix_fmt yuv420p -movflags +faststart";
    // ffmpeg's options for each file.
    const std::map<std::string, std::string> recipes{
        // Red, but green for the frame shown at 1.0 s.
        {"Long Take.mov",
         "-f lavfi -i \"color=c=red:s=1280x720:r=2:d=95.5,drawbox=c=green:t=fill:enable='eq(n,2)'\" "
         "-f lavfi -i sine=d=95.5:r=8000 -c:a aac -b:a 16k -metadata creation_time=2020-05-06T07:08:09Z" +
             h264},
        // Red, blue from 0.5 s on; frames every 0.25 s.
        {"clip.mov",
         "-f lavfi -i \"color=c=red:s=160x120:r=4:d=2,drawbox=c=blue:t=fill:enable='gte(t,0.5)'\"" + h264},
        // Red but for one green frame at 10.75 s; key frames every 5 s.
        {"marker.mp4",
         "-f lavfi -i \"color=c=red:s=160x120:r=4:d=101,drawbox=c=green:t=fill:enable='eq(n,43)'\" -g 20" +
             h264},
        // Two video tracks, ffmpeg writes the second disabled; its format
        // becomes one no decoder knows below (two-on.mov: its track enabled).
        {"two.mov",
         "-f lavfi -i testsrc=s=160x120:r=4:d=2 -f lavfi -i testsrc=s=80x60:r=4:d=2 -map 0 -map 1" + h264},
        {"alac.m4a", "-f lavfi -i sine=d=2 -c:a alac -movflags +faststart"},
        {"tone.aiff", "-f lavfi -i anullsrc=r=8000:cl=mono -t 300.7 -c:a pcm_s8"},
        {"short.wav", "-f lavfi -i anullsrc=r=8000:cl=mono -t 0.5"}};
    if (name == "two-on.mov" || name == "alac-off.m4a") {
      const bool two = name == "two-on.mov";
      fs::copy_file(path(two ? "two.mov" : "alac.m4a"), out);
      setTrackEnabled(out, two ? 1 : 0, two);
    } else if (recipes.contains(name)) {
      tt::ffmpeg(recipes.at(name), out);
      if (name == "two.mov") setSampleFormat(out, 1, "zzzz");
    }
    return out;
  }

  static std::string written(const std::string& name, const std::string& text) {
    std::ofstream(*dir_ / name) << text;
    return *dir_ / name;
  }

  static MediaRecord build(const std::string& p) { return QuickTimeAVParser().build(p).value(); }

  // The colour at (x, y) of a record's thumbnail, which must be 130 x 90.
  static Rgba thumbnailPixel(const MediaRecord& r, int x, int y) {
    const auto* image = r.get<Bytes>(MediaDBVideoColumnImage);
    if (image == nullptr) return {};
    const auto picture = corvane::imaging::Picture::fromBytes(*image);
    EXPECT_EQ(picture->pixelsWide(), 130);
    EXPECT_EQ(picture->pixelsHigh(), 90);
    return picture->colorAt(x, y).value_or(Rgba{});
  }

  static std::unique_ptr<tt::ScratchDir> dir_;
};
std::unique_ptr<tt::ScratchDir> AvParserTest::dir_;

bool isGreen(Rgba c) { return c.g > 90 && c.r < 60 && c.b < 60; }
bool isRed(Rgba c) { return c.r > 200 && c.g < 60; }
bool isBlack(Rgba c) { return c.r < 20 && c.g < 20 && c.b < 20; }

TEST_F(AvParserTest, MovieGivesTheVideoRecord) {
  const MediaRecord r = build(path("Long Take.mov"));
  const Fields expected{{MediaDBVideoColumnPlayLength, "95"},       {MediaDBVideoColumnVCodec, "AVC1"},
                        {MediaDBVideoColumnACodec, "MP4A"},         {MediaDBVideoColumnWidth, "1280"},
                        {MediaDBVideoColumnHeight, "720"},          {MediaDBVideoColumnBitrate, "0"},
                        {MediaDBVideoColumnIsChecked, "true"},      {MediaDBVideoColumnTitle, "Long Take"},
                        {MediaDBCommonColumnFileTypeString, "MOV"}, {MediaDBVideoColumnImage, "<bytes>"}};
  EXPECT_EQ(pick(r, expected), expected);
  ASSERT_TRUE(r.get<Date>(MediaDBVideoColumnDateCreated) && r.get<uint64_t>(MediaDBCommonColumnFileSize));
  EXPECT_EQ(*r.get<Date>(MediaDBVideoColumnDateCreated), Date::fromSeconds(1588748889));
  EXPECT_EQ(*r.get<uint64_t>(MediaDBCommonColumnFileSize), fs::file_size(path("Long Take.mov")));
  // 130 x 73 of picture (the frame at 1.0 s) between black bars of 9 and 8 rows.
  for (const auto& [y, bar] : {std::pair{8, true}, {9, false}, {45, false}, {81, false}, {82, true}}) {
    const Rgba c = thumbnailPixel(r, 65, y);
    EXPECT_TRUE(bar ? isBlack(c) : isGreen(c)) << y;
  }
}

TEST_F(AvParserTest, ThumbnailFrameTimeFollowsTheDuration) {
  // 2 s: nothing at 3.0 s, so the poster (the first frame, red). Over 100 s:
  // the very frame at 10.8 s (green), not the key frame before it.
  EXPECT_TRUE(isRed(thumbnailPixel(build(path("clip.mov")), 65, 45)));
  EXPECT_TRUE(isGreen(thumbnailPixel(build(path("marker.mp4")), 65, 45)));
  auto file = corvane::file::InputFile::open(path("marker.mp4"));
  auto movie = std::move(Movie::open(*file, "marker.mp4").movie);
  for (const auto& [t, green] : {std::pair{10.74, false}, {10.75, true}, {10.99, true}, {11.0, false}}) {
    const auto frame = movie->frameAt(t);
    ASSERT_TRUE(frame) << t;
    EXPECT_EQ(frame->rgb[(60 * 160 + 80) * 3 + 1] > 90, green) << t;
  }
  EXPECT_FALSE(movie->frameAt(101.0));
}

TEST_F(AvParserTest, DecodableTracksDecideTheVideoKeys) {
  // The codec-less track is disabled: ignored by the check, yet the last
  // video track names the codec.
  const MediaRecord valid = build(path("two.mov"));
  EXPECT_EQ(shown(valid, MediaDBVideoColumnVCodec), "ZZZZ");
  EXPECT_EQ(shown(valid, MediaDBVideoColumnWidth), "160");
  EXPECT_TRUE(valid.contains(MediaDBVideoColumnImage));
  EXPECT_EQ(keysOf(build(path("two-on.mov"))), kCommonKeys);
}

TEST_F(AvParserTest, AppleLosslessIsRefusedUnlessItsTrackIsDisabled) {
  corvane::log::Capture capture;
  EXPECT_EQ(keysOf(build(path("alac.m4a"))), kCommonKeys);
  EXPECT_EQ(capture.count("Apple Lossless audio is not supported"), 1u);
  const Fields music{{MediaDBMusicColumnPlayLength, "2"},
                     {MediaDBMusicColumnSamplerate, "44100"},
                     {MediaDBMusicColumnTitle, "alac-off"},
                     {MediaDBCommonColumnFileTypeString, "M4A"}};
  EXPECT_EQ(pick(build(path("alac-off.m4a")), music), music);
}

TEST_F(AvParserTest, MusicBitrateIsWholeSecondsOfTheFileSize) {
  // A sparse WAV of 3 GiB declaring 10000 s: the bit count needs 64 bits.
  const std::string huge = path("huge.wav");
  const uint32_t rate = 161061, dataBytes = 3u * 1024 * 1024 * 1024 - 44;
  std::string header("RIFF----WAVEfmt \x10\0\0\0\x01\0\x01\0--------\x02\0\x10\0data----", 44);
  auto put32 = [&](size_t at, uint32_t v) {
    for (size_t i = 0; i < 4; ++i) header[at + i] = static_cast<char>(v >> (8 * i));
  };
  put32(4, dataBytes + 36), put32(24, rate), put32(28, rate * 2), put32(40, dataBytes);
  std::ofstream(huge, std::ios::binary) << header;
  ASSERT_EQ(truncate(huge.c_str(), 3LL * 1024 * 1024 * 1024), 0);

  const auto kbps = [](const std::string& p, int seconds) {
    return std::to_string(fs::file_size(p) * 8 / (seconds * 1000ull));
  };
  const std::tuple<std::string, std::string, std::string> rows[] = {
      {path("tone.aiff"), "300", kbps(path("tone.aiff"), 300)},
      {path("short.wav"), "0", "0"},
      {huge, "10000", "2576"}};
  for (const auto& [p, seconds, bitrate] : rows) {
    const Fields expected{{MediaDBMusicColumnPlayLength, seconds},
                          {MediaDBMusicColumnBitrate, bitrate},
                          {MediaDBMusicColumnSamplerate, p == huge ? std::to_string(rate) : "8000"}};
    EXPECT_EQ(pick(build(p), expected), expected) << p;
  }
}

TEST_F(AvParserTest, FilesThatAreNoGoodMovieGetTheCommonKeys) {
  const std::vector<uint8_t> movie = tt::readBytes(path("clip.mov"));
  ASSERT_TRUE(tt::writeBytes(path("damaged.mov"), {movie.begin(), movie.begin() + 600}));
  ASSERT_EQ(mkfifo(path("fifo.mov").c_str(), 0600), 0);
  const std::string target = path("Long Take.mov");
  const std::pair<std::string, bool> rows[] = {
      // path, logged
      {written("text.mov", "just some words\n"), false},
      {written("empty.mov", ""), false},
      {path("damaged.mov"), true},
      // Playlists are declined: a live one would otherwise be waited on.
      {written("list.m3u8", "#EXTM3U\n#EXT-X-TARGETDURATION:1\n#EXTINF:1,\n" + target + "\n"), false},
      {written("list.ffconcat", "ffconcat version 1.0\nfile '" + target + "'\n"), false},
      {written("huge.y4m", "YUV4MPEG2 W100000 H100000 F25:1 Ip A1:1 C420jpeg\nFRAME\nabcdef"), true},
      {written("stream.sdp",
               "v=0\no=- 0 0 IN IP4 127.0.0.1\ns=x\nc=IN IP4 127.0.0.1\nt=0 0\n"
               "m=video 5004 RTP/AVP 96\na=rtpmap:96 H264/90000\n"),
       false}};
  for (const auto& [p, logged] : rows) {
    corvane::log::Capture capture;
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(keysOf(build(p)), kCommonKeys) << p;
    EXPECT_EQ(capture.count("QTMovie initWithFile fail: error = "), logged ? 1u : 0u) << p;
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(3)) << p;
  }
  // A movie header and a media header claiming 136 years.
  fs::copy_file(path("clip.mov"), path("endless.mov"));
  for (const char* box : {"mvhd", "mdhd"}) {
    patch(path("endless.mov"), box, 0, [](uint8_t* p) {
      const uint8_t oneTickASecond[8] = {0, 0, 0, 1, 0xFF, 0xFF, 0xFF, 0xFF};
      std::copy(oneTickASecond, oneTickASecond + 8, p + 12);
    });
  }
  const MediaRecord endless = build(path("endless.mov"));
  EXPECT_EQ(shown(endless, MediaDBVideoColumnPlayLength), "2147483647");
  EXPECT_TRUE(endless.contains(MediaDBVideoColumnImage));
  std::set<std::string> unopened = kCommonKeys;
  unopened.erase(MediaDBCommonColumnFileSize);
  EXPECT_EQ(keysOf(build(path("fifo.mov"))), unopened);  // never blocks
  EXPECT_EQ(keysOf(build(path("missing.mov"))), unopened);
  EXPECT_TRUE(QuickTimeAVParser().build("")->empty());
}

TEST_F(AvParserTest, OpenAndReleaseWaitForTheMainLoopAndTheBracketPairs) {
  BusyMainLoop loop;
  const auto before = Movie::bracketCounts();
  auto result = std::async(std::launch::async, [] { return build(path("clip.mov")); });
  EXPECT_EQ(result.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);
  loop.open();
  EXPECT_TRUE(result.get().contains(MediaDBVideoColumnImage));
  build(written("text.mov", "words"));  // no movie: no bracket
  EXPECT_EQ(Movie::bracketCounts().enters - before.enters, 1u);
  EXPECT_EQ(Movie::bracketCounts().exits - before.exits, 1u);
}

}  // namespace
