// Music over the bus: the MP3 and MP4 services build records, the tag service
// rewrites tags, and records of the wrong shape change nothing.

#include <gtest/gtest.h>

#include "client/Session.h"
#include "support/ServiceHarness.h"

using namespace corvane;
using namespace corvane::test;

namespace {

constexpr int32_t kMp3 = 0x01000001;

void makeAudio(const std::string& path, const std::string& codec) {
  auto r = runCommand({"/usr/bin/ffmpeg", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
                       "sine=frequency=440:duration=2", "-c:a", codec, "-b:a", "128k", path});
  ASSERT_EQ(r.status, 0) << r.err;
}

class MusicServices : public ::testing::Test {
 protected:
  void SetUp() override {
    daemon = std::make_unique<DaemonProcess>();
    ASSERT_TRUE(bus.waitForOwner("org.corvane.MediaTagUpdater_Halvern", true)) << daemon->log();
    makeAudio(dir.file("song.mp3"), "libmp3lame");
    makeAudio(dir.file("song.m4a"), "aac");
  }
  std::string title(const std::string& path, const std::string& service) {
    auto record = client::MediaInfoBuilderClient(service).build(path);
    return record ? valueOf<std::string>(*record, "Title").value_or("(none)") : "(none)";
  }
  PrivateBus bus;
  TempDir dir;
  std::unique_ptr<DaemonProcess> daemon;
  client::Session session{"org.corvane.test.music"};
};

TEST_F(MusicServices, BuildersAnswerWithTheirOwnValueKinds) {
  auto mp3 = client::MediaInfoBuilderClient("MP3Parser_Halvern").build(dir.file("song.mp3"));
  ASSERT_TRUE(mp3);
  EXPECT_EQ(valueOf<int32_t>(*mp3, "MediaType"), kMp3);
  EXPECT_TRUE(valueOf<int32_t>(*mp3, "PlayLength"));
  EXPECT_EQ(valueOf<int32_t>(*mp3, "Bitrate"), 128);
  EXPECT_EQ(valueOf<std::string>(*mp3, "Genre"), "Unknown");

  auto m4a = client::MediaInfoBuilderClient("MP4Parser_Halvern").build(dir.file("song.m4a"));
  ASSERT_TRUE(m4a);
  EXPECT_TRUE(valueOf<double>(*m4a, "PlayLength"));
  EXPECT_EQ(valueOf<double>(*m4a, "Samplerate"), 44100.0);
  EXPECT_TRUE(valueOf<uint64_t>(*m4a, "FileSize"));

  makeAudio(dir.file("tone.flac"), "flac");
  auto flac = client::MediaInfoBuilderClient("BasicAudioParser_Halvern").build(dir.file("tone.flac"));
  ASSERT_TRUE(flac);
  EXPECT_EQ(valueOf<int32_t>(*flac, "PlayLength"), 3);  // whole seconds of the length plus one

  auto r = runCommand({"/usr/bin/ffmpeg", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
                       "testsrc=size=160x120:duration=2", "-c:v", "libx264", dir.file("clip.mov")});
  ASSERT_EQ(r.status, 0) << r.err;
  auto movie = client::MediaInfoBuilderClient("AVParser_Halvern").build(dir.file("clip.mov"));
  ASSERT_TRUE(movie);
  EXPECT_EQ(valueOf<std::string>(*movie, "VCodec"), "AVC1");
  EXPECT_FALSE(valueOf<media::Bytes>(*movie, "Image").value_or(media::Bytes()).empty());

  EXPECT_FALSE(client::MediaInfoBuilderClient("BasicAudioParser_Halvern").build(dir.file("missing.flac")));
  EXPECT_FALSE(client::MediaInfoBuilderClient("MP3Parser_Halvern").build(dir.file("missing.mp3")));
  EXPECT_FALSE(client::MediaInfoBuilderClient("MP4Parser_Halvern").build(dir.file("song.mp3")));
  EXPECT_TRUE(daemon->waitForLog("MP4Parser file open fail"));
}

// Which records the writers refuse is their own test; over the bus the
// values arrive with their wire types, and one of another type is no value.
TEST_F(MusicServices, ATagUpdateIsReadBackAndValuesOfTheWrongTypeChangeNothing) {
  client::MediaTagClient tags;
  const std::string path = dir.file("song.mp3");
  media::MediaRecord record;
  record.set("MediaType", kMp3);
  record.set("Title", std::string("Première"));
  ASSERT_TRUE(tags.updateTag(path, record));
  EXPECT_EQ(title(path, "MP3Parser_Halvern"), "Première");

  auto oddTitle = callService(ipc::contract::kMediaTagService, ipc::contract::kUpdateTag, [&](auto& out) {
    out.add(path).open('a', "{sv}");
    out.open('e', "sv").add("MediaType").open('v', "i").add(kMp3).close().close();
    out.open('e', "sv").add("Title").open('v', "u").add(uint32_t{5}).close().close();
    out.close();
  });
  bool written = false;
  EXPECT_TRUE(oddTitle.values().read(written).ok() && written) << oddTitle.errorText();
  EXPECT_EQ(title(path, "MP3Parser_Halvern"), "Première");
  record.set("MediaType", std::string("MP3"));
  record.set("Title", std::string("Changed"));
  EXPECT_FALSE(tags.updateTag(path, record));
  EXPECT_EQ(title(path, "MP3Parser_Halvern"), "Première");

  EXPECT_FALSE(tags.podcastInfo(path));
  EXPECT_TRUE(daemon->running());
}

TEST_F(MusicServices, CorvanectlTagsBuildsAndDumps) {
  const std::string mp3 = dir.file("song.mp3");
  auto tagged = runCommand({CORVANE_CTL_PATH, "tag", mp3, "Title=Song", "TrackNo=7", "Genre=Rock"});
  EXPECT_EQ(tagged.status, 0) << tagged.err;
  auto built = runCommand({CORVANE_CTL_PATH, "build", mp3, dir.file("song.m4a")});
  EXPECT_EQ(built.status, 0) << built.err;
  EXPECT_NE(built.out.find("\"Title\": \"Song\""), std::string::npos) << built.out;
  EXPECT_NE(built.out.find("\"TrackNo\": 7"), std::string::npos);
  EXPECT_NE(built.out.find("\"FileTypeString\": \"M4A\""), std::string::npos);

  EXPECT_EQ(runCommand({CORVANE_CTL_PATH, "tag", mp3, "nonsense"}).status, 2);
  EXPECT_EQ(runCommand({CORVANE_CTL_PATH, "tag", mp3, "TrackNo=seven"}).status, 2);
  EXPECT_EQ(runCommand({CORVANE_CTL_PATH, "podcast", mp3}).status, 1);

  auto dump = runCommand({CORVANE_CTL_PATH, "mp4dump", dir.file("song.m4a")});
  EXPECT_EQ(dump.status, 0);
  EXPECT_NE(dump.out.find("encodingTool: "), std::string::npos);
  auto missing = runCommand({CORVANE_CTL_PATH, "mp4dump", dir.file("missing.m4a")});
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.out, "MP4Modify failed\n");
}

}  // namespace
