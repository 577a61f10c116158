// Tag writing: the no-data-lost rewrite every write goes through, the tag
// service's dispatch, and the ID3 writer and podcast reader, checked through
// an independent reader (mutagen) and the audio bytes. (The MP4 writer is
// tested with the MP4 layer.)

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/file/SafeRewrite.h"
#include "tags/MediaTag.h"
#include "tags/UpdateID3Tag.h"
#include "unit/TestSupport.h"

namespace corvane::tags {
namespace {

namespace fs = std::filesystem;
using namespace media;  // the MediaDB keys
using tagtest::ReadTag;
using tagtest::recordOf;
using test::Id3TagBytes;

const Bytes kOriginal = [] {
  Bytes v(100000);
  for (size_t i = 0; i < v.size(); ++i) v[i] = static_cast<uint8_t>(i * 7);
  return v;
}();

bool appendX(int copy) {
  struct stat st {};
  return ::fstat(copy, &st) == 0 && ::pwrite(copy, "X", 1, st.st_size) == 1;
}

class SafeRewriteTest : public ::testing::Test {
 protected:
  fs::path original() {
    tagtest::writeBytes(dir_ / "f.bin", kOriginal);
    return dir_ / "f.bin";
  }
  tagtest::ScratchDir dir_;
};

TEST_F(SafeRewriteTest, ReplacesTheFileKeepingModeAndLinks) {
  const fs::path file = original();
  ::chmod(file.c_str(), 0640);
  fs::create_symlink(file, dir_ / "link");
  ASSERT_TRUE(file::safeRewrite(dir_ / "link", appendX));
  EXPECT_EQ(tagtest::readBytes(file), test::concat({kOriginal, {'X'}}));
  EXPECT_TRUE(fs::is_symlink(dir_ / "link"));  // the target changed, not the link
  EXPECT_EQ(fs::status(file).permissions(), fs::perms(0640));
  EXPECT_EQ(dir_.entries(), 2);
}

// Refused before any edit: what is no regular file, a file marked read-only
// (even for a privileged process), a read-only folder (also for an ordinary
// user, when the test can switch to one).
TEST_F(SafeRewriteTest, RefusesWhatIsNoWritableRegularFile) {
  const fs::path file = original();
  int edits = 0;
  auto edit = [&](int copy) { return ++edits, appendX(copy); };
  fs::create_symlink(dir_ / "nothing", dir_ / "dangling");
  ::mkfifo((dir_ / "fifo").c_str(), 0644);
  for (const fs::path& p :
       {fs::path(), dir_.path(), dir_ / "dangling", dir_ / "fifo", dir_ / "missing", fs::path("/dev/null")})
    EXPECT_FALSE(file::safeRewrite(p, edit)) << p;
  ::chmod(file.c_str(), 0444);
  EXPECT_FALSE(file::safeRewrite(file, edit));
  ::chmod(file.c_str(), 0644);
  ::chmod(dir_.path().c_str(), 0555);
  EXPECT_FALSE(file::safeRewrite(file, edit));
  if (::geteuid() == 0) {
    ::chown(dir_.path().c_str(), 65534, 65534);
    ::chown(file.c_str(), 65534, 65534);
    EXPECT_EQ(tagtest::inChild([&] {
                if (::setgid(65534) != 0 || ::setuid(65534) != 0) return 2;
                return file::safeRewrite(file, edit) ? 1 : 0;
              }),
              0);
  }
  ::chmod(dir_.path().c_str(), 0755);
  EXPECT_EQ(edits, 0);
  EXPECT_EQ(tagtest::readBytes(file), kOriginal);
  EXPECT_EQ(dir_.entries(), 3);
}

TEST_F(SafeRewriteTest, FailedEditAndOriginalRemovedOrChangedMeanwhile) {
  const fs::path file = original();
  EXPECT_FALSE(file::safeRewrite(file, [](int copy) { return appendX(copy) && false; }));
  EXPECT_EQ(tagtest::readBytes(file), kOriginal);
  EXPECT_EQ(dir_.entries(), 1);  // the copy is gone

  EXPECT_FALSE(file::safeRewrite(file, [&](int copy) { return fs::remove(file) && appendX(copy); }));
  EXPECT_EQ(dir_.entries(), 0);  // a removed file is not brought back

  original();
  EXPECT_FALSE(file::safeRewrite(file, [&](int copy) {
    std::ofstream(file, std::ios::app) << "theirs";
    return appendX(copy);
  }));
  EXPECT_EQ(tagtest::readBytes(file), test::concat({kOriginal, {'t', 'h', 'e', 'i', 'r', 's'}}));

  // A file opened before its path came to name another file: that other
  // file is not replaced.
  const std::optional<file::InputFile> opened = file::InputFile::open(file);
  ASSERT_TRUE(opened);
  tagtest::writeBytes(dir_ / "other", {1, 2, 3});
  fs::rename(dir_ / "other", file);
  EXPECT_FALSE(file::safeRewrite(*opened, file, appendX));
  EXPECT_EQ(tagtest::readBytes(file), (Bytes{1, 2, 3}));
  EXPECT_EQ(dir_.entries(), 1);
}

// A file size limit hit while copying, and while the tag writer grows the
// copy (with no SIGXFSZ handling: the writer must cope).
TEST_F(SafeRewriteTest, FileSizeLimitFailsCleanly) {
  const fs::path file = original(), mp3 = dir_ / "a.mp3";
  tagtest::writeBytes(mp3,
                      test::concat({Id3TagBytes(3).text("TIT2", "Old").bytes(), test::silentMpegFrames(40)}));
  const auto before = tagtest::readBytes(mp3);
  const int copyStatus = tagtest::inChild([&] {
    ::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{50000, 50000};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    return file::safeRewrite(file, appendX) ? 1 : 0;
  });
  const int growStatus = tagtest::inChild([&] {
    const rlimit limit{before.size() + 4096, before.size() + 4096};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    return UpdateID3Tag().updateTag(mp3, recordOf({{MediaDBMusicColumnAlbumArt, Bytes(100000, 1)}})) ? 1 : 0;
  });
  EXPECT_EQ(std::pair(copyStatus, growStatus), std::pair(0, 0));
  EXPECT_EQ(tagtest::readBytes(file), kOriginal);
  EXPECT_EQ(tagtest::readBytes(mp3), before);
  EXPECT_EQ(dir_.entries(), 2);
}

TEST(MediaTagTest, UpdateChoosesTheWriterByMediaTypeCode) {
  tagtest::ScratchDir dir;
  const auto mp3 = test::concat({Id3TagBytes(3).text("TIT2", "Old").bytes(), test::silentMpegFrames(3)});
  const auto update = [](const fs::path& file, const std::optional<MediaValue>& type) {
    MediaRecord r = recordOf({{MediaDBMusicColumnTitle, "New"}});
    if (type) r.set(MediaDBCommonColumnMediaType, *type);
    return MediaTag().updateTag(file, r);
  };
  tagtest::writeBytes(dir / "song.m4a", mp3);  // the extension is not consulted
  EXPECT_TRUE(update(dir / "song.m4a", kMediaTypeMP3));
  EXPECT_EQ(tagtest::readWithMutagen(dir / "song.m4a")->text("TIT2"), "New");
  tagtest::writeBytes(dir / "song.mp3", mp3);
  // The MP4 writer, which cannot handle an MPEG file; no code; other codes; the code of another type.
  for (const auto& type :
       std::vector<std::optional<MediaValue>>{kMediaTypeM4A, std::nullopt, kMediaTypeMP4, int32_t{0},
                                              std::string("16777217"), uint64_t{0x01000001}}) {
    EXPECT_FALSE(update(dir / "song.mp3", type));
    EXPECT_EQ(tagtest::readBytes(dir / "song.mp3"), mp3);
  }
}

// An MP3 and an M4A file updated over and over on two threads at once.
TEST(MediaTagTest, TwoUpdatesAtOnceOnTwoThreads) {
  tagtest::ScratchDir dir;
  tagtest::writeBytes(dir / "a.mp3", test::silentMpegFrames(40));
  tagtest::writeBytes(dir / "b.m4a", test::buildMp4(test::Mp4FileSpec{}));
  auto work = [](fs::path file, int32_t type) {
    for (int i = 0; i < 10; ++i) {
      // The ID3 writer stores any bytes; the MP4 writer re-encodes a picture.
      const Bytes picture = type == kMediaTypeMP3 ? Bytes(size_t(1000 * (i + 1)), uint8_t(i))
                                                  : imagingtest::png(8 + i, 8, imagingtest::solid({9, 9, 9}));
      if (!MediaTag().updateTag(file, recordOf({{MediaDBCommonColumnMediaType, type},
                                                {MediaDBMusicColumnTitle, "t" + std::to_string(i)},
                                                {MediaDBMusicColumnTrackNo, i + 1},
                                                {MediaDBMusicColumnAlbumArt, picture}})))
        ADD_FAILURE() << file << " " << i;
    }
  };
  std::thread first(work, dir / "a.mp3", kMediaTypeMP3), second(work, dir / "b.m4a", kMediaTypeM4A);
  first.join();
  second.join();
  const auto mp3 = tagtest::readWithMutagen(dir / "a.mp3");
  EXPECT_EQ(mp3->text("TIT2"), "t9");
  EXPECT_EQ(mp3->first("APIC")->data, Bytes(10000, uint8_t(9)));
  const auto m4a = tagtest::readWithMutagen(dir / "b.m4a", true);
  EXPECT_EQ(m4a->text("trkn"), "10/10");
  EXPECT_EQ(m4a->pictures("covr").size(), 1u);
}

// A PNG signature and header: bytes that are clearly no JPEG.
const Bytes kPng = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A, 0, 0, 0, 13, 'I', 'H', 'D', 'R', 0xFF, 0x00};

MediaRecord fullRecord() {
  return recordOf({{MediaDBMusicColumnTitle, "Tïtle ✓ 日本 😀"},
                   {MediaDBMusicColumnAlbum, "Album"},
                   {MediaDBMusicColumnArtist, "Artist"},
                   {MediaDBCommonColumnReservedText, "A comment"},
                   {MediaDBMusicColumnComposer, "Composer"},
                   {MediaDBMusicColumnGenre, "Rock"},
                   {MediaDBMusicColumnTrackNo, 7},
                   {MediaDBMusicColumnAlbumArt, kPng}});
}

class Id3WriterTest : public ::testing::Test {
 protected:
  // A file of the tag (none when empty) in front of a little silent audio
  // and what follows it.
  fs::path tagged(const Bytes& tag, const Bytes& after = {}) {
    const fs::path file = scratch_ / ("t" + std::to_string(count_++) + ".mp3");
    tagtest::writeBytes(file, test::concat({tag, test::silentMpegFrames(3), after}));
    return file;
  }
  static ReadTag update(const fs::path& file, const MediaRecord& record) {
    EXPECT_TRUE(UpdateID3Tag().updateTag(file, record));
    return tagtest::readWithMutagen(file).value_or(ReadTag{});
  }

  tagtest::ScratchDir scratch_;
  int count_ = 0;
};

TEST_F(Id3WriterTest, AbsentNullMarkerAndOtherKindsFollowTheirFieldRules) {
  const fs::path file = tagged(Id3TagBytes(3).text("TIT2", "Old").text("TALB", "OldAlbum").bytes());
  const ReadTag full = update(file, fullRecord());
  // Absent: the five text fields are cleared, genre, track and picture stay.
  ReadTag tag = update(file, MediaRecord{});
  for (const char* id : {"TIT2", "TALB", "TPE1", "COMM", "TCOM"}) EXPECT_EQ(tag.frames.count(id), 0u) << id;
  EXPECT_EQ(std::tuple(tag.text("TCON"), tag.text("TRCK"), tag.frames.count("APIC")),
            std::tuple("(17)", "7", 1u));

  // Values of no usable kind change nothing, unlike an absent entry.
  MediaRecord odd = fullRecord();
  update(file, odd);
  for (const auto& [key, value] : std::initializer_list<std::pair<const char*, MediaValue>>{
           {MediaDBMusicColumnTitle, Unsupported{"a{sv}"}},
           {MediaDBMusicColumnArtist, 5},
           {MediaDBMusicColumnTrackNo, Date{1}},
           {MediaDBMusicColumnAlbumArt, "not bytes"}})
    odd.set(key, value);
  EXPECT_EQ(update(file, odd), full);

  // Null marker: text fields, genre and picture go; the track stays, and so
  // does the genre when only its entry holds the null marker.
  MediaRecord nulls = recordOf({{MediaDBMusicColumnGenre, "Rock"}});
  for (const char* key : {MediaDBMusicColumnTitle, MediaDBMusicColumnAlbum, MediaDBMusicColumnArtist,
                          MediaDBCommonColumnReservedText, MediaDBMusicColumnComposer,
                          MediaDBMusicColumnTrackNo, MediaDBMusicColumnAlbumArt})
    nulls.set(key, NullMarker{});
  tag = update(file, nulls);
  EXPECT_EQ(tag.frames.count("TIT2") + tag.frames.count("APIC") + tag.frames.count("COMM"), 0u);
  EXPECT_EQ(tag.text("TRCK"), "7");
  nulls.set(MediaDBMusicColumnGenre, NullMarker{});
  EXPECT_EQ(update(file, nulls).text("TCON"), "(17)");
}

TEST_F(Id3WriterTest, GenreTrackAndTextLengthRules) {
  const fs::path file = tagged({});
  // The genre by its list number when a name matches exactly; the track's
  // low 8 bits, no total; low bits 0 (256) make no track: the previous stays.
  const std::tuple<const char*, MediaValue, const char*, const char*> rows[] = {
      {"rock", 300, "rock", "44"},
      {"Hip-Hop", 70000, "(7)", "112"},
      {"Rock", " 12/15", "(17)", "12"},
      {"Rock", 3.9, "(17)", "3"},
      {"Rock", 256, "(17)", "3"}};
  for (const auto& [genre, track, storedGenre, storedTrack] : rows) {
    const ReadTag tag =
        update(file, recordOf({{MediaDBMusicColumnGenre, genre}, {MediaDBMusicColumnTrackNo, track}}));
    EXPECT_EQ(tag.text("TCON"), storedGenre) << genre;
    EXPECT_EQ(tag.text("TRCK"), storedTrack) << genre;
  }
  // Texts are cut at 2000 UTF-16 units, keeping surrogate pairs whole.
  const std::string emoji = "😀";  // two UTF-16 units
  const ReadTag tag = update(file, recordOf({{MediaDBMusicColumnTitle, std::string(2500, 'a')},
                                             {MediaDBMusicColumnAlbum, std::string(1999, 'b') + emoji + "c"},
                                             {MediaDBMusicColumnArtist, std::string(1998, 'd') + emoji + "e"},
                                             {MediaDBCommonColumnReservedText, std::string(3000, 'f')}}));
  EXPECT_EQ(tag.text("TIT2"), std::string(2000, 'a'));
  EXPECT_EQ(tag.text("TALB"), std::string(1999, 'b'));  // the pair across the limit goes whole
  EXPECT_EQ(tag.text("TPE1"), std::string(1998, 'd') + emoji);
  EXPECT_EQ(tag.text("COMM"), std::string(2000, 'f'));
}

TEST_F(Id3WriterTest, WritesTheEightFieldsAndKeepsEveryOtherFrameInTheTagsVersion) {
  const Bytes cover = test::tinyJpeg(255, 0, 0);
  auto tag = [&](int version) {
    Id3TagBytes t(version);
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
    for (Id3TagBytes stored :
         {tag(version), tag(version).unsynchronise(), tag(version).extendedHeader().padding(30)}) {
      const fs::path file = tagged(stored.bytes(), test::id3v1Bytes({.title = "v1"}));
      const auto audio = tagtest::bytesAfterTag(tagtest::readBytes(file));
      const ReadTag before = tagtest::readWithMutagen(file).value_or(ReadTag{});
      const ReadTag after = update(file, fullRecord());
      EXPECT_EQ(after.version, version);
      for (const auto& [id, text] : written) {
        EXPECT_EQ(after.text(id), text) << id;
        EXPECT_EQ(after.frames.count(id), 1u) << id;
      }
      EXPECT_EQ(after.first("TIT2")->encoding, 1);                  // UTF-16
      EXPECT_EQ(after.pictures("APIC"), std::vector<Bytes>{kPng});  // as given, not converted
      EXPECT_EQ(after.first("APIC")->mime, "image/jpeg");
      EXPECT_EQ(others(after), others(before));
      EXPECT_EQ(others(after).size(), 5u);
      EXPECT_EQ(tagtest::bytesAfterTag(tagtest::readBytes(file)), audio);
    }
  }

  // A v2.2 tag's frames take their v2.3 form.
  Id3TagBytes v22(2);
  v22.text("TT2", "Old")
      .text("TYE", "1999")
      .text("TXX", std::string("k\0v", 3))
      .picture(cover)
      .frame("CRM", {1});
  MediaRecord record = fullRecord();
  record.erase(MediaDBMusicColumnAlbumArt);  // the picture is not the record's to change here
  const fs::path file = tagged(v22.bytes());
  const ReadTag after = update(file, record);
  EXPECT_EQ(std::tuple(after.version, after.text("TYER"), after.first("APIC")->mime),
            std::tuple(3, "1999", "image/jpeg"));
  EXPECT_EQ(after.first("TXXX")->text, std::vector<std::string>{"v"});
  EXPECT_EQ(after.first("APIC")->data, cover);
  const auto bytes = tagtest::readBytes(file);
  EXPECT_NE(std::search(bytes.begin(), bytes.end(), std::begin("XCRM"), std::end("XCRM") - 1), bytes.end());
}

TEST_F(Id3WriterTest, FileWithoutTagGetsOneEmptyTagIsDroppedAndPathsComeFromTheRecord) {
  const fs::path file = tagged({}, {'T', 'A', 'G'});  // trailing bytes stay
  const auto audio = tagtest::readBytes(file);
  EXPECT_EQ(update(file, recordOf({{MediaDBMusicColumnTitle, "Fresh"}})).text("TIT2"), "Fresh");
  EXPECT_EQ(tagtest::bytesAfterTag(tagtest::readBytes(file)), audio);
  // Clearing the only frame leaves no tag at all, and the audio as it was.
  EXPECT_TRUE(UpdateID3Tag().updateTag(file, MediaRecord{}));
  EXPECT_EQ(tagtest::readBytes(file), audio);

  const MediaRecord r =
      recordOf({{MediaDBMusicColumnTitle, "Via record"}, {MediaDBCommonColumnFilePath, file.string()}});
  EXPECT_TRUE(UpdateID3Tag().updateTag("", r));
  EXPECT_EQ(tagtest::readWithMutagen(file)->text("TIT2"), "Via record");
  log::Capture capture;
  EXPECT_FALSE(UpdateID3Tag().updateTag("", MediaRecord{}));
  EXPECT_FALSE(UpdateID3Tag().updateTag(scratch_ / "missing.mp3", r));
  EXPECT_TRUE(capture.lines().empty());
}

TEST_F(Id3WriterTest, PodcastLookupReadsEveryLayoutAndItsFramesSurviveAnUpdate) {
  const auto both = [](const std::string& episode, const std::string& url) {
    return PodcastInfo{{kMediaTagPodcastEpisodeId, episode}, {kMediaTagPodcastChannelUrl, url}};
  };
  const auto only = [](const char* key, const std::string& value) { return PodcastInfo{{key, value}}; };
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
      {Id3TagBytes(3).frame("TGID", {}).text("WFED", "u"), std::nullopt}};
  for (const auto& [tag, expected] : rows) {
    const fs::path file = tagged(tag.bytes());
    SCOPED_TRACE(file);
    EXPECT_EQ(MediaTag().podcastInfo(file), expected);  // .mp3: the ID3 reader
    const auto audio = tagtest::bytesAfterTag(tagtest::readBytes(file));
    EXPECT_EQ(update(file, recordOf({{MediaDBMusicColumnTitle, "Episode"}})).text("TIT2"), "Episode");
    EXPECT_EQ(UpdateID3Tag().podcastInfo(file), expected);
    EXPECT_EQ(tagtest::bytesAfterTag(tagtest::readBytes(file)), audio);
  }
  // A tag cut short by the end of the file: no frames past the cut.
  auto cut = Id3TagBytes(3).text("TGID", "ep").text("WFED", "u").bytes();
  cut.resize(cut.size() - 2);
  tagtest::writeBytes(scratch_ / "cut.mp3", cut);
  for (const fs::path& p : {scratch_ / "cut.mp3", tagged({}), scratch_.path(), scratch_ / "missing.mp3"})
    EXPECT_EQ(UpdateID3Tag().podcastInfo(p), std::nullopt) << p;
  // The tag service reads a path as ID3 by its extension "mp3" in any case, else as MP4.
  const fs::path file = tagged(rows[0].first.bytes());
  for (const char* name : {"a.MP3", "c.m4a", "d.mp4", "e.aac", "noext", "f.mp3.m4a"}) {
    fs::copy_file(file, scratch_ / name);
    EXPECT_EQ(MediaTag().podcastInfo(scratch_ / name), name[0] == 'a' ? rows[0].second : std::nullopt);
  }
}

}  // namespace
}  // namespace corvane::tags
