// The ID3 writer, checked through an independent reader (mutagen) and
// ffmpeg's decoded audio; the podcast reader on tags laid out byte by byte.

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <thread>

#include "fixtures/Id3Fixture.h"
#include "media/Log.h"
#include "media/MediaDBKeys.h"
#include "tags/MediaTag.h"
#include "tags/UpdateID3Tag.h"
#include "unit/TagTestSupport.h"

namespace corvane::tags {
namespace {

using media::MediaRecord;
using media::NullMarker;
using tagtest::ReadTag;
namespace fs = std::filesystem;

// A PNG signature and header: bytes that are clearly no JPEG.
const media::Bytes kPng = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A, 0,
                           0,    0,   13,  'I', 'H',  'D',  'R',  0xFF, 0x00};

class Id3WriterTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new tagtest::ScratchDir;
    tagtest::makeMp3(*dir_ / "v3.mp3", 3, "-metadata title=Old -metadata album=OldAlbum -write_id3v1 1");
  }
  static void TearDownTestSuite() { delete dir_; }

  fs::path copyOf(const std::string& name, const std::string& as = "") {
    const fs::path to = scratch_ / (as.empty() ? name : as);
    fs::copy_file(*dir_ / name, to);
    return to;
  }
  // A file of the tag in front of a little silent audio.
  fs::path tagged(const test::Id3TagBytes& tag) {
    const fs::path file = scratch_ / ("t" + std::to_string(count_++) + ".mp3");
    tagtest::writeBytes(file, test::concat({tag.bytes(), test::silentMpegFrames(3)}));
    return file;
  }
  static PodcastInfo both(const std::string& episode, const std::string& url) {
    return {{kMediaTagPodcastEpisodeId, episode}, {kMediaTagPodcastChannelUrl, url}};
  }
  static PodcastInfo only(const char* key, const std::string& value) { return {{key, value}}; }

  static ReadTag update(const fs::path& file, const MediaRecord& record) {
    EXPECT_TRUE(UpdateID3Tag().updateTag(file.string(), record));
    auto tag = tagtest::readWithMutagen(file);
    EXPECT_TRUE(tag.has_value());
    return tag.value_or(ReadTag{});
  }
  static MediaRecord titled(const std::string& title) {
    MediaRecord r;
    r.set(media::MediaDBMusicColumnTitle, title);
    return r;
  }

  static MediaRecord fullRecord() {
    MediaRecord r = titled("Tïtle ✓ 日本 😀");
    r.set(media::MediaDBMusicColumnAlbum, std::string("Album"));
    r.set(media::MediaDBMusicColumnArtist, std::string("Artist"));
    r.set(media::MediaDBCommonColumnReservedText, std::string("A comment"));
    r.set(media::MediaDBMusicColumnComposer, std::string("Composer"));
    r.set(media::MediaDBMusicColumnGenre, std::string("Rock"));
    r.set(media::MediaDBMusicColumnTrackNo, int32_t{7});
    r.set(media::MediaDBMusicColumnAlbumArt, kPng);
    return r;
  }

  static tagtest::ScratchDir* dir_;
  tagtest::ScratchDir scratch_;
  int count_ = 0;
};
tagtest::ScratchDir* Id3WriterTest::dir_ = nullptr;

TEST_F(Id3WriterTest, AbsentAndNullMarkerFollowTheirFieldRules) {
  const fs::path file = copyOf("v3.mp3");
  const ReadTag full = update(file, fullRecord());

  // Absent: the five text fields are cleared, genre, track and picture stay.
  ReadTag tag = update(file, MediaRecord{});
  for (const char* id : {"TIT2", "TALB", "TPE1", "COMM", "TCOM"}) EXPECT_EQ(tag.frames.count(id), 0u) << id;
  EXPECT_EQ(tag.text("TCON"), "(17)");
  EXPECT_EQ(tag.text("TRCK"), "7");
  EXPECT_EQ(tag.frames.count("APIC"), 1u);

  // Values of no usable kind change nothing, unlike an absent entry.
  MediaRecord odd = fullRecord();
  update(file, odd);
  odd.set(media::MediaDBMusicColumnTitle, media::Unsupported{"a{sv}"});
  odd.set(media::MediaDBMusicColumnArtist, int32_t{5});
  odd.set(media::MediaDBMusicColumnTrackNo, media::Date{1});
  odd.set(media::MediaDBMusicColumnAlbumArt, std::string("not bytes"));
  EXPECT_EQ(update(file, odd), full);

  // Null marker: text fields, genre and picture go; the track stays, and so
  // does the genre when only its entry holds the null marker.
  MediaRecord nulls;
  for (const char* key :
       {media::MediaDBMusicColumnTitle, media::MediaDBMusicColumnAlbum, media::MediaDBMusicColumnArtist,
        media::MediaDBCommonColumnReservedText, media::MediaDBMusicColumnComposer,
        media::MediaDBMusicColumnTrackNo, media::MediaDBMusicColumnAlbumArt}) {
    nulls.set(key, NullMarker{});
  }
  nulls.set(media::MediaDBMusicColumnGenre, std::string("Rock"));
  tag = update(file, nulls);
  EXPECT_EQ(tag.frames.count("TIT2") + tag.frames.count("APIC") + tag.frames.count("COMM"), 0u);
  EXPECT_EQ(tag.text("TRCK"), "7");
  nulls.set(media::MediaDBMusicColumnGenre, NullMarker{});
  EXPECT_EQ(update(file, nulls).text("TCON"), "(17)");
}

TEST_F(Id3WriterTest, GenreAndTrackRules) {
  const fs::path file = copyOf("v3.mp3");
  MediaRecord r;
  r.set(media::MediaDBMusicColumnGenre, std::string("rock"));  // no list name matches in lower case
  r.set(media::MediaDBMusicColumnTrackNo, int32_t{300});
  ReadTag tag = update(file, r);
  EXPECT_EQ(tag.text("TCON"), "rock");
  EXPECT_EQ(tag.text("TRCK"), "44");  // the low 8 bits, no total

  // Low bits 0 (256) make no track number: the previous one stays.
  for (const auto& [given, expected] : std::vector<std::pair<media::MediaValue, std::string>>{
           {int32_t{70000}, "112"}, {std::string(" 12/15"), "12"}, {3.9, "3"}, {int32_t{256}, "3"}}) {
    r.set(media::MediaDBMusicColumnTrackNo, given);
    EXPECT_EQ(update(file, r).text("TRCK"), expected);
  }
  r.set(media::MediaDBMusicColumnGenre, std::string("Hip-Hop"));
  EXPECT_EQ(update(file, r).text("TCON"), "(7)");
}

TEST_F(Id3WriterTest, TextIsCutAt2000Utf16UnitsKeepingPairsWhole) {
  const fs::path file = copyOf("v3.mp3");
  const std::string emoji = "😀";  // two UTF-16 units
  MediaRecord r = titled(std::string(2500, 'a'));
  r.set(media::MediaDBMusicColumnAlbum, std::string(1999, 'b') + emoji + "c");   // pair across the limit
  r.set(media::MediaDBMusicColumnArtist, std::string(1998, 'd') + emoji + "e");  // pair ends at the limit
  r.set(media::MediaDBCommonColumnReservedText, std::string(3000, 'f'));
  const ReadTag tag = update(file, r);
  EXPECT_EQ(tag.text("TIT2"), std::string(2000, 'a'));
  EXPECT_EQ(tag.text("TALB"), std::string(1999, 'b'));
  EXPECT_EQ(tag.text("TPE1"), std::string(1998, 'd') + emoji);
  EXPECT_EQ(tag.text("COMM"), std::string(2000, 'f'));
}

TEST_F(Id3WriterTest, WritesTheEightFieldsAndKeepsEveryOtherFrameInTheTagsVersion) {
  const std::vector<uint8_t> cover = test::tinyJpeg(255, 0, 0);
  auto tag = [&](int version) {
    test::Id3TagBytes t(version);
    t.text("TIT2", "Old").comment("d", "old").text("TCON", "(1)").picture(cover);
    if (version == 3)
      t.frame("RVAD", {3, 16, 0, 1, 0, 2, 0, 3, 0, 4}).text("TSIZ", "12345").text("TRDA", "March 3");
    if (version == 4)
      t.frame("RVA2", {'t', 0, 1, 0xFF, 0, 16, 0x7F, 0xFF}).text("TMOO", "calm").text("TDRL", "2020");
    return t.text("TXXX", std::string("key\0value", 9)).frame("PRIV", {'o', 0, 0xFF, 0xE0, 0, 0xFF});
  };
  const std::map<std::string, std::string> written{
      {"TIT2", "Tïtle ✓ 日本 😀"}, {"TALB", "Album"}, {"TPE1", "Artist"},   {"TCOM", "Composer"},
      {"TCON", "(17)"},           {"TRCK", "7"},     {"COMM", "A comment"}};
  auto others = [&](ReadTag read) {
    std::erase_if(read.frames,
                  [&](const auto& f) { return written.count(f.first) != 0 || f.first == "APIC"; });
    return read.frames;
  };
  // Plain, unsynchronised, and with an extended header and padding; an
  // ID3v1 tag behind the audio.
  for (const int version : {3, 4}) {
    for (test::Id3TagBytes stored :
         {tag(version), tag(version).unsynchronise(), tag(version).extendedHeader().padding(30)}) {
      const fs::path file = scratch_ / "carried.mp3";
      tagtest::writeBytes(
          file, test::concat({stored.bytes(), test::silentMpegFrames(3), test::id3v1Bytes({.title = "v1"})}));
      const auto audio = tagtest::bytesAfterTag(tagtest::readBytes(file));
      const ReadTag before = tagtest::readWithMutagen(file).value_or(ReadTag{});
      const ReadTag after = update(file, fullRecord());
      EXPECT_EQ(after.version, version);
      for (const auto& [id, text] : written) {
        EXPECT_EQ(after.text(id), text) << id;
        EXPECT_EQ(after.frames.count(id), 1u) << id;
      }
      EXPECT_EQ(after.first("TIT2")->encoding, 1);                         // UTF-16
      EXPECT_EQ(after.pictures("APIC"), std::vector<media::Bytes>{kPng});  // as given, not converted
      EXPECT_EQ(after.first("APIC")->mime, "image/jpeg");
      EXPECT_EQ(others(after), others(before));
      EXPECT_EQ(others(after).size(), 5u);
      EXPECT_EQ(tagtest::bytesAfterTag(tagtest::readBytes(file)), audio);
      fs::remove(file);
    }
  }

  // A v2.2 tag's frames take their v2.3 form.
  test::Id3TagBytes v22(2);
  v22.text("TT2", "Old")
      .text("TYE", "1999")
      .text("TXX", std::string("k\0v", 3))
      .picture(cover)
      .frame("CRM", {1});
  MediaRecord record = fullRecord();
  record.erase(media::MediaDBMusicColumnAlbumArt);  // the picture is not the record's to change here
  const fs::path file = tagged(v22);
  const ReadTag after = update(file, record);
  EXPECT_EQ(after.version, 3);
  EXPECT_EQ(after.text("TYER"), "1999");
  EXPECT_EQ(after.first("TXXX")->text, std::vector<std::string>{"v"});
  EXPECT_EQ(after.first("APIC")->mime, "image/jpeg");
  EXPECT_EQ(after.first("APIC")->data, cover);
  const auto bytes = tagtest::readBytes(file);
  EXPECT_NE(std::search(bytes.begin(), bytes.end(), std::begin("XCRM"), std::end("XCRM") - 1), bytes.end());
}

TEST_F(Id3WriterTest, FileWithoutTagGetsOneEmptyTagIsDroppedAndPathsComeFromTheRecord) {
  const fs::path file = scratch_ / "bare.mp3";
  const auto audio = test::concat({test::silentMpegFrames(40), {'T', 'A', 'G'}});  // trailing bytes stay
  tagtest::writeBytes(file, audio);
  EXPECT_EQ(update(file, titled("Fresh")).text("TIT2"), "Fresh");
  EXPECT_EQ(tagtest::bytesAfterTag(tagtest::readBytes(file)), audio);

  // Clearing the only frame leaves no tag at all, and the audio as it was.
  EXPECT_TRUE(UpdateID3Tag().updateTag(file.string(), MediaRecord{}));
  EXPECT_EQ(tagtest::readBytes(file), audio);

  MediaRecord r = titled("Via record");
  r.set(media::MediaDBCommonColumnFilePath, file.string());
  EXPECT_TRUE(UpdateID3Tag().updateTag("", r));
  EXPECT_EQ(tagtest::readWithMutagen(file)->text("TIT2"), "Via record");

  log::Capture capture;
  EXPECT_FALSE(UpdateID3Tag().updateTag("", MediaRecord{}));
  EXPECT_FALSE(UpdateID3Tag().updateTag((scratch_ / "missing.mp3").string(), r));
  EXPECT_TRUE(capture.lines().empty());
}

TEST_F(Id3WriterTest, TwoUpdatesAtOnceOnTwoThreads) {
  const fs::path a = copyOf("v3.mp3"), b = copyOf("v3.mp3", "other.mp3");
  auto work = [](fs::path file, std::string prefix) {
    for (int i = 0; i < 15; ++i) {
      MediaRecord r = fullRecord();
      r.set(media::MediaDBMusicColumnTitle, prefix + std::to_string(i));
      r.set(media::MediaDBMusicColumnAlbumArt, media::Bytes(size_t(1000 * (i + 1)), uint8_t(i)));
      if (!UpdateID3Tag().updateTag(file.string(), r)) ADD_FAILURE() << file;
    }
  };
  std::thread first(work, a, "a"), second(work, b, "b");
  first.join();
  second.join();
  EXPECT_EQ(tagtest::readWithMutagen(a)->text("TIT2"), "a14");
  EXPECT_EQ(tagtest::readWithMutagen(b)->text("TIT2"), "b14");
  EXPECT_EQ(tagtest::readWithMutagen(b)->first("APIC")->data, media::Bytes(15000, uint8_t(14)));
}

TEST_F(Id3WriterTest, PodcastLookupReadsEveryLayoutAndItsFramesSurviveAnUpdate) {
  using test::Id3TagBytes;
  const std::string url999(998, 'u');  // 999 data bytes with the encoding byte: fits with its zero
  const std::vector<std::pair<Id3TagBytes, std::optional<PodcastInfo>>> rows = {
      {Id3TagBytes(3).text("TIT2", "t").text("TGID", "ep").text("WFED", "http://u"), both("ep", "http://u")},
      // Without an encoding byte the data is the text; a later frame replaces an earlier one.
      {Id3TagBytes(3)
           .frame("TGID", {'o', 'l', 'd'})
           .frame("TGID", {'e', 'p', '2'})
           .frame("WFED", {'h', 0, 'x'}),
       both("ep2", "h")},
      {Id3TagBytes(2).text("TT2", "t").text("TID", "e22").frame("WFD", {'u', '2'}).text("TCO", "(17)"),
       both("e22", "u2")},
      // UTF-8 and UTF-16 encoding bytes are honoured.
      {Id3TagBytes(4).text("TGID", "é", 3).text("WFED", std::string("\xFF\xFEu\0\xE9\0", 6), 1),
       both("é", "ué")},
      {Id3TagBytes(4).unsynchronise().frame("APIC", {0xFF, 0xFF}).text("TGID", "e\xC3\xBF").text("WFED", "u"),
       both("eÿ", "u")},
      // Frames that do not fit the frame buffer, do not decode or are compressed are left out.
      {Id3TagBytes(3).text("TGID", "ep").text("WFED", url999), both("ep", url999)},
      {Id3TagBytes(3).text("TGID", "ep").text("WFED", url999 + "u"), only(kMediaTagPodcastEpisodeId, "ep")},
      {Id3TagBytes(3).text("TGID", "\xC3").text("WFED", "u"), only(kMediaTagPodcastChannelUrl, "u")},
      {Id3TagBytes(3).text("TGID", "ep").frame("WFED", {0, 0, 0, 9, 'x'}, 0x0080),
       only(kMediaTagPodcastEpisodeId, "ep")},
      {Id3TagBytes(3).text("TGID", "only"), std::nullopt},
      {Id3TagBytes(3).text("TID", "e").text("WFD", "u"), std::nullopt},  // v2.2 ids in a v2.3 tag
      {Id3TagBytes(3).frame("TGID", {}).text("WFED", "u"), std::nullopt},
  };
  for (const auto& [tag, expected] : rows) {
    const fs::path file = tagged(tag);
    SCOPED_TRACE(file);
    EXPECT_EQ(MediaTag().podcastInfo(file.string()), expected);  // .mp3: the ID3 reader
    const auto audio = tagtest::bytesAfterTag(tagtest::readBytes(file));
    EXPECT_EQ(update(file, titled("Episode")).text("TIT2"), "Episode");
    EXPECT_EQ(UpdateID3Tag().podcastInfo(file.string()), expected);
    EXPECT_EQ(tagtest::bytesAfterTag(tagtest::readBytes(file)), audio);
  }

  // A tag cut short by the end of the file: no frames past the cut.
  auto cut = Id3TagBytes(3).text("TGID", "ep").text("WFED", "u").bytes();
  cut.resize(cut.size() - 2);
  tagtest::writeBytes(scratch_ / "cut.mp3", cut);
  tagtest::writeBytes(scratch_ / "none.mp3", test::silentMpegFrames(3));
  for (const fs::path& p :
       {scratch_ / "cut.mp3", scratch_ / "none.mp3", scratch_.path(), scratch_ / "missing.mp3"})
    EXPECT_EQ(UpdateID3Tag().podcastInfo(p.string()), std::nullopt) << p;

  // The tag service reads a path as ID3 by its extension "mp3" in any case, else as MP4.
  const fs::path file = tagged(rows[0].first);
  for (const char* name : {"a.MP3", "c.m4a", "d.mp4", "e.aac", "noext", "f.mp3.m4a"}) {
    fs::copy_file(file, scratch_ / name);
    EXPECT_EQ(MediaTag().podcastInfo((scratch_ / name).string()),
              name[0] == 'a' ? rows[0].second : std::nullopt);
  }
}

}  // namespace
}  // namespace corvane::tags
