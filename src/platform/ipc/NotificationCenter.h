#pragma once

// Machine-wide notifications over the session bus: broadcast signals on
// /org/corvane/Corvane, interface org.corvane.Notifications, one a{sv}
// argument (the user info). Any process may post; every observer hears.
//
// The center owns a connection of its own. Observers are added and removed,
// and the center started and stopped, by the thread that owns it; post() may
// be called from any thread, observers' handlers included. Failures are
// values: connected() and error() after construction, false from post().

#include <map>
#include <memory>
#include <optional>
#include <string>

#include "platform/ipc/Connection.h"

namespace corvane::ipc {

struct Notification {
  std::string name;
  std::optional<std::string> appId;  // the user info's "appId", when it holds a string
};

class NotificationCenter {
 public:
  using Handler = std::function<void(const Notification&)>;

  NotificationCenter();  // connects to the session bus
  ~NotificationCenter();
  NotificationCenter(const NotificationCenter&) = delete;
  NotificationCenter& operator=(const NotificationCenter&) = delete;

  bool connected() const { return connection_ != nullptr; }
  const std::string& error() const { return error_; }  // why it is not connected

  // Handlers run on the center's serving thread (see start()). False when
  // the bus refuses the match.
  bool addObserver(const std::string& name, Handler handler);
  void removeObserver(const std::string& name);

  // Broadcasts name with {"appId": appId}, or with an empty user info.
  bool post(const std::string& name, const std::optional<std::string>& appId);

  // Delivers notifications from a thread of the center's own until stop();
  // onLost is called there when the bus goes away.
  void start(Connection::LostHandler onLost = {});
  void stop();

 private:
  std::string error_;  // before connection_, which fills it in
  std::unique_ptr<Connection> connection_;
  std::map<std::string, SlotPtr> observers_;
};

}  // namespace corvane::ipc
