#include "media/MainThread.h"

#include <atomic>

namespace corvane::media {
namespace {
std::atomic<MainThreadExecutor*> installed{nullptr};
}

void installMainThreadExecutor(MainThreadExecutor* executor) { installed.store(executor); }

void performOnMainThread(const std::function<void()>& task) {
  if (MainThreadExecutor* executor = installed.load()) {
    executor->performAndWait(task);
  } else {
    task();
  }
}

}  // namespace corvane::media
