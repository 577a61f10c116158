#include "host/AppDelegate.h"

#include <algorithm>
#include <cstring>

#include "host/ProcessSetup.h"
#include "host/StopSignals.h"
#include "media/Log.h"
#include "media/MainThread.h"
#include "platform/audio/AudioStreams.h"
#include "platform/ipc/Contract.h"
#include "platform/log/SystemLog.h"

namespace corvane::host {
namespace {

// An id as the log shows it: capped, since a client may send megabytes.
std::string shown(const std::optional<std::string>& appId) { return appId ? log::shown(*appId) : "(null)"; }

}  // namespace

AppDelegate::AppDelegate(MainRunLoop& loop, std::vector<ServiceRow> registry)
    : loop_(loop), registry_(std::move(registry)) {}

std::unique_ptr<AppDelegate> AppDelegate::init(MainRunLoop& loop, std::vector<ServiceRow> registry) {
  std::unique_ptr<AppDelegate> self(new AppDelegate(loop, std::move(registry)));
  self->center_ = std::make_unique<ipc::NotificationCenter>();
  if (!self->center_->connected()) {
    log::line("cannot connect to the session bus: " + self->center_->error());
    return nullptr;
  }
  self->observe(ipc::contract::kShouldExit.member, &AppDelegate::ShouldTerminate);
  self->observe(ipc::contract::kAppRegister.member, &AppDelegate::AppRegister);
  // The observers are in place at the bus before this, so a client that
  // answers "Launched" with "AppRegister" at once is heard.
  self->center_->post(ipc::contract::kLaunched.member, std::string(ipc::contract::kHostAppId));
  self->center_->start([self = self.get()](const std::string& reason) { self->busLost(reason); });
  // The audio stream library's one start, before any request is served, on
  // the default device at 44100 Hz; its result is not examined.
  audio::init(-1, 44100, 0, self.get(), nullptr);
  return self;
}

void AppDelegate::observe(const std::string& name, void (AppDelegate::*handler)(const ipc::Notification&)) {
  // Delivered on the center's thread; handled on the main loop, so the client
  // list is only ever touched there.
  center_->addObserver(name, [this, handler](const ipc::Notification& n) {
    loop_.post([this, handler, n] { (this->*handler)(n); });
  });
}

void AppDelegate::applicationDidFinishLaunching() {
  for (auto& row : registry_) {
    if (!row.create) continue;  // not part of this build yet
    auto connection = ServiceConnection::serviceConnectionWithName(row.serviceName, row.create());
    if (!connection) {
      log::line(row.failureMessage);
      registrationFailed_ = true;
      terminate();
      return;
    }
    connection->runInNewThread([this](const std::string& reason) { busLost(reason); });
    _connectionList.push_back(std::move(connection));
  }
}

void AppDelegate::AppRegister(const ipc::Notification& notification) {
  log::line("app registed " + shown(notification.appId));
  if (!notification.appId) return;
  if (std::find(_registeredApps.begin(), _registeredApps.end(), *notification.appId) == _registeredApps.end())
    _registeredApps.push_back(*notification.appId);
}

void AppDelegate::ShouldTerminate(const ipc::Notification& notification) {
  log::line("terminate requested " + shown(notification.appId));
  if (notification.appId) {
    auto it = std::find(_registeredApps.begin(), _registeredApps.end(), *notification.appId);
    if (it != _registeredApps.end()) _registeredApps.erase(it);
  }
  if (_registeredApps.empty()) terminate();
}

void AppDelegate::terminate() { loop_.stop(); }

void AppDelegate::busLost(const std::string& reason) {
  // Without the bus no client can reach the services or say goodbye, so the
  // process would linger for ever.
  log::line("lost the session bus: " + reason);
  loop_.stop();
}

AppDelegate::~AppDelegate() {
  if (center_) {
    center_->stop();  // no handler runs while the observers go away
    center_->removeObserver(ipc::contract::kAppRegister.member);
    center_->removeObserver(ipc::contract::kShouldExit.member);
  }
  for (auto& connection : _connectionList) connection->invalidate();
  _connectionList.clear();
  _registeredApps.clear();
  center_.reset();
}

int applicationMain(int, char**) {
  // Before any thread starts, so that none of them is ended by these signals.
  StopSignals::block();
  log::useSystemLog();
  if (!setUpProcess()) {
    log::line("cannot start the imaging library");
    return 1;
  }
  MainRunLoop loop;
  auto delegate = AppDelegate::init(loop);
  if (!delegate) return 1;
  media::installMainThreadExecutor(&loop);
  // A stop signal ends the main loop as the last goodbye does: the teardown
  // then lets each service finish the request in hand.
  StopSignals stopSignals([&loop](int signal) {
    log::line(log::format("terminating on SIG%s", sigabbrev_np(signal)));
    loop.stop();
  });
  delegate->applicationDidFinishLaunching();
  loop.run();
  const bool failed = delegate->registrationFailed();
  delegate.reset();  // the services stop here
  media::installMainThreadExecutor(nullptr);
  return failed ? 1 : 0;
}

}  // namespace corvane::host
