#include "platform/ipc/Connection.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <optional>

namespace corvane::ipc {

// The lock for one use of the bus from any thread. When the serving thread
// may be asleep waiting for the connection, it is woken afterwards, since the
// use may have queued output or a timeout it has to wait for, or read input
// it has to dispatch.
class Connection::Use {
 public:
  explicit Use(const Connection& connection) : connection_(connection), guard_(*connection.lock_) {}
  ~Use() {
    guard_.unlock();
    if (connection_.served_ && !connection_.onServingThread()) connection_.wake();
  }
  Use(const Use&) = delete;
  Use& operator=(const Use&) = delete;

 private:
  const Connection& connection_;
  std::unique_lock<BusLock> guard_;
};

namespace {

struct PendingReply {
  Connection::ReplyHandler handler;
  const Connection* connection;
};

int deliverReply(sd_bus_message* answer, void* userdata, sd_bus_error*) noexcept {
  const auto& pending = *static_cast<const PendingReply*>(userdata);
  try {
    pending.handler(Reply(pending.connection->adopt(sd_bus_message_ref(answer))));
  } catch (...) {
    // A handler's failure stays with the handler.
  }
  return 0;
}

int deliverSignal(sd_bus_message* message, void* userdata, sd_bus_error*) noexcept {
  MessageReader args(message);
  try {
    (*static_cast<const Connection::SignalHandler*>(userdata))(args);
  } catch (...) {
    // As above.
  }
  return 0;  // other matches see the message too
}

uint64_t monotonicMicros() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000000u + static_cast<uint64_t>(now.tv_nsec) / 1000u;
}

// poll()'s timeout for the library's deadline (absolute monotonic µs).
int pollTimeout(uint64_t deadline) {
  if (deadline == UINT64_MAX) return -1;
  const uint64_t now = monotonicMicros();
  if (deadline <= now) return 0;
  const uint64_t millis = (deadline - now + 999) / 1000;
  return millis > INT_MAX ? INT_MAX : static_cast<int>(millis);
}

}  // namespace

std::unique_ptr<Connection> Connection::openSession(std::string* error) {
  auto lock = std::make_shared<BusLock>();
  sd_bus* opened = nullptr;
  int r = sd_bus_open_user(&opened);
  BusPtr bus(opened, {lock});
  const char* unique = nullptr;
  if (r >= 0) r = sd_bus_get_unique_name(bus.get(), &unique);  // waits until the bus has taken us in
  int wakeFd = -1;
  if (r >= 0 && (wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) < 0) r = -errno;
  if (r < 0) {
    if (error) *error = errorText(r);
    return nullptr;
  }
  return std::unique_ptr<Connection>(new Connection(std::move(bus), std::move(lock), wakeFd));
}

Connection::Connection(BusPtr bus, std::shared_ptr<BusLock> lock, int wakeFd)
    : lock_(std::move(lock)), bus_(std::move(bus)), wakeFd_(wakeFd) {}

Connection::~Connection() {
  stop();
  bus_.reset();
  close(wakeFd_);
}

std::string Connection::uniqueName() {
  std::lock_guard guard(*lock_);
  const char* name = nullptr;
  return sd_bus_get_unique_name(bus_.get(), &name) >= 0 && name ? name : "";
}

int Connection::requestName(const std::string& name) {
  Use use(*this);
  const int r = sd_bus_request_name(bus_.get(), name.c_str(), 0);
  return r < 0 ? r : 0;
}

int Connection::releaseName(const std::string& name) {
  Use use(*this);
  const int r = sd_bus_release_name(bus_.get(), name.c_str());
  return r < 0 ? r : 0;
}

bool Connection::serve(LostHandler onLost) {
  if (served_) return true;
  if (thread_.joinable()) thread_.join();  // ended earlier, on a lost bus
  stopRequested_ = false;
  served_ = true;
  try {
    thread_ = std::thread([this, onLost = std::move(onLost)] { run(onLost); });
  } catch (const std::system_error&) {
    served_ = false;
    return false;
  }
  return true;
}

void Connection::stop() {
  if (!thread_.joinable()) return;
  stopRequested_ = true;
  wake();
  thread_.join();
}

void Connection::wake() const {
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t written = write(wakeFd_, &one, sizeof one);  // full only when already due
}

void Connection::run(const LostHandler& onLost) {
  servingThread_ = std::this_thread::get_id();
  int lost = 0;
  while (!stopRequested_ && lost == 0) {
    pollfd fds[2] = {};
    uint64_t deadline = UINT64_MAX;
    {
      // One message per turn: other threads get the lock between messages.
      std::lock_guard guard(*lock_);
      const int r = sd_bus_process(bus_.get(), nullptr);
      if (r < 0) {
        lost = r;
        break;
      }
      if (r > 0) continue;
      const int events = sd_bus_get_events(bus_.get());
      if (events < 0) {
        lost = events;
        break;
      }
      fds[0] = {sd_bus_get_fd(bus_.get()), static_cast<short>(events), 0};
      sd_bus_get_timeout(bus_.get(), &deadline);
    }
    fds[1] = {wakeFd_, POLLIN, 0};
    if (poll(fds, 2, pollTimeout(deadline)) < 0 && errno != EINTR) lost = -errno;
    if (fds[1].revents & POLLIN) {
      uint64_t count = 0;
      [[maybe_unused]] const ssize_t drained = read(wakeFd_, &count, sizeof count);
    }
  }
  {
    std::lock_guard guard(callsMutex_);
    served_ = false;
  }
  callsDone_.notify_all();
  servingThread_ = std::thread::id();
  if (lost != 0 && onLost) onLost(errorText(lost));
}

MessageWriter Connection::newCall(const std::string& destination, const std::string& path,
                                  const char* interface, const char* member) {
  std::lock_guard guard(*lock_);
  sd_bus_message* message = nullptr;
  const int r = sd_bus_message_new_method_call(bus_.get(), &message, destination.c_str(), path.c_str(),
                                               interface, member);
  return r < 0 ? MessageWriter::failed(r) : MessageWriter(adopt(message));
}

MessageWriter Connection::newCall(const contract::Method& method, const std::string& destination,
                                  const std::string& path) {
  return newCall(destination, path, method.interface, method.member);
}

MessageWriter Connection::newCall(const contract::Method& method, std::string_view serviceName) {
  return newCall(method, contract::busName(serviceName), contract::objectPath(serviceName));
}

MessageWriter Connection::newSignal(const char* path, const char* interface, const char* member) {
  std::lock_guard guard(*lock_);
  sd_bus_message* message = nullptr;
  const int r = sd_bus_message_new_signal(bus_.get(), &message, path, interface, member);
  return r < 0 ? MessageWriter::failed(r) : MessageWriter(adopt(message));
}

Reply Connection::call(MessageWriter request, std::chrono::microseconds timeout) {
  if (!request.ok()) return Reply::failure(request.error(), "the request could not be written");
  if (served_ && !onServingThread()) return callThroughServingThread(std::move(request), timeout);
  Use use(*this);
  sd_bus_message* answer = nullptr;
  BusError error;
  const int r =
      sd_bus_call(bus_.get(), request.get(), static_cast<uint64_t>(timeout.count()), &error.error, &answer);
  if (r >= 0) return Reply(adopt(answer));
  if (sd_bus_error_is_set(&error.error))
    return Reply::failure(error.error.name, error.error.message ? error.error.message : "");
  return Reply::failure(r, "the call failed");
}

Reply Connection::callThroughServingThread(MessageWriter request, std::chrono::microseconds timeout) {
  struct Wait {
    bool done = false;
    std::optional<Reply> reply;
  };
  auto wait = std::make_shared<Wait>();
  SlotPtr pending = callAsync(
      std::move(request),
      [this, wait](Reply reply) {
        std::lock_guard guard(callsMutex_);
        if (wait->done) return;
        wait->reply.emplace(std::move(reply));
        wait->done = true;
        callsDone_.notify_all();
      },
      timeout);
  std::optional<Reply> result;
  {
    std::unique_lock guard(callsMutex_);
    callsDone_.wait(guard, [&] { return wait->done || !served_; });
    if (!wait->done) {
      wait->done = true;
      wait->reply.emplace(Reply::failure(kNoReply, "the connection stopped serving before the answer came"));
    }
    result = std::move(wait->reply);
  }
  pending.reset();
  return std::move(*result);
}

SlotPtr Connection::callAsync(MessageWriter request, ReplyHandler onReply,
                              std::chrono::microseconds timeout) {
  if (!request.ok()) {
    onReply(Reply::failure(request.error(), "the request could not be written"));
    return {};
  }
  auto pending = std::make_unique<PendingReply>(PendingReply{std::move(onReply), this});
  sd_bus_slot* slot = nullptr;
  int r = 0;
  {
    Use use(*this);
    r = sd_bus_call_async(bus_.get(), &slot, request.get(), &deliverReply, pending.get(),
                          static_cast<uint64_t>(timeout.count()));
    if (r >= 0)
      sd_bus_slot_set_destroy_callback(slot,
                                       [](void* userdata) { delete static_cast<PendingReply*>(userdata); });
  }
  if (r < 0) {
    pending->handler(Reply::failure(r, "the call could not be sent"));
    return {};
  }
  pending.release();  // the slot owns it now
  return SlotPtr(slot, {lock_});
}

int Connection::send(MessageWriter message) {
  if (!message.ok()) return message.error();
  Use use(*this);
  int r = sd_bus_send(bus_.get(), message.get(), nullptr);
  // Unserved, nobody else would write what the socket did not take at once.
  if (r >= 0 && !served_) r = sd_bus_flush(bus_.get());
  return r < 0 ? r : 0;
}

SlotPtr Connection::addMatch(const std::string& rule, SignalHandler handler) {
  auto target = std::make_unique<SignalHandler>(std::move(handler));
  sd_bus_slot* slot = nullptr;
  Use use(*this);
  if (sd_bus_add_match(bus_.get(), &slot, rule.c_str(), &deliverSignal, target.get()) < 0) return {};
  sd_bus_slot_set_destroy_callback(slot,
                                   [](void* userdata) { delete static_cast<SignalHandler*>(userdata); });
  target.release();  // the slot owns it now
  return SlotPtr(slot, {lock_});
}

std::unique_ptr<ExportedObject> Connection::exportObject(const std::string& path, MethodTable table,
                                                         int* error) {
  std::unique_ptr<ExportedObject> object(new ExportedObject());
  int r = 0;
  {
    Use use(*this);
    r = object->exportOn(*this, bus_.get(), lock_, path, std::move(table));
  }
  if (r < 0) {
    if (error) *error = r;
    return nullptr;
  }
  return object;
}

}  // namespace corvane::ipc
