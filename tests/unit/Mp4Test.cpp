// The MP4 layer (box reader, tag fetch, first audio track, guarded store),
// the MP4 info builder with its tag dump, and the MP4 tag writer and podcast
// reader. What the writer stores is read back by an independent reader
// (mutagen) and the audio checked against ffmpeg's decode.

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <thread>

#include "ImagingTestPictures.h"
#include "TagTestSupport.h"
#include "builders/MP4Parser.h"
#include "fixtures/Mp4Fixture.h"
#include "media/Log.h"
#include "media/MediaDBKeys.h"
#include "media/RZMediaTypeReader.h"
#include "platform/file/CheckedFileStream.h"
#include "platform/imaging/Picture.h"
#include "platform/mp4/BoxReader.h"
#include "platform/mp4/Mp4File.h"
#include "tags/MediaTag.h"
#include "tags/UpdateMP4Tag.h"

// Expected values name only the fields that are set; the rest stay empty.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace corvane {
namespace {

namespace fs = std::filesystem;
using namespace test;
using builders::MP4Parser;
using media::Bytes;
using media::MediaRecord;
using media::NullMarker;
using tags::PodcastInfo;
using tags::UpdateMP4Tag;
using tagtest::ReadTag;

Mp4Bytes jpegCover(int size = 64) { return imagingtest::jpeg(size, size, imagingtest::solid({200, 40, 40})); }
Bytes fakeCover(uint8_t seed) { return Bytes(300 + seed, seed); }

Mp4FileSpec withItems(std::initializer_list<Mp4Bytes> items) {
  Mp4FileSpec spec;
  spec.ilstItems = concat(items);
  return spec;
}

// An item whose one data element is text of the implicit type, as podcast
// items are stored.
Mp4Bytes implicitItem(const char* code, const std::string& value) {
  return ilstItem(code, {{0, Mp4Bytes(value.begin(), value.end())}});
}

template <typename T>
std::optional<T> valueOf(const MediaRecord& r, const char* key) {
  const T* value = r.get<T>(key);
  return value ? std::optional<T>(*value) : std::nullopt;
}

class Mp4Test : public ::testing::Test {
 protected:
  std::string write(const std::string& name, const Mp4Bytes& bytes) {
    EXPECT_TRUE(writeMp4Bytes(dir_ / name, bytes));
    return dir_ / name;
  }
  std::string writeSpec(const std::string& name, const Mp4FileSpec& spec) {
    return write(name, buildMp4(spec));
  }

  MediaRecord buildOk(const std::string& path) {
    auto record = MP4Parser().build(path);
    EXPECT_TRUE(record.has_value()) << path;
    return record.value_or(MediaRecord{});
  }

  // The tag dump's text; result gets its return code.
  std::string dump(const std::string& path, int* result = nullptr) {
    std::FILE* out = std::tmpfile();
    const int rc = MP4Parser().testMp4v2(path, out);
    if (result) *result = rc;
    std::string text(static_cast<size_t>(std::ftell(out)), '\0');
    std::rewind(out);
    EXPECT_EQ(std::fread(text.data(), 1, text.size(), out), text.size());
    std::fclose(out);
    return text;
  }

  tagtest::ScratchDir dir_;
};

TEST(Mp4BoxReader, HostileSizesStopTheWalkWithoutReadingPastTheEnd) {
  auto walk = [](const Mp4Bytes& bytes, std::vector<std::string> expected, bool malformed) {
    std::vector<std::string> seen;
    mp4::BoxReader reader(bytes);
    while (auto box = reader.next())
      seen.push_back(mp4::fourccText(box->type) + ":" + std::to_string(box->payload.size()));
    EXPECT_EQ(seen, expected);
    EXPECT_EQ(reader.malformed(), malformed);
  };
  // Size 0 runs to the end; size 1 is a 64-bit size that counts the 16-byte header.
  const Mp4Bytes toEnd{0, 0, 0, 10, 'f', 'r', 'e', 'e', 1, 2, 0, 0, 0, 0, 'm', 'd', 'a', 't', 9, 9, 9};
  walk(toEnd, {"free:2", "mdat:3"}, false);
  walk({0, 0, 0, 1, 'w', 'i', 'd', 'e', 0, 0, 0, 0, 0, 0, 0, 18, 7, 7}, {"wide:2"}, false);
  walk({0, 0, 0, 8, 'f', 'r', 'e', 'e', 0, 0, 0, 2}, {"free:0"}, true);  // a good box before a bad one
  // clang-format off
  for (const Mp4Bytes& hostile : {
           Mp4Bytes{0, 0, 0, 1, 'w', 'i', 'd', 'e', 0, 0, 0, 0, 0, 0, 0, 8},  // 64-bit size below its header
           Mp4Bytes{0, 0, 0, 1, 'w', 'i', 'd', 'e', 255, 255, 255, 255, 255, 255, 255, 255},  // beyond the data
           Mp4Bytes{0, 0, 0, 1, 'w', 'i', 'd', 'e', 0, 0},        // 64-bit size cut short
           Mp4Bytes{0, 0, 0, 7, 't', 'i', 'n', 'y'},              // below the 8-byte header
           Mp4Bytes{0, 0, 0, 9, 'l', 'o', 'n', 'g'},              // one byte more than there is
           Mp4Bytes{255, 255, 255, 255, 'h', 'u', 'g', 'e'},      // 4 GB declared
           Mp4Bytes{0, 0, 0}}) {                                  // cut header
    walk(hostile, {}, true);
  }
  // clang-format on
  mp4::ByteCursor cursor(toEnd);
  cursor.skip(toEnd.size() - 1);
  EXPECT_EQ(cursor.u16(), 0);
  EXPECT_FALSE(cursor.ok());
}

TEST_F(Mp4Test, FetchReadsTagsItemsAndFirstAudioTrackAndBuildMapsThem) {
  Mp4FileSpec spec = withItems(
      {ilstText("\251nam", "Title"), ilstText("\251ART", "Artist"), ilstText("aART", "Band"),
       ilstText("\251alb", "Album"), ilstText("\251wrt", "Writer"), ilstText("\251day", "2004-05-06"),
       ilstText("\251nam", "Second title"), ilstInteger("gnre", 18, 2, 0), ilstPair("trkn", 3, 12),
       ilstPair("disk", 1, 2, false), ilstInteger("tmpo", 120, 2), ilstInteger("cpil", 1, 1),
       ilstInteger("plID", 0x1'0000'0001ull, 8), ilstInteger("tmpo", 70000, 4),
       ilstText("purl", "http://feed"), ilstText("purl", "http://later"),
       ilstText("sonm", std::string("A\0B", 3)),
       ilstCovr({{13, jpegCover()}, {14, {0x89, 'P', 'N', 'G'}}, {0, {0xFF, 0xD8, 0xFF, 0}}, {0, {1, 2}}})});
  Mp4TrackSpec video{.handler = "vide", .trackId = 1};
  // The first audio track needs the 64-bit media header.
  Mp4TrackSpec audio{.trackId = 2, .timeScale = 48000, .duration = 0x1'0000'0000ull, .mediaHeaderVersion = 1};
  spec.tracks = {video, audio, Mp4TrackSpec{.trackId = 3}};
  spec.movieFirst = false;

  const std::string path = writeSpec("tags.m4a", spec);
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

  // Raw items keep file order, duplicates and the data type.
  std::vector<std::string> purls;
  for (const auto& item : file->items()) {
    if (item.code == "purl" && item.data.at(0).typeCode == 1)
      purls.emplace_back(item.data[0].bytes.begin(), item.data[0].bytes.end());
  }
  EXPECT_EQ(purls, (std::vector<std::string>{"http://feed", "http://later"}));

  const auto track = file->firstAudioTrack();
  ASSERT_TRUE(track);
  EXPECT_EQ(track->trackId, 2u);
  EXPECT_EQ(track->timeScale, 48000u);
  EXPECT_EQ(track->duration, 0x1'0000'0000ull);
  EXPECT_EQ(track->bitRate, 128000u);

  // The builder maps the same file to every key with its kind; through a
  // link, the file facts are those of the file it names.
  fs::create_symlink(path, dir_ / "link.m4a");
  const MediaRecord r = buildOk(dir_ / "link.m4a");
  using namespace media;
  using S = std::string;
  // clang-format off
  const std::pair<const char*, MediaValue> keys[] = {
      {MediaDBCommonColumnFilePath, (dir_ / "link.m4a").string()}, {MediaDBCommonColumnFileName, S("link.m4a")},
      {MediaDBMusicColumnTitle, S("Title")}, {MediaDBMusicColumnArtist, S("Artist")},
      {MediaDBMusicColumnAlbumArtist, S("Band")}, {MediaDBMusicColumnAlbum, S("Album")},
      {MediaDBMusicColumnComposer, S("Writer")}, {MediaDBMusicColumnDateReleased, S("2004-05-06")},
      {MediaDBMusicColumnGenre, S("Rock")}, {MediaDBMusicColumnTrackNo, 3}, {MediaDBMusicColumnDiscNo, 1},
      {MediaDBMusicColumnPlayCount, 0}, {MediaDBMusicColumnRating, 0}, {MediaDBMusicColumnAlbumRating, 0},
      {MediaDBMusicColumnDRMProperty, 0}, {MediaDBMusicColumnPlayState, 0}, {MediaDBCommonColumnIsManaged, false},
      {MediaDBMusicColumnIsLicenseExpired, false}, {MediaDBMusicColumnHasLyrics, false},
      {MediaDBCommonColumnLinkError, false}, {MediaDBMusicColumnIsReadOnly, false},
      {MediaDBCommonColumnFileSize, uint64_t{fs::file_size(path)}}, {MediaDBCommonColumnMediaType, kMediaTypeM4A},
      {MediaDBCommonColumnFileTypeString, S("M4A")}, {MediaDBMusicColumnPlayLength, 89478.0},
      {MediaDBMusicColumnSamplerate, 48000.0}, {MediaDBMusicColumnBitrate, 128}};
  // clang-format on
  for (const auto& [key, value] : keys) {
    ASSERT_TRUE(r.contains(key)) << key;
    EXPECT_EQ(r.values().at(key), value) << key;
  }
  EXPECT_NE(r.get<Date>(MediaDBMusicColumnDateAdded), nullptr);
  EXPECT_NE(r.get<Date>(MediaDBMusicColumnDateModified), nullptr);
  EXPECT_NE(r.get<Bytes>(MediaDBMusicColumnAlbumArt), nullptr);
}

TEST_F(Mp4Test, OpenRefusesWhatIsNoMp4) {
  EXPECT_FALSE(mp4::Mp4File::openRead(dir_ / "missing.m4a"));
  EXPECT_FALSE(mp4::Mp4File::openRead(dir_.path()));  // a directory
  EXPECT_FALSE(mp4::Mp4File::openRead(write("empty.m4a", {})));
  EXPECT_FALSE(mp4::Mp4File::openRead(write("jpeg.m4a", jpegCover())));
  EXPECT_FALSE(mp4::Mp4File::fromBytes(mp4Box("ftyp", {'M', '4', 'A', ' '})));  // no movie box
  Mp4Bytes cut = buildMp4(Mp4FileSpec{});
  cut.resize(cut.size() / 2);  // the movie box is cut short
  EXPECT_FALSE(mp4::Mp4File::fromBytes(cut));
  const std::string fifo = dir_ / "fifo.m4a";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_FALSE(mp4::Mp4File::openRead(fifo));  // and does not block

  log::Capture capture;
  EXPECT_FALSE(MP4Parser().build(dir_ / "missing.m4a"));
  EXPECT_FALSE(MP4Parser().build(write("text.m4a", {'h', 'e', 'l', 'l', 'o'})));
  EXPECT_FALSE(MP4Parser().build(fifo));
  EXPECT_EQ(capture.count("MP4Parser file open fail"), 3u);
}

// The layer's own store (the writer's cases follow below): a field absent
// from the update is removed, and a genre text survives the writer library's
// folding of a numeric genre.
TEST_F(Mp4Test, StoreRemovesAbsentFieldsAndKeepsTheGenreText) {
  const std::string path = writeSpec(
      "store.m4a",
      withItems({ilstText("\251nam", "Old"), ilstText("\251gen", "Mine"), ilstInteger("gnre", 18, 2, 0)}));
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
      {withItems({gnre(18)}), "Rock"},
      {withItems({gnre(148)}), "Synthpop"},
      {withItems({gnre(0)}), "<absent>"},
      {withItems({gnre(149)}), "<absent>"},
      {withItems({gnre(1), ilstText("\251gen", "\xFF")}), "<absent>"},  // unusable text still hides the code
      {quickTime, "Own genre"}};
  for (const auto& [spec, genre] : rows) {
    SCOPED_TRACE(genre);
    const MediaRecord r = buildOk(writeSpec("genre.m4a", spec));
    const auto* g = r.get<std::string>(media::MediaDBMusicColumnGenre);
    EXPECT_EQ(g ? *g : std::string("<absent>"), genre);
  }
}

TEST_F(Mp4Test, TimingRoundsDownAndBitRateNeedsAKilobit) {
  struct Row {
    const char* what;
    Mp4TrackSpec track;
    std::optional<double> length, rate;
    std::optional<int32_t> kbps;
    const char* file = "t.m4a";
  };
  const std::vector<uint32_t> sizes{1000, 2000, 3000};  // 6000 bytes, in 2 s below
  // clang-format off
  const Row rows[] = {
      {"180.9 s truncated", {.duration = 7977690, .avgBitRate = 127999}, 180.0, 44100.0, 127},
      {"below one kilobit", {.duration = 7977690, .avgBitRate = 999}, 180.0, 44100.0, std::nullopt},
      {"no rate to compute", {.avgBitRate = 0, .sampleSizes = {}}, 3.0, 44100.0, std::nullopt},
      {"no time scale", {.timeScale = 0, .avgBitRate = 64000}, std::nullopt, std::nullopt, 64},
      {"no esds", {.timeScale = 1000, .duration = 2000, .avgBitRate = std::nullopt, .sampleSizes = sizes},
       2.0, 1000.0, 24},
      {"esds 0", {.timeScale = 1000, .duration = 2000, .avgBitRate = 0, .sampleSizes = sizes}, 2.0, 1000.0, 24},
      {"video only", {.handler = "vide"}, std::nullopt, std::nullopt, std::nullopt, "video.m4v"}};
  // clang-format on
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    Mp4FileSpec spec;
    spec.tracks = {row.track};
    const MediaRecord r = buildOk(writeSpec(row.file, spec));
    EXPECT_EQ(valueOf<double>(r, media::MediaDBMusicColumnPlayLength), row.length);
    EXPECT_EQ(valueOf<double>(r, media::MediaDBMusicColumnSamplerate), row.rate);
    EXPECT_EQ(valueOf<int32_t>(r, media::MediaDBMusicColumnBitrate), row.kbps);
  }

  const MediaRecord video = buildOk(dir_ / "video.m4v");
  EXPECT_EQ(*video.get<int32_t>(media::MediaDBCommonColumnMediaType), media::kMediaTypeM4V);
  EXPECT_TRUE(video.contains(media::MediaDBMusicColumnDateAdded));
}

TEST_F(Mp4Test, OnlyTheFirstArtworkMakesTheAlbumArt) {
  const Mp4Bytes good = jpegCover(300);
  const Mp4Bytes junk{0xFF, 0xD8, 0xFF, 0xE0, 1, 2, 3};
  MediaRecord r =
      buildOk(writeSpec("junk-first.m4a", withItems({ilstCovr({{13, junk}, {13, good}, {13, good}})})));
  EXPECT_FALSE(r.contains(media::MediaDBMusicColumnAlbumArt));
  EXPECT_TRUE(r.contains(media::MediaDBMusicColumnPlayLength));  // the rest of the record is unaffected

  r = buildOk(writeSpec("good-first.m4a", withItems({ilstCovr({{13, good}, {13, junk}, {14, junk}})})));
  const auto* art = r.get<media::Bytes>(media::MediaDBMusicColumnAlbumArt);
  ASSERT_NE(art, nullptr);
  const vips::VImage thumb = imagingtest::decode(*art);
  EXPECT_EQ(thumb.width(), 200);
  EXPECT_EQ(thumb.height(), 200);
  EXPECT_TRUE((*art)[0] == 'I' || (*art)[0] == 'M');  // TIFF
}

TEST_F(Mp4Test, DumpPrintsPresentFieldsInOrderAndWritesNothing) {
  const std::string path = writeSpec(
      "dump.m4a",
      withItems({ilstText("sfID", ""), ilstInteger("sfID", 143441, 4), ilstText("\251alb", "Album"),
                 ilstText("\251nam", "Name"), ilstInteger("gnre", 18, 2, 0), ilstPair("trkn", 1, 10),
                 ilstCovr({{13, {1, 2, 3}}, {14, {4}}}), ilstInteger("plID", 5'000'000'000ull, 8),
                 ilstText("\251too", "Lavf"), ilstInteger("stik", 1, 1), ilstText("xid ", "x:1")}));
  const auto before = fs::last_write_time(path);
  int rc = -1;
  // sfID's first item holds no number, so the second one gives the field.
  // The art lines show where the bytes are held, which varies.
  const std::string text = dump(path, &rc);
  EXPECT_EQ(text.substr(0, text.find("data=")),
            "name: Name\nalbum: Album\ngenreType: 18\ntrack: index=1 total=10\nart[0]: type=3 size=3 ");
  const size_t art1 = text.find("art[1]: type=4 size=1 data=");
  ASSERT_NE(art1, std::string::npos);
  EXPECT_EQ(text.substr(text.find('\n', art1) + 1),
            "encodingTool: Lavf\nmediaType: 1\nplaylistID: 5000000000\nxid: x:1\niTunesCountry: 143441\n");
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(fs::last_write_time(path), before);

  // A file whose tags could not be changed is not dumped.
  const std::string readOnly = writeSpec("read-only.m4a", Mp4FileSpec{});
  fs::permissions(readOnly, fs::perms::owner_read);
  for (const fs::path& bad : {dir_ / "missing.m4a", dir_.path(), fs::path(readOnly)}) {
    EXPECT_EQ(dump(bad.string(), &rc), "MP4Modify failed\n");
    EXPECT_EQ(rc, 1);
  }
}

// --- the tag writer, on M4A files made by ffmpeg and on byte-built files ---

class Mp4WriterTest : public Mp4Test {
 protected:
  static void SetUpTestSuite() {
    media_ = new tagtest::ScratchDir;
    const std::string sine = "-f lavfi -i sine=frequency=440:duration=3 -c:a aac -b:a 96k";
    tagtest::ffmpeg(sine + " -metadata title=Old", *media_ / "late.m4a");
    tagtest::ffmpeg(sine + " -metadata title=Old -movflags +faststart", *media_ / "fast.m4a");
    tagtest::ffmpeg("-f lavfi -i color=c=red:s=32x24 -frames:v 1", *media_ / "cover.png");
    png_ = new Bytes(tagtest::readBytes(*media_ / "cover.png"));
  }
  static void TearDownTestSuite() {
    delete png_;
    delete media_;
  }

  fs::path copyOf(const std::string& name, const std::string& as = "") {
    const fs::path to = dir_ / (as.empty() ? name : as);
    fs::copy_file(*media_ / name, to, fs::copy_options::overwrite_existing);
    return to;
  }
  // A byte-built file with these metadata items.
  fs::path built(const Mp4Bytes& items) {
    Mp4FileSpec spec;
    spec.ilstItems = items;
    return write("b" + std::to_string(count_++) + ".m4a", buildMp4(spec));
  }
  // A file with every field the writer touches, track 3 of 12, disc 2 of 3
  // and three artworks.
  fs::path fullyTagged() {
    Mp4Bytes items;
    for (const mp4::WritableText& t : mp4::kWritableTexts) items = concat({items, ilstText(t.code, "old")});
    return built(concat({items, ilstPair("trkn", 3, 12), ilstPair("disk", 2, 3, false),
                         ilstCovr({{13, fakeCover(1)}, {13, fakeCover(2)}, {13, fakeCover(3)}})}));
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
  std::optional<PodcastInfo> lookup(std::initializer_list<Mp4Bytes> items) {
    return UpdateMP4Tag().podcastInfo(built(concat(items)).string());
  }
  static PodcastInfo both(const std::string& episode, const std::string& url) {
    return {{tags::kMediaTagPodcastEpisodeId, episode}, {tags::kMediaTagPodcastChannelUrl, url}};
  }

  static tagtest::ScratchDir* media_;
  static Bytes* png_;
  int count_ = 0;
};
tagtest::ScratchDir* Mp4WriterTest::media_ = nullptr;
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
    const std::pair<const char*, const char*> texts[] = {{"\251nam", "Tïtle ✓ 日本 😀"},
                                                         {"\251alb", "Album"},
                                                         {"\251ART", "Artist"},
                                                         {"aART", "Album Artist"},
                                                         {"\251wrt", "Composer"},
                                                         {"\251gen", "Rock"},
                                                         {"\251day", "2021-03-04T00:00:00Z"},
                                                         {"trkn", "7/7"},
                                                         {"disk", "2/2"}};
    for (const auto& [code, text] : texts) EXPECT_EQ(tags.text(code), text) << code;
    EXPECT_EQ(tags.frames.count("gnre") + tags.frames.count("\251cmt"), 0u);
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
          built(c.stored ? ilstPair(code, c.stored->first, c.stored->second, trkn) : Mp4Bytes{});
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
    const std::string missing = (dir_ / "missing.m4a").string();
    EXPECT_FALSE(UpdateMP4Tag().updateTag(missing, r));
    EXPECT_TRUE(capture.contains("MP4Tag file open fail " + missing));
    const fs::path notMp4 = dir_ / "text.m4a";
    tagtest::writeBytes(notMp4, Bytes(5000, 'x'));
    const fs::path readOnly = copyOf("late.m4a", "read-only.m4a");
    fs::permissions(readOnly, fs::perms::owner_read);
    const Bytes readOnlyBytes = tagtest::readBytes(readOnly);
    EXPECT_FALSE(UpdateMP4Tag().updateTag(notMp4.string(), r));
    EXPECT_FALSE(UpdateMP4Tag().updateTag(readOnly.string(), r));
    EXPECT_EQ(tagtest::readBytes(notMp4), Bytes(5000, 'x'));
    EXPECT_EQ(tagtest::readBytes(readOnly), readOnlyBytes);
    EXPECT_EQ(capture.count("MP4Tag file open fail"), 3u);
    fs::remove(readOnly);
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
  EXPECT_EQ(dir_.entries(), 3);  // no stray copies beside the files this test made
}

// Files found by fuzzing that the writing library would damage or hang on:
// the layer's store refuses each, so the writer does too, and each stays as
// it was.
TEST_F(Mp4WriterTest, FilesTheLibraryWouldMishandleAreRefusedByTheStore) {
  std::vector<std::pair<std::string, Bytes>> cases;
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
  cases.emplace_back("user data past the end", damaged);

  // A chunk offset table whose count runs past its box: moving the offsets
  // would write far beyond the table.
  Bytes stco = buildMp4(Mp4FileSpec{});
  find(stco, "stco")[8] = 0x7F;  // entry count 0x7F000000 and more
  cases.emplace_back("offset count past its box", stco);

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
  cases.emplace_back("offset table first in the movie box", first);

  // An item list claiming more than its parent: the library would pad the
  // new tags to its size.
  Bytes ilst = buildMp4(withItems({ilstText("\251nam", "Old")}));
  find(ilst, "ilst")[-4] = 0x7F;  // 2 GB and more
  cases.emplace_back("item list larger than its parent", ilst);

  // A movie fragment after the movie box.
  cases.emplace_back("fragmented", concat({buildMp4(Mp4FileSpec{}), mp4Box("moof", Bytes(8, 0))}));

  MediaRecord r;
  r.set(media::MediaDBMusicColumnTitle, std::string("New"));
  r.set(media::MediaDBMusicColumnComposer, std::string(5000, 'c'));  // the tags grow
  const std::string path = dir_ / "hostile.m4a";
  int refusedByTheStore = 0;
  for (const auto& [what, bytes] : cases) {
    SCOPED_TRACE(what);
    tagtest::writeBytes(path, bytes);
    if (auto file = mp4::Mp4File::fromBytes(bytes)) {
      mp4::Tags changed = file->tags();
      changed.name = "New";
      file::CheckedFileStream stream(path);
      refusedByTheStore += !file->store(changed, stream);
      EXPECT_EQ(tagtest::readBytes(path), bytes);
    }
    EXPECT_FALSE(UpdateMP4Tag().updateTag(path, r));
    EXPECT_EQ(tagtest::readBytes(path), bytes);
  }
  EXPECT_EQ(refusedByTheStore, int(cases.size()));  // each reads as an MP4 file
}

TEST_F(Mp4WriterTest, DispatcherAndTwoUpdatesAtOnce) {
  const fs::path a = copyOf("late.m4a", "a.m4a");
  const fs::path b = copyOf("fast.m4a", "b.m4a");
  MediaRecord r;
  r.set(media::MediaDBCommonColumnMediaType, media::kMediaTypeM4A);
  r.set(media::MediaDBMusicColumnTitle, std::string("Through the dispatcher"));
  EXPECT_TRUE(tags::MediaTag().updateTag(a.string(), r));
  EXPECT_EQ(read(a).text("\251nam"), "Through the dispatcher");

  auto work = [](fs::path file, std::string prefix) {
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
  const fs::path file =
      built(concat({ilstText("purl", "http://feed.example/rss"), ilstText("egid", "episode-42")}));
  const PodcastInfo expected = both("episode-42", "http://feed.example/rss");
  EXPECT_EQ(UpdateMP4Tag().podcastInfo(file.string()), expected);
  EXPECT_EQ(tags::MediaTag().podcastInfo(file.string()), expected);
  MediaRecord r;
  r.set(media::MediaDBMusicColumnTitle, std::string("Episode"));
  EXPECT_TRUE(UpdateMP4Tag().updateTag(file.string(), r));
  EXPECT_EQ(UpdateMP4Tag().podcastInfo(file.string()), expected);

  log::Capture capture;
  const fs::path one = built(ilstText("purl", "http://feed.example/rss"));
  EXPECT_EQ(UpdateMP4Tag().podcastInfo(one.string()), std::nullopt);
  EXPECT_TRUE(capture.contains("MP4Tag no podcast info " + one.string()));
  EXPECT_EQ(UpdateMP4Tag().podcastInfo((dir_ / "none.m4a").string()), std::nullopt);
  EXPECT_TRUE(capture.contains("MP4Tag file open fail " + (dir_ / "none.m4a").string()));
}

TEST_F(Mp4WriterTest, PodcastItemsBothOneNoneLaterItemsAndBufferLimit) {
  const auto item = implicitItem;
  EXPECT_EQ(lookup({item("egid", "ep"), item("purl", "http://u")}), both("ep", "http://u"));
  EXPECT_EQ(lookup({item("purl", "http://u")}), std::nullopt);
  EXPECT_EQ(lookup({item("egid", "ep")}), std::nullopt);
  EXPECT_EQ(lookup({ilstText("\251nam", "t")}), std::nullopt);
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
  EXPECT_EQ(lookup({ilstItem("egid", {}), item("egid", "ep"), item("purl", "u")}), both("ep", "u"));
}

}  // namespace
}  // namespace corvane
