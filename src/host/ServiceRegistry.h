#pragma once

// The services the host publishes, in the order it registers them.

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "host/ServiceObject.h"

namespace corvane::host {

struct ServiceRow {
  std::string serviceName;
  std::string failureMessage;  // logged when the name cannot be registered
  // Makes the service object with its plain constructor; empty for a
  // service this build does not have yet (the row is then passed over).
  std::function<std::unique_ptr<ServiceObject>()> create;
};

std::vector<ServiceRow> serviceRegistry();

}  // namespace corvane::host
