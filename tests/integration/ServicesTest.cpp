// The services over the bus, with the daemon started by D-Bus activation:
// what the bus adds to the in-process tests. Records arrive with their wire
// types, byte arrays travel both ways, wrong arguments get clear errors and
// the services go on, the daemon leaves with its last client, also after a
// path kept turning into a FIFO under its calls; corvanectl's JSON lines and
// exit codes.

#include <atomic>
#include <cmath>

#include "client/Session.h"
#include "unit/TestSupport.h"

using namespace corvane;
using namespace corvane::test;
namespace contract = ipc::contract;
using imagingtest::decode;
using media::Bytes;

namespace {

constexpr int32_t kMp3 = 0x01000001;

class Services : public ::testing::Test {
 protected:
  void SetUp() override {
    ExifBuilder exif(ByteOrder::Motorola);
    exif.ascii(Ifd::Zero, EXIF_TAG_MAKE, "Corvane")
        .shortValue(Ifd::Zero, EXIF_TAG_ORIENTATION, 6)
        .ascii(Ifd::Zero, EXIF_TAG_DATE_TIME, "2009:05:17 13:45:02")
        .undefined(Ifd::Exif, EXIF_TAG_EXIF_VERSION, {'0', '2', '2', '0'});
    ASSERT_TRUE(writeBytes(photo, exif.jpeg(imagingtest::jpeg(400, 300, imagingtest::solid({0, 0, 0})))));
    for (const auto& [path, codec] :
         {std::pair(mp3, "libmp3lame"), std::pair(m4a, "aac"), std::pair(flac, "flac")}) {
      const auto made = runCommand({"/usr/bin/ffmpeg", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
                                    "sine=duration=2", "-c:a", codec, "-b:a", "128k", path});
      ASSERT_EQ(made.status, 0) << made.err;
    }
  }
  static std::string title(const std::string& path) {
    const auto record = client::MediaInfoBuilderClient(contract::kMP3ParserService).build(path);
    return record ? valueOf<std::string>(*record, "Title").value_or("(none)") : "(none)";
  }

  PrivateBus bus;
  tagtest::ScratchDir dir;
  const std::string photo = dir / "photo.jpg", mp3 = dir / "song.mp3", m4a = dir / "song.m4a",
                    flac = dir / "tone.flac";
};

TEST_F(Services, TheActivatedDaemonAnswersEveryServiceAndLeavesWithItsLastClient) {
  const std::string exifName = contract::busName(contract::kExifExtractorService);
  ASSERT_FALSE(bus.hasOwner(exifName));
  {
    client::Session session("org.corvane.test");
    const auto exif = client::ExifExtractorClient().extractExif(photo);
    ASSERT_TRUE(exif);
    EXPECT_EQ(valueOf<std::string>(*exif, "vendor"), "Corvane");
    EXPECT_EQ(valueOf<int32_t>(*exif, "versionNumber"), 220);
    EXPECT_TRUE(valueOf<media::Date>(*exif, "date"));
    EXPECT_FALSE(exif->contains("maxAperture"));  // none is left out

    client::ImageInfoBuilderClient images;
    const auto picture = images.build(photo);
    ASSERT_TRUE(picture);
    EXPECT_EQ(valueOf<int32_t>(*picture, "Width"), 400);
    EXPECT_TRUE(valueOf<uint64_t>(*picture, "FileSize") && valueOf<bool>(*picture, "IsManaged"));
    EXPECT_EQ(decode(valueOf<Bytes>(*picture, "Image").value_or(Bytes{})).height(), 75);
    const auto thumbnail = images.makeThumbnail(photo, 320, 320);
    ASSERT_TRUE(thumbnail);
    EXPECT_EQ(valueOf<double>(*thumbnail, "height"), 300.0);
    EXPECT_EQ(decode(valueOf<Bytes>(*thumbnail, "data").value_or(Bytes{})).width(), 320);
    EXPECT_EQ(decode(images.rotateImageDataByExif(tagtest::readBytes(photo))).width(), 300);
    EXPECT_EQ(images.rotateImageDataByExif({}), Bytes{});  // handed back as it went

    const auto song = client::MediaInfoBuilderClient(contract::kMP3ParserService).build(mp3);
    ASSERT_TRUE(song);
    EXPECT_EQ(valueOf<int32_t>(*song, "MediaType"), kMp3);
    EXPECT_EQ(valueOf<int32_t>(*song, "Bitrate"), 128);
    const auto m4aRecord = client::MediaInfoBuilderClient(contract::kMP4ParserService).build(m4a);
    ASSERT_TRUE(m4aRecord);
    EXPECT_EQ(valueOf<double>(*m4aRecord, "Samplerate"), 44100.0);
    const auto flacRecord = client::MediaInfoBuilderClient(contract::kBasicAudioParserService).build(flac);
    ASSERT_TRUE(flacRecord);
    EXPECT_EQ(valueOf<int32_t>(*flacRecord, "PlayLength"), 3);  // whole seconds of the length plus one
    const std::string mov = dir / "clip.mov";
    const auto made = runCommand({"/usr/bin/ffmpeg", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
                                  "testsrc=size=160x120:duration=2", "-c:v", "libx264", mov});
    ASSERT_EQ(made.status, 0) << made.err;
    const auto movie = client::MediaInfoBuilderClient(contract::kAVParserService).build(mov);
    ASSERT_TRUE(movie);
    EXPECT_EQ(valueOf<std::string>(*movie, "VCodec"), "AVC1");
    EXPECT_FALSE(valueOf<Bytes>(*movie, "Image").value_or(Bytes{}).empty());

    media::MediaRecord record;
    record.set("MediaType", kMp3);
    record.set("Title", std::string("Première"));
    EXPECT_TRUE(client::MediaTagClient().updateTag(mp3, record));
    EXPECT_EQ(title(mp3), "Première");
    EXPECT_FALSE(client::MediaTagClient().podcastInfo(mp3));
    EXPECT_TRUE(bus.hasOwner(exifName));
  }
  EXPECT_TRUE(bus.waitForOwner(exifName, false));  // the session's goodbye was the last one
}

// Which files give no record is each builder's own test; over the bus an
// answer of none and the errors for wrong arguments are what is added.
TEST_F(Services, BadRequestsGetNoneOrAClearErrorAndTheServicesGoOn) {
  client::Session session("org.corvane.test");
  EXPECT_FALSE(client::ExifExtractorClient().extractExif(dir / "missing.jpg"));
  EXPECT_FALSE(client::ImageInfoBuilderClient().makeThumbnail(dir / "missing.jpg", 100, 100));
  EXPECT_FALSE(client::MediaInfoBuilderClient(contract::kMP4ParserService).build(mp3));
  EXPECT_FALSE(
      client::MediaInfoBuilderClient(contract::kBasicAudioParserService).build(dir / "missing.flac"));

  const auto error = [](const char* service, const contract::Method& method,
                        const std::function<void(ipc::MessageWriter&)>& arguments = {}) {
    return callService(service, method, arguments).errorName();
  };
  const char* exif = contract::kExifExtractorService;
  const char* image = contract::kImageParserService;
  EXPECT_EQ(error(exif, contract::kExtractExif, [](auto& out) { out.add(int32_t{42}); }), ipc::kInvalidArgs);
  EXPECT_EQ(error(exif, contract::kExtractExif), ipc::kInvalidArgs);
  for (double side : {double(NAN), double(INFINITY), 1e12}) {
    EXPECT_EQ(error(image, contract::kMakeThumbnail, [&](auto& out) { out.add(photo, side, 100.0); }),
              ipc::kInvalidArgs);
  }
  EXPECT_EQ(error(image, contract::kMakeThumbnail, [&](auto& out) { out.add(photo, 1, 2); }),
            ipc::kInvalidArgs);
  EXPECT_EQ(error(image, contract::kRotateImageDataByExif, [&](auto& out) { out.add(photo); }),
            ipc::kInvalidArgs);

  // A value of another type than its key's is no value; a MediaType of
  // another type writes nothing.
  media::MediaRecord record;
  record.set("MediaType", kMp3);
  record.set("Title", std::string("Première"));
  ASSERT_TRUE(client::MediaTagClient().updateTag(mp3, record));
  auto oddTitle = callService(contract::kMediaTagService, contract::kUpdateTag, [&](auto& out) {
    out.add(mp3).open('a', "{sv}");
    out.open('e', "sv").add("MediaType").open('v', "i").add(kMp3).close().close();
    out.open('e', "sv").add("Title").open('v', "u").add(uint32_t{5}).close().close();
    out.close();
  });
  bool written = false;
  EXPECT_TRUE(oddTitle.values().read(written).ok() && written) << oddTitle.errorText();
  record.set("MediaType", std::string("MP3"));
  record.set("Title", std::string("Changed"));
  EXPECT_FALSE(client::MediaTagClient().updateTag(mp3, record));
  EXPECT_EQ(title(mp3), "Première");
  EXPECT_TRUE(client::ExifExtractorClient().extractExif(photo));
  EXPECT_TRUE(client::ImageInfoBuilderClient().build(photo));
}

// A service that looked at the path and then opened it by name could be
// handed the FIFO in between and wait for a writer for ever, and a daemon
// with such a thread never exits.
TEST_F(Services, APathSwappedForAFifoLeavesEveryCallReturningAndTheDaemonLeaving) {
  const auto build = [](const char* service) {
    return [service](const std::string& p) {
      return client::MediaInfoBuilderClient(service).build(p).has_value();
    };
  };
  // What is called on which file, and whether the real file gives something.
  const std::vector<std::tuple<std::string, std::function<bool(const std::string&)>, bool>> callers = {
      {photo, build(contract::kImageParserService), true},
      {photo,
       [](const std::string& p) {
         return client::ImageInfoBuilderClient().makeThumbnail(p, 32, 32).has_value();
       },
       true},
      {photo, [](const std::string& p) { return client::ExifExtractorClient().extractExif(p).has_value(); },
       true},
      {mp3, build(contract::kMP3ParserService), true},
      {m4a, build(contract::kMP4ParserService), true},
      {m4a, [](const std::string& p) { return client::MediaTagClient().podcastInfo(p).has_value(); }, false}};
  DaemonProcess daemon;  // started here, so that its exit can be seen
  ASSERT_TRUE(bus.waitForOwner(contract::busName(contract::kMP4ParserService), true)) << daemon.log();
  std::optional<client::Session> session{std::in_place, "org.corvane.test.fifo"};
  std::atomic<bool> stop = false;
  std::atomic<int> calls = 0;
  std::vector<std::thread> threads;
  // Until stop, each racing path becomes its real file, then a FIFO, again and again.
  for (const std::string& real : {photo, mp3, m4a}) {
    threads.emplace_back([&stop, real] {
      const std::string path = real + ".race", next = path + ".next";
      for (int round = 0; !stop; ++round) {
        ::unlink(next.c_str());
        const bool made =
            round % 2 == 0 ? ::link(real.c_str(), next.c_str()) == 0 : ::mkfifo(next.c_str(), 0600) == 0;
        if (!made || ::rename(next.c_str(), path.c_str()) != 0) ADD_FAILURE() << "cannot swap " << path;
        std::this_thread::sleep_for(std::chrono::microseconds(300 + 200 * (round % 5)));
      }
    });
  }
  for (const auto& [file, call, found] : callers) {
    threads.emplace_back([&, file = file, call = call] {
      try {
        for (const std::string path = file + ".race"; !stop; ++calls) (void)call(path);
      } catch (const client::ServiceError& e) {
        ADD_FAILURE() << file << ": " << e.what();
      }
    });
  }
  std::this_thread::sleep_for(3s);
  stop = true;
  for (std::thread& t : threads) t.join();
  EXPECT_GT(calls, int(callers.size()));
  for (const auto& [file, call, found] : callers) EXPECT_EQ(call(file), found) << file;  // each still answers
  session.reset();                                                                       // the last goodbye
  EXPECT_EQ(daemon.waitForExit(), 0) << daemon.log();
}

TEST_F(Services, CorvanectlPrintsJsonLinesWithUsableExitCodes) {
  writeBytes(dir / "plain.jpg", minimalJpeg());
  const auto ctl = [](std::vector<std::string> args) {
    args.insert(args.begin(), CORVANE_CTL_PATH);
    return runCommand(args);
  };
  const auto has = [](const CommandResult& r, const std::string& text) {
    return r.out.find(text) != std::string::npos;
  };
  auto r = ctl({"exif", photo});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(has(r, "\"found\": true") && has(r, "\"vendor\": \"Corvane\"") &&
              has(r, "\"versionNumber\": 220"));
  r = ctl({"exif", photo, dir / "plain.jpg"});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(has(r, "\"found\": false"));

  EXPECT_EQ(ctl({"tag", mp3, "Title=Song", "TrackNo=7", "Genre=Rock"}).status, 0);
  r = ctl({"build", mp3, m4a});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(has(r, "\"Title\": \"Song\"") && has(r, "\"TrackNo\": 7") &&
              has(r, "\"FileTypeString\": \"M4A\""));
  r = ctl({"mp4dump", m4a});
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(has(r, "encodingTool: "));
  r = ctl({"mp4dump", dir / "missing.m4a"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "MP4Modify failed\n");
  EXPECT_EQ(ctl({"podcast", mp3}).status, 1);
  for (const auto& usage : std::vector<std::vector<std::string>>{
           {"exif"}, {"frobnicate"}, {"tag", mp3, "nonsense"}, {"tag", mp3, "TrackNo=seven"}})
    EXPECT_EQ(ctl(usage).status, 2) << usage[0];

  r = runCommand({"/usr/bin/env", "DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent/corvane-bus",
                  CORVANE_CTL_PATH, "exif", photo});
  EXPECT_EQ(r.status, 3);
  EXPECT_NE(r.err.find("cannot reach"), std::string::npos) << r.err;
}

}  // namespace
