#pragma once

// A main loop installed as the services' main-thread executor, running on a
// thread of its own and kept busy until open(): a test sees a service wait
// for its main-thread steps, then lets them run. Uninstalled when it goes.

#include <future>
#include <thread>

#include "host/MainRunLoop.h"
#include "media/MainThread.h"

namespace corvane::test {

class BusyMainLoop {
 public:
  BusyMainLoop() {
    media::installMainThreadExecutor(&loop_);
    loop_.post([gate = gate_.get_future().share()] { gate.wait(); });
    thread_ = std::thread([this] { loop_.run(); });
  }
  ~BusyMainLoop() {
    if (!opened_) open();
    loop_.stop();
    thread_.join();
    media::installMainThreadExecutor(nullptr);
  }
  BusyMainLoop(const BusyMainLoop&) = delete;
  BusyMainLoop& operator=(const BusyMainLoop&) = delete;

  void open() {
    opened_ = true;
    gate_.set_value();
  }

 private:
  host::MainRunLoop loop_;
  std::promise<void> gate_;
  bool opened_ = false;
  std::thread thread_;
};

}  // namespace corvane::test
