#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>

#include "host/DebugLevel.h"
#include "host/MainRunLoop.h"

using corvane::host::MainRunLoop;

TEST(MainRunLoop, WorkHandedOverRunsOnTheLoopThreadAndTheCallerWaitsForIt) {
  MainRunLoop loop;
  const auto loopThread = std::this_thread::get_id();
  std::thread::id ranOn;
  bool done = false;
  std::thread service([&] {
    loop.performAndWait([&] { ranOn = std::this_thread::get_id(); });
    done = true;  // only after the task has run
    EXPECT_THROW(loop.performAndWait([] { throw std::runtime_error("movie failed"); }), std::runtime_error);
    loop.stop();
  });
  loop.run();
  service.join();
  EXPECT_TRUE(done);
  EXPECT_EQ(ranOn, loopThread);
}

TEST(MainRunLoop, AfterStopHandedWorkRunsOnTheCallerSoTeardownCannotDeadlock) {
  MainRunLoop loop;
  loop.stop();
  std::thread::id ranOn;
  std::thread service([&] { loop.performAndWait([&] { ranOn = std::this_thread::get_id(); }); });
  const auto serviceThread = service.get_id();
  service.join();
  EXPECT_EQ(ranOn, serviceThread);
  EXPECT_EQ(GET_RZ_DEBUG_LEVEL(), 0);
}
