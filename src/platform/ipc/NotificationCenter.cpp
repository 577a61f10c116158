#include "platform/ipc/NotificationCenter.h"

#include <sdbus-c++/sdbus-c++.h>

#include "platform/ipc/BusNames.h"

namespace corvane::ipc {
namespace {

std::optional<std::string> appIdOf(const std::map<std::string, sdbus::Variant>& userInfo) {
  auto it = userInfo.find(std::string(kAppIdKey));
  if (it == userInfo.end() || it->second.peekValueType() != "s") return std::nullopt;
  return it->second.get<std::string>();
}

}  // namespace

NotificationCenter::NotificationCenter()
    : connection_(sdbus::createSessionBusConnection()),
      emitter_(sdbus::createObject(*connection_, std::string(kNotificationPath))) {}

NotificationCenter::~NotificationCenter() {
  stop();
  observers_.clear();
}

void NotificationCenter::addObserver(const std::string& name, Handler handler) {
  const std::string rule = "type='signal',path='" + std::string(kNotificationPath) + "',interface='" +
                           std::string(kNotificationInterface) + "',member='" + name + "'";
  observers_.insert_or_assign(
      name, connection_->addMatch(rule, [name, handler = std::move(handler)](sdbus::Message& message) {
        Notification notification{name, std::nullopt};
        try {
          std::map<std::string, sdbus::Variant> userInfo;
          message >> userInfo;
          notification.appId = appIdOf(userInfo);
        } catch (const sdbus::Error&) {
          // A notification with a user info of another shape carries no id.
        }
        handler(notification);
      }));
}

void NotificationCenter::removeObserver(const std::string& name) { observers_.erase(name); }

void NotificationCenter::post(const std::string& name, const std::optional<std::string>& appId) {
  std::map<std::string, sdbus::Variant> userInfo;
  if (appId) userInfo.emplace(std::string(kAppIdKey), sdbus::Variant(*appId));
  emitter_->emitSignal(name).onInterface(std::string(kNotificationInterface)).withArguments(userInfo);
}

void NotificationCenter::start(EventLoopThread::LostHandler onLost) {
  loop_.start(*connection_, std::move(onLost));
}

void NotificationCenter::stop() { loop_.stop(); }

}  // namespace corvane::ipc
