// The export service: movie export, the Apple Lossless check and the AAC
// conversion, on small files made with ffmpeg; the settings container and its
// reader; what bad input and a throwing delegate leave behind.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <numeric>

#include "TestSupport.h"
#include "export/MP4ExporterImpl.h"
#include "platform/audio/RZExtAudioFile.h"
#include "platform/movie/MovieExport.h"

namespace corvane::exporter {
namespace {

namespace fs = std::filesystem;
namespace tt = tagtest;
using namespace movie;  // the export codes

// Answers true until told otherwise, and keeps what it heard.
struct Recorder : ProgressDelegate {
  std::function<bool(int32_t)> answer = [](int32_t) { return true; };
  std::vector<int32_t> heard;
  bool MP4ExporterProgress(int32_t percent) override {
    heard.push_back(percent);
    return answer(percent);
  }
};

std::string probe(const std::string& file, const std::string& entries) {
  return tt::run("ffprobe -v error -of csv=p=0 -show_entries " + entries + " " + tt::shellQuote(file))
      .value_or("failed");
}

// The frames ffmpeg decodes from file (as mono float), -1 when it fails.
long decodedFrames(const std::string& file) {
  const auto bytes = tt::run("ffmpeg -v error -i " + tt::shellQuote(file) + " -ac 1 -f f32le - | wc -c");
  return bytes ? std::stol(*bytes) / 4 : -1;
}

std::string alac(int channels, int rate, const std::string& trim) {
  return "-f lavfi -i sine=r=" + std::to_string(rate) + " -af atrim=" + trim + " -ac " +
         std::to_string(channels) + " -c:a alac -metadata title=Song";
}
const std::string kTwoTracks =
    "-f lavfi -i sine=d=1 -f lavfi -i sine=d=1 -map 0 -map 1 -c:a:0 aac -c:a:1 alac";
// ffmpeg's options for each fixture.
const std::map<std::string, std::string> kRecipes{
    {"stereo.m4a", alac(2, 44100, "end_sample=3048")},
    {"mono.m4a", alac(1, 22050, "duration=1.5")},
    {"2048.m4a", alac(1, 44100, "end_sample=2048")},
    {"2049.m4a", alac(1, 44100, "end_sample=2049")},
    {"204800.m4a", alac(1, 44100, "end_sample=204800")},
    {"noise.m4a", "-f lavfi -i anoisesrc=d=3 -ac 2 -c:a alac"},
    {"song.mp3",
     "-f lavfi -i sine=d=1 -c:a libmp3lame -id3v2_version 3 -metadata title=Tune -metadata album=Disc"},
    {"movie.mov",
     "-f lavfi -i testsrc=s=320x240:r=25:d=3 -f lavfi -i sine=d=3 -c:v libx264 -preset ultrafast -b:v 1M "
     "-pix_fmt yuv420p"},
    {"movie.avi", "-f lavfi -i testsrc=s=160x120:r=10:d=2 -f lavfi -i sine=d=2 -c:a libmp3lame"},
    {"mp3.mp4", "-f lavfi -i sine=d=2 -c:a libmp3lame"},
    {"aac+alac.m4a", kTwoTracks},  // ffmpeg writes the second track disabled
    {"aac+alac-on.m4a", kTwoTracks + " -disposition:a:0 default -disposition:a:1 default"}};

class MP4ExporterTest : public ::testing::Test {
 protected:
  // The fixture called name, made on first use; other names are just paths.
  std::string path(const std::string& name) {
    const std::string out = dir_ / name;
    const auto recipe = kRecipes.find(name);
    if (recipe != kRecipes.end() && !fs::exists(out)) tt::ffmpeg(recipe->second, out);
    return out;
  }
  std::string written(const std::string& name, const std::string& text) {
    std::ofstream(dir_ / name) << text;
    return dir_ / name;
  }
  // The folder holds only what the test made: no private files left over.
  void expectNoStrayFiles() {
    for (const auto& entry : fs::directory_iterator(dir_.path())) {
      EXPECT_EQ(entry.path().filename().string().rfind(".corvane-", 0), std::string::npos) << entry.path();
    }
  }

  tt::ScratchDir dir_;
};

// ---- the settings container --------------------------------------------

std::optional<ExportSettings> read(const std::string& bytes) {
  return readExportSettings({reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()});
}

std::string stored() { return {mp4ExportSetting().begin(), mp4ExportSetting().end()}; }
// The stored settings with the data of leaf type (after its 20-byte header)
// overwritten from offset on.
std::string withLeaf(const std::string& type, size_t offset, const std::string& data) {
  std::string out = stored();
  return out.replace(out.find(type) + 16 + offset, data.size(), data);
}

TEST(ExportSettingsTest, TheStoredSettingsReadAsMp42WithHints) {
  const auto settings = read(stored());
  ASSERT_TRUE(settings);
  EXPECT_EQ(settings->fileType, fourcc("mp42"));
  EXPECT_TRUE(settings->hint);
  EXPECT_EQ(settings->packetBytes, 1450u);
  EXPECT_EQ(settings->packetMilliseconds, 100u);
  EXPECT_EQ(read(withLeaf("psiz", 2, std::string("\x20\0", 2)))->packetBytes, 8192u);
}

TEST(ExportSettingsTest, BrokenContainersAndUnmetSettingsAreRefused) {
  const std::string good = stored();
  auto changed = [&](size_t at, char value) {
    std::string bad = good;
    bad[at] = value;
    return bad;
  };
  // Cut, longer, header not zero; root size, id, child count, reserved; the
  // first child a byte longer; packets below 1450 bytes; video re-encoded.
  const std::string refused[] = {good.substr(0, good.size() - 1),
                                 good + '\0',
                                 changed(3, 1),
                                 changed(15, 1),
                                 changed(23, 0),
                                 changed(27, 18),
                                 changed(29, 1),
                                 changed(35, char(0x87)),
                                 withLeaf("psiz", 3, "\xa9"),
                                 withLeaf("envi", 0, std::string(4, '\0')),
                                 ""};
  for (size_t i = 0; i < std::size(refused); ++i) EXPECT_FALSE(read(refused[i])) << i;
}

// ---- export ---------------------------------------------------------------

// The largest RTP packet each hint track's sample description declares.
std::vector<uint32_t> hintPacketSizes(const std::string& file) {
  const auto bytes = tt::readBytes(file);
  std::vector<uint32_t> sizes;
  const std::string stsd = "stsd";
  for (auto at = bytes.begin(); (at = std::search(at, bytes.end(), stsd.begin(), stsd.end())) != bytes.end();
       ++at) {
    const size_t p = static_cast<size_t>(at - bytes.begin());
    if (p + 36 <= bytes.size() && std::string(bytes.begin() + p + 16, bytes.begin() + p + 20) == "rtp ") {
      sizes.push_back(uint32_t{bytes[p + 32]} << 24 | uint32_t{bytes[p + 33]} << 16 | bytes[p + 34] << 8 |
                      bytes[p + 35]);
    }
  }
  return sizes;
}

TEST_F(MP4ExporterTest, MoviesExportAsHintedMp42WithProgressToTheEnd) {
  const std::string target = path("out.mp4");
  const std::tuple<std::string, std::string, bool> rows[] = {
      // source, streams (codec type, tag) as ffprobe sees them, has video
      {"movie.mov", "video,avc1\naudio,mp4a\ndata,rtp \ndata,rtp \n", true},
      {"movie.avi", "video,mp4v\naudio,mp4a\ndata,rtp \ndata,rtp \n", true},
      {"mp3.mp4", "audio,mp4a\ndata,rtp \n", false},
      {"stereo.m4a", "audio,alac\n", false}};  // no RTP packetiser: no hints
  for (const auto& [source, streams, video] : rows) {
    written("out.mp4", "an older file");
    Recorder delegate;
    ASSERT_EQ(MP4ExporterImpl().exportWithDelegate(&delegate, path(source), target), kExportOK) << source;
    EXPECT_EQ(probe(target, "stream=codec_type,codec_tag_string"), streams) << source;
    const auto bytes = tt::readBytes(target);
    EXPECT_EQ(std::string(bytes.begin() + 8, bytes.begin() + 12), "mp42");
    for (const uint32_t size : hintPacketSizes(target)) EXPECT_LE(size, 1450u) << source;
    if (video) {
      EXPECT_EQ(hintPacketSizes(target)[0], 1450u) << source;  // frames are cut at the packet size
    }
    ASSERT_GE(delegate.heard.size(), video ? 3u : 2u);
    EXPECT_EQ(delegate.heard.front(), 1);
    EXPECT_EQ(delegate.heard.back(), 100);
    EXPECT_TRUE(std::all_of(delegate.heard.begin(), delegate.heard.end() - 1,
                            [](int p) { return p >= 1 && p <= 99; }));
  }
  expectNoStrayFiles();
}

TEST_F(MP4ExporterTest, AStoppedExportKeepsTheOldFileOrLeavesAnEmptyOne) {
  Recorder delegate;
  delegate.answer = [](int32_t percent) { return percent < 50; };
  const std::string old = written("old.mp4", "an older file");
  EXPECT_EQ(MP4ExporterImpl().exportWithDelegate(&delegate, path("movie.mov"), old), kExportCancelled);
  EXPECT_GE(delegate.heard.back(), 50);
  EXPECT_EQ(tt::readBytes(old).size(), 13u);
  EXPECT_EQ(MP4ExporterImpl().exportWithDelegate(&delegate, path("movie.mov"), path("new.mp4")),
            kExportCancelled);
  EXPECT_EQ(fs::file_size(path("new.mp4")), 0u);
  expectNoStrayFiles();
}

TEST_F(MP4ExporterTest, AppleLosslessIsFoundOnlyInEnabledTracks) {
  const std::pair<std::string, bool> rows[] = {
      {path("stereo.m4a"), true}, {path("aac+alac.m4a"), false}, {path("aac+alac-on.m4a"), true},
      {path("movie.mov"), false}, {path("missing.m4a"), false},  {written("t.m4a", "text"), false}};
  for (const auto& [file, alac] : rows) EXPECT_EQ(MP4ExporterImpl().isAlacAudio(file), alac) << file;
}

// ---- conversion -------------------------------------------------------------

// An MP3 source's ID3 tags go in as MP4 tags, with no ID3 tag in front.
TEST_F(MP4ExporterTest, ConversionToAacKeepsRateChannelsLengthAndTags) {
  for (const auto& [source, rateAndChannels, title] : {std::tuple{"stereo.m4a", "44100,2\n", "Song"},
                                                       {"mono.m4a", "22050,1\n", "Song"},
                                                       {"song.mp3", "44100,1\n", "Tune"}}) {
    const std::string target = path(std::string("aac-") + source + ".m4a");
    Recorder delegate;
    ASSERT_EQ(MP4ExporterImpl().convertToAacWithDelegate(&delegate, path(source), target, 64000), 0)
        << source;
    EXPECT_EQ(delegate.heard.back(), 100);
    EXPECT_EQ(probe(target, "stream=codec_name"), "aac\n");
    EXPECT_EQ(probe(target, "stream=sample_rate,channels"), rateAndChannels);
    EXPECT_NEAR(decodedFrames(target), decodedFrames(path(source)), 1024) << source;
    EXPECT_NE(tt::readBytes(target).at(0), 'I');
    EXPECT_EQ(tt::readWithMutagen(target, true).value_or(tt::ReadTag{}).text("\xA9nam"), title);
  }
  EXPECT_EQ(tt::readWithMutagen(path("aac-song.mp3.m4a"), true).value_or(tt::ReadTag{}).text("\251alb"),
            "Disc");
}

TEST_F(MP4ExporterTest, ProgressRisesByWholePercentsThenEndsAt100) {
  std::vector<int32_t> everyPercent(99);
  std::iota(everyPercent.begin(), everyPercent.end(), 1);
  everyPercent.push_back(100);
  const std::pair<std::string, std::vector<int32_t>> rows[] = {
      {"2048.m4a", {100}}, {"2049.m4a", {99, 100}}, {"204800.m4a", everyPercent}};
  for (const auto& [source, expected] : rows) {
    Recorder delegate;
    EXPECT_EQ(MP4ExporterImpl().convertToAacWithDelegate(&delegate, path(source), path("p.m4a"), 0), 0);
    EXPECT_EQ(delegate.heard, expected) << source;
  }
  EXPECT_EQ(MP4ExporterImpl().convertToAacWithDelegate(nullptr, path("2049.m4a"), path("p.m4a"), 0), 0);
}

TEST_F(MP4ExporterTest, ACancelledConversionLeavesAPlayablePartWithTheTags) {
  Recorder delegate;
  delegate.answer = [](int32_t) { return false; };
  const std::string target = path("part.m4a");
  EXPECT_EQ(MP4ExporterImpl().convertToAacWithDelegate(&delegate, path("204800.m4a"), target, 0),
            kConvertCancelled);
  EXPECT_EQ(delegate.heard, std::vector<int32_t>{1});
  const long frames = decodedFrames(target);  // one block written
  EXPECT_TRUE(frames > 0 && frames < 2 * 2048) << frames;
  EXPECT_EQ(tt::readWithMutagen(target, true)->text("\xA9nam"), "Song");
  // With a file already there, that file stays.
  const std::string old = written("old.m4a", "an older file");
  EXPECT_EQ(MP4ExporterImpl().convertToAacWithDelegate(&delegate, path("204800.m4a"), old, 0),
            kConvertCancelled);
  EXPECT_EQ(tt::readBytes(old).size(), 13u);
  expectNoStrayFiles();
}

TEST_F(MP4ExporterTest, BitRatesOutsideTheRangeBecome128k) {
  // asked, the kbit/s measured in the new file at least and at most
  const std::tuple<int32_t, double, double> rows[] = {
      {999, 110, 150}, {1000, 0, 40}, {256000, 218, 294}, {256001, 110, 150}};
  for (const auto& [asked, low, high] : rows) {
    ASSERT_EQ(MP4ExporterImpl().convertToAacWithDelegate(nullptr, path("noise.m4a"), path("b.m4a"), asked),
              0);
    const double measured = std::stod(probe(path("b.m4a"), "stream=bit_rate")) / 1000;
    EXPECT_TRUE(measured >= low && measured <= high) << asked << ": " << measured;
  }
}

// ---- bad input ----------------------------------------------------------------

TEST_F(MP4ExporterTest, BadInputGivesAStatusAndDestroysNothing) {
  const auto movie = tt::readBytes(path("movie.mov"));
  tt::writeBytes(path("damaged.mov"), {movie.begin(), movie.begin() + 600});
  fs::create_directory(path("folder"));
  fs::create_directory(path("locked"));
  fs::permissions(path("locked"), fs::perms::owner_read | fs::perms::owner_exec);
  fs::copy_file(path("stereo.m4a"), path("sealed.m4a"));
  fs::permissions(path("sealed.m4a"), fs::perms::none);
  const bool root = ::geteuid() == 0;  // reads through any permission
  const std::string text = written("text.m4a", "just some words");
  const std::string good = path("good.m4a");
  using audio::kAudioFileCannotCreate;
  const std::tuple<std::string, std::string, int, long> rows[] = {
      // source, target, export status, conversion status
      {path("missing.mov"), good, kExportParameterError, audio::kAudioFileNotFound},
      {path("sealed.m4a"), good, root ? kExportOK : kExportNoMovie, root ? 0 : audio::kAudioFileNotFound},
      {path("damaged.mov"), good, kExportDamagedMovie, audio::kAudioFileDamaged},
      {text, good, kExportNoMovie, audio::kAudioFileNotAudio},
      {path("stereo.m4a"), path("nowhere/x.m4a"), kExportParameterError, kAudioFileCannotCreate},
      {path("stereo.m4a"), path("locked/x.m4a"), kExportParameterError, kAudioFileCannotCreate},
      {path("stereo.m4a"), path("folder"), kExportParameterError, kAudioFileCannotCreate},
      {path("stereo.m4a"), "", kExportParameterError, kAudioFileCannotCreate},
      {path("stereo.m4a"), path("stereo.m4a"), kExportParameterError, kAudioFileCannotCreate},
      {path("stereo.m4a"), path("folder/../stereo.m4a"), kExportParameterError, kAudioFileCannotCreate}};
  const auto source = tt::readBytes(path("stereo.m4a"));
  for (const auto& [from, to, exported, converted] : rows) {
    EXPECT_EQ(MP4ExporterImpl().exportWithDelegate(nullptr, from, to), exported) << from << " -> " << to;
    EXPECT_EQ(MP4ExporterImpl().convertToAacWithDelegate(nullptr, from, to, 0), converted)
        << from << " -> " << to;
    EXPECT_EQ(tt::readBytes(path("stereo.m4a")), source);
    fs::remove(good);
  }
  EXPECT_TRUE(fs::is_empty(path("folder")));
  EXPECT_TRUE(fs::is_empty(path("locked")));
  expectNoStrayFiles();
}

TEST_F(MP4ExporterTest, ADelegateThatThrowsReleasesTheLock) {
  struct Thrower : ProgressDelegate {
    bool MP4ExporterProgress(int32_t) override { throw std::runtime_error("client gone"); }
  } thrower;
  EXPECT_THROW(MP4ExporterImpl().exportWithDelegate(&thrower, path("movie.mov"), path("t.mp4")),
               std::runtime_error);
  EXPECT_THROW(MP4ExporterImpl().convertToAacWithDelegate(&thrower, path("204800.m4a"), path("t.m4a"), 0),
               std::runtime_error);
  EXPECT_EQ(MP4ExporterImpl().exportWithDelegate(nullptr, path("movie.mov"), path("t.mp4")), kExportOK);
  EXPECT_EQ(MP4ExporterImpl().convertToAacWithDelegate(nullptr, path("2049.m4a"), path("t.m4a"), 0), 0);
  expectNoStrayFiles();
}

}  // namespace
}  // namespace corvane::exporter
