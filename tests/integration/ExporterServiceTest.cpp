// The export service over the bus: progress reaches corvanectl's delegate,
// Ctrl-C stops a conversion and leaves the target as it was, a delegate that
// fails or vanishes, like arguments of the wrong types, ends the call with
// an error and frees the export lock.

#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <fstream>

#include "client/Session.h"
#include "support/ServiceHarness.h"

using namespace corvane;
using namespace corvane::test;
namespace contract = ipc::contract;
namespace fs = std::filesystem;

namespace {

class ExporterService : public ::testing::Test {
 protected:
  void SetUp() override {
    daemon = std::make_unique<DaemonProcess>();
    ASSERT_TRUE(bus.waitForOwner(contract::busName(contract::kExporterService), true)) << daemon->log();
  }
  // Apple Lossless stereo; a minute is long enough for a stop to land mid-way.
  std::string alac(int seconds) {
    const std::string path = dir.file("song.m4a");
    const auto r = runCommand({"/usr/bin/ffmpeg", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
                               "sine=duration=" + std::to_string(seconds), "-ac", "2", "-c:a", "alac", path});
    EXPECT_EQ(r.status, 0) << r.err;
    return path;
  }
  // What the folder holds: no partial or private file may be left.
  std::vector<std::string> names() const {
    std::vector<std::string> found;
    for (const auto& entry : fs::directory_iterator(dir.path())) found.push_back(entry.path().filename());
    std::sort(found.begin(), found.end());
    return found;
  }
  PrivateBus bus;
  ScratchDir dir;
  std::unique_ptr<DaemonProcess> daemon;
  client::Session session{"org.corvane.test.exporter"};
};

// The stop lands at the next report; the target is left as it was.
TEST_F(ExporterService, CtrlCInCorvanectlStopsAConversionAndLeavesTheTargetAsItWas) {
  const std::string song = alac(60);
  std::ofstream(dir.file("old.m4a")) << "old";
  for (const char* target : {"new.m4a", "old.m4a"}) {
    const auto r = runCommandSignalled({CORVANE_CTL_PATH, "convert", song, dir.file(target)}, "%", SIGINT);
    EXPECT_EQ(r.status, 130) << target << r.out << r.err;
    EXPECT_NE(r.out.find("\"status\": -1, \"message\": \"stopped on request\""), std::string::npos) << r.out;
  }
  EXPECT_EQ(names(), (std::vector<std::string>{"old.m4a", "song.m4a"}));
  EXPECT_EQ(fs::file_size(dir.file("old.m4a")), 3u);
  EXPECT_NE(runCommand({CORVANE_CTL_PATH, "isalac", song}).out.find("\"alac\": true"), std::string::npos);
}

TEST_F(ExporterService, AFailedOrVanishedDelegateOrWrongArgumentsEndTheCallWithAnErrorAndFreeTheLock) {
  const std::string song = alac(60);
  // A delegate path the caller does not serve: the report fails, and so the call.
  auto caller = ipc::Connection::openSession();
  ASSERT_TRUE(caller && caller->serve());
  ipc::MessageWriter request = caller->newCall(contract::kConvertToAac, contract::kExporterService);
  request.add(ipc::ObjectPath{"/nobody"}, song, dir.file("out.m4a"), int32_t{128000});
  EXPECT_EQ(caller->call(std::move(request)).errorName(), "org.freedesktop.DBus.Error.UnknownObject");
  // The client killed mid-way: its next report goes nowhere.
  const auto killed =
      runCommandSignalled({CORVANE_CTL_PATH, "convert", song, dir.file("out.m4a")}, "%", SIGKILL);
  EXPECT_EQ(killed.status, 128 + SIGKILL);
  // The next conversion runs, its progress heard to the end.
  const auto next = runCommand({CORVANE_CTL_PATH, "convert", song, dir.file("aac.m4a")});
  EXPECT_EQ(next.status, 0) << next.err;
  EXPECT_TRUE(next.err.starts_with("1%\n") && next.err.ends_with("\n99%\n100%\n")) << next.err;
  EXPECT_EQ(names(), (std::vector<std::string>{"aac.m4a", "song.m4a"}));
  // Arguments of the wrong types are refused.
  EXPECT_EQ(callService(contract::kExporterService, contract::kConvertToAac,
                        [&](ipc::MessageWriter& m) { m.add(ipc::ObjectPath{"/"}, song, "b.m4a", "128000"); })
                .errorName(),
            ipc::kInvalidArgs);
}

}  // namespace
