#pragma once

// A service object as its connection publishes it: the service class behind a
// D-Bus adaptor that registers the service's interface on an object path.

#include <sdbus-c++/Error.h>
#include <sdbus-c++/IConnection.h>
#include <sdbus-c++/IObject.h>

#include <exception>
#include <memory>
#include <string>

namespace corvane::host {

class ServiceObject {
 public:
  virtual ~ServiceObject() = default;

  // Registers the interface(s) on objectPath of connection.
  void exportOn(sdbus::IConnection& connection, const std::string& objectPath);
  // Withdraws the object; no further request reaches the service.
  void unexport() { object_.reset(); }

 protected:
  virtual void registerMethods(sdbus::IObject& object) = 0;

 private:
  std::unique_ptr<sdbus::IObject> object_;
};

// Runs a request's body. A failure inside the service that is not already a
// D-Bus error (a library exception, memory exhaustion) goes back to the caller
// as a D-Bus error instead of unwinding through the bus library.
template <typename Body>
auto shielded(const char* operation, Body&& body) -> decltype(body()) {
  try {
    return body();
  } catch (const sdbus::Error&) {
    throw;
  } catch (const std::exception& e) {
    throw sdbus::Error("org.corvane.Error.Failed", std::string(operation) + ": " + e.what());
  }
}

}  // namespace corvane::host
