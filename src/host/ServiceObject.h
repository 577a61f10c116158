#pragma once

// A service object as its connection publishes it: the service class behind
// an adaptor that answers the service's contract methods.

#include <optional>

#include "platform/ipc/Object.h"

namespace corvane::host {

class ServiceObject {
 public:
  virtual ~ServiceObject() = default;

  // The handlers of the service's methods. They run on the service's
  // connection thread, one request at a time.
  virtual void addMethods(ipc::MethodTable& table) = 0;
};

// The answer of an operation that may find nothing: the flag, then the
// record (empty for none).
void replyFound(ipc::MethodCall& call, const std::optional<media::MediaRecord>& record);

}  // namespace corvane::host
