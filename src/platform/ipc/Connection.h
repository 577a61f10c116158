#pragma once

// One connection to the session bus: calls out (blocking or not), broadcast
// signals and matches, names, exported objects, and a thread of its own that
// serves them.
//
// Threads. Every use of the bus library happens under the connection's lock,
// so any thread may use a connection. serve() starts the serving thread,
// which reads the connection and runs handlers (methods, matches, answers to
// asynchronous calls); stop() returns once the handler in progress is done.
// A blocking call() made on another thread while the connection is served
// waits for its answer without holding the lock, so the serving thread goes
// on answering calls meanwhile; this is how a client serves an object the
// service calls back while one of the client's threads waits in a call. A
// call() on the serving thread itself (from a handler) or on a connection
// nobody serves reads the connection until its answer comes (requests to
// this connection wait meanwhile).
//
// Failures are values: none from openSession(), a negative errno, a Reply
// that is not ok(). A lost bus ends the serving thread and is reported to
// the LostHandler on that thread; pending calls then fail.
//
// Serve, stop and destroy a connection from the thread that owns it, never
// from one of its own handlers.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/ipc/Contract.h"
#include "platform/ipc/Handles.h"
#include "platform/ipc/Message.h"
#include "platform/ipc/Object.h"

namespace corvane::ipc {

class Connection {
 public:
  using LostHandler = std::function<void(const std::string& reason)>;
  using ReplyHandler = std::function<void(Reply reply)>;
  using SignalHandler = std::function<void(MessageReader& args)>;
  // Zero: the bus library's default (25 s).
  static constexpr std::chrono::microseconds kDefaultTimeout{0};

  // The session bus (DBUS_SESSION_BUS_ADDRESS, else the user's bus). None
  // when it cannot be reached; *error then says why.
  static std::unique_ptr<Connection> openSession(std::string* error = nullptr);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  std::string uniqueName();
  // Takes name without queueing and without replacing its owner: -EEXIST
  // when another connection owns it.
  int requestName(const std::string& name);
  int releaseName(const std::string& name);

  // Starts the serving thread; false when it cannot.
  bool serve(LostHandler onLost = {});
  // Ends it after the handler in progress; blocking calls still waiting on
  // it fail with kNoReply.
  void stop();
  bool serving() const { return served_; }

  MessageWriter newCall(const std::string& destination, const std::string& path, const char* interface,
                        const char* member);
  MessageWriter newCall(const contract::Method& method, const std::string& destination,
                        const std::string& path);
  // A call to a service of the contract, by its service name.
  MessageWriter newCall(const contract::Method& method, std::string_view serviceName);
  MessageWriter newSignal(const char* path, const char* interface, const char* member);

  // Sends request and waits for its answer.
  Reply call(MessageWriter request, std::chrono::microseconds timeout = kDefaultTimeout);
  // Sends request and returns at once; onReply runs on the serving thread
  // with the answer (a timeout and a lost bus are answers too), or here and
  // now when the request cannot be sent. Dropping the returned slot cancels
  // the call. Needs a served connection.
  SlotPtr callAsync(MessageWriter request, ReplyHandler onReply,
                    std::chrono::microseconds timeout = kDefaultTimeout);
  // Sends a message that expects no answer (a signal).
  int send(MessageWriter message);

  // Runs handler on the serving thread for every message that matches rule;
  // the match is in place at the bus when this returns. Dropping the slot
  // ends it. None when the bus refuses the rule.
  SlotPtr addMatch(const std::string& rule, SignalHandler handler);

  // Exports the handlers of table on path. None when the library refuses
  // (a path or interface already exported); *error holds the errno.
  std::unique_ptr<ExportedObject> exportObject(const std::string& path, MethodTable table,
                                               int* error = nullptr);

  // A message the library handed over, owned under this connection's lock.
  MessagePtr adopt(sd_bus_message* message) const { return MessagePtr(message, {lock_}); }

 private:
  class Use;

  Connection(BusPtr bus, std::shared_ptr<BusLock> lock, int wakeFd);
  void run(const LostHandler& onLost);
  void wake() const;
  bool onServingThread() const { return std::this_thread::get_id() == servingThread_.load(); }
  Reply callThroughServingThread(MessageWriter request, std::chrono::microseconds timeout);

  std::shared_ptr<BusLock> lock_;
  BusPtr bus_;
  int wakeFd_;
  std::thread thread_;
  std::atomic<std::thread::id> servingThread_{};
  std::atomic<bool> stopRequested_{false};
  std::atomic<bool> served_{false};
  // Blocking calls that wait for the serving thread to bring their answer.
  std::mutex callsMutex_;
  std::condition_variable callsDone_;
};

}  // namespace corvane::ipc
