// The MP4 metadata layer (box reader, tag fetch and store, first audio track)
// and the MP4 info builder with its tag dump.

#include <gtest/gtest.h>

#include <random>

#include "ImagingTestPictures.h"
#include "TagTestSupport.h"
#include "builders/MP4Parser.h"
#include "fixtures/Mp4Fixture.h"
#include "media/Log.h"
#include "media/MediaDBKeys.h"
#include "media/RZMediaTypeReader.h"
#include "platform/mp4/BoxReader.h"
#include "platform/mp4/Mp4File.h"

// Expected values name only the fields that are set; the rest stay empty.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace corvane {
namespace {

namespace fs = std::filesystem;
using namespace test;
using builders::MP4Parser;
using media::MediaRecord;

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

Mp4Bytes jpegCover(int size = 64) { return imagingtest::jpeg(size, size, imagingtest::solid({200, 40, 40})); }

Mp4FileSpec withItems(std::initializer_list<Mp4Bytes> items) {
  Mp4FileSpec spec;
  for (const auto& item : items) spec.ilstItems.insert(spec.ilstItems.end(), item.begin(), item.end());
  return spec;
}

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
  EXPECT_TRUE(cursor.take(1).empty());
}

TEST(Mp4BoxReader, NestingIsWalkedToTheDepthLimitOnly) {
  Mp4Bytes nested = mp4Box("leaf", {});
  for (int i = 0; i < 100; ++i) nested = mp4Box("nest", nested);
  int deepest = -1, visits = 0;
  mp4::walkBoxes(nested, [&](const mp4::Box&, int depth) {
    deepest = std::max(deepest, depth);
    ++visits;
    return true;
  });
  EXPECT_EQ(deepest, mp4::kMaxBoxDepth - 1);
  EXPECT_EQ(visits, mp4::kMaxBoxDepth);
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

  // Raw items keep file order and duplicates; the lookup gives the first.
  int purls = 0;
  for (const auto& item : file->items()) purls += item.code == "purl";
  EXPECT_EQ(purls, 2);
  ASSERT_NE(file->findItem("purl"), nullptr);
  EXPECT_EQ(file->findItem("purl")->data.at(0).bytes,
            (media::Bytes{'h', 't', 't', 'p', ':', '/', '/', 'f', 'e', 'e', 'd'}));
  EXPECT_EQ(file->findItem("purl")->data.at(0).typeCode, 1u);
  EXPECT_EQ(file->findItem("egid"), nullptr);

  const auto track = file->firstAudioTrack();
  ASSERT_TRUE(track);
  EXPECT_EQ(track->trackId, 2u);
  EXPECT_EQ(track->timeScale, 48000u);
  EXPECT_EQ(track->duration, 0x1'0000'0000ull);
  EXPECT_EQ(track->bitRate, 128000u);

  // The builder maps the same file to every key with its kind.
  const MediaRecord r = buildOk(path);
  using namespace media;
  using S = std::string;
  // clang-format off
  const std::pair<const char*, MediaValue> keys[] = {
      {MediaDBCommonColumnFilePath, path}, {MediaDBCommonColumnFileName, S("tags.m4a")},
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
  EXPECT_EQ(capture.count("MP4Parser file open fail"), 2u);
}

TEST_F(Mp4Test, StoreChangesOnlyTheWriterFieldsAndKeepsTheRest) {
  const std::string path = writeSpec(
      "store.m4a", withItems({ilstText("\251nam", "Old"), ilstText("purl", "http://feed"),
                              ilstPair("trkn", 3, 12), ilstCovr({{13, jpegCover()}, {14, {1, 2, 3}}})}));
  EXPECT_FALSE(mp4::Mp4File::openRead(path)->store(mp4::Tags{}));  // read-only handle

  auto file = mp4::Mp4File::openForChange(path);
  ASSERT_TRUE(file);
  mp4::Tags tags = file->tags();
  EXPECT_TRUE(file->store(tags));  // nothing differs: nothing written
  tags.name = "Néw ✓";
  tags.track = mp4::IndexTotal{5, 12};
  tags.disk = mp4::IndexTotal{1, 1};
  EXPECT_FALSE(tags.setArtwork(2, {{9}, mp4::ArtworkType::Jpeg}));
  EXPECT_TRUE(tags.removeArtwork(0));
  tags.addArtwork({{7, 7}, mp4::ArtworkType::Png});
  ASSERT_TRUE(file->store(tags));
  const auto reread = mp4::Mp4File::openRead(path);
  ASSERT_TRUE(reread);
  EXPECT_EQ(reread->tags(), tags);
  EXPECT_NE(reread->findItem("purl"), nullptr);
  EXPECT_EQ(reread->firstAudioTrack()->duration, 44100u * 3);

  tags.name.reset();
  tags.artworks.clear();
  ASSERT_TRUE(mp4::Mp4File::openForChange(path)->store(tags));
  EXPECT_EQ(mp4::Mp4File::openRead(path)->tags(), tags);

  // The genre text survives a save even with a numeric genre after it.
  const std::string both =
      writeSpec("both-genres.m4a", withItems({ilstText("\251gen", "Mine"), ilstInteger("gnre", 18, 2, 0)}));
  auto withCode = mp4::Mp4File::openForChange(both);
  mp4::Tags renamed = withCode->tags();
  renamed.name = "Renamed";
  ASSERT_TRUE(withCode->store(renamed));
  EXPECT_EQ(mp4::Mp4File::openRead(both)->tags().genre, "Mine");
  EXPECT_EQ(*MP4Parser().build(both)->get<std::string>(media::MediaDBMusicColumnGenre), "Mine");
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

template <typename T>
std::optional<T> valueOf(const MediaRecord& r, const char* key) {
  const T* value = r.get<T>(key);
  return value ? std::optional<T>(*value) : std::nullopt;
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

  for (const fs::path& bad : {dir_ / "missing.m4a", dir_.path()}) {
    EXPECT_EQ(dump(bad.string(), &rc), "MP4Modify failed\n");
    EXPECT_EQ(rc, 1);
  }
}

TEST_F(Mp4Test, HostileAndTruncatedFilesGiveNoneOrARecord) {
  const Mp4Bytes good = buildMp4(withItems(
      {ilstText("\251nam", "T"), ilstPair("trkn", 1, 2), ilstCovr({{13, jpegCover(16)}, {0, {1}}})}));
  std::mt19937 random(1234);
  const std::string path = dir_ / "hostile.m4a";
  auto survive = [&](const Mp4Bytes& bytes) {
    ASSERT_TRUE(writeMp4Bytes(path, bytes));
    (void)MP4Parser().build(path);
    std::FILE* sink = std::fopen("/dev/null", "w");
    (void)MP4Parser().testMp4v2(path, sink);
    std::fclose(sink);
  };
  for (size_t cut = 0; cut < good.size(); cut += 17) survive(Mp4Bytes(good.begin(), good.begin() + cut));
  for (int round = 0; round < 60; ++round) {
    Mp4Bytes bytes = good;
    for (int flips = 0; flips < 4; ++flips) bytes[random() % bytes.size()] = static_cast<uint8_t>(random());
    survive(bytes);
  }
  Mp4Bytes noise(4096);
  for (auto& b : noise) b = static_cast<uint8_t>(random());
  survive(noise);
}

}  // namespace
}  // namespace corvane
