#pragma once

// The host: announces the service, publishes the service objects, keeps the
// list of registered client applications and ends the process when the last
// one leaves (or when a service name cannot be registered).

#include <memory>
#include <string>
#include <vector>

#include "host/MainRunLoop.h"
#include "host/ServiceConnection.h"
#include "host/ServiceRegistry.h"
#include "platform/ipc/NotificationCenter.h"

namespace corvane::host {

class AppDelegate {
 public:
  // Observes "ShouldExit" and "AppRegister", then posts "Launched". None when
  // the session bus cannot be reached.
  static std::unique_ptr<AppDelegate> init(MainRunLoop& loop,
                                           std::vector<ServiceRow> registry = serviceRegistry());
  ~AppDelegate();  // teardown
  AppDelegate(const AppDelegate&) = delete;
  AppDelegate& operator=(const AppDelegate&) = delete;

  // Publishes the services in registry order; the first name that cannot be
  // registered ends the process.
  void applicationDidFinishLaunching();

  // Notification handlers; they run on the main loop's thread.
  void AppRegister(const ipc::Notification& notification);
  void ShouldTerminate(const ipc::Notification& notification);

  bool registrationFailed() const { return registrationFailed_; }
  const std::vector<std::string>& registeredApps() const { return _registeredApps; }

 private:
  AppDelegate(MainRunLoop& loop, std::vector<ServiceRow> registry);
  void terminate();
  void busLost(const std::string& reason);  // any thread
  void observe(const std::string& name, void (AppDelegate::*handler)(const ipc::Notification&));

  MainRunLoop& loop_;
  std::vector<ServiceRow> registry_;
  std::unique_ptr<ipc::NotificationCenter> center_;
  std::vector<std::unique_ptr<ServiceConnection>> _connectionList;
  std::vector<std::string> _registeredApps;
  bool registrationFailed_ = false;
};

// Runs the service process: init, launch, the main loop, teardown. SIGTERM
// and SIGINT end the main loop like the last client's goodbye (exit status
// 0). Returns the process's exit status.
int applicationMain(int argc, char** argv);

}  // namespace corvane::host
