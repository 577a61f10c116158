#include "host/MainRunLoop.h"

#include <exception>
#include <future>

namespace corvane::host {

MainRunLoop::MainRunLoop() : loopThread_(std::this_thread::get_id()) {}

MainRunLoop::~MainRunLoop() = default;

void MainRunLoop::run() {
  std::unique_lock lock(mutex_);
  loopThread_ = std::this_thread::get_id();
  for (;;) {
    wake_.wait(lock, [this] { return stopped_ || !tasks_.empty(); });
    if (tasks_.empty()) return;  // stopped and drained
    Task task = std::move(tasks_.front());
    tasks_.pop_front();
    lock.unlock();
    task();
    lock.lock();
  }
}

void MainRunLoop::stop() {
  std::lock_guard lock(mutex_);
  stopped_ = true;
  wake_.notify_all();
}

bool MainRunLoop::stopped() const {
  std::lock_guard lock(mutex_);
  return stopped_;
}

void MainRunLoop::post(Task task) {
  std::lock_guard lock(mutex_);
  tasks_.push_back(std::move(task));
  wake_.notify_all();
}

void MainRunLoop::performAndWait(const Task& task) {
  std::packaged_task<void()> work(task);
  auto done = work.get_future();
  bool queued = false;
  {
    std::lock_guard lock(mutex_);
    if (!stopped_ && std::this_thread::get_id() != loopThread_) {
      tasks_.emplace_back([&work] { work(); });
      wake_.notify_all();
      queued = true;
    }
  }
  if (!queued) work();
  done.get();
}

}  // namespace corvane::host
