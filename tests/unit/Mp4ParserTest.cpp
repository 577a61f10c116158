// The MP4 metadata layer (box reader, tag fetch and store, first audio track)
// and the MP4 info builder with its tag dump.

#include <gtest/gtest.h>
#include <taglib/mp4file.h>
#include <taglib/mp4tag.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "ImagingTestPictures.h"
#include "builders/MP4Parser.h"
#include "fixtures/Mp4Fixture.h"
#include "media/MediaDBKeys.h"
#include "media/RZMediaTypeReader.h"
#include "platform/log/Log.h"
#include "platform/mp4/BoxReader.h"
#include "platform/mp4/Mp4File.h"

namespace corvane {
namespace {

namespace fs = std::filesystem;
using builders::MP4Parser;
using media::MediaRecord;
using test::buildMp4;
using test::ilstCovr;
using test::ilstInteger;
using test::ilstPair;
using test::ilstText;
using test::Mp4Bytes;
using test::Mp4FileSpec;
using test::Mp4TrackSpec;

class Mp4Test : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "mp4test-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }

  std::string write(const std::string& name, const Mp4Bytes& bytes) {
    const std::string path = (dir_ / name).string();
    EXPECT_TRUE(test::writeMp4Bytes(path, bytes));
    return path;
  }
  std::string writeSpec(const std::string& name, const Mp4FileSpec& spec) {
    return write(name, buildMp4(spec));
  }

  MediaRecord buildOk(const std::string& path) {
    auto record = MP4Parser().build(path);
    EXPECT_TRUE(record.has_value()) << path;
    return record.value_or(MediaRecord{});
  }

  // A real AAC file of `seconds` made by ffmpeg, or "" when ffmpeg fails.
  std::string ffmpeg(const std::string& name, const std::string& input) {
    const std::string path = (dir_ / name).string();
    const std::string command = "ffmpeg -nostdin -loglevel error -y " + input + " '" + path + "'";
    return std::system(command.c_str()) == 0 ? path : std::string();
  }

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

  fs::path dir_;
};

Mp4Bytes jpegCover(int size = 64) { return imagingtest::jpeg(size, size, imagingtest::solid({200, 40, 40})); }

Mp4FileSpec withItems(Mp4Bytes items) {
  Mp4FileSpec spec;
  spec.ilstItems = std::move(items);
  return spec;
}

Mp4Bytes concat(std::initializer_list<Mp4Bytes> parts) {
  Mp4Bytes all;
  for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

// ---- box reader -----------------------------------------------------------

TEST(Mp4BoxReader, HostileSizesStopTheWalkWithoutReadingPastTheEnd) {
  using mp4::BoxReader;
  auto types = [](const Mp4Bytes& bytes, bool* malformed = nullptr) {
    std::vector<std::string> seen;
    BoxReader reader(bytes);
    while (auto box = reader.next())
      seen.push_back(mp4::fourccText(box->type) + ":" + std::to_string(box->payload.size()));
    if (malformed) *malformed = reader.malformed();
    return seen;
  };
  bool bad = false;
  // Size 0 runs to the end of the container.
  Mp4Bytes toEnd = concat({test::mp4Box("free", {1, 2}), {0, 0, 0, 0, 'm', 'd', 'a', 't', 9, 9, 9}});
  EXPECT_EQ(types(toEnd, &bad), (std::vector<std::string>{"free:2", "mdat:3"}));
  EXPECT_FALSE(bad);
  // Size 1: a 64-bit size follows; it counts the 16-byte header.
  Mp4Bytes large{0, 0, 0, 1, 'w', 'i', 'd', 'e', 0, 0, 0, 0, 0, 0, 0, 18, 7, 7};
  EXPECT_EQ(types(large), (std::vector<std::string>{"wide:2"}));
  // A 64-bit size below its header, beyond the data, or cut short.
  for (const Mp4Bytes& hostile : {
           Mp4Bytes{0, 0, 0, 1, 'w', 'i', 'd', 'e', 0, 0, 0, 0, 0, 0, 0, 8},
           Mp4Bytes{0, 0, 0, 1, 'w', 'i', 'd', 'e', 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
           Mp4Bytes{0, 0, 0, 1, 'w', 'i', 'd', 'e', 0, 0},
           Mp4Bytes{0, 0, 0, 7, 't', 'i', 'n', 'y'},              // below the 8-byte header
           Mp4Bytes{0, 0, 0, 9, 'l', 'o', 'n', 'g'},              // one byte more than there is
           Mp4Bytes{0xFF, 0xFF, 0xFF, 0xFF, 'h', 'u', 'g', 'e'},  // 4 GB declared
           Mp4Bytes{0, 0, 0},                                     // cut header
       }) {
    EXPECT_TRUE(types(hostile, &bad).empty());
    EXPECT_TRUE(bad);
  }
  // A good box before a bad one is still returned.
  EXPECT_EQ(types(concat({test::mp4Box("free", {}), {0, 0, 0, 2}}), &bad),
            (std::vector<std::string>{"free:0"}));
  EXPECT_TRUE(bad);

  mp4::ByteCursor cursor(toEnd);
  cursor.skip(toEnd.size() - 1);
  EXPECT_EQ(cursor.u16(), 0);
  EXPECT_FALSE(cursor.ok());
  EXPECT_TRUE(cursor.take(1).empty());
}

TEST(Mp4BoxReader, NestingIsWalkedToTheDepthLimitOnly) {
  Mp4Bytes nested = test::mp4Box("leaf", {});
  for (int i = 0; i < 100; ++i) nested = test::mp4Box("nest", nested);
  int deepest = -1, visits = 0;
  mp4::walkBoxes(nested, [&](const mp4::Box&, int depth) {
    deepest = std::max(deepest, depth);
    ++visits;
    return true;
  });
  EXPECT_EQ(deepest, mp4::kMaxBoxDepth - 1);
  EXPECT_EQ(visits, mp4::kMaxBoxDepth);
}

// ---- the layer on byte-built files -------------------------------------------

TEST_F(Mp4Test, FetchReadsTagsRawItemsAndTheFirstAudioTrack) {
  Mp4FileSpec spec = withItems(concat({
      ilstText("\251nam", "Title"),
      ilstText("\251ART", "Artist"),
      ilstText("aART", "Band"),
      ilstText("\251alb", "Album"),
      ilstText("\251wrt", "Writer"),
      ilstText("\251day", "2004-05-06"),
      ilstText("\251nam", "Second title"),
      ilstInteger("gnre", 18, 2, 0),
      ilstPair("trkn", 3, 12),
      ilstPair("disk", 1, 2, false),
      ilstInteger("tmpo", 120, 2),
      ilstInteger("cpil", 1, 1),
      ilstInteger("plID", 0x1'0000'0001ull, 8),
      ilstInteger("tmpo", 70000, 4),
      ilstText("purl", "http://feed"),
      ilstText("purl", "http://later"),
      ilstText("sonm", std::string("A\0B", 3)),
      ilstCovr({{13, jpegCover()}, {14, {0x89, 'P', 'N', 'G'}}, {0, {0xFF, 0xD8, 0xFF, 0}}, {0, {1, 2}}}),
  }));
  Mp4TrackSpec video;
  video.handler = "vide";
  video.trackId = 1;
  Mp4TrackSpec audio;
  audio.trackId = 2;
  audio.mediaHeaderVersion = 1;
  audio.timeScale = 48000;
  audio.duration = 0x1'0000'0000ull;  // needs the 64-bit header
  Mp4TrackSpec laterAudio;
  laterAudio.trackId = 3;
  spec.tracks = {video, audio, laterAudio};
  spec.movieFirst = false;

  const auto file = mp4::Mp4File::openRead(writeSpec("tags.m4a", spec));
  ASSERT_TRUE(file);
  const mp4::Tags& t = file->tags();
  EXPECT_EQ(t.name, "Title");  // the first of two items
  EXPECT_EQ(t.artist, "Artist");
  EXPECT_EQ(t.albumArtist, "Band");
  EXPECT_EQ(t.album, "Album");
  EXPECT_EQ(t.composer, "Writer");
  EXPECT_EQ(t.releaseDate, "2004-05-06");
  EXPECT_FALSE(t.genre);  // only a numeric genre
  EXPECT_EQ(t.genreType, 18);
  EXPECT_EQ(t.track, (mp4::IndexTotal{3, 12}));
  EXPECT_EQ(t.disk, (mp4::IndexTotal{1, 2}));
  EXPECT_EQ(t.tempo, 120);
  EXPECT_EQ(t.compilation, 1);
  EXPECT_EQ(t.playlistID, 0x1'0000'0001ull);
  EXPECT_EQ(t.sortName, "A");  // text stops at a NUL
  ASSERT_EQ(t.artworks.size(), 4u);
  EXPECT_EQ(t.artworks[0].type, mp4::ArtworkType::Jpeg);
  EXPECT_EQ(t.artworks[0].data, jpegCover());
  EXPECT_EQ(t.artworks[1].type, mp4::ArtworkType::Png);
  EXPECT_EQ(t.artworks[2].type, mp4::ArtworkType::Jpeg);  // implicit type, known by its bytes
  EXPECT_EQ(t.artworks[3].type, mp4::ArtworkType::Undefined);

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
}

TEST_F(Mp4Test, BitRateFallsBackToSampleSizesAndTextGenreWinsOverCode) {
  Mp4FileSpec spec = withItems(concat({ilstInteger("gnre", 2, 2, 0), ilstText("\251gen", "Own genre")}));
  spec.tracks[0].avgBitRate = std::nullopt;  // no esds at all
  spec.tracks[0].timeScale = 1000;
  spec.tracks[0].duration = 2000;
  spec.tracks[0].sampleSizes = {1000, 2000, 3000};  // 6000 bytes in 2 s
  spec.metaFullBox = false;                         // QuickTime-style meta
  auto file = mp4::Mp4File::fromBytes(buildMp4(spec));
  ASSERT_TRUE(file);
  EXPECT_EQ(file->firstAudioTrack()->bitRate, 24000u);
  EXPECT_EQ(file->tags().genre, "Own genre");
  EXPECT_EQ(file->tags().genreType, 2);

  spec.tracks[0].avgBitRate = 0;  // declared as unknown: computed as well
  EXPECT_EQ(mp4::Mp4File::fromBytes(buildMp4(spec))->firstAudioTrack()->bitRate, 24000u);
  spec.tracks[0].sampleSizes.clear();
  EXPECT_EQ(mp4::Mp4File::fromBytes(buildMp4(spec))->firstAudioTrack()->bitRate, 0u);
}

TEST_F(Mp4Test, OpenRefusesWhatIsNoMp4) {
  EXPECT_FALSE(mp4::Mp4File::openRead((dir_ / "missing.m4a").string()));
  EXPECT_FALSE(mp4::Mp4File::openRead(dir_.string()));  // a directory
  EXPECT_FALSE(mp4::Mp4File::openRead(write("empty.m4a", {})));
  EXPECT_FALSE(mp4::Mp4File::openRead(write("jpeg.m4a", jpegCover())));
  EXPECT_FALSE(mp4::Mp4File::fromBytes(test::mp4Box("ftyp", {'M', '4', 'A', ' '})));  // no movie box
  Mp4Bytes cut = buildMp4(Mp4FileSpec{});
  cut.resize(cut.size() / 2);  // the movie box is cut short
  EXPECT_FALSE(mp4::Mp4File::fromBytes(cut));
  const std::string fifo = (dir_ / "fifo.m4a").string();
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_FALSE(mp4::Mp4File::openRead(fifo));  // and does not block

  log::Capture capture;
  EXPECT_FALSE(MP4Parser().build((dir_ / "missing.m4a").string()));
  EXPECT_FALSE(MP4Parser().build(write("text.m4a", {'h', 'e', 'l', 'l', 'o'})));
  EXPECT_EQ(capture.count("MP4Parser file open fail"), 2u);
}

TEST_F(Mp4Test, StoreChangesOnlyTheWriterFieldsAndKeepsTheRest) {
  const std::string path =
      writeSpec("store.m4a",
                withItems(concat({ilstText("\251nam", "Old"), ilstText("purl", "http://feed"),
                                  ilstPair("trkn", 3, 12), ilstCovr({{13, jpegCover()}, {14, {1, 2, 3}}})})));
  EXPECT_FALSE(mp4::Mp4File::openRead(path)->store(mp4::Tags{}));  // read-only handle

  auto file = mp4::Mp4File::openForChange(path);
  ASSERT_TRUE(file);
  mp4::Tags tags = file->tags();
  EXPECT_TRUE(file->store(tags));  // nothing differs: nothing written
  tags.name = "Néw ✓";
  tags.artist = "Someone";
  tags.track = mp4::IndexTotal{5, 12};
  tags.disk = mp4::IndexTotal{1, 1};
  EXPECT_FALSE(tags.setArtwork(2, {{9}, mp4::ArtworkType::Jpeg}));
  EXPECT_TRUE(tags.removeArtwork(0));
  tags.addArtwork({{7, 7}, mp4::ArtworkType::Png});
  ASSERT_TRUE(file->store(tags));

  const auto reread = mp4::Mp4File::openRead(path);
  ASSERT_TRUE(reread);
  EXPECT_EQ(reread->tags().name, "Néw ✓");
  EXPECT_EQ(reread->tags().artist, "Someone");
  EXPECT_EQ(reread->tags().track, (mp4::IndexTotal{5, 12}));
  EXPECT_EQ(reread->tags().disk, (mp4::IndexTotal{1, 1}));
  ASSERT_EQ(reread->tags().artworks.size(), 2u);
  EXPECT_EQ(reread->tags().artworks[0], (mp4::Artwork{{1, 2, 3}, mp4::ArtworkType::Png}));
  EXPECT_EQ(reread->tags().artworks[1], (mp4::Artwork{{7, 7}, mp4::ArtworkType::Png}));
  ASSERT_NE(reread->findItem("purl"), nullptr);
  EXPECT_EQ(reread->firstAudioTrack()->duration, 44100u * 3);

  // The genre text survives a save even with a numeric genre after it.
  const std::string both = writeSpec(
      "both-genres.m4a", withItems(concat({ilstText("\251gen", "Mine"), ilstInteger("gnre", 18, 2, 0)})));
  auto withCode = mp4::Mp4File::openForChange(both);
  mp4::Tags renamed = withCode->tags();
  renamed.name = "Renamed";
  ASSERT_TRUE(withCode->store(renamed));
  EXPECT_EQ(mp4::Mp4File::openRead(both)->tags().genre, "Mine");
  EXPECT_EQ(*MP4Parser().build(both)->get<std::string>(media::MediaDBMusicColumnGenre), "Mine");

  tags = reread->tags();
  tags.name.reset();
  tags.artworks.clear();
  auto again = mp4::Mp4File::openForChange(path);
  ASSERT_TRUE(again->store(tags));
  EXPECT_FALSE(mp4::Mp4File::openRead(path)->tags().name);
  EXPECT_TRUE(mp4::Mp4File::openRead(path)->tags().artworks.empty());
}

// ---- the builder -----------------------------------------------------------------

TEST_F(Mp4Test, BuildFillsEveryKeyWithItsKind) {
  const std::string path = writeSpec(
      "all.m4a",
      withItems(concat({ilstText("\251nam", "Title"), ilstText("\251ART", "Artist"), ilstText("aART", "Band"),
                        ilstText("\251alb", "Album"), ilstText("\251wrt", "Writer"),
                        ilstText("\251day", "2004"), ilstPair("trkn", 7, 9), ilstPair("disk", 2, 3, false),
                        ilstText("\251cmt", std::string("bad \xC3(", 6))})));
  const MediaRecord r = buildOk(path);
  EXPECT_EQ(*r.get<std::string>(media::MediaDBCommonColumnFilePath), path);
  EXPECT_EQ(*r.get<std::string>(media::MediaDBCommonColumnFileName), "all.m4a");
  EXPECT_EQ(*r.get<bool>(media::MediaDBCommonColumnIsManaged), false);
  EXPECT_EQ(*r.get<std::string>(media::MediaDBMusicColumnTitle), "Title");
  EXPECT_EQ(*r.get<std::string>(media::MediaDBMusicColumnArtist), "Artist");
  EXPECT_EQ(*r.get<std::string>(media::MediaDBMusicColumnAlbumArtist), "Band");
  EXPECT_EQ(*r.get<std::string>(media::MediaDBMusicColumnAlbum), "Album");
  EXPECT_EQ(*r.get<std::string>(media::MediaDBMusicColumnComposer), "Writer");
  EXPECT_EQ(*r.get<std::string>(media::MediaDBMusicColumnDateReleased), "2004");
  EXPECT_EQ(*r.get<int32_t>(media::MediaDBMusicColumnTrackNo), 7);
  EXPECT_EQ(*r.get<int32_t>(media::MediaDBMusicColumnDiscNo), 2);
  EXPECT_FALSE(r.contains(media::MediaDBMusicColumnGenre));
  EXPECT_FALSE(r.contains(media::MediaDBMusicColumnAlbumArt));
  for (const char* zero : {media::MediaDBMusicColumnPlayCount, media::MediaDBMusicColumnRating,
                           media::MediaDBMusicColumnAlbumRating, media::MediaDBMusicColumnDRMProperty,
                           media::MediaDBMusicColumnPlayState}) {
    EXPECT_EQ(*r.get<int32_t>(zero), 0) << zero;
  }
  for (const char* no : {media::MediaDBMusicColumnIsLicenseExpired, media::MediaDBMusicColumnHasLyrics,
                         media::MediaDBCommonColumnLinkError, media::MediaDBMusicColumnIsReadOnly}) {
    EXPECT_EQ(*r.get<bool>(no), false) << no;
  }
  ASSERT_NE(r.get<media::Date>(media::MediaDBMusicColumnDateAdded), nullptr);
  ASSERT_NE(r.get<media::Date>(media::MediaDBMusicColumnDateModified), nullptr);
  EXPECT_EQ(*r.get<uint64_t>(media::MediaDBCommonColumnFileSize), fs::file_size(path));
  EXPECT_EQ(*r.get<int32_t>(media::MediaDBCommonColumnMediaType), media::kMediaTypeM4A);
  EXPECT_EQ(*r.get<std::string>(media::MediaDBCommonColumnFileTypeString), "M4A");
  EXPECT_EQ(*r.get<double>(media::MediaDBMusicColumnPlayLength), 3.0);
  EXPECT_EQ(*r.get<double>(media::MediaDBMusicColumnSamplerate), 44100.0);
  EXPECT_EQ(*r.get<int32_t>(media::MediaDBMusicColumnBitrate), 128);
}

TEST_F(Mp4Test, GenreTextWinsAndCodesNameOnlyOneTo148) {
  auto genreOf = [&](const Mp4Bytes& items) {
    const auto r = buildOk(writeSpec("genre.m4a", withItems(items)));
    const auto* g = r.get<std::string>(media::MediaDBMusicColumnGenre);
    return g ? *g : std::string("<absent>");
  };
  EXPECT_EQ(genreOf(concat({ilstInteger("gnre", 1, 2, 0), ilstText("\251gen", "Mine")})), "Mine");
  EXPECT_EQ(genreOf(ilstInteger("gnre", 1, 2, 0)), "Blues");
  EXPECT_EQ(genreOf(ilstInteger("gnre", 18, 2, 0)), "Rock");
  EXPECT_EQ(genreOf(ilstInteger("gnre", 148, 2, 0)), "Synthpop");
  EXPECT_EQ(genreOf(ilstInteger("gnre", 0, 2, 0)), "<absent>");
  EXPECT_EQ(genreOf(ilstInteger("gnre", 149, 2, 0)), "<absent>");
  // Unusable text still hides the code.
  EXPECT_EQ(genreOf(concat({ilstInteger("gnre", 1, 2, 0), ilstText("\251gen", "\xFF")})), "<absent>");
}

TEST_F(Mp4Test, TimingRoundsDownAndBitRateNeedsAKilobit) {
  auto timingOf = [&](Mp4TrackSpec track, const char* name = "t.m4a") {
    Mp4FileSpec spec;
    spec.tracks = {track};
    return buildOk(writeSpec(name, spec));
  };
  Mp4TrackSpec t;
  t.timeScale = 44100;
  t.duration = 7977690;  // 180.9 s
  t.avgBitRate = 127999;
  MediaRecord r = timingOf(t);
  EXPECT_EQ(*r.get<double>(media::MediaDBMusicColumnPlayLength), 180.0);
  EXPECT_EQ(*r.get<double>(media::MediaDBMusicColumnSamplerate), 44100.0);
  EXPECT_EQ(*r.get<int32_t>(media::MediaDBMusicColumnBitrate), 127);

  t.avgBitRate = 999;  // below one kilobit: absent
  EXPECT_FALSE(timingOf(t).contains(media::MediaDBMusicColumnBitrate));
  t.avgBitRate = 0;
  t.sampleSizes.clear();  // nothing to compute it from either
  EXPECT_FALSE(timingOf(t).contains(media::MediaDBMusicColumnBitrate));

  t.timeScale = 0;  // no time scale: no length, but the bit rate stays
  t.avgBitRate = 64000;
  r = timingOf(t);
  EXPECT_FALSE(r.contains(media::MediaDBMusicColumnPlayLength));
  EXPECT_FALSE(r.contains(media::MediaDBMusicColumnSamplerate));
  EXPECT_EQ(*r.get<int32_t>(media::MediaDBMusicColumnBitrate), 64);

  Mp4TrackSpec video;
  video.handler = "vide";
  r = timingOf(video, "video.m4v");
  for (const char* key : {media::MediaDBMusicColumnPlayLength, media::MediaDBMusicColumnSamplerate,
                          media::MediaDBMusicColumnBitrate}) {
    EXPECT_FALSE(r.contains(key)) << key;
  }
  EXPECT_EQ(*r.get<int32_t>(media::MediaDBCommonColumnMediaType), media::kMediaTypeM4V);
  EXPECT_TRUE(r.contains(media::MediaDBMusicColumnDateAdded));
}

TEST_F(Mp4Test, OnlyTheFirstArtworkMakesTheAlbumArt) {
  const Mp4Bytes good = jpegCover(300);
  const Mp4Bytes junk{0xFF, 0xD8, 0xFF, 0xE0, 1, 2, 3};
  MediaRecord r =
      buildOk(writeSpec("junk-first.m4a", withItems(ilstCovr({{13, junk}, {13, good}, {13, good}}))));
  EXPECT_FALSE(r.contains(media::MediaDBMusicColumnAlbumArt));
  EXPECT_TRUE(r.contains(media::MediaDBMusicColumnPlayLength));  // the rest of the record is unaffected

  r = buildOk(writeSpec("good-first.m4a", withItems(ilstCovr({{13, good}, {13, junk}, {14, junk}}))));
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
      withItems(concat({ilstText("sfID", ""), ilstInteger("sfID", 143441, 4), ilstText("\251alb", "Album"),
                        ilstText("\251nam", "Name"), ilstInteger("gnre", 18, 2, 0), ilstPair("trkn", 1, 10),
                        ilstCovr({{13, {1, 2, 3}}, {14, {4}}}), ilstInteger("plID", 5'000'000'000ull, 8),
                        ilstText("\251too", "Lavf"), ilstInteger("stik", 1, 1), ilstText("xid ", "x:1")})));
  const auto before = fs::last_write_time(path);
  const auto sizeBefore = fs::file_size(path);
  int rc = -1;
  const std::string text = dump(path, &rc);
  EXPECT_EQ(rc, 0);
  // sfID's first item holds no number, so the second one gives the field.
  const std::string expectedStart =
      "name: Name\nalbum: Album\ngenreType: 18\ntrack: index=1 total=10\nart[0]: type=3 size=3 data=0x";
  EXPECT_EQ(text.substr(0, expectedStart.size()), expectedStart);
  const size_t art1 = text.find("art[1]: type=4 size=1 data=");
  ASSERT_NE(art1, std::string::npos);
  EXPECT_EQ(text.substr(text.find('\n', art1) + 1),
            "encodingTool: Lavf\nmediaType: 1\nplaylistID: 5000000000\nxid: x:1\niTunesCountry: 143441\n");
  EXPECT_EQ(fs::last_write_time(path), before);
  EXPECT_EQ(fs::file_size(path), sizeBefore);

  EXPECT_EQ(dump((dir_ / "missing.m4a").string(), &rc), "MP4Modify failed\n");
  EXPECT_EQ(rc, 1);
  EXPECT_EQ(dump(dir_.string(), &rc), "MP4Modify failed\n");
  EXPECT_EQ(rc, 1);
}

TEST_F(Mp4Test, HostileAndTruncatedFilesGiveNoneOrARecord) {
  const Mp4Bytes good = buildMp4(withItems(
      concat({ilstText("\251nam", "T"), ilstPair("trkn", 1, 2), ilstCovr({{13, jpegCover(16)}, {0, {1}}})})));
  std::mt19937 random(1234);
  const std::string path = (dir_ / "hostile.m4a").string();
  auto survive = [&](const Mp4Bytes& bytes) {
    ASSERT_TRUE(test::writeMp4Bytes(path, bytes));
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

// ---- real files made by ffmpeg and tagged with TagLib ----------------------------

TEST_F(Mp4Test, FfmpegFileTaggedWithTagLib) {
  const std::string m4a = ffmpeg("tone.m4a", "-f lavfi -i sine=frequency=440:duration=3 -c:a aac -b:a 128k");
  ASSERT_FALSE(m4a.empty()) << "ffmpeg failed";
  {
    TagLib::MP4::File file(m4a.c_str());
    ASSERT_TRUE(file.isValid());
    file.tag()->setItem("\251nam", TagLib::StringList(TagLib::String("Tïtle ✓", TagLib::String::UTF8)));
    file.tag()->setItem("trkn", TagLib::MP4::Item(4, 11));
    const Mp4Bytes png = imagingtest::png(20, 20, imagingtest::solid({0, 0, 255}));
    TagLib::MP4::CoverArtList covers;
    covers.append({TagLib::MP4::CoverArt::PNG,
                   TagLib::ByteVector(reinterpret_cast<const char*>(png.data()), png.size())});
    covers.append({TagLib::MP4::CoverArt::JPEG, TagLib::ByteVector("junk", 4)});
    file.tag()->setItem("covr", TagLib::MP4::Item(covers));
    ASSERT_TRUE(file.save());
  }
  const MediaRecord r = buildOk(m4a);
  EXPECT_EQ(*r.get<std::string>(media::MediaDBMusicColumnTitle), "Tïtle ✓");
  EXPECT_EQ(*r.get<int32_t>(media::MediaDBMusicColumnTrackNo), 4);
  EXPECT_EQ(*r.get<double>(media::MediaDBMusicColumnPlayLength), 3.0);  // 3.02 s with encoder priming
  EXPECT_EQ(*r.get<double>(media::MediaDBMusicColumnSamplerate), 44100.0);
  const int32_t kbps = *r.get<int32_t>(media::MediaDBMusicColumnBitrate);
  EXPECT_GE(kbps, 100);
  EXPECT_LE(kbps, 140);
  const auto* art = r.get<media::Bytes>(media::MediaDBMusicColumnAlbumArt);  // the first artwork, a PNG
  ASSERT_NE(art, nullptr);
  EXPECT_EQ(imagingtest::decode(*art).width(), 200);
  EXPECT_NE(dump(m4a).find("art[1]: type=3 size=4 data="), std::string::npos);
}

}  // namespace
}  // namespace corvane
