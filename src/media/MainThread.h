#pragma once

// The main thread as the services see it: some steps (opening and releasing
// movies, the movie layer's enter/exit bracket) must run there while the
// service thread waits. The host installs its main loop as the executor at
// start-up; with none installed (tests, tools) the step runs on the caller's
// thread.

#include <functional>

namespace corvane::media {

class MainThreadExecutor {
 public:
  virtual ~MainThreadExecutor() = default;
  // Runs task on the main thread and returns when it is done; an exception
  // it throws travels back to the caller.
  virtual void performAndWait(const std::function<void()>& task) = 0;
};

// Installs executor (nullptr: none). The executor must outlive every call
// made while it is installed; the host installs its loop before the
// services start and removes it after they have stopped.
void installMainThreadExecutor(MainThreadExecutor* executor);

// Runs task through the installed executor, or at once when there is none.
void performOnMainThread(const std::function<void()>& task);

}  // namespace corvane::media
