#include "platform/ipc/Contract.h"

namespace corvane::ipc::contract {

std::string signatureOf(std::span<const Arg> args) {
  std::string signature;
  for (const Arg& arg : args) signature += arg.type;
  return signature;
}

std::string busName(std::string_view serviceName) { return "org.corvane." + std::string(serviceName); }

std::string objectPath(std::string_view serviceName) { return "/org/corvane/" + std::string(serviceName); }

}  // namespace corvane::ipc::contract
