#pragma once

// Objects a connection exports: a table of handlers, one per contract
// method, and the exported object that answers calls with them.
//
// Handlers run on the connection's serving thread, one call at a time, under
// the connection's lock; a handler may call out on its own connection (for
// instance back to the caller, whose unique name is sender()). The bus
// library checks the argument types against the contract before a handler
// runs, and answers org.freedesktop.DBus.Error.InvalidArgs itself when they
// differ. A handler that throws answers org.corvane.Error.Failed; nothing
// unwinds through the library. The library also answers the standard
// Introspectable, Peer and Properties interfaces of every exported path.

#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/ipc/Contract.h"
#include "platform/ipc/Handles.h"
#include "platform/ipc/Message.h"

namespace corvane::ipc {

class Connection;

// One incoming call, as its handler sees it.
class MethodCall {
 public:
  MethodCall(Connection& connection, sd_bus_message* call);

  MessageReader& args() { return args_; }
  // The answer's values; an answer with none is sent when the handler adds
  // nothing.
  MessageWriter& reply();
  // Answers with an error instead of the reply.
  void fail(std::string name, std::string message);

  std::string sender() const;  // the caller's unique name
  Connection& connection() { return connection_; }

  // Sends the answer (or sets error for the library to send); what the
  // library's handler returns.
  int finish(sd_bus_error* error);

 private:
  Connection& connection_;
  sd_bus_message* call_;
  MessageReader args_;
  MessageWriter reply_;
  bool replyMade_ = false;
  std::string errorName_, errorMessage_;
};

using MethodHandler = std::function<void(MethodCall&)>;

// The handlers of one object, each under its contract method. The object
// exports every interface that has a handler, with exactly the methods that
// have one.
class MethodTable {
 public:
  MethodTable& on(const contract::Method& method, MethodHandler handler);
  // Runs after every call to the object, once its answer has been sent (or
  // handed to the library when it is an error). Must not throw.
  MethodTable& afterEach(std::function<void()> hook);

 private:
  friend class ExportedObject;
  std::vector<std::pair<const contract::Method*, MethodHandler>> entries_;
  std::function<void()> afterEach_;
};

// An object on a path of a connection; withdrawn when destroyed, which must
// happen before the connection goes and not inside one of its handlers.
class ExportedObject {
 public:
  ~ExportedObject();
  ExportedObject(const ExportedObject&) = delete;
  ExportedObject& operator=(const ExportedObject&) = delete;

 private:
  friend class Connection;
  struct Entry {
    MethodHandler handler;
    Connection* connection;
    const std::function<void()>* afterEach;  // the object's; may be empty
  };
  struct Interface {
    std::deque<std::string> texts;  // signatures and argument names the table points into
    std::vector<Entry> entries;     // a method's offset in the table picks its entry
    std::vector<sd_bus_vtable> table;
    SlotPtr slot;
  };

  ExportedObject() = default;
  // Adds the interfaces of table on path; a negative errno when the library
  // refuses one.
  int exportOn(Connection& connection, sd_bus* bus, const std::shared_ptr<BusLock>& lock,
               const std::string& path, MethodTable table);
  static int onCall(sd_bus_message* call, void* entry, sd_bus_error* error) noexcept;

  std::function<void()> afterEach_;
  std::vector<std::unique_ptr<Interface>> interfaces_;
};

}  // namespace corvane::ipc
