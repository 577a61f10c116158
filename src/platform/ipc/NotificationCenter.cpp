#include "platform/ipc/NotificationCenter.h"

namespace corvane::ipc {

NotificationCenter::NotificationCenter() : connection_(Connection::openSession(&error_)) {}

NotificationCenter::~NotificationCenter() {
  stop();
  observers_.clear();
}

bool NotificationCenter::addObserver(const std::string& name, Handler handler) {
  if (!connection_) return false;
  const std::string rule = std::string("type='signal',path='") + contract::kNotificationPath +
                           "',interface='" + contract::kNotifications + "',member='" + name + "'";
  SlotPtr match = connection_->addMatch(rule, [name, handler = std::move(handler)](MessageReader& args) {
    media::MediaRecord userInfo;
    Notification notification{name, std::nullopt};
    // A user info of another shape carries no id.
    if (args.read(userInfo).ok()) {
      if (const std::string* appId = userInfo.get<std::string>(contract::kAppIdKey))
        notification.appId = *appId;
    }
    handler(notification);
  });
  if (!match) return false;
  observers_.insert_or_assign(name, std::move(match));
  return true;
}

void NotificationCenter::removeObserver(const std::string& name) { observers_.erase(name); }

bool NotificationCenter::post(const std::string& name, const std::optional<std::string>& appId) {
  if (!connection_) return false;
  media::MediaRecord userInfo;
  if (appId) userInfo.set(contract::kAppIdKey, *appId);
  MessageWriter signal =
      connection_->newSignal(contract::kNotificationPath, contract::kNotifications, name.c_str());
  signal.add(userInfo);
  return connection_->send(std::move(signal)) == 0;
}

void NotificationCenter::start(Connection::LostHandler onLost) {
  if (connection_) connection_->serve(std::move(onLost));
}

void NotificationCenter::stop() {
  if (connection_) connection_->stop();
}

}  // namespace corvane::ipc
