#include "platform/ipc/EventLoopThread.h"

#include <sdbus-c++/Error.h>

namespace corvane::ipc {

void EventLoopThread::start(sdbus::IConnection& connection, LostHandler onLost) {
  if (thread_.joinable()) return;
  connection_ = &connection;
  thread_ = std::thread([&connection, onLost = std::move(onLost)] {
    try {
      connection.enterEventLoop();
    } catch (const sdbus::Error& e) {
      if (onLost) onLost(e.getMessage());
    }
  });
}

void EventLoopThread::stop() {
  if (!thread_.joinable()) return;
  try {
    connection_->leaveEventLoop();
  } catch (const sdbus::Error&) {
    // The loop has already ended on its own.
  }
  thread_.join();
}

}  // namespace corvane::ipc
