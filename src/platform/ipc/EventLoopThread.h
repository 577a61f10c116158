#pragma once

// Serves a bus connection on a thread of its own. Unlike the bus library's
// own asynchronous loop, a lost connection (the bus went away) ends the
// thread quietly and is reported, instead of ending the process.

#include <sdbus-c++/IConnection.h>

#include <functional>
#include <string>
#include <thread>

namespace corvane::ipc {

class EventLoopThread {
 public:
  using LostHandler = std::function<void(const std::string& reason)>;

  EventLoopThread() = default;
  ~EventLoopThread() { stop(); }
  EventLoopThread(const EventLoopThread&) = delete;
  EventLoopThread& operator=(const EventLoopThread&) = delete;

  void start(sdbus::IConnection& connection, LostHandler onLost = {});
  // Returns once the thread has finished the request it was serving.
  void stop();
  bool running() const { return thread_.joinable(); }

 private:
  sdbus::IConnection* connection_ = nullptr;
  std::thread thread_;
};

}  // namespace corvane::ipc
