#include "host/ServiceConnection.h"

#include "host/MemoryReturn.h"
#include "platform/ipc/Contract.h"

namespace corvane::host {

std::unique_ptr<ServiceConnection> ServiceConnection::serviceConnectionWithName(
    const std::string& serviceName, std::unique_ptr<ServiceObject> root) {
  auto connection = ipc::Connection::openSession();
  if (!connection) return nullptr;
  ipc::MethodTable table;
  root->addMethods(table);
  table.afterEach(&returnFreedMemory);
  auto object = connection->exportObject(ipc::contract::objectPath(serviceName), std::move(table));
  // The object is in place before the name is taken, so no caller finds the
  // name without it. The name is asked for without queueing or replacing:
  // an owned name fails.
  if (!object || connection->requestName(ipc::contract::busName(serviceName)) < 0) return nullptr;
  return std::unique_ptr<ServiceConnection>(
      new ServiceConnection(serviceName, std::move(connection), std::move(root), std::move(object)));
}

ServiceConnection::ServiceConnection(std::string serviceName, std::unique_ptr<ipc::Connection> connection,
                                     std::unique_ptr<ServiceObject> root,
                                     std::unique_ptr<ipc::ExportedObject> object)
    : serviceName_(std::move(serviceName)),
      connection_(std::move(connection)),
      root_(std::move(root)),
      object_(std::move(object)) {}

ServiceConnection::~ServiceConnection() { invalidate(); }

void ServiceConnection::runInNewThread(ipc::Connection::LostHandler onLost) {
  if (connection_) connection_->serve(std::move(onLost));
}

void ServiceConnection::invalidate() {
  if (!connection_) return;
  connection_->stop();  // waits for a request in progress
  object_.reset();
  connection_->releaseName(ipc::contract::busName(serviceName_));  // closing would give it back all the same
  connection_.reset();
  root_.reset();
}

}  // namespace corvane::host
