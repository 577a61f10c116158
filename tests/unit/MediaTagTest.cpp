// The tag service's dispatch of updates by the record's media type code (its
// dispatch of podcast lookups by extension is tested with the ID3 reader).

#include <gtest/gtest.h>

#include "fixtures/Id3Fixture.h"
#include "media/MediaDBKeys.h"
#include "media/RZMediaTypeReader.h"
#include "tags/MediaTag.h"
#include "unit/TagTestSupport.h"

namespace corvane::tags {
namespace {

namespace fs = std::filesystem;
using media::MediaRecord;

// An MP3 file with a title, under each name.
std::vector<fs::path> mp3s(const tagtest::ScratchDir& dir, std::initializer_list<const char*> names) {
  const auto tag = test::Id3TagBytes(3).text("TIT2", "Old").bytes();
  std::vector<fs::path> paths;
  for (const char* name : names) {
    paths.push_back(dir / name);
    tagtest::writeBytes(paths.back(), test::concat({tag, test::silentMpegFrames(3)}));
  }
  return paths;
}

TEST(MediaTagTest, UpdateChoosesTheWriterByMediaTypeCode) {
  tagtest::ScratchDir dir;
  const auto files = mp3s(dir, {"song.m4a", "song.mp3"});  // the extension is not consulted
  const auto update = [](const fs::path& file, const std::optional<media::MediaValue>& type) {
    MediaRecord r;
    r.set(media::MediaDBMusicColumnTitle, std::string("New"));
    if (type) r.set(media::MediaDBCommonColumnMediaType, *type);
    return MediaTag().updateTag(file.string(), r);
  };
  EXPECT_TRUE(update(files[0], media::kMediaTypeMP3));
  EXPECT_EQ(tagtest::readWithMutagen(files[0])->text("TIT2"), "New");

  const auto before = tagtest::readBytes(files[1]);
  for (const auto& type : std::vector<std::optional<media::MediaValue>>{
           media::kMediaTypeM4A,  // the MP4 writer, which cannot handle an MPEG file
           std::nullopt, media::kMediaTypeMP4, int32_t{0}, std::string("16777217"), uint64_t{0x01000001}}) {
    EXPECT_FALSE(update(files[1], type));
    EXPECT_EQ(tagtest::readBytes(files[1]), before);
  }
}

}  // namespace
}  // namespace corvane::tags
