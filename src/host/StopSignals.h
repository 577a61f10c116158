#pragma once

// SIGTERM and SIGINT as a request to stop: instead of ending the process
// where it stands (in the middle of a rewrite, say), they are taken as
// messages, so that the host can finish the requests in hand and tear down
// as it does when its last client leaves.
//
// block() must run on the main thread before any other thread starts (the
// mask is inherited). A watcher owns a thread of its own; create and
// destroy it on one thread. Failures are values: watching() says whether
// the watcher runs.

#include <functional>
#include <thread>

#include "platform/file/FileDescriptor.h"

namespace corvane::host {

class StopSignals {
 public:
  // Holds SIGTERM and SIGINT back from every thread started after this.
  static void block();

  // Calls onSignal with the signal's number, on the watcher's thread, for
  // each SIGTERM or SIGINT that arrives (or was held back) while it lives.
  explicit StopSignals(std::function<void(int signal)> onSignal);
  ~StopSignals();
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

  bool watching() const { return thread_.joinable(); }

 private:
  void run(const std::function<void(int)>& onSignal);

  file::FileDescriptor signals_;  // the held-back signals, as a readable descriptor
  file::FileDescriptor wake_;     // written to end the watch
  std::thread thread_;
};

}  // namespace corvane::host
