// The FLAC/Ogg service over the audio stream library, on files made with
// ffmpeg (silence at low sample rates, so they are small and quick to make).

#include <gtest/gtest.h>

#include <fstream>

#include "TestSupport.h"
#include "builders/RZBasicAudioParser.h"
#include "media/Log.h"
#include "media/MediaDBKeys.h"
#include "platform/audio/AudioStreams.h"

namespace {

namespace tt = corvane::tagtest;
using corvane::builders::RZBasicAudioParser;
using namespace corvane::media;  // the MediaDB keys

class BasicAudioParserTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    corvane::audio::init(-1, 44100, 0, nullptr, nullptr);  // as the host does at start
    dir_ = std::make_unique<tt::ScratchDir>();
    const std::string silence = "-f lavfi -i anullsrc=r=8000:cl=mono -t ";
    tt::ffmpeg(silence + "245.6 -c:a flac", *dir_ / "Track.FLAC");
    tt::ffmpeg(silence + "3.2 -c:a libvorbis", *dir_ / "vorbis.ogg");
    tt::ffmpeg("-f lavfi -i anullsrc=r=48000:cl=mono -t 2.5 -c:a libopus -f ogg", *dir_ / "opus.ogg");
    tt::ffmpeg(silence + "1.5 -c:a flac -f ogg", *dir_ / "flac.ogg");
    for (const char* name : {"track.oga", "track.opus", "README"}) {
      std::filesystem::copy_file(*dir_ / "opus.ogg", *dir_ / name);
    }
    std::ofstream(*dir_ / "corrupt.flac") << "fLaC" << std::string(40, '\x7f');
  }
  static void TearDownTestSuite() { dir_.reset(); }
  static std::string path(const std::string& name) { return *dir_ / name; }

  static std::unique_ptr<tt::ScratchDir> dir_;
};
std::unique_ptr<tt::ScratchDir> BasicAudioParserTest::dir_;

using tt::shown;

TEST_F(BasicAudioParserTest, FlacAndOggAreMeasuredOtherNamesAreNot) {
  // name, title, play length (seconds + 1, truncated), reserved int
  const std::tuple<const char*, const char*, const char*, const char*> rows[] = {
      {"Track.FLAC", "Track", "246", "0"},     {"vorbis.ogg", "vorbis", "4", "0"},
      {"opus.ogg", "opus", "3", "0"},          {"flac.ogg", "flac", "2", "0"},
      {"track.oga", "track", "<absent>", "9"}, {"track.opus", "track", "<absent>", "9"},
      {"README", "README", "<absent>", "9"}};
  corvane::log::Capture capture;
  for (const auto& [name, title, playLength, reservedInt] : rows) {
    const auto r = RZBasicAudioParser().build(path(name));
    ASSERT_TRUE(r) << name;
    const tt::Fields expected{{MediaDBMusicColumnTitle, title},
                              {MediaDBMusicColumnPlayLength, playLength},
                              {MediaDBCommonColumnReservedInt, reservedInt}};
    EXPECT_EQ(tt::pick(*r, expected), expected) << name;
    EXPECT_TRUE(r->get<uint64_t>(MediaDBCommonColumnFileSize));
  }
  EXPECT_EQ(capture.count("bass load error"), 0u);  // only the type reader's unknown extensions
}

TEST_F(BasicAudioParserTest, FailuresAreNoneOrLogged) {
  const uint64_t calls = corvane::audio::streamOpenCalls();
  EXPECT_FALSE(RZBasicAudioParser().build(path("missing.flac")));
  EXPECT_EQ(corvane::audio::streamOpenCalls(), calls);

  corvane::log::Capture capture;
  const auto r = RZBasicAudioParser().build(path("corrupt.flac"));
  ASSERT_TRUE(r);
  EXPECT_EQ(shown(*r, MediaDBCommonColumnReservedInt), "9");
  EXPECT_FALSE(r->contains(MediaDBMusicColumnPlayLength));
  EXPECT_EQ(capture.lines(), std::vector<std::string>{"bass load error = 4"});
}

}  // namespace
