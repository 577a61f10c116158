#include "host/ServiceObject.h"

#include <sdbus-c++/sdbus-c++.h>

namespace corvane::host {

void ServiceObject::exportOn(sdbus::IConnection& connection, const std::string& objectPath) {
  object_ = sdbus::createObject(connection, objectPath);
  registerMethods(*object_);
  object_->finishRegistration();
}

}  // namespace corvane::host
