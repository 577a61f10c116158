#pragma once

// Machine-wide notifications over the session bus: broadcast signals on
// /org/corvane/Corvane, interface org.corvane.Notifications, one a{sv}
// argument (the user info). Any process may post; every observer hears.

#include <sdbus-c++/IConnection.h>
#include <sdbus-c++/IObject.h>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "platform/ipc/EventLoopThread.h"

namespace corvane::ipc {

struct Notification {
  std::string name;
  std::optional<std::string> appId;  // the user info's "appId", when it holds a string
};

class NotificationCenter {
 public:
  using Handler = std::function<void(const Notification&)>;

  // Connects to the session bus; throws sdbus::Error when it cannot.
  NotificationCenter();
  ~NotificationCenter();
  NotificationCenter(const NotificationCenter&) = delete;
  NotificationCenter& operator=(const NotificationCenter&) = delete;

  // Handlers run on the center's event-loop thread (see start()).
  void addObserver(const std::string& name, Handler handler);
  void removeObserver(const std::string& name);

  // Broadcasts name with {"appId": appId}, or with an empty user info.
  void post(const std::string& name, const std::optional<std::string>& appId);

  // Delivers notifications from a thread of the center's own until stop();
  // onLost is called there when the bus goes away.
  void start(EventLoopThread::LostHandler onLost = {});
  void stop();

 private:
  std::unique_ptr<sdbus::IConnection> connection_;
  std::unique_ptr<sdbus::IObject> emitter_;
  std::map<std::string, sdbus::Slot> observers_;
  EventLoopThread loop_;
};

}  // namespace corvane::ipc
