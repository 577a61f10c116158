#include "platform/ipc/Object.h"

#include <algorithm>
#include <cerrno>
#include <exception>

#include "media/Text.h"
#include "platform/ipc/Connection.h"

namespace corvane::ipc {

MethodCall::MethodCall(Connection& connection, sd_bus_message* call)
    : connection_(connection), call_(call), args_(call) {}

MessageWriter& MethodCall::reply() {
  if (!replyMade_) {
    replyMade_ = true;
    sd_bus_message* answer = nullptr;
    const int r = sd_bus_message_new_method_return(call_, &answer);
    reply_ = r < 0 ? MessageWriter::failed(r) : MessageWriter(connection_.adopt(answer));
  }
  return reply_;
}

void MethodCall::fail(std::string name, std::string message) {
  errorName_ = std::move(name);
  errorMessage_ = std::move(message);
}

std::string MethodCall::sender() const {
  const char* name = sd_bus_message_get_sender(call_);
  return name ? name : "";
}

int MethodCall::finish(sd_bus_error* error) {
  if (!errorName_.empty())
    return sd_bus_error_set(error, errorName_.c_str(), media::toValidUtf8(errorMessage_).c_str());
  if (!args_.ok()) {
    if (args_.error() == -E2BIG) return sd_bus_error_set(error, kLimitsExceeded, limitText(-E2BIG).c_str());
    return sd_bus_error_set(error, kInvalidArgs, "the arguments are not of the expected types");
  }
  MessageWriter& answer = reply();
  if (answer.error() == -EMSGSIZE) {
    const std::string text = "the answer is too large: " + limitText(-EMSGSIZE);
    return sd_bus_error_set(error, kLimitsExceeded, text.c_str());
  }
  if (!answer.ok()) return sd_bus_error_set_errno(error, answer.error());
  return sd_bus_send(nullptr, answer.get(), nullptr);
}

MethodTable& MethodTable::on(const contract::Method& method, MethodHandler handler) {
  entries_.emplace_back(&method, std::move(handler));
  return *this;
}

MethodTable& MethodTable::afterEach(std::function<void()> hook) {
  afterEach_ = std::move(hook);
  return *this;
}

namespace {

// The error answer for a handler that threw. Never throws itself: it runs
// between the bus library's frames.
int failedInside(sd_bus_message* call, sd_bus_error* error, const char* what) noexcept {
  try {
    const std::string text = std::string(sd_bus_message_get_member(call)) + ": " + what;
    return sd_bus_error_set(error, kFailed, media::toValidUtf8(text).c_str());
  } catch (...) {
    return sd_bus_error_set(error, kFailed, "the request failed");
  }
}

}  // namespace

int ExportedObject::onCall(sd_bus_message* call, void* entry, sd_bus_error* error) noexcept {
  const Entry& target = *static_cast<const Entry*>(entry);
  int result = 0;
  try {
    MethodCall request(*target.connection, call);
    target.handler(request);
    result = request.finish(error);
  } catch (const std::exception& e) {
    result = failedInside(call, error, e.what());
  } catch (...) {
    result = failedInside(call, error, "an unknown failure");
  }
  if (*target.afterEach) (*target.afterEach)();
  return result;
}

int ExportedObject::exportOn(Connection& connection, sd_bus* bus, const std::shared_ptr<BusLock>& lock,
                             const std::string& path, MethodTable table) {
  afterEach_ = std::move(table.afterEach_);
  // Group the handlers by interface, keeping the order they were given in.
  std::vector<std::string> names;
  for (const auto& [method, handler] : table.entries_) {
    if (std::find(names.begin(), names.end(), method->interface) == names.end())
      names.push_back(method->interface);
  }
  for (const std::string& name : names) {
    auto iface = std::make_unique<Interface>();
    iface->table.push_back(SD_BUS_VTABLE_START(0));
    for (auto& [method, handler] : table.entries_) {
      if (method->interface != name) continue;
      const std::string& in = iface->texts.emplace_back(contract::signatureOf(method->in));
      const std::string& out = iface->texts.emplace_back(contract::signatureOf(method->out));
      std::string argNames;  // each name ends in a zero byte, inputs first
      for (const auto* list : {&method->in, &method->out}) {
        for (const contract::Arg& arg : *list) argNames.append(arg.name).push_back('\0');
      }
      const std::string& packed = iface->texts.emplace_back(std::move(argNames));
      sd_bus_vtable entry =
          SD_BUS_METHOD_WITH_OFFSET(method->member, in.c_str(), out.c_str(), &onCall,
                                    iface->entries.size() * sizeof(Entry), SD_BUS_VTABLE_UNPRIVILEGED);
      entry.x.method.names = packed.c_str();
      iface->table.push_back(entry);
      iface->entries.push_back(Entry{std::move(handler), &connection, &afterEach_});
    }
    iface->table.push_back(SD_BUS_VTABLE_END);
    sd_bus_slot* slot = nullptr;
    const int r = sd_bus_add_object_vtable(bus, &slot, path.c_str(), name.c_str(), iface->table.data(),
                                           iface->entries.data());
    if (r < 0) return r;
    iface->slot = SlotPtr(slot, {lock});
    interfaces_.push_back(std::move(iface));
  }
  return 0;
}

ExportedObject::~ExportedObject() {
  // Each slot withdraws its interface under the connection's lock.
  interfaces_.clear();
}

}  // namespace corvane::ipc
