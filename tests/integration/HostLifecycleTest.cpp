// The daemon's life on a private bus: it lives while clients are registered,
// ends when the last one leaves, and never runs half-started.

#include "platform/ipc/Contract.h"
#include "platform/ipc/NotificationCenter.h"
#include "unit/TestSupport.h"

using namespace corvane;
using namespace corvane::test;

namespace {

const std::string kExifBusName = ipc::contract::busName(ipc::contract::kExifExtractorService);

class HostLifecycle : public ::testing::Test {
 protected:
  void SetUp() override {
    daemon = std::make_unique<DaemonProcess>();
    ASSERT_TRUE(bus.waitForOwner(kExifBusName, true)) << daemon->log();
  }
  // The daemon is still there a little while after the last notification.
  bool staysUp() {
    std::this_thread::sleep_for(300ms);
    return daemon->running() && bus.hasOwner(kExifBusName);
  }

  PrivateBus bus;
  ipc::NotificationCenter center;
  std::unique_ptr<DaemonProcess> daemon;
};

// The list rules in one run: a registration without an id adds nothing, one
// registered twice is listed once, an unknown exit is only logged, and the
// host ends when the last registered client leaves.
TEST_F(HostLifecycle, TheHostLivesUntilTheLastRegisteredClientLeaves) {
  center.post("AppRegister", std::nullopt);
  for (const char* app : {"app.one", "app.one", "app.two"}) center.post("AppRegister", std::string(app));
  center.post("ShouldExit", std::string("app.never"));
  ASSERT_TRUE(daemon->waitForLog("terminate requested app.never"));
  EXPECT_TRUE(daemon->logContains("app registed (null)"));
  EXPECT_TRUE(staysUp());
  center.post("ShouldExit", std::string("app.one"));
  ASSERT_TRUE(daemon->waitForLog("terminate requested app.one"));
  EXPECT_TRUE(staysUp());
  center.post("ShouldExit", std::string("app.two"));
  EXPECT_EQ(daemon->waitForExit(), 0);
  EXPECT_FALSE(bus.hasOwner(kExifBusName));
}

TEST_F(HostLifecycle, AnExitWithNoClientRegisteredEndsTheHost) {
  center.post("ShouldExit", std::nullopt);  // no appId at all
  EXPECT_EQ(daemon->waitForExit(), 0);
  EXPECT_TRUE(daemon->logContains("terminate requested (null)"));
}

TEST_F(HostLifecycle, ASecondInstanceCannotRegisterAndLeavesTheFirstUntouched) {
  center.post("AppRegister", std::string("app.one"));
  DaemonProcess second;
  EXPECT_EQ(second.waitForExit(), 1);
  // The first row is the AV service; the rows after it are never tried.
  EXPECT_TRUE(second.logContains("failed to register Tavik AV Parser")) << second.log();
  for (const char* later : {"MP3 Parser", "Image Parser", "Exif Extractor"})
    EXPECT_FALSE(second.logContains(later)) << later;
  EXPECT_TRUE(staysUp());
  EXPECT_FALSE(daemon->logContains("failed to register"));
  center.post("ShouldExit", std::string("app.one"));
  EXPECT_EQ(daemon->waitForExit(), 0);
}

TEST_F(HostLifecycle, ALostBusEndsTheHostInsteadOfLeavingItBehind) {
  center.post("AppRegister", std::string("app.one"));
  ASSERT_TRUE(staysUp());
  bus.stop();
  EXPECT_EQ(daemon->waitForExit(), 0);
  EXPECT_TRUE(daemon->logContains("lost the session bus"));
}

TEST(HostLaunch, LaunchedIsPostedWithTheHostIdAndAnsweringItAtOnceIsHeard) {
  PrivateBus bus;
  ipc::NotificationCenter client;
  std::mutex mutex;
  std::vector<std::optional<std::string>> launched;
  client.addObserver("Launched", [&](const ipc::Notification& n) {
    std::lock_guard lock(mutex);
    launched.push_back(n.appId);
    client.post("AppRegister", std::string("app.quick"));  // answered from the handler, at once
  });
  client.start();
  DaemonProcess daemon;
  ASSERT_TRUE(daemon.waitForLog("app registed app.quick")) << daemon.log();
  {
    std::lock_guard lock(mutex);
    ASSERT_EQ(launched.size(), 1u);
    EXPECT_EQ(launched[0], std::string(ipc::contract::kHostAppId));
  }
  client.stop();
  client.post("ShouldExit", std::string("app.quick"));
  EXPECT_EQ(daemon.waitForExit(), 0);
}

}  // namespace
