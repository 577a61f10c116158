// The tag service's dispatch: by the record's media type code for updates,
// by the path's extension for podcast lookups.

#include <gtest/gtest.h>

#include "fixtures/Id3TagBytes.h"
#include "media/MediaDBKeys.h"
#include "media/RZMediaTypeReader.h"
#include "tags/MediaTag.h"
#include "unit/TagTestSupport.h"

namespace corvane::tags {
namespace {

namespace fs = std::filesystem;
using media::MediaRecord;

class MediaTagTest : public ::testing::Test {
 protected:
  fs::path mp3(const std::string& name) {
    const fs::path p = dir_ / name;
    tagtest::makeMp3(p, 3, "-metadata title=Old", 1);
    return p;
  }
  static MediaRecord record(std::optional<media::MediaValue> type) {
    MediaRecord r;
    r.set(media::MediaDBMusicColumnTitle, std::string("New"));
    if (type) r.set(media::MediaDBCommonColumnMediaType, *type);
    return r;
  }
  tagtest::ScratchDir dir_;
};

TEST_F(MediaTagTest, UpdateChoosesTheWriterByMediaTypeCode) {
  const fs::path named = mp3("song.m4a");  // the extension is not consulted
  EXPECT_TRUE(MediaTag().updateTag(named.string(), record(media::kMediaTypeMP3)));
  EXPECT_EQ(tagtest::readWithMutagen(named)->text("TIT2"), "New");

  const fs::path file = mp3("song.mp3");
  const auto before = tagtest::readBytes(file);
  for (const auto& type : std::vector<std::optional<media::MediaValue>>{
           media::kMediaTypeM4A,  // the MP4 writer, which cannot handle an MPEG file
           std::nullopt, media::kMediaTypeMP4, int32_t{0}, std::string("16777217"), uint64_t{0x01000001}}) {
    EXPECT_FALSE(MediaTag().updateTag(file.string(), record(type)));
    EXPECT_EQ(tagtest::readBytes(file), before);
  }
}

TEST_F(MediaTagTest, PodcastLookupChoosesTheReaderByExtension) {
  auto bytes = test::Id3TagBytes(3).text("TGID", "ep").text("WFED", "url").bytes();
  const auto audio = test::silentMpegFrames(2);
  bytes.insert(bytes.end(), audio.begin(), audio.end());
  for (const char* name : {"a.MP3", "b.mp3", "c.m4a", "d.mp4", "e.aac", "noext", "f.mp3.m4a"}) {
    tagtest::writeBytes(dir_ / name, bytes);
  }
  const PodcastInfo expected{{kMediaTagPodcastEpisodeId, "ep"}, {kMediaTagPodcastChannelUrl, "url"}};
  EXPECT_EQ(MediaTag().podcastInfo((dir_ / "a.MP3").string()), expected);
  EXPECT_EQ(MediaTag().podcastInfo((dir_ / "b.mp3").string()), expected);
  for (const char* name : {"c.m4a", "d.mp4", "e.aac", "noext", "f.mp3.m4a"}) {
    EXPECT_EQ(MediaTag().podcastInfo((dir_ / name).string()), std::nullopt) << name;
  }
}

}  // namespace
}  // namespace corvane::tags
