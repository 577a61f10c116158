#include "host/StopSignals.h"

#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace corvane::host {
namespace {

sigset_t stopSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  return set;
}

}  // namespace

void StopSignals::block() {
  const sigset_t set = stopSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

StopSignals::StopSignals(std::function<void(int)> onSignal) {
  const sigset_t set = stopSignals();
  signals_ = file::FileDescriptor(::signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK));
  wake_ = file::FileDescriptor(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!signals_.valid() || !wake_.valid()) return;
  try {
    thread_ = std::thread([this, onSignal = std::move(onSignal)] { run(onSignal); });
  } catch (const std::system_error&) {
    // Without the watcher the signals stay held back; the host still ends
    // when its last client leaves.
  }
}

StopSignals::~StopSignals() {
  if (!thread_.joinable()) return;
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t written = ::write(wake_.get(), &one, sizeof one);
  thread_.join();
}

void StopSignals::run(const std::function<void(int)>& onSignal) {
  for (;;) {
    pollfd fds[2] = {{signals_.get(), POLLIN, 0}, {wake_.get(), POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents != 0) return;
    signalfd_siginfo info{};
    while (::read(signals_.get(), &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
      onSignal(static_cast<int>(info.ssi_signo));
    }
  }
}

}  // namespace corvane::host
