// The MP4 tag writer on M4A files made by ffmpeg and tagged by TagLib, read
// back by an independent reader (mutagen) and checked against ffmpeg's
// decoded audio; the podcast reader on real and byte-built files.

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <taglib/mp4file.h>
#include <taglib/mp4tag.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <functional>
#include <thread>

#include "fixtures/Mp4Fixture.h"
#include "media/MediaDBKeys.h"
#include "media/RZMediaTypeReader.h"
#include "platform/imaging/Picture.h"
#include "platform/log/Log.h"
#include "tags/MediaTag.h"
#include "tags/UpdateMP4Tag.h"
#include "unit/TagTestSupport.h"

namespace corvane::tags {
namespace {

using media::Bytes;
using media::MediaRecord;
using media::NullMarker;
namespace fs = std::filesystem;

// The metadata of an MP4 file as mutagen reads it.
struct Mp4Read {
  std::map<std::string, std::vector<std::string>> texts;  // raw atom name -> values
  std::map<std::string, std::pair<int, int>> pairs;       // trkn, disk
  std::vector<Bytes> covers;

  std::string text(const std::string& code) const {
    auto it = texts.find(code);
    return it == texts.end() || it->second.empty() ? "<none>" : it->second[0];
  }
  std::pair<int, int> pair(const std::string& code) const {
    auto it = pairs.find(code);
    return it == pairs.end() ? std::pair(-1, -1) : it->second;
  }
};

Mp4Read readWithMutagen(const fs::path& file) {
  static const char* script = R"PY(
import sys
from mutagen.mp4 import MP4
f = MP4(sys.argv[1])
for k, v in (f.tags or {}).items():
    key = k.encode('latin-1').hex()
    for x in v:
        if k in ('trkn', 'disk'):
            print(key, 'P', x[0], x[1])
        elif k == 'covr':
            print(key, 'C', bytes(x).hex() or '-')
        else:
            b = x.encode('utf-8') if isinstance(x, str) else bytes(x)
            print(key, 'T', b.hex() or '-')
)PY";
  const auto out = tagtest::run("/usr/bin/python3 -c " + tagtest::shellQuote(script) + " " +
                                tagtest::shellQuote(file.string()));
  EXPECT_TRUE(out) << file;
  Mp4Read read;
  std::istringstream lines(out.value_or(""));
  std::string key, kind;
  while (lines >> key >> kind) {
    const std::string code = tagtest::fromHex(key);
    if (kind == "P") {
      int a = 0, b = 0;
      lines >> a >> b;
      read.pairs[code] = {a, b};
      continue;
    }
    std::string hex;
    lines >> hex;
    const std::string value = hex == "-" ? "" : tagtest::fromHex(hex);
    if (kind == "C") {
      read.covers.emplace_back(value.begin(), value.end());
    } else {
      read.texts[code].push_back(value);
    }
  }
  return read;
}

TagLib::String key(const char* code) { return TagLib::String(code, TagLib::String::Latin1); }
TagLib::ByteVector vec(const Bytes& b) {
  return TagLib::ByteVector(reinterpret_cast<const char*>(b.data()), static_cast<unsigned>(b.size()));
}
Bytes fakeCover(uint8_t seed) { return Bytes(300 + seed, seed); }

class Mp4WriterTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new tagtest::ScratchDir;
    const auto ffmpeg = [](const std::string& args, const fs::path& out) {
      const std::string cmd =
          "ffmpeg -v error -y " + args + " " + tagtest::shellQuote(out.string()) + " </dev/null";
      ASSERT_TRUE(tagtest::run(cmd)) << cmd;
    };
    const std::string sine = "-f lavfi -i sine=frequency=440:duration=3 -c:a aac -b:a 96k";
    ffmpeg(sine + " -metadata title=Old", *dir_ / "late.m4a");
    ffmpeg(sine + " -metadata title=Old -movflags +faststart", *dir_ / "fast.m4a");
    ffmpeg("-f lavfi -i color=c=red:s=32x24 -frames:v 1", *dir_ / "cover.png");
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

  static void tagWithTagLib(const fs::path& file, const std::function<void(TagLib::MP4::Tag&)>& edit) {
    TagLib::MP4::File f(file.c_str());
    ASSERT_TRUE(f.isValid());
    edit(*f.tag());
    ASSERT_TRUE(f.save());
  }

  // A file with every field the writer touches, track 3 of 12, disc 2 of 3
  // and three artworks.
  fs::path fullyTagged(const std::string& name = "late.m4a") {
    const fs::path file = copyOf(name);
    tagWithTagLib(file, [](TagLib::MP4::Tag& t) {
      for (const char* code : {"\251nam", "\251alb", "\251ART", "aART", "\251wrt", "\251gen", "\251day"})
        t.setItem(key(code),
                  TagLib::StringList(TagLib::String(std::string("old ") + code, TagLib::String::UTF8)));
      t.setItem("trkn", TagLib::MP4::Item(3, 12));
      t.setItem("disk", TagLib::MP4::Item(2, 3));
      TagLib::MP4::CoverArtList covers;
      for (uint8_t i = 1; i <= 3; ++i)
        covers.append(TagLib::MP4::CoverArt(TagLib::MP4::CoverArt::JPEG, vec(fakeCover(i))));
      t.setItem("covr", TagLib::MP4::Item(covers));
    });
    return file;
  }

  Mp4Read update(const fs::path& file, const MediaRecord& record) {
    EXPECT_TRUE(UpdateMP4Tag().updateTag(file.string(), record));
    return readWithMutagen(file);
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

  static tagtest::ScratchDir* dir_;
  static Bytes* png_;
  tagtest::ScratchDir scratch_;
};
tagtest::ScratchDir* Mp4WriterTest::dir_ = nullptr;
Bytes* Mp4WriterTest::png_ = nullptr;

TEST_F(Mp4WriterTest, WritesEveryFieldAndKeepsTheAudio) {
  for (const char* name : {"late.m4a", "fast.m4a"}) {
    const fs::path file = copyOf(name);
    const std::string audio = tagtest::audioMd5(file);
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
    const Mp4Read tags = update(file, r);
    EXPECT_EQ(tags.text("\251nam"), "Tïtle ✓ 日本 😀") << name;
    EXPECT_EQ(tags.text("\251alb"), "Album");
    EXPECT_EQ(tags.text("\251ART"), "Artist");
    EXPECT_EQ(tags.text("aART"), "Album Artist");
    EXPECT_EQ(tags.text("\251wrt"), "Composer");
    EXPECT_EQ(tags.text("\251gen"), "Rock");
    EXPECT_EQ(tags.texts.count("gnre"), 0u);
    EXPECT_EQ(tags.text("\251day"), "2021-03-04T00:00:00Z");
    EXPECT_EQ(tags.text("\251cmt"), "<none>");
    EXPECT_EQ(tags.pair("trkn"), std::pair(7, 7));
    EXPECT_EQ(tags.pair("disk"), std::pair(2, 2));
    ASSERT_EQ(tags.covers.size(), 1u);  // PNG given, JPEG stored
    expectJpegOfCover(tags.covers[0]);
    EXPECT_EQ(tagtest::audioMd5(file), audio) << name;
  }
}

TEST_F(Mp4WriterTest, NullMarkerAbsentAndUnsupportedLeaveFieldsAlone) {
  const fs::path file = fullyTagged();
  const Mp4Read before = readWithMutagen(file);
  ASSERT_EQ(before.covers.size(), 3u);

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
  for (const MediaRecord* unchanged : {&nulls, &unsupported}) {
    const Mp4Read after = update(file, *unchanged);
    EXPECT_EQ(after.texts, before.texts);
    EXPECT_EQ(after.pairs, before.pairs);
    EXPECT_EQ(after.covers, before.covers);
  }

  // A title alone changes the title alone; an absent picture keeps all three.
  MediaRecord title;
  title.set(media::MediaDBMusicColumnTitle, std::string("New"));
  const Mp4Read afterTitle = update(file, title);
  EXPECT_EQ(afterTitle.text("\251nam"), "New");
  EXPECT_EQ(afterTitle.text("\251alb"), before.text("\251alb"));
  EXPECT_EQ(afterTitle.pairs, before.pairs);
  EXPECT_EQ(afterTitle.covers, before.covers);
}

TEST_F(Mp4WriterTest, TrackAndDiscIndexAndTotal) {
  struct Case {
    std::optional<std::pair<int, int>> stored;
    media::MediaValue given;
    std::pair<int, int> expected;
  };
  const std::vector<Case> cases = {
      {std::pair(3, 12), int32_t{5}, {5, 12}},
      {std::pair(3, 12), int32_t{15}, {15, 15}},
      {std::nullopt, int32_t{5}, {5, 5}},
      {std::pair(3, 12), int32_t{70000}, {4464, 4464}},
      {std::pair(3, 12), std::string(" 9 of"), {9, 12}},
  };
  for (const char* code : {"trkn", "disk"}) {
    const char* recordKey =
        std::string(code) == "trkn" ? media::MediaDBMusicColumnTrackNo : media::MediaDBMusicColumnDiscNo;
    for (const Case& c : cases) {
      const fs::path file = copyOf("late.m4a");
      if (c.stored) {
        tagWithTagLib(file, [&](TagLib::MP4::Tag& t) {
          t.setItem(code, TagLib::MP4::Item(c.stored->first, c.stored->second));
        });
      }
      MediaRecord r;
      r.set(recordKey, c.given);
      EXPECT_EQ(update(file, r).pair(code), c.expected) << code << " " << c.expected.first;
    }
  }
}

TEST_F(Mp4WriterTest, ArtworkAddReplaceRemoveAndKeep) {
  MediaRecord png;
  png.set(media::MediaDBMusicColumnAlbumArt, *png_);

  // Added to a file without artwork.
  const fs::path bare = copyOf("fast.m4a");
  const Mp4Read added = update(bare, png);
  ASSERT_EQ(added.covers.size(), 1u);
  expectJpegOfCover(added.covers[0]);

  // Replaces the first of three; the others stay byte for byte.
  const fs::path three = fullyTagged("fast.m4a");
  const Mp4Read replaced = update(three, png);
  ASSERT_EQ(replaced.covers.size(), 3u);
  expectJpegOfCover(replaced.covers[0]);
  EXPECT_EQ(replaced.covers[1], fakeCover(2));
  EXPECT_EQ(replaced.covers[2], fakeCover(3));

  // Bytes that are no picture leave every artwork in place.
  MediaRecord junk;
  junk.set(media::MediaDBMusicColumnAlbumArt,
           Bytes{'n', 'o', 't', ' ', 'a', 'n', ' ', 'i', 'm', 'a', 'g', 'e'});
  EXPECT_EQ(update(three, junk).covers, replaced.covers);

  // The null marker removes the first only.
  MediaRecord remove;
  remove.set(media::MediaDBMusicColumnAlbumArt, NullMarker{});
  const Mp4Read removed = update(three, remove);
  EXPECT_EQ(removed.covers, (std::vector<Bytes>{fakeCover(2), fakeCover(3)}));
  EXPECT_EQ(update(three, remove).covers, std::vector<Bytes>{fakeCover(3)});
  EXPECT_TRUE(update(three, remove).covers.empty());
  EXPECT_TRUE(update(three, remove).covers.empty());  // nothing left to remove
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
  EXPECT_EQ(readWithMutagen(viaRecord).text("\251nam"), "New");

  // A copy that cannot grow (file size limit) fails the update cleanly.
  const fs::path limited = copyOf("late.m4a", "limited.m4a");
  const auto original = tagtest::readBytes(limited);
  const auto runChild = [](const std::function<int()>& body) {
    const pid_t pid = ::fork();
    if (pid == 0) ::_exit(body());
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
  };
  // No picture in the child: libvips' threads do not survive a fork.
  MediaRecord big;
  big.set(media::MediaDBMusicColumnTitle, std::string("New"));
  big.set(media::MediaDBMusicColumnComposer, std::string(20000, 'c'));
  EXPECT_EQ(runChild([&] {
              const rlimit limit{original.size() + 4096, original.size() + 4096};
              ::setrlimit(RLIMIT_FSIZE, &limit);
              return UpdateMP4Tag().updateTag(limited.string(), big) ? 1 : 0;
            }),
            0);
  EXPECT_EQ(tagtest::readBytes(limited), original);

  // No stray copies beside the files this test made.
  EXPECT_EQ(std::distance(fs::directory_iterator(scratch_.path()), {}), 3);
}

// A file (found by fuzzing) whose user-data box claims far more than the
// file holds: the library saves the tags into it where no reader finds them,
// so the update fails and the file stays as it was.
TEST_F(Mp4WriterTest, TagsSavedWhereNoReaderFindsThemFailTheUpdate) {
  const std::string head =
      "00000020667479704d344120000000004d34412069736f6d69736f326d7034310000028c6d6f6f760000006c6d766864"
      "000000000000000000000000000003e800000bb800010000010000000000000000000000000100000000000000000000"
      "000000000001000000000000000000000000000040000000000000000000000000000000000000000000000000000000"
      "00000003000001b87472616b0000005c746b686400000003000000000000000000000001000000000000000000000000"
      "000000000000000001000000000100000000000000000000000000000001000000000000000000000000000040000000"
      "0000000000000000000001546d646961000000206d6468640000000000000000000000000000ac44000204cc55c40000"
      "0000002168646c720000000000000000736f756e000000000000000000000000000000010b6d696e6600000010736d68"
      "6400000000000000000000002464696e660000001c6472656600000000000000010000000c75726c2000000001000000"
      "cf7374626c0000005b7374736400000000000000010000004b6d70346100000000000000010000000000000000000200"
      "1000000000ac4400000000002765736473000000000319000100041140150000000001f4000001f40005021210060102"
      "0000001873747473000000000000000100000004000081330000001c7374736300000000000000010000000100000004"
      "00000001000000247374737a000000000000000000000004000000640000006400000064000000640000001473636f74"
      "0000000000000001000002b43f00006075647461000000586d657461000000000000002168646c720000000000000000"
      "6d6469726170706c0000000000000000000000002b696c7374000000237075726c0000001b646174610000";
  std::string raw = tagtest::fromHex(head) + std::string(279, 'Z');
  const Bytes bytes(raw.begin(), raw.end());
  const fs::path file = scratch_ / "damaged.m4a";
  tagtest::writeBytes(file, bytes);
  MediaRecord r;
  r.set(media::MediaDBMusicColumnTitle, std::string("New"));
  EXPECT_FALSE(UpdateMP4Tag().updateTag(file.string(), r));
  EXPECT_EQ(tagtest::readBytes(file), bytes);
}

// A chunk offset table whose count runs past its box: moving the offsets
// would write far beyond the table, so the file is not opened for change.
TEST_F(Mp4WriterTest, OffsetTableCountBeyondItsBoxIsRefused) {
  test::Mp4Bytes bytes = test::buildMp4(test::Mp4FileSpec{});
  const std::string type = "stco";
  const auto stco = std::search(bytes.begin(), bytes.end(), type.begin(), type.end());
  ASSERT_NE(stco, bytes.end());
  stco[8] = 0x7F;  // entry count 0x7F000000 and more
  const fs::path file = scratch_ / "hostile.m4a";
  ASSERT_TRUE(test::writeMp4Bytes(file.string(), bytes));
  MediaRecord r;
  r.set(media::MediaDBMusicColumnComposer, std::string(5000, 'c'));  // the tags grow
  log::Capture capture;
  EXPECT_FALSE(UpdateMP4Tag().updateTag(file.string(), r));
  EXPECT_TRUE(capture.contains("MP4Tag file open fail " + file.string()));
  EXPECT_EQ(tagtest::readBytes(file), Bytes(bytes.begin(), bytes.end()));

  // A sound table as the movie box's first child, where new user data goes in.
  test::Mp4Bytes first = test::buildMp4(test::Mp4FileSpec{});
  const std::string moovType = "moov";
  const auto moov = std::search(first.begin(), first.end(), moovType.begin(), moovType.end());
  ASSERT_NE(moov, first.end());
  const test::Mp4Bytes table = test::mp4FullBox("co64", 0, 0, {0, 0, 0, 0});
  uint32_t size = 0;
  for (int i = -4; i < 0; ++i) size = size << 8 | moov[i];
  size += static_cast<uint32_t>(table.size());
  for (int i = -4; i < 0; ++i) moov[i] = static_cast<uint8_t>(size >> (8 * (-1 - i)));
  first.insert(moov + 4, table.begin(), table.end());
  ASSERT_TRUE(test::writeMp4Bytes(file.string(), first));
  EXPECT_FALSE(UpdateMP4Tag().updateTag(file.string(), r));
  EXPECT_EQ(tagtest::readBytes(file), Bytes(first.begin(), first.end()));
}

// An item list that claims more than its parent holds would have the library
// pad the new tags to its size: such a file is not opened for change.
TEST_F(Mp4WriterTest, ItemListLargerThanItsParentIsRefused) {
  test::Mp4FileSpec spec;
  spec.ilstItems = test::ilstText("\251nam", "Old");
  test::Mp4Bytes bytes = test::buildMp4(spec);
  const std::string type = "ilst";
  const auto ilst = std::search(bytes.begin(), bytes.end(), type.begin(), type.end());
  ASSERT_NE(ilst, bytes.end());
  ilst[-4] = 0x7F;  // 2 GB and more
  const fs::path file = scratch_ / "padded.m4a";
  ASSERT_TRUE(test::writeMp4Bytes(file.string(), bytes));
  MediaRecord r;
  r.set(media::MediaDBMusicColumnTitle, std::string("New"));
  EXPECT_FALSE(UpdateMP4Tag().updateTag(file.string(), r));
  EXPECT_EQ(tagtest::readBytes(file), Bytes(bytes.begin(), bytes.end()));
}

TEST_F(Mp4WriterTest, DispatcherAndTwoUpdatesAtOnce) {
  const fs::path a = copyOf("late.m4a", "a.m4a");
  const fs::path b = copyOf("fast.m4a", "b.m4a");
  MediaRecord r;
  r.set(media::MediaDBCommonColumnMediaType, media::kMediaTypeM4A);
  r.set(media::MediaDBMusicColumnTitle, std::string("Through the dispatcher"));
  EXPECT_TRUE(MediaTag().updateTag(a.string(), r));
  EXPECT_EQ(readWithMutagen(a).text("\251nam"), "Through the dispatcher");

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
  EXPECT_EQ(readWithMutagen(a).text("\251nam"), "a7");
  EXPECT_EQ(readWithMutagen(b).text("\251nam"), "b7");
  EXPECT_EQ(readWithMutagen(b).pair("trkn"), std::pair(8, 8));
}

// --- podcast lookup ---

TEST_F(Mp4WriterTest, PodcastItemsWrittenByTagLib) {
  const fs::path file = copyOf("fast.m4a");
  tagWithTagLib(file, [](TagLib::MP4::Tag& t) {
    t.setItem("purl", TagLib::StringList("http://feed.example/rss"));
    t.setItem("egid", TagLib::StringList("episode-42"));
  });
  const std::map<std::string, std::string> both = {{kMediaTagPodcastEpisodeId, "episode-42"},
                                                   {kMediaTagPodcastChannelUrl, "http://feed.example/rss"}};
  EXPECT_EQ(UpdateMP4Tag().podcastInfo(file.string()), both);
  EXPECT_EQ(MediaTag().podcastInfo(file.string()), both);

  // An update keeps them.
  MediaRecord r;
  r.set(media::MediaDBMusicColumnTitle, std::string("Episode"));
  EXPECT_TRUE(UpdateMP4Tag().updateTag(file.string(), r));
  EXPECT_EQ(UpdateMP4Tag().podcastInfo(file.string()), both);

  tagWithTagLib(file, [](TagLib::MP4::Tag& t) { t.removeItem("egid"); });
  log::Capture capture;
  EXPECT_EQ(UpdateMP4Tag().podcastInfo(file.string()), std::nullopt);
  EXPECT_TRUE(capture.contains("MP4Tag no podcast info " + file.string()));
  EXPECT_EQ(UpdateMP4Tag().podcastInfo((scratch_ / "none.m4a").string()), std::nullopt);
  EXPECT_TRUE(capture.contains("MP4Tag file open fail " + (scratch_ / "none.m4a").string()));
}

class Mp4PodcastTest : public ::testing::Test {
 protected:
  std::optional<PodcastInfo> lookup(const test::Mp4Bytes& items) {
    test::Mp4FileSpec spec;
    spec.ilstItems = items;
    const fs::path file = dir_ / ("p" + std::to_string(count_++) + ".m4a");
    EXPECT_TRUE(test::writeMp4Bytes(file.string(), test::buildMp4(spec)));
    return UpdateMP4Tag().podcastInfo(file.string());
  }
  static test::Mp4Bytes item(const char* code, const std::string& value) {
    return test::ilstItem(code, {{0, test::Mp4Bytes(value.begin(), value.end())}});
  }
  static PodcastInfo both(const std::string& episode, const std::string& url) {
    return {{kMediaTagPodcastEpisodeId, episode}, {kMediaTagPodcastChannelUrl, url}};
  }
  static test::Mp4Bytes cat(std::initializer_list<test::Mp4Bytes> parts) {
    test::Mp4Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
  }
  tagtest::ScratchDir dir_;
  int count_ = 0;
};

TEST_F(Mp4PodcastTest, BothOneNoneLaterItemsAndBufferLimit) {
  EXPECT_EQ(lookup(cat({item("egid", "ep"), item("purl", "http://u")})), both("ep", "http://u"));
  EXPECT_EQ(lookup(item("purl", "http://u")), std::nullopt);
  EXPECT_EQ(lookup(item("egid", "ep")), std::nullopt);
  EXPECT_EQ(lookup(test::ilstText("\251nam", "t")), std::nullopt);
  EXPECT_EQ(lookup({}), std::nullopt);
  // A later item replaces an earlier one; a value ends at its first zero byte.
  EXPECT_EQ(lookup(cat({item("egid", "a"), item("purl", "u"), item("egid", std::string("b\0c", 3))})),
            both("b", "u"));
  // 1999 bytes fit the buffer with their terminating zero; 2000 do not and
  // are passed over, keeping an earlier value or leaving none.
  const std::string fits(1999, 'e'), tooLong(2000, 'e');
  EXPECT_EQ(lookup(cat({item("egid", fits), item("purl", "u")})), both(fits, "u"));
  EXPECT_EQ(lookup(cat({item("egid", tooLong), item("purl", "u")})), std::nullopt);
  EXPECT_EQ(lookup(cat({item("egid", "ep"), item("egid", tooLong), item("purl", "u")})), both("ep", "u"));
  // Empty or undecodable values are no values; an item without data is skipped.
  EXPECT_EQ(lookup(cat({item("egid", ""), item("purl", "u")})), std::nullopt);
  EXPECT_EQ(lookup(cat({item("egid", "ep"), item("egid", "\xFF\xFE"), item("purl", "u")})), std::nullopt);
  EXPECT_EQ(lookup(cat({test::ilstItem("egid", {}), item("egid", "ep"), item("purl", "u")})),
            both("ep", "u"));
}

}  // namespace
}  // namespace corvane::tags
