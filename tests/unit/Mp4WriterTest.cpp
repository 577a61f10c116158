// The MP4 tag writer on M4A files made by ffmpeg and tagged by TagLib, read
// back by an independent reader (mutagen) and checked against ffmpeg's
// decoded audio; the podcast reader on real and byte-built files.

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <thread>

#include "fixtures/Id3Fixture.h"
#include "fixtures/Mp4Fixture.h"
#include "media/Log.h"
#include "media/MediaDBKeys.h"
#include "media/RZMediaTypeReader.h"
#include "platform/imaging/Picture.h"
#include "tags/MediaTag.h"
#include "tags/UpdateMP4Tag.h"
#include "unit/TagTestSupport.h"

namespace corvane::tags {
namespace {

using media::Bytes;
using media::MediaRecord;
using media::NullMarker;
using tagtest::ReadTag;
namespace fs = std::filesystem;

Bytes fakeCover(uint8_t seed) { return Bytes(300 + seed, seed); }

class Mp4WriterTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new tagtest::ScratchDir;
    const std::string sine = "-f lavfi -i sine=frequency=440:duration=3 -c:a aac -b:a 96k";
    tagtest::ffmpeg(sine + " -metadata title=Old", *dir_ / "late.m4a");
    tagtest::ffmpeg(sine + " -metadata title=Old -movflags +faststart", *dir_ / "fast.m4a");
    tagtest::ffmpeg("-f lavfi -i color=c=red:s=32x24 -frames:v 1", *dir_ / "cover.png");
    png_ = new Bytes(tagtest::readBytes(*dir_ / "cover.png"));
  }
  static void TearDownTestSuite() {
    delete png_;
    delete dir_;
  }

  fs::path copyOf(const std::string& name, const std::string& as = "") {
    const fs::path to = scratch_ / (as.empty() ? name : as);
    fs::copy_file(*dir_ / name, to, fs::copy_options::overwrite_existing);
    return to;
  }

  // A byte-built file with these metadata items.
  fs::path built(const test::Mp4Bytes& items, bool movieFirst = true) {
    test::Mp4FileSpec spec;
    spec.ilstItems = items;
    spec.movieFirst = movieFirst;
    const fs::path file = scratch_ / ("b" + std::to_string(count_++) + ".m4a");
    EXPECT_TRUE(test::writeMp4Bytes(file.string(), test::buildMp4(spec)));
    return file;
  }
  // A file with every field the writer touches, track 3 of 12, disc 2 of 3
  // and three artworks.
  fs::path fullyTagged() {
    test::Mp4Bytes items;
    for (const char* code : {"\251nam", "\251alb", "\251ART", "aART", "\251wrt", "\251gen", "\251day"})
      items = test::concat({items, test::ilstText(code, "old")});
    return built(
        test::concat({items, test::ilstPair("trkn", 3, 12), test::ilstPair("disk", 2, 3, false),
                      test::ilstCovr({{13, fakeCover(1)}, {13, fakeCover(2)}, {13, fakeCover(3)}})}));
  }

  static ReadTag read(const fs::path& file) {
    const auto tag = tagtest::readWithMutagen(file, true);
    EXPECT_TRUE(tag) << file;
    return tag.value_or(ReadTag{});
  }
  static ReadTag update(const fs::path& file, const MediaRecord& record) {
    EXPECT_TRUE(UpdateMP4Tag().updateTag(file.string(), record));
    return read(file);
  }

  static void expectJpegOfCover(const Bytes& stored) {
    ASSERT_GE(stored.size(), 2u);
    EXPECT_EQ(stored[0], 0xFF);
    EXPECT_EQ(stored[1], 0xD8);
    const auto picture = imaging::Picture::fromBytes(stored);
    ASSERT_TRUE(picture);
    EXPECT_EQ(picture->pixelsWide(), 32);
    EXPECT_EQ(picture->pixelsHigh(), 24);
  }

  // The podcast lookup on a byte-built file with these metadata items.
  std::optional<PodcastInfo> lookup(std::initializer_list<test::Mp4Bytes> items) {
    return UpdateMP4Tag().podcastInfo(built(test::concat(items)).string());
  }
  static test::Mp4Bytes item(const char* code, const std::string& value) {
    return test::ilstItem(code, {{0, test::Mp4Bytes(value.begin(), value.end())}});
  }
  static PodcastInfo both(const std::string& episode, const std::string& url) {
    return {{kMediaTagPodcastEpisodeId, episode}, {kMediaTagPodcastChannelUrl, url}};
  }

  static tagtest::ScratchDir* dir_;
  static Bytes* png_;
  tagtest::ScratchDir scratch_;
  int count_ = 0;
};
tagtest::ScratchDir* Mp4WriterTest::dir_ = nullptr;
Bytes* Mp4WriterTest::png_ = nullptr;

TEST_F(Mp4WriterTest, WritesEveryFieldAndKeepsTheAudio) {
  MediaRecord r;
  r.set(media::MediaDBMusicColumnTitle, std::string("Tïtle ✓ 日本 😀"));
  r.set(media::MediaDBMusicColumnAlbum, std::string("Album"));
  r.set(media::MediaDBMusicColumnArtist, std::string("Artist"));
  r.set(media::MediaDBMusicColumnAlbumArtist, std::string("Album Artist"));
  r.set(media::MediaDBMusicColumnComposer, std::string("Composer"));
  r.set(media::MediaDBMusicColumnGenre, std::string("Rock"));  // free text, no number lookup
  r.set(media::MediaDBMusicColumnDateReleased, std::string("2021-03-04T00:00:00Z"));
  r.set(media::MediaDBMusicColumnTrackNo, int32_t{7});
  r.set(media::MediaDBMusicColumnDiscNo, std::string("2"));
  r.set(media::MediaDBMusicColumnAlbumArt, *png_);
  r.set(media::MediaDBCommonColumnReservedText, std::string("not written"));
  for (const char* name : {"late.m4a", "fast.m4a"}) {
    SCOPED_TRACE(name);
    const fs::path file = copyOf(name);
    const std::string audio = tagtest::audioMd5(file);
    const ReadTag tags = update(file, r);
    EXPECT_EQ(tags.text("\251nam"), "Tïtle ✓ 日本 😀");
    EXPECT_EQ(tags.text("\251alb"), "Album");
    EXPECT_EQ(tags.text("\251ART"), "Artist");
    EXPECT_EQ(tags.text("aART"), "Album Artist");
    EXPECT_EQ(tags.text("\251wrt"), "Composer");
    EXPECT_EQ(tags.text("\251gen"), "Rock");
    EXPECT_EQ(tags.frames.count("gnre") + tags.frames.count("\251cmt"), 0u);
    EXPECT_EQ(tags.text("\251day"), "2021-03-04T00:00:00Z");
    EXPECT_EQ(tags.text("trkn"), "7/7");
    EXPECT_EQ(tags.text("disk"), "2/2");
    ASSERT_EQ(tags.pictures("covr").size(), 1u);  // PNG given, JPEG stored
    expectJpegOfCover(tags.pictures("covr")[0]);
    EXPECT_EQ(tagtest::audioMd5(file), audio);
  }
}

TEST_F(Mp4WriterTest, NullMarkerAbsentAndUnsupportedLeaveFieldsAlone) {
  const fs::path file = fullyTagged();
  const ReadTag before = read(file);
  ASSERT_EQ(before.pictures("covr").size(), 3u);
  ASSERT_EQ(before.text("\251nam"), "old");

  // Absent entries: nothing to do, and the file is not even rewritten.
  const auto bytes = tagtest::readBytes(file);
  struct stat st {};
  ::stat(file.c_str(), &st);
  EXPECT_TRUE(UpdateMP4Tag().updateTag(file.string(), MediaRecord{}));
  struct stat after {};
  ::stat(file.c_str(), &after);
  EXPECT_EQ(after.st_ino, st.st_ino);
  EXPECT_EQ(tagtest::readBytes(file), bytes);

  MediaRecord nulls, unsupported;
  for (const char* k : {media::MediaDBMusicColumnTitle, media::MediaDBMusicColumnAlbum,
                        media::MediaDBMusicColumnArtist, media::MediaDBMusicColumnAlbumArtist,
                        media::MediaDBMusicColumnComposer, media::MediaDBMusicColumnGenre,
                        media::MediaDBMusicColumnDateReleased, media::MediaDBMusicColumnTrackNo,
                        media::MediaDBMusicColumnDiscNo, media::MediaDBMusicColumnAlbumArt}) {
    if (std::string(k) != media::MediaDBMusicColumnAlbumArt) nulls.set(k, NullMarker{});
    unsupported.set(k, media::Unsupported{"a{sv}"});
  }
  EXPECT_EQ(update(file, nulls), before);
  EXPECT_EQ(update(file, unsupported), before);

  // A title alone changes the title alone; an absent picture keeps all three.
  MediaRecord title;
  title.set(media::MediaDBMusicColumnTitle, std::string("New"));
  ReadTag expected = before;
  expected.frames.find("\251nam")->second.text = {"New"};
  EXPECT_EQ(update(file, title), expected);
}

TEST_F(Mp4WriterTest, TrackAndDiscIndexAndTotal) {
  struct Case {
    std::optional<std::pair<int, int>> stored;
    media::MediaValue given;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {std::pair(3, 12), int32_t{5}, "5/12"},
      {std::pair(3, 12), int32_t{15}, "15/15"},
      {std::nullopt, int32_t{5}, "5/5"},
      {std::pair(3, 12), int32_t{70000}, "4464/4464"},
      {std::pair(3, 12), std::string(" 9 of"), "9/12"},
  };
  for (const char* code : {"trkn", "disk"}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(code) + " " + c.expected);
      const bool trkn = std::string(code) == "trkn";
      const fs::path file =
          built(c.stored ? test::ilstPair(code, c.stored->first, c.stored->second, trkn) : test::Mp4Bytes{});
      MediaRecord r;
      r.set(trkn ? media::MediaDBMusicColumnTrackNo : media::MediaDBMusicColumnDiscNo, c.given);
      EXPECT_EQ(update(file, r).text(code), c.expected);
    }
  }
}

TEST_F(Mp4WriterTest, ArtworkAddReplaceRemoveAndKeep) {
  MediaRecord png;
  png.set(media::MediaDBMusicColumnAlbumArt, *png_);

  // Replaces the first of three (a file without artwork gets one: see
  // WritesEveryFieldAndKeepsTheAudio); the others stay byte for byte.
  const fs::path three = fullyTagged();
  const auto replaced = update(three, png).pictures("covr");
  ASSERT_EQ(replaced.size(), 3u);
  expectJpegOfCover(replaced[0]);
  EXPECT_EQ(replaced[1], fakeCover(2));
  EXPECT_EQ(replaced[2], fakeCover(3));

  // Bytes that are no picture leave every artwork in place.
  MediaRecord junk;
  junk.set(media::MediaDBMusicColumnAlbumArt, Bytes(12, 'x'));
  EXPECT_EQ(update(three, junk).pictures("covr"), replaced);

  // The null marker removes the first only.
  MediaRecord remove;
  remove.set(media::MediaDBMusicColumnAlbumArt, NullMarker{});
  EXPECT_EQ(update(three, remove).pictures("covr"), (std::vector<Bytes>{fakeCover(2), fakeCover(3)}));
  EXPECT_EQ(update(three, remove).pictures("covr"), std::vector<Bytes>{fakeCover(3)});
  EXPECT_TRUE(update(three, remove).pictures("covr").empty());
  EXPECT_TRUE(update(three, remove).pictures("covr").empty());  // nothing left to remove
}

TEST_F(Mp4WriterTest, OpenFailuresAndRefusedRewritesLeaveTheFile) {
  MediaRecord r;
  r.set(media::MediaDBMusicColumnTitle, std::string("New"));
  r.set(media::MediaDBMusicColumnAlbumArt, *png_);
  {
    log::Capture capture;
    const std::string missing = (scratch_ / "missing.m4a").string();
    EXPECT_FALSE(UpdateMP4Tag().updateTag(missing, r));
    EXPECT_TRUE(capture.contains("MP4Tag file open fail " + missing));
    const fs::path notMp4 = scratch_ / "text.m4a";
    tagtest::writeBytes(notMp4, Bytes(5000, 'x'));
    EXPECT_FALSE(UpdateMP4Tag().updateTag(notMp4.string(), r));
    EXPECT_EQ(tagtest::readBytes(notMp4), Bytes(5000, 'x'));
    EXPECT_EQ(capture.count("MP4Tag file open fail"), 2u);
  }
  // The record's path serves when no path is given.
  const fs::path viaRecord = copyOf("late.m4a");
  MediaRecord withPath = r;
  withPath.set(media::MediaDBCommonColumnFilePath, viaRecord.string());
  EXPECT_TRUE(UpdateMP4Tag().updateTag("", withPath));
  EXPECT_EQ(read(viaRecord).text("\251nam"), "New");

  // A copy that cannot grow (file size limit) fails the update cleanly. No
  // picture in the child: libvips' threads do not survive a fork.
  const fs::path limited = copyOf("late.m4a", "limited.m4a");
  const auto original = tagtest::readBytes(limited);
  MediaRecord big;
  big.set(media::MediaDBMusicColumnTitle, std::string("New"));
  big.set(media::MediaDBMusicColumnComposer, std::string(20000, 'c'));
  EXPECT_EQ(tagtest::inChild([&] {
              const rlimit limit{original.size() + 4096, original.size() + 4096};
              ::setrlimit(RLIMIT_FSIZE, &limit);
              return UpdateMP4Tag().updateTag(limited.string(), big) ? 1 : 0;
            }),
            0);
  EXPECT_EQ(tagtest::readBytes(limited), original);
  EXPECT_EQ(scratch_.entries(), 3);  // no stray copies beside the files this test made
}

// Files found by fuzzing that the writing library would damage or hang on:
// none is opened for change, and each stays as it was.
TEST_F(Mp4WriterTest, FilesTheLibraryWouldMishandleAreRefused) {
  std::vector<std::pair<std::string, Bytes>> cases;
  const auto find = [](Bytes& bytes, const std::string& type) {
    const auto at = std::search(bytes.begin(), bytes.end(), type.begin(), type.end());
    EXPECT_NE(at, bytes.end()) << type;
    return at;
  };
  // A user-data box claiming far more than the file holds, behind an offset
  // table of another name and cut audio (the file the fuzzer found): the
  // library would save the tags into it where no reader finds them.
  test::Mp4FileSpec purl;
  purl.ilstItems = item("purl", std::string(11, 'Z'));
  Bytes damaged = test::buildMp4(purl);
  std::copy_n("scot", 4, find(damaged, "stco"));
  find(damaged, "udta")[-4] = 0x3F;
  damaged.resize(946);
  std::fill(damaged.begin() + 667, damaged.end(), 'Z');
  cases.emplace_back("user data past the end", damaged);

  // A chunk offset table whose count runs past its box: moving the offsets
  // would write far beyond the table.
  Bytes stco = test::buildMp4(test::Mp4FileSpec{});
  find(stco, "stco")[8] = 0x7F;  // entry count 0x7F000000 and more
  cases.emplace_back("offset count past its box", stco);

  // An offset table as the movie box's first child, where new user data goes
  // in and the library then reads the table from its old place.
  Bytes first = test::buildMp4(test::Mp4FileSpec{});
  const auto moov = find(first, "moov");
  const Bytes table = test::mp4FullBox("co64", 0, 0, {0, 0, 0, 0});
  uint32_t size = 0;
  for (int i = -4; i < 0; ++i) size = size << 8 | moov[i];
  size += static_cast<uint32_t>(table.size());
  for (int i = -4; i < 0; ++i) moov[i] = static_cast<uint8_t>(size >> (8 * (-1 - i)));
  first.insert(moov + 4, table.begin(), table.end());
  cases.emplace_back("offset table first in the movie box", first);

  // An item list claiming more than its parent: the library would pad the
  // new tags to its size.
  test::Mp4FileSpec spec;
  spec.ilstItems = test::ilstText("\251nam", "Old");
  Bytes ilst = test::buildMp4(spec);
  find(ilst, "ilst")[-4] = 0x7F;  // 2 GB and more
  cases.emplace_back("item list larger than its parent", ilst);

  MediaRecord r;
  r.set(media::MediaDBMusicColumnTitle, std::string("New"));
  r.set(media::MediaDBMusicColumnComposer, std::string(5000, 'c'));  // the tags grow
  const fs::path file = scratch_ / "hostile.m4a";
  for (const auto& [what, bytes] : cases) {
    SCOPED_TRACE(what);
    tagtest::writeBytes(file, bytes);
    EXPECT_FALSE(UpdateMP4Tag().updateTag(file.string(), r));
    EXPECT_EQ(tagtest::readBytes(file), bytes);
  }
}

TEST_F(Mp4WriterTest, DispatcherAndTwoUpdatesAtOnce) {
  const fs::path a = copyOf("late.m4a", "a.m4a");
  const fs::path b = copyOf("fast.m4a", "b.m4a");
  MediaRecord r;
  r.set(media::MediaDBCommonColumnMediaType, media::kMediaTypeM4A);
  r.set(media::MediaDBMusicColumnTitle, std::string("Through the dispatcher"));
  EXPECT_TRUE(MediaTag().updateTag(a.string(), r));
  EXPECT_EQ(read(a).text("\251nam"), "Through the dispatcher");

  auto work = [this](fs::path file, std::string prefix) {
    for (int i = 0; i < 8; ++i) {
      MediaRecord m;
      m.set(media::MediaDBMusicColumnTitle, prefix + std::to_string(i));
      m.set(media::MediaDBMusicColumnTrackNo, int32_t{i + 1});
      m.set(media::MediaDBMusicColumnAlbumArt, *png_);
      if (!UpdateMP4Tag().updateTag(file.string(), m)) ADD_FAILURE() << file;
    }
  };
  std::thread first(work, a, "a"), second(work, b, "b");
  first.join();
  second.join();
  EXPECT_EQ(read(a).text("\251nam"), "a7");
  EXPECT_EQ(read(b).text("\251nam"), "b7");
  EXPECT_EQ(read(b).text("trkn"), "8/8");
}

// --- podcast lookup ---

TEST_F(Mp4WriterTest, PodcastItemsAsTextSurviveAnUpdate) {
  const fs::path file = built(test::concat(
      {test::ilstText("purl", "http://feed.example/rss"), test::ilstText("egid", "episode-42")}));
  const PodcastInfo expected = both("episode-42", "http://feed.example/rss");
  EXPECT_EQ(UpdateMP4Tag().podcastInfo(file.string()), expected);
  EXPECT_EQ(MediaTag().podcastInfo(file.string()), expected);
  MediaRecord r;
  r.set(media::MediaDBMusicColumnTitle, std::string("Episode"));
  EXPECT_TRUE(UpdateMP4Tag().updateTag(file.string(), r));
  EXPECT_EQ(UpdateMP4Tag().podcastInfo(file.string()), expected);

  log::Capture capture;
  const fs::path one = built(test::ilstText("purl", "http://feed.example/rss"));
  EXPECT_EQ(UpdateMP4Tag().podcastInfo(one.string()), std::nullopt);
  EXPECT_TRUE(capture.contains("MP4Tag no podcast info " + one.string()));
  EXPECT_EQ(UpdateMP4Tag().podcastInfo((scratch_ / "none.m4a").string()), std::nullopt);
  EXPECT_TRUE(capture.contains("MP4Tag file open fail " + (scratch_ / "none.m4a").string()));
}

TEST_F(Mp4WriterTest, PodcastItemsBothOneNoneLaterItemsAndBufferLimit) {
  EXPECT_EQ(lookup({item("egid", "ep"), item("purl", "http://u")}), both("ep", "http://u"));
  EXPECT_EQ(lookup({item("purl", "http://u")}), std::nullopt);
  EXPECT_EQ(lookup({item("egid", "ep")}), std::nullopt);
  EXPECT_EQ(lookup({test::ilstText("\251nam", "t")}), std::nullopt);
  EXPECT_EQ(lookup({}), std::nullopt);
  // A later item replaces an earlier one; a value ends at its first zero byte.
  EXPECT_EQ(lookup({item("egid", "a"), item("purl", "u"), item("egid", std::string("b\0c", 3))}),
            both("b", "u"));
  // 1999 bytes fit the buffer with their terminating zero; 2000 do not and
  // are passed over, keeping an earlier value or leaving none.
  const std::string fits(1999, 'e'), tooLong(2000, 'e');
  EXPECT_EQ(lookup({item("egid", fits), item("purl", "u")}), both(fits, "u"));
  EXPECT_EQ(lookup({item("egid", tooLong), item("purl", "u")}), std::nullopt);
  EXPECT_EQ(lookup({item("egid", "ep"), item("egid", tooLong), item("purl", "u")}), both("ep", "u"));
  // Empty or undecodable values are no values; an item without data is skipped.
  EXPECT_EQ(lookup({item("egid", ""), item("purl", "u")}), std::nullopt);
  EXPECT_EQ(lookup({item("egid", "ep"), item("egid", "\xFF\xFE"), item("purl", "u")}), std::nullopt);
  EXPECT_EQ(lookup({test::ilstItem("egid", {}), item("egid", "ep"), item("purl", "u")}), both("ep", "u"));
}

}  // namespace
}  // namespace corvane::tags
