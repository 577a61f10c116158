// The ID3 writer, checked through an independent reader (mutagen) and
// ffmpeg's decoded audio; the podcast reader on tags laid out byte by byte.

#include <gtest/gtest.h>

#include <thread>

#include "fixtures/Id3TagBytes.h"
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
    tagtest::makeMp3(*dir_ / "v4.mp3", 4, "-metadata title=Old -metadata date=2019 -metadata mood=calm");
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
  std::optional<PodcastInfo> lookup(const test::Id3TagBytes& tag) {
    return UpdateID3Tag().podcastInfo(tagged(tag).string());
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

TEST_F(Id3WriterTest, WritesEveryFieldAsId3v23AndKeepsAudioAndId3v1) {
  const fs::path file = copyOf("v3.mp3");
  const auto before = tagtest::readBytes(file);
  const std::string audio = tagtest::audioMd5(file);

  const ReadTag tag = update(file, fullRecord());
  EXPECT_EQ(tag.version, 3);
  EXPECT_EQ(tag.text("TIT2"), "Tïtle ✓ 日本 😀");
  EXPECT_EQ(tag.first("TIT2")->encoding, 1);  // UTF-16
  EXPECT_EQ(tag.text("TALB"), "Album");
  EXPECT_EQ(tag.text("TPE1"), "Artist");
  EXPECT_EQ(tag.text("TCOM"), "Composer");
  EXPECT_EQ(tag.text("TCON"), "(17)");
  EXPECT_EQ(tag.text("TRCK"), "7");
  EXPECT_EQ(tag.frames.count("COMM"), 1u);
  EXPECT_EQ(tag.text("COMM"), "A comment");
  ASSERT_EQ(tag.frames.count("APIC"), 1u);
  EXPECT_EQ(tag.first("APIC")->mime, "image/jpeg");
  EXPECT_EQ(tag.first("APIC")->data, kPng);  // stored as given, not converted

  // Everything behind the ID3v2 tag (audio and the ID3v1 tag) is untouched.
  const auto after = tagtest::readBytes(file);
  EXPECT_EQ(tagtest::bytesAfterTag(after), tagtest::bytesAfterTag(before));
  EXPECT_EQ(std::string(after.end() - 128, after.end() - 125), "TAG");
  EXPECT_EQ(tagtest::audioMd5(file), audio);
}

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

TEST_F(Id3WriterTest, Id3v24FramesSurviveAsId3v23) {
  const ReadTag tag = update(copyOf("v4.mp3"), titled("New"));
  EXPECT_EQ(tag.version, 3);
  EXPECT_EQ(tag.text("TIT2"), "New");
  EXPECT_EQ(tag.text("TYER"), "2019");  // the v2.4 date frame, converted
  EXPECT_EQ(tag.text("TSSE").substr(0, 4), "Lavf");
  bool moodKept = false;
  for (auto [it, end] = tag.frames.equal_range("TXXX"); it != end; ++it)
    moodKept |= it->second.text[0] == "calm";
  EXPECT_TRUE(moodKept);
}

TEST_F(Id3WriterTest, FileWithoutTagGetsOneAndEmptyTagIsDropped) {
  const fs::path file = scratch_ / "bare.mp3";
  const auto audio = test::concat({test::silentMpegFrames(40), {'T', 'A', 'G'}});  // trailing bytes stay
  tagtest::writeBytes(file, audio);
  EXPECT_EQ(update(file, titled("Fresh")).text("TIT2"), "Fresh");
  EXPECT_EQ(tagtest::bytesAfterTag(tagtest::readBytes(file)), audio);

  // Clearing the only frame leaves no tag at all, and the audio as it was.
  EXPECT_TRUE(UpdateID3Tag().updateTag(file.string(), MediaRecord{}));
  EXPECT_EQ(tagtest::readBytes(file), audio);
}

TEST_F(Id3WriterTest, PathFromRecordAndMissingFiles) {
  const fs::path file = copyOf("v3.mp3");
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

// --- podcast lookup ---

TEST_F(Id3WriterTest, PodcastFramesOfEachVersionWithAndWithoutEncodingByteSurviveAnUpdate) {
  const std::vector<std::pair<test::Id3TagBytes, PodcastInfo>> rows = {
      {test::Id3TagBytes(3).text("TIT2", "t").text("TGID", "ep").text("WFED", "http://u"),
       both("ep", "http://u")},
      // Without an encoding byte the data is the text; a later frame replaces an earlier one.
      {test::Id3TagBytes(3)
           .frame("TGID", {'o', 'l', 'd'})
           .frame("TGID", {'e', 'p', '2'})
           .frame("WFED", {'h', 0, 'x'}),
       both("ep2", "h")},
      {test::Id3TagBytes(2).text("TT2", "t").text("TID", "e22").frame("WFD", {'u', '2'}).text("TCO", "(17)"),
       both("e22", "u2")},
      // UTF-8 and UTF-16 encoding bytes are honoured.
      {test::Id3TagBytes(4).text("TGID", "é", 3).text("WFED", std::string("\xFF\xFEu\0\xE9\0", 6), 1),
       both("é", "ué")},
  };
  for (const auto& [tag, expected] : rows) {
    const fs::path file = tagged(tag);
    SCOPED_TRACE(expected.at(kMediaTagPodcastEpisodeId));
    EXPECT_EQ(UpdateID3Tag().podcastInfo(file.string()), expected);
    const auto audio = tagtest::bytesAfterTag(tagtest::readBytes(file));
    const ReadTag written = update(file, titled("Episode"));
    EXPECT_EQ(written.version, 3);
    EXPECT_EQ(written.text("TIT2"), "Episode");
    EXPECT_EQ(UpdateID3Tag().podcastInfo(file.string()), expected);
    EXPECT_EQ(tagtest::bytesAfterTag(tagtest::readBytes(file)), audio);
  }
  EXPECT_EQ(lookup(test::Id3TagBytes(3).text("TGID", "only")), std::nullopt);
  EXPECT_EQ(lookup(test::Id3TagBytes(3).text("TID", "e").text("WFD", "u")), std::nullopt);  // v2.2 ids
  EXPECT_EQ(lookup(test::Id3TagBytes(3).frame("TGID", {}).text("WFED", "u")), std::nullopt);
}

TEST_F(Id3WriterTest, PodcastLookupHonoursTheTagsRealLayout) {
  auto tag = [] {
    test::Id3TagBytes t(3);
    t.frame("APIC", std::vector<uint8_t>(300, 0xFF)).text("TGID", "ep").text("WFED", "u");
    return t;
  };
  EXPECT_EQ(lookup(tag().extendedHeader().padding(50)), both("ep", "u"));
  EXPECT_EQ(lookup(tag().unsynchronise()), both("ep", "u"));
  test::Id3TagBytes v4(4);
  v4.extendedHeader().unsynchronise().frame("APIC", std::vector<uint8_t>(200, 0xFF));
  v4.text("TGID", "e\xC3\xBF").text("WFED", "u");  // every frame unsynchronised, 0xFF runs before
  EXPECT_EQ(lookup(v4), both("eÿ", "u"));
  test::Id3TagBytes plain(4);
  plain.plainFrameSizes().frame("APIC", std::vector<uint8_t>(200, 1)).text("TGID", "ep").text("WFED", "u");
  EXPECT_EQ(lookup(plain), both("ep", "u"));
  // A tag cut short by the end of the file: no frames past the cut.
  auto cut = tag().bytes();
  cut.resize(cut.size() - 2);
  tagtest::writeBytes(scratch_ / "cut.mp3", cut);
  EXPECT_EQ(UpdateID3Tag().podcastInfo((scratch_ / "cut.mp3").string()), std::nullopt);
}

TEST_F(Id3WriterTest, PodcastFramesThatDoNotFitTheBufferOrDecodeAreLeftOut) {
  const std::string url999(998, 'u');  // 999 data bytes with the encoding byte: fits with its zero
  EXPECT_EQ(lookup(test::Id3TagBytes(3).text("TGID", "ep").text("WFED", url999)), both("ep", url999));
  EXPECT_EQ(lookup(test::Id3TagBytes(3).text("TGID", "ep").text("WFED", url999 + "u")),
            only(kMediaTagPodcastEpisodeId, "ep"));
  EXPECT_EQ(lookup(test::Id3TagBytes(3).text("TGID", "\xC3").text("WFED", "u")),
            only(kMediaTagPodcastChannelUrl, "u"));
  // Compressed frames cannot be read as text.
  EXPECT_EQ(lookup(test::Id3TagBytes(3).text("TGID", "ep").frame("WFED", {0, 0, 0, 9, 'x'}, 0x0080)),
            only(kMediaTagPodcastEpisodeId, "ep"));
  tagtest::writeBytes(scratch_ / "none.mp3", test::silentMpegFrames(3));
  for (const fs::path& p : {scratch_ / "none.mp3", scratch_.path(), scratch_ / "missing.mp3"})
    EXPECT_EQ(UpdateID3Tag().podcastInfo(p.string()), std::nullopt) << p;
}

}  // namespace
}  // namespace corvane::tags
