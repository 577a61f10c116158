// A path that keeps turning into a FIFO while the services read it: every
// call still returns (found or not), every service still answers afterwards,
// and the daemon leaves with its last client. A service that looked at the
// path and then opened it by name could be handed the FIFO in between and
// wait forever for a writer, and a daemon with such a thread never exits.

#include <atomic>

#include "client/Session.h"
#include "unit/TestSupport.h"

using namespace corvane;
using namespace corvane::test;

namespace {

// One kind of call on one of the racing files; true when it found something.
struct Caller {
  const char* what;
  const char* file;
  std::function<bool(const std::string& path)> call;
  bool findsInRealFile = true;
};

std::function<bool(const std::string&)> build(const char* service) {
  return [service](const std::string& p) {
    return client::MediaInfoBuilderClient(service).build(p).has_value();
  };
}

class FifoRace : public ::testing::Test {
 protected:
  void SetUp() override {
    daemon = std::make_unique<DaemonProcess>();
    ASSERT_TRUE(bus.waitForOwner("org.corvane.MP4Parser_Halvern", true)) << daemon->log();
    const ExifBuilder exif = ExifBuilder().ascii(Ifd::Zero, EXIF_TAG_MAKE, "Corvane");
    ASSERT_TRUE(
        writeBytes(real("photo.jpg"), exif.jpeg(imagingtest::jpeg(64, 48, imagingtest::solid({9, 9, 9})))));
    for (const auto& [name, codec] : {std::pair("song.mp3", "libmp3lame"), std::pair("song.m4a", "aac")}) {
      const auto made = runCommand({"/usr/bin/ffmpeg", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
                                    "sine=duration=1", "-c:a", codec, real(name)});
      ASSERT_EQ(made.status, 0) << made.err;
    }
  }
  std::string real(const std::string& name) const { return dir / ("real-" + name); }

  // Until stop: the path becomes the real file, then a FIFO, again and again.
  void swapUntil(const std::string& name, const std::atomic<bool>& stop) {
    const std::string path = dir / name, next = path + ".next";
    for (int round = 0; !stop; ++round) {
      ::unlink(next.c_str());
      const bool made =
          round % 2 == 0 ? ::link(real(name).c_str(), next.c_str()) == 0 : ::mkfifo(next.c_str(), 0600) == 0;
      if (!made || ::rename(next.c_str(), path.c_str()) != 0) ADD_FAILURE() << "cannot swap " << path;
      std::this_thread::sleep_for(std::chrono::microseconds(300 + 200 * (round % 5)));
    }
  }

  PrivateBus bus;
  tagtest::ScratchDir dir;
  std::unique_ptr<DaemonProcess> daemon;
  std::optional<client::Session> session{std::in_place, "org.corvane.test.fifo"};
};

TEST_F(FifoRace, EveryCallReturnsEveryServiceGoesOnAndTheDaemonStillLeaves) {
  const std::vector<Caller> callers = {
      {"picture record", "photo.jpg", build("ImageParser_Halvern")},
      {"thumbnail", "photo.jpg",
       [](const std::string& p) {
         return client::ImageInfoBuilderClient().makeThumbnail(p, 32, 32).has_value();
       }},
      {"EXIF", "photo.jpg",
       [](const std::string& p) { return client::ExifExtractorClient().extractExif(p).has_value(); }},
      {"MP3 record", "song.mp3", build("MP3Parser_Halvern")},
      {"MP4 record", "song.m4a", build("MP4Parser_Halvern")},
      {"MP4 podcast", "song.m4a",
       [](const std::string& p) { return client::MediaTagClient().podcastInfo(p).has_value(); }, false},
  };
  std::atomic<bool> stop = false;
  std::atomic<int> calls = 0;
  std::vector<std::thread> threads;
  for (const char* name : {"photo.jpg", "song.mp3", "song.m4a"}) {
    threads.emplace_back([&, name] { swapUntil(name, stop); });
  }
  for (const Caller& caller : callers) {
    threads.emplace_back([&, caller] {
      try {
        for (const std::string path = dir / caller.file; !stop; ++calls) (void)caller.call(path);
      } catch (const client::ServiceError& e) {
        ADD_FAILURE() << caller.what << ": " << e.what();
      }
    });
  }
  std::this_thread::sleep_for(std::chrono::seconds(3));
  stop = true;
  for (std::thread& t : threads) t.join();
  EXPECT_GT(calls, int(callers.size()));

  // Each service still reads what is no longer swapped.
  for (const Caller& caller : callers) {
    EXPECT_EQ(caller.call(real(caller.file)), caller.findsInRealFile) << caller.what;
  }
  session.reset();  // the last goodbye
  EXPECT_EQ(daemon->waitForExit(), 0) << daemon->log();
}

}  // namespace
