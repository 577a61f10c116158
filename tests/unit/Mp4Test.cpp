// The MP4 layer (box reader, tag fetch, first audio track, guarded store),
// the MP4 info builder with its tag dump, and the MP4 tag writer and podcast
// reader. What the writer stores is read back by an independent reader
// (mutagen) and the audio checked against ffmpeg's decode.

#include <sys/resource.h>

#include <cstring>

#include "builders/MP4Parser.h"
#include "platform/file/CheckedFileStream.h"
#include "platform/imaging/Picture.h"
#include "platform/mp4/Mp4File.h"
#include "platform/mp4/StoreGuard.h"
#include "tags/MediaTag.h"
#include "tags/UpdateMP4Tag.h"
#include "unit/TestSupport.h"

// Expected values name only the fields that are set; the rest stay empty.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace corvane {
namespace {

namespace fs = std::filesystem;
using namespace test;
using namespace media;  // the MediaDB keys
using builders::MP4Parser;
using tags::UpdateMP4Tag;
using tagtest::ReadTag;
using tagtest::recordOf;

Bytes jpegCover(int size = 64) { return imagingtest::jpeg(size, size, imagingtest::solid({200, 40, 40})); }
Bytes fakeCover(uint8_t seed) { return Bytes(300 + seed, seed); }

Mp4FileSpec withItems(std::initializer_list<Bytes> items) {
  Mp4FileSpec spec;
  spec.ilstItems = concat(items);
  return spec;
}

// An item whose one data element is text of the implicit type, as podcast
// items are stored.
Bytes implicitItem(const char* code, const std::string& value) {
  return ilstItem(code, {{0, Bytes(value.begin(), value.end())}});
}

class Mp4Test : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    media_ = new tagtest::ScratchDir;
    const std::string sine =
        "-f lavfi -i sine=frequency=440:duration=3 -c:a aac -b:a 96k -metadata title=Old";
    tagtest::ffmpeg(sine, *media_ / "late.m4a");
    tagtest::ffmpeg(sine + " -movflags +faststart", *media_ / "fast.m4a");
    tagtest::ffmpeg("-f lavfi -i color=c=red:s=32x24 -frames:v 1", *media_ / "cover.png");
    png_ = new Bytes(tagtest::readBytes(*media_ / "cover.png"));
  }
  static void TearDownTestSuite() {
    delete png_;
    delete media_;
  }

  std::string write(const std::string& name, const Bytes& bytes) {
    EXPECT_TRUE(writeBytes(dir_ / name, bytes));
    return dir_ / name;
  }
  // A byte-built file (with these metadata items).
  std::string built(const Mp4FileSpec& spec) {
    return write("b" + std::to_string(count_++) + ".m4a", buildMp4(spec));
  }
  std::string built(const Bytes& items) { return built(withItems({items})); }
  fs::path copyOf(const std::string& name) {
    fs::copy_file(*media_ / name, dir_ / name, fs::copy_options::overwrite_existing);
    return dir_ / name;
  }
  // A file with every text field the writer touches, track 3 of 12, disc 2
  // of 3 and three artworks.
  std::string fullyTagged() {
    Bytes items;
    for (const mp4::WritableText& t : mp4::kWritableTexts) items = concat({items, ilstText(t.code, "old")});
    return built(concat({items, ilstPair("trkn", 3, 12), ilstPair("disk", 2, 3, false),
                         ilstCovr({{13, fakeCover(1)}, {13, fakeCover(2)}, {13, fakeCover(3)}})}));
  }

  static MediaRecord build(const std::string& path) {
    auto record = MP4Parser().build(path);
    EXPECT_TRUE(record.has_value()) << path;
    return record.value_or(MediaRecord{});
  }
  static ReadTag update(const fs::path& file, const MediaRecord& record) {
    EXPECT_TRUE(UpdateMP4Tag().updateTag(file.string(), record));
    return tagtest::readWithMutagen(file, true).value_or(ReadTag{});
  }
  // A PNG given is stored as a JPEG of the same picture.
  static void expectJpegOfCover(const Bytes& stored) {
    ASSERT_GE(stored.size(), 2u);
    EXPECT_TRUE(stored[0] == 0xFF && stored[1] == 0xD8);
    const auto picture = imaging::Picture::fromBytes(stored);
    ASSERT_TRUE(picture);
    EXPECT_EQ(std::pair(picture->pixelsWide(), picture->pixelsHigh()), std::pair(32, 24));
  }

  static tagtest::ScratchDir* media_;
  static Bytes* png_;
  tagtest::ScratchDir dir_;
  int count_ = 0;
};
tagtest::ScratchDir* Mp4Test::media_ = nullptr;
Bytes* Mp4Test::png_ = nullptr;

// Size 0 runs to the end; size 1 is a 64-bit size that counts the 16-byte
// header; a size past the data stops the walk (hostile sizes: the fuzz
// target); a cursor's failure sticks.
TEST(Mp4BoxReader, SizesAndTheirLimits) {
  auto walk = [](const Bytes& bytes, bool malformed) {
    std::string seen;
    mp4::BoxReader reader(bytes);
    while (auto box = reader.next())
      seen += mp4::fourccText(box->type) + ":" + std::to_string(box->payload.size()) + " ";
    EXPECT_EQ(reader.malformed(), malformed);
    return seen;
  };
  const Bytes toEnd{0, 0, 0, 10, 'f', 'r', 'e', 'e', 1, 2, 0, 0, 0, 0, 'm', 'd', 'a', 't', 9, 9, 9};
  EXPECT_EQ(walk(toEnd, false), "free:2 mdat:3 ");
  EXPECT_EQ(walk({0, 0, 0, 1, 'w', 'i', 'd', 'e', 0, 0, 0, 0, 0, 0, 0, 18, 7, 7}, false), "wide:2 ");
  EXPECT_EQ(walk({0, 0, 0, 8, 'f', 'r', 'e', 'e', 0, 0, 0, 9, 'l', 'o', 'n', 'g'}, true), "free:0 ");
  mp4::ByteCursor cursor(toEnd);
  cursor.skip(toEnd.size() - 1);
  EXPECT_EQ(cursor.u16(), 0);
  EXPECT_FALSE(cursor.ok());
}

TEST_F(Mp4Test, FetchReadsTagsAndFirstAudioTrackAndBuildMapsThem) {
  Mp4FileSpec spec = withItems(
      {ilstText("\251nam", "Title"), ilstText("\251ART", "Artist"), ilstText("aART", "Band"),
       ilstText("\251alb", "Album"), ilstText("\251wrt", "Writer"), ilstText("\251day", "2004-05-06"),
       ilstText("\251nam", "Second title"), ilstInteger("gnre", 18, 2, 0), ilstPair("trkn", 3, 12),
       ilstPair("disk", 1, 2, false), ilstInteger("tmpo", 120, 2), ilstInteger("cpil", 1, 1),
       ilstInteger("plID", 0x1'0000'0001ull, 8), ilstInteger("tmpo", 70000, 4),
       ilstText("sonm", std::string("A\0B", 3)),
       ilstCovr({{13, jpegCover()}, {14, {0x89, 'P', 'N', 'G'}}, {0, {0xFF, 0xD8, 0xFF, 0}}, {0, {1, 2}}})});
  // The first audio track needs the 64-bit media header.
  spec.tracks = {Mp4TrackSpec{.handler = "vide", .trackId = 1},
                 {.trackId = 2, .timeScale = 48000, .duration = 0x1'0000'0000ull, .mediaHeaderVersion = 1},
                 {.trackId = 3}};
  spec.movieFirst = false;
  const std::string path = built(spec);
  const auto file = mp4::Mp4File::openRead(path);
  ASSERT_TRUE(file);
  // The first of repeated items; only a numeric genre; text stops at a NUL;
  // an implicit artwork type is known by its bytes.
  // clang-format off
  const mp4::Tags expected{
      .name = "Title", .artist = "Artist", .albumArtist = "Band", .album = "Album", .composer = "Writer",
      .genreType = 18, .releaseDate = "2004-05-06", .track = mp4::IndexTotal{3, 12}, .disk = mp4::IndexTotal{1, 2},
      .tempo = 120, .compilation = 1, .sortName = "A",
      .artworks = {{jpegCover(), mp4::ArtworkType::Jpeg}, {{0x89, 'P', 'N', 'G'}, mp4::ArtworkType::Png},
                   {{0xFF, 0xD8, 0xFF, 0}, mp4::ArtworkType::Jpeg}, {{1, 2}, mp4::ArtworkType::Undefined}},
      .playlistID = 0x1'0000'0001ull};
  // clang-format on
  EXPECT_EQ(file->tags(), expected);
  const auto track = file->firstAudioTrack();
  ASSERT_TRUE(track);
  EXPECT_EQ(std::tie(track->trackId, track->timeScale, track->duration, track->bitRate),
            std::tuple(2u, 48000u, 0x1'0000'0000ull, 128000u));

  // The builder maps the same file; through a link, the file facts are
  // those of the file it names.
  fs::create_symlink(path, dir_ / "link.m4a");
  const MediaRecord r = build(dir_ / "link.m4a");
  // clang-format off
  const std::pair<const char*, MediaValue> keys[] = {
      {MediaDBCommonColumnFilePath, (dir_ / "link.m4a").string()}, {MediaDBCommonColumnFileName, "link.m4a"},
      {MediaDBMusicColumnTitle, "Title"}, {MediaDBMusicColumnArtist, "Artist"}, {MediaDBMusicColumnAlbumArtist, "Band"},
      {MediaDBMusicColumnAlbum, "Album"}, {MediaDBMusicColumnComposer, "Writer"},
      {MediaDBMusicColumnDateReleased, "2004-05-06"}, {MediaDBMusicColumnGenre, "Rock"}, {MediaDBMusicColumnTrackNo, 3},
      {MediaDBMusicColumnDiscNo, 1}, {MediaDBCommonColumnFileSize, uint64_t{fs::file_size(path)}},
      {MediaDBCommonColumnMediaType, kMediaTypeM4A}, {MediaDBCommonColumnFileTypeString, "M4A"},
      {MediaDBMusicColumnPlayLength, 89478.0}, {MediaDBMusicColumnSamplerate, 48000.0}, {MediaDBMusicColumnBitrate, 128}};
  // clang-format on
  for (const auto& [key, value] : keys) EXPECT_EQ(r.values().at(key), value) << key;
  EXPECT_TRUE(r.get<Date>(MediaDBMusicColumnDateModified) && r.get<Bytes>(MediaDBMusicColumnAlbumArt));
}

TEST_F(Mp4Test, OpenRefusesWhatIsNoMp4) {
  const std::string fifo = dir_ / "fifo.m4a", text = write("text.m4a", {'h', 'i'});
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  for (const fs::path& path : {dir_ / "missing.m4a", dir_.path(), fs::path(fifo), fs::path(text)})
    EXPECT_FALSE(mp4::Mp4File::openRead(path)) << path;                         // and a FIFO does not block
  EXPECT_FALSE(mp4::Mp4File::fromBytes(mp4Box("ftyp", {'M', '4', 'A', ' '})));  // no movie box
  Bytes cut = buildMp4(Mp4FileSpec{});
  cut.resize(cut.size() / 2);  // the movie box is cut short
  EXPECT_FALSE(mp4::Mp4File::fromBytes(cut));

  log::Capture capture;
  for (const fs::path& path : {dir_ / "missing.m4a", fs::path(fifo), fs::path(text)})
    EXPECT_FALSE(MP4Parser().build(path));
  EXPECT_EQ(capture.count("MP4Parser file open fail"), 3u);
}

// The layer's own store: a field absent from the update is removed, and a
// genre text survives the writer library's folding of a numeric genre.
TEST_F(Mp4Test, StoreRemovesAbsentFieldsAndKeepsTheGenreText) {
  const std::string path =
      built(concat({ilstText("\251nam", "Old"), ilstText("\251gen", "Mine"), ilstInteger("gnre", 18, 2, 0)}));
  auto file = mp4::Mp4File::openRead(path);
  ASSERT_TRUE(file);
  mp4::Tags tags = file->tags();
  tags.name.reset();
  tags.track = mp4::IndexTotal{5, 12};
  file::CheckedFileStream stream(path);
  ASSERT_TRUE(file->store(tags, stream));
  const auto reread = mp4::Mp4File::openRead(path);
  ASSERT_TRUE(reread);
  EXPECT_EQ(file->tags(), reread->tags());  // the store describes the file as written
  EXPECT_EQ(reread->tags(), (mp4::Tags{.genre = "Mine", .track = mp4::IndexTotal{5, 12}}));
}

TEST_F(Mp4Test, GenreTextWinsAndCodesNameOnlyOneTo148) {
  auto gnre = [](int code) { return ilstInteger("gnre", code, 2, 0); };
  Mp4FileSpec quickTime = withItems({gnre(2), ilstText("\251gen", "Own genre")});
  quickTime.metaFullBox = false;  // 'meta' without version and flags
  const std::pair<Mp4FileSpec, const char*> rows[] = {
      {withItems({gnre(1), ilstText("\251gen", "Mine")}), "Mine"},
      {withItems({gnre(1)}), "Blues"},
      {withItems({gnre(148)}), "Synthpop"},
      {withItems({gnre(0)}), "-"},
      {withItems({gnre(149)}), "-"},
      {withItems({gnre(1), ilstText("\251gen", "\xFF")}), "-"},  // unusable text still hides the code
      {quickTime, "Own genre"}};
  for (const auto& [spec, genre] : rows) {
    const MediaRecord r = build(built(spec));
    const auto* g = r.get<std::string>(MediaDBMusicColumnGenre);
    EXPECT_EQ(g ? *g : "-", genre);
  }
}

TEST_F(Mp4Test, TimingRoundsDownAndBitRateNeedsAKilobit) {
  const std::vector<uint32_t> sizes{1000, 2000, 3000};  // 6000 bytes, in 2 s below
  using Numbers = std::vector<std::optional<double>>;   // play length, sample rate, kbit/s
  const std::tuple<const char*, Mp4TrackSpec, Numbers> rows[] = {
      {"180.9 s truncated", {.duration = 7977690, .avgBitRate = 127999}, {180, 44100, 127}},
      {"below one kilobit", {.duration = 7977690, .avgBitRate = 999}, {180, 44100, {}}},
      {"no rate to compute", {.avgBitRate = 0, .sampleSizes = {}}, {3, 44100, {}}},
      {"no time scale", {.timeScale = 0, .avgBitRate = 64000}, {{}, {}, 64}},
      {"no esds",
       {.timeScale = 1000, .duration = 2000, .avgBitRate = std::nullopt, .sampleSizes = sizes},
       {2, 1000, 24}},
      {"esds 0", {.timeScale = 1000, .duration = 2000, .avgBitRate = 0, .sampleSizes = sizes}, {2, 1000, 24}},
      {"video only", {.handler = "vide"}, {{}, {}, {}}}};
  for (const auto& [what, track, expected] : rows) {
    SCOPED_TRACE(what);
    Mp4FileSpec spec;
    spec.tracks = {track};
    const MediaRecord r = build(built(spec));
    const auto* kbps = r.get<int32_t>(MediaDBMusicColumnBitrate);
    const auto* length = r.get<double>(MediaDBMusicColumnPlayLength);
    const auto* rate = r.get<double>(MediaDBMusicColumnSamplerate);
    EXPECT_EQ(
        (Numbers{length ? std::optional(*length) : std::nullopt, rate ? std::optional(*rate) : std::nullopt,
                 kbps ? std::optional<double>(*kbps) : std::nullopt}),
        expected);
  }
  Mp4FileSpec video;
  video.tracks = {{.handler = "vide"}};
  EXPECT_EQ(*build(write("v.m4v", buildMp4(video))).get<int32_t>(MediaDBCommonColumnMediaType),
            kMediaTypeM4V);
}

TEST_F(Mp4Test, OnlyTheFirstArtworkMakesTheAlbumArt) {
  const Bytes good = jpegCover(300), junk{0xFF, 0xD8, 0xFF, 0xE0, 1, 2, 3};
  MediaRecord r = build(built(ilstCovr({{13, junk}, {13, good}, {13, good}})));
  EXPECT_FALSE(r.contains(MediaDBMusicColumnAlbumArt));
  EXPECT_TRUE(r.contains(MediaDBMusicColumnPlayLength));  // the rest of the record is unaffected
  r = build(built(ilstCovr({{13, good}, {13, junk}, {14, junk}})));
  const vips::VImage thumb = imagingtest::decode(
      r.get<Bytes>(MediaDBMusicColumnAlbumArt) ? *r.get<Bytes>(MediaDBMusicColumnAlbumArt) : Bytes{});
  EXPECT_EQ(std::pair(thumb.width(), thumb.height()), std::pair(200, 200));
}

// The dump prints the fields present (sfID's first item holds no number, so
// the second one gives the field), writes nothing, and refuses a file whose
// tags could not be changed.
TEST_F(Mp4Test, DumpPrintsPresentFieldsAndWritesNothing) {
  const auto dump = [](const std::string& path, int expectedRc) {
    std::FILE* out = std::tmpfile();
    EXPECT_EQ(MP4Parser().testMp4v2(path, out), expectedRc) << path;
    std::string text(static_cast<size_t>(std::ftell(out)), '\0');
    std::rewind(out);
    EXPECT_EQ(std::fread(text.data(), 1, text.size(), out), text.size());
    std::fclose(out);
    return text;
  };
  const std::string path =
      built(concat({ilstText("sfID", ""), ilstInteger("sfID", 143441, 4), ilstText("\251nam", "Name")}));
  const auto before = fs::last_write_time(path);
  EXPECT_EQ(dump(path, 0), "name: Name\niTunesCountry: 143441\n");
  EXPECT_EQ(fs::last_write_time(path), before);
  fs::permissions(path, fs::perms::owner_read);
  for (const fs::path& bad : {dir_ / "missing.m4a", dir_.path(), fs::path(path)})
    EXPECT_EQ(dump(bad, 1), "MP4Modify failed\n");
}

// --- the tag writer, on M4A files made by ffmpeg and on byte-built files ---

TEST_F(Mp4Test, WriterWritesEveryFieldAndKeepsTheAudio) {
  const MediaRecord r = recordOf({{MediaDBMusicColumnTitle, "Tïtle ✓ 日本 😀"},
                                  {MediaDBMusicColumnAlbum, "Album"},
                                  {MediaDBMusicColumnArtist, "Artist"},
                                  {MediaDBMusicColumnAlbumArtist, "Band"},
                                  {MediaDBMusicColumnComposer, "Composer"},
                                  {MediaDBMusicColumnGenre, "Rock"},
                                  {MediaDBMusicColumnDateReleased, "2021"},
                                  {MediaDBMusicColumnDiscNo, "2"},
                                  {MediaDBCommonColumnReservedText, "not written"},
                                  {MediaDBMusicColumnTrackNo, 7},
                                  {MediaDBMusicColumnAlbumArt, *png_}});
  // Free text for the genre, no number lookup; a track or disc without a
  // total gets its own number as the total.
  const std::map<std::string, std::string> items{{"\251nam", "Tïtle ✓ 日本 😀"},
                                                 {"\251alb", "Album"},
                                                 {"\251ART", "Artist"},
                                                 {"aART", "Band"},
                                                 {"\251wrt", "Composer"},
                                                 {"\251gen", "Rock"},
                                                 {"\251day", "2021"},
                                                 {"trkn", "7/7"},
                                                 {"disk", "2/2"}};
  for (const char* name : {"late.m4a", "fast.m4a"}) {
    SCOPED_TRACE(name);
    const fs::path file = copyOf(name);
    const std::string audio = tagtest::audioMd5(file);
    const ReadTag tags = update(file, r);
    std::map<std::string, std::string> texts;
    for (const auto& [code, frame] : tags.frames) {
      if (code != "covr" && code != "\251too") texts[code] = tags.text(code);
    }
    EXPECT_EQ(texts, items);
    ASSERT_EQ(tags.pictures("covr").size(), 1u);
    expectJpegOfCover(tags.pictures("covr")[0]);
    EXPECT_EQ(tagtest::audioMd5(file), audio);
  }
}

TEST_F(Mp4Test, WriterRulesForAbsentNullAndUnsupportedValuesTrackDiscAndArtwork) {
  const std::string file = fullyTagged();
  const ReadTag before = tagtest::readWithMutagen(file, true).value_or(ReadTag{});
  ASSERT_EQ(before.pictures("covr").size(), 3u);
  // Absent entries: nothing to do, and the file is not even rewritten.
  struct stat st {
  }, after{};
  ::stat(file.c_str(), &st);
  EXPECT_TRUE(UpdateMP4Tag().updateTag(file, MediaRecord{}));
  ::stat(file.c_str(), &after);
  EXPECT_EQ(after.st_ino, st.st_ino);
  // Null markers leave the text, track and disc fields alone; so does a
  // value of no usable kind, an absent picture and bytes that are no picture.
  MediaRecord nulls, unsupported;
  for (const char* k :
       {MediaDBMusicColumnTitle, MediaDBMusicColumnAlbum, MediaDBMusicColumnArtist,
        MediaDBMusicColumnAlbumArtist, MediaDBMusicColumnComposer, MediaDBMusicColumnGenre,
        MediaDBMusicColumnDateReleased, MediaDBMusicColumnTrackNo, MediaDBMusicColumnDiscNo}) {
    nulls.set(k, NullMarker{});
    unsupported.set(k, Unsupported{"a{sv}"});
  }
  unsupported.set(MediaDBMusicColumnAlbumArt, Unsupported{"a{sv}"});
  EXPECT_EQ(update(file, nulls), before);
  EXPECT_EQ(update(file, unsupported), before);
  EXPECT_EQ(update(file, recordOf({{MediaDBMusicColumnAlbumArt, Bytes(12, 'x')}})), before);
  ReadTag expected = before;
  expected.frames.find("\251nam")->second.text = {"New"};
  EXPECT_EQ(update(file, recordOf({{MediaDBMusicColumnTitle, "New"}})), expected);

  // A picture replaces the first artwork; the null marker removes the first only.
  const auto replaced = update(file, recordOf({{MediaDBMusicColumnAlbumArt, *png_}})).pictures("covr");
  ASSERT_EQ(replaced.size(), 3u);
  expectJpegOfCover(replaced[0]);
  EXPECT_EQ(std::vector(replaced.begin() + 1, replaced.end()),
            (std::vector<Bytes>{fakeCover(2), fakeCover(3)}));
  const MediaRecord remove = recordOf({{MediaDBMusicColumnAlbumArt, NullMarker{}}});
  EXPECT_EQ(update(file, remove).pictures("covr"), (std::vector<Bytes>{fakeCover(2), fakeCover(3)}));
  EXPECT_EQ(update(file, remove).pictures("covr"), std::vector<Bytes>{fakeCover(3)});
  EXPECT_TRUE(update(file, remove).pictures("covr").empty());
  EXPECT_TRUE(update(file, remove).pictures("covr").empty());  // nothing left to remove

  // A track or disc index keeps the stored total unless it is past it.
  const std::tuple<std::optional<std::pair<int, int>>, MediaValue, std::string> numbers[] = {
      {std::pair(3, 12), 5, "5/12"},
      {std::pair(3, 12), 15, "15/15"},
      {std::nullopt, 5, "5/5"},
      {std::pair(3, 12), 70000, "4464/4464"},
      {std::pair(3, 12), " 9 of", "9/12"}};
  for (const auto& [key, code] :
       {std::pair(MediaDBMusicColumnTrackNo, "trkn"), {MediaDBMusicColumnDiscNo, "disk"}}) {
    for (const auto& [stored, given, text] : numbers) {
      const bool trkn = std::string(code) == "trkn";
      const std::string numbered =
          built(stored ? ilstPair(code, stored->first, stored->second, trkn) : Bytes{});
      EXPECT_EQ(update(numbered, recordOf({{key, given}})).text(code), text) << code << " " << text;
    }
  }
}

TEST_F(Mp4Test, WriterFailuresLeaveTheFile) {
  MediaRecord r = recordOf({{MediaDBMusicColumnTitle, "New"}, {MediaDBMusicColumnAlbumArt, *png_}});
  {
    log::Capture capture;
    const std::string missing = dir_ / "missing.m4a", notMp4 = write("text.m4a", Bytes(5000, 'x'));
    const fs::path readOnly = copyOf("late.m4a");
    fs::permissions(readOnly, fs::perms::owner_read);
    const Bytes readOnlyBytes = tagtest::readBytes(readOnly);
    for (const std::string& path : {missing, notMp4, readOnly.string()})
      EXPECT_FALSE(UpdateMP4Tag().updateTag(path, r));
    EXPECT_TRUE(capture.contains("MP4Tag file open fail " + missing));
    EXPECT_EQ(capture.count("MP4Tag file open fail"), 3u);
    EXPECT_EQ(tagtest::readBytes(notMp4), Bytes(5000, 'x'));
    EXPECT_EQ(tagtest::readBytes(readOnly), readOnlyBytes);
    fs::remove(readOnly);
  }
  // The record's path serves when no path is given.
  const fs::path viaRecord = copyOf("fast.m4a");
  r.set(MediaDBCommonColumnFilePath, viaRecord.string());
  EXPECT_TRUE(UpdateMP4Tag().updateTag("", r));
  EXPECT_EQ(tagtest::readWithMutagen(viaRecord, true)->text("\251nam"), "New");

  // A copy that cannot grow (file size limit) fails the update cleanly. No
  // picture in the child: libvips' threads do not survive a fork.
  const fs::path limited = copyOf("late.m4a");
  const auto original = tagtest::readBytes(limited);
  const MediaRecord big =
      recordOf({{MediaDBMusicColumnTitle, "New"}, {MediaDBMusicColumnComposer, std::string(20000, 'c')}});
  EXPECT_EQ(tagtest::inChild([&] {
              const rlimit limit{original.size() + 4096, original.size() + 4096};
              ::setrlimit(RLIMIT_FSIZE, &limit);
              return UpdateMP4Tag().updateTag(limited.string(), big) ? 1 : 0;
            }),
            0);
  EXPECT_EQ(tagtest::readBytes(limited), original);
  EXPECT_EQ(dir_.entries(), 3);  // no stray copies beside the files this test made
}

// Files found by fuzzing that the writing library would damage or hang on:
// the layer's guard refuses each (checked first, so that a guard that lets
// one through fails here rather than in a store that never ends), and the
// writer leaves each as it was.
TEST_F(Mp4Test, WriterRefusesFilesTheLibraryWouldMishandle) {
  const auto find = [](Bytes& bytes, const std::string& type) {
    const auto at = std::search(bytes.begin(), bytes.end(), type.begin(), type.end());
    EXPECT_NE(at, bytes.end()) << type;
    return at;
  };
  // A user-data box claiming far more than the file holds, behind an offset
  // table of another name and cut audio (the file the fuzzer found): the
  // library would save the tags into it where no reader finds them.
  Bytes damaged = buildMp4(withItems({implicitItem("purl", std::string(11, 'Z'))}));
  std::copy_n("scot", 4, find(damaged, "stco"));
  find(damaged, "udta")[-4] = 0x3F;
  damaged.resize(946);
  std::fill(damaged.begin() + 667, damaged.end(), 'Z');
  // A chunk offset table whose count runs past its box: moving the offsets
  // would write far beyond the table.
  Bytes stco = buildMp4(Mp4FileSpec{});
  find(stco, "stco")[8] = 0x7F;  // entry count 0x7F000000 and more
  // An offset table as the movie box's first child, where new user data goes
  // in and the library then reads the table from its old place.
  Bytes first = buildMp4(Mp4FileSpec{});
  const auto moov = find(first, "moov");
  const Bytes table = mp4FullBox("co64", 0, 0, {0, 0, 0, 0});
  uint32_t size = 0;
  for (int i = -4; i < 0; ++i) size = size << 8 | moov[i];
  size += static_cast<uint32_t>(table.size());
  for (int i = -4; i < 0; ++i) moov[i] = static_cast<uint8_t>(size >> (8 * (-1 - i)));
  first.insert(moov + 4, table.begin(), table.end());
  // An item list claiming more than its parent: the library would pad the
  // new tags to its size.
  Bytes ilst = buildMp4(withItems({ilstText("\251nam", "Old")}));
  find(ilst, "ilst")[-4] = 0x7F;  // 2 GB and more
  const std::pair<const char*, Bytes> cases[] = {
      {"user data past the end", damaged},
      {"offset count past its box", stco},
      {"offset table first in the movie box", first},
      {"item list larger than its parent", ilst},
      {"fragmented", concat({buildMp4(Mp4FileSpec{}), mp4Box("moof", Bytes(8, 0))})}};

  // The tags grow.
  const MediaRecord r =
      recordOf({{MediaDBMusicColumnTitle, "New"}, {MediaDBMusicColumnComposer, std::string(5000, 'c')}});
  for (const auto& [what, bytes] : cases) {
    SCOPED_TRACE(what);
    ASSERT_TRUE(mp4::Mp4File::fromBytes(bytes));  // each reads as an MP4 file
    const auto readAt = [&bytes = bytes](uint64_t offset, std::span<uint8_t> out) {
      if (offset > bytes.size() || out.size() > bytes.size() - offset) return false;
      std::memcpy(out.data(), bytes.data() + offset, out.size());
      return true;
    };
    if (mp4::detail::safeForTheWriter(bytes.size(), readAt)) {
      ADD_FAILURE() << "the guard lets it through";
      continue;
    }
    const std::string path = write("hostile.m4a", bytes);
    EXPECT_FALSE(UpdateMP4Tag().updateTag(path, r));
    EXPECT_EQ(tagtest::readBytes(path), bytes);
  }
}

TEST_F(Mp4Test, PodcastLookupAndItsItemsSurviveAnUpdate) {
  const auto item = implicitItem;
  const auto both = [](const std::string& episode, const std::string& url) {
    return tags::PodcastInfo{{tags::kMediaTagPodcastEpisodeId, episode},
                             {tags::kMediaTagPodcastChannelUrl, url}};
  };
  // 1999 bytes fit the buffer with their terminating zero; 2000 do not and
  // are passed over, keeping an earlier value or leaving none.
  const std::string fits(1999, 'e'), tooLong(2000, 'e');
  const std::pair<Bytes, std::optional<tags::PodcastInfo>> rows[] = {
      {concat({ilstText("purl", "http://feed"), ilstText("egid", "ep-42")}), both("ep-42", "http://feed")},
      {concat({item("egid", "ep"), item("purl", "http://u")}), both("ep", "http://u")},
      {item("purl", "http://u"), std::nullopt},
      // A later item replaces an earlier one; a value ends at its first zero byte.
      {concat({item("egid", "a"), item("purl", "u"), item("egid", std::string("b\0c", 3))}), both("b", "u")},
      {concat({item("egid", fits), item("purl", "u")}), both(fits, "u")},
      {concat({item("egid", tooLong), item("purl", "u")}), std::nullopt},
      {concat({item("egid", "ep"), item("egid", tooLong), item("purl", "u")}), both("ep", "u")},
      // Empty or undecodable values are no values; an item without data is skipped.
      {concat({item("egid", ""), item("purl", "u")}), std::nullopt},
      {concat({item("egid", "ep"), item("egid", "\xFF\xFE"), item("purl", "u")}), std::nullopt},
      {concat({ilstItem("egid", {}), item("egid", "ep"), item("purl", "u")}), both("ep", "u")}};
  for (const auto& [items, expected] : rows) {
    const std::string file = built(items);
    SCOPED_TRACE(file);
    EXPECT_EQ(tags::MediaTag().podcastInfo(file), expected);
  }
  const std::string file = built(rows[0].first);
  EXPECT_TRUE(UpdateMP4Tag().updateTag(file, recordOf({{MediaDBMusicColumnTitle, "Episode"}})));
  EXPECT_EQ(UpdateMP4Tag().podcastInfo(file), rows[0].second);

  log::Capture capture;
  const std::string one = built(rows[2].first);
  EXPECT_EQ(UpdateMP4Tag().podcastInfo(one), std::nullopt);
  EXPECT_TRUE(capture.contains("MP4Tag no podcast info " + one));
  EXPECT_EQ(UpdateMP4Tag().podcastInfo(dir_ / "none.m4a"), std::nullopt);
  EXPECT_TRUE(capture.contains("MP4Tag file open fail " + (dir_ / "none.m4a").string()));
}

}  // namespace
}  // namespace corvane
