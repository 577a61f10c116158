#pragma once

// One published service: a bus connection of its own that holds the service's
// bus name and serves the service object's requests on a thread of its own.

#include <memory>
#include <string>

#include "host/ServiceObject.h"
#include "platform/ipc/Connection.h"

namespace corvane::host {

class ServiceConnection {
 public:
  // Publishes root under org.corvane.<serviceName> at /org/corvane/<serviceName>;
  // none when the name cannot be registered (another process owns it, no bus).
  static std::unique_ptr<ServiceConnection> serviceConnectionWithName(const std::string& serviceName,
                                                                      std::unique_ptr<ServiceObject> root);
  ~ServiceConnection();
  ServiceConnection(const ServiceConnection&) = delete;
  ServiceConnection& operator=(const ServiceConnection&) = delete;

  // onLost is called on the connection's thread when the bus goes away.
  void runInNewThread(ipc::Connection::LostHandler onLost = {});
  // Stops serving (after the request in progress), withdraws the object and
  // gives the name back.
  void invalidate();

  const std::string& serviceName() const { return serviceName_; }

 private:
  ServiceConnection(std::string serviceName, std::unique_ptr<ipc::Connection> connection,
                    std::unique_ptr<ServiceObject> root, std::unique_ptr<ipc::ExportedObject> object);

  std::string serviceName_;
  std::unique_ptr<ipc::Connection> connection_;
  std::unique_ptr<ServiceObject> root_;
  std::unique_ptr<ipc::ExportedObject> object_;  // answers with root_'s handlers
};

}  // namespace corvane::host
