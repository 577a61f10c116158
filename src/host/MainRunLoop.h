#pragma once

// The main thread's event loop. It runs the notification handlers and the
// work that service threads hand to it (performAndWait), one task at a time,
// until stop(). The host installs it as the services' main-thread executor.

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

#include "media/MainThread.h"

namespace corvane::host {

class MainRunLoop : public media::MainThreadExecutor {
 public:
  using Task = std::function<void()>;

  MainRunLoop();
  ~MainRunLoop() override;
  MainRunLoop(const MainRunLoop&) = delete;
  MainRunLoop& operator=(const MainRunLoop&) = delete;

  // Runs tasks on the calling thread until stop(); tasks already queued when
  // stop() is called still run.
  void run();
  void stop();
  bool stopped() const;

  void post(Task task);

  // Runs task on the loop's thread and returns when it is done; exceptions
  // travel back to the caller. Runs it at once when called on the loop's
  // thread, or when the loop has stopped (teardown must not wait on itself).
  void performAndWait(const Task& task) override;

 private:
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Task> tasks_;
  bool stopped_ = false;
  std::thread::id loopThread_;
};

}  // namespace corvane::host
