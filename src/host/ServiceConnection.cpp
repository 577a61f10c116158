#include "host/ServiceConnection.h"

#include <sdbus-c++/sdbus-c++.h>

#include "platform/ipc/BusNames.h"

namespace corvane::host {

std::unique_ptr<ServiceConnection> ServiceConnection::serviceConnectionWithName(
    const std::string& serviceName, std::unique_ptr<ServiceObject> root) {
  std::unique_ptr<sdbus::IConnection> connection;
  try {
    // Asks for the name without queueing or replacing: an owned name fails.
    connection = sdbus::createSessionBusConnection(ipc::busName(serviceName));
    root->exportOn(*connection, ipc::objectPath(serviceName));
  } catch (const sdbus::Error&) {
    return nullptr;
  }
  return std::unique_ptr<ServiceConnection>(
      new ServiceConnection(serviceName, std::move(connection), std::move(root)));
}

ServiceConnection::ServiceConnection(std::string serviceName, std::unique_ptr<sdbus::IConnection> connection,
                                     std::unique_ptr<ServiceObject> root)
    : serviceName_(std::move(serviceName)), connection_(std::move(connection)), root_(std::move(root)) {}

ServiceConnection::~ServiceConnection() { invalidate(); }

void ServiceConnection::runInNewThread(ipc::EventLoopThread::LostHandler onLost) {
  if (connection_) loop_.start(*connection_, std::move(onLost));
}

void ServiceConnection::invalidate() {
  if (!connection_) return;
  loop_.stop();  // waits for a request in progress
  root_->unexport();
  try {
    connection_->releaseName(ipc::busName(serviceName_));
  } catch (const sdbus::Error&) {
    // Closing the connection gives the name back all the same.
  }
  connection_.reset();
  root_.reset();
}

}  // namespace corvane::host
