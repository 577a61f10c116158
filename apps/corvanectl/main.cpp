// corvanectl: the command line to the Corvane service. Prints JSON, one line
// per file, and exits with a status scripts can use.

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "client/Json.h"
#include "client/Session.h"

namespace {

using namespace corvane;

enum Exit { kOk = 0, kNotFound = 1, kUsage = 2, kUnreachable = 3, kFailed = 4 };

const char* const kUsageText =
    "usage: corvanectl COMMAND [ARGS...]\n"
    "\n"
    "commands:\n"
    "  exif PATH...      the EXIF record of each picture\n"
    "\n"
    "Each result is one JSON line: {\"path\": ..., \"found\": true|false, ...}.\n"
    "Exit status: 0 all found, 1 some file gave no result, 2 usage error,\n"
    "3 the service cannot be reached, 4 the service failed a request.\n";

int usage(const std::string& problem) {
  if (!problem.empty()) std::cerr << "corvanectl: " << problem << "\n";
  std::cerr << kUsageText;
  return kUsage;
}

std::string absolute(const std::string& path) {
  if (!path.empty() && path[0] == '/') return path;
  std::vector<char> cwd(4096);
  if (!getcwd(cwd.data(), cwd.size())) return path;
  return std::string(cwd.data()) + "/" + path;
}

void printResult(const std::string& path, const char* field, const std::optional<ipc::WireRecord>& record) {
  std::cout << "{\"path\": " << client::jsonString(path) << ", \"found\": " << (record ? "true" : "false");
  if (record) std::cout << ", \"" << field << "\": " << client::jsonObject(*record);
  std::cout << "}" << std::endl;
}

int exif(const std::vector<std::string>& paths) {
  if (paths.empty()) return usage("exif needs at least one PATH");
  client::ExifExtractorClient service;
  int status = kOk;
  for (const auto& path : paths) {
    const std::string full = absolute(path);
    auto record = service.extractExif(full);
    printResult(full, "exif", record);
    if (!record) status = kNotFound;
  }
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage("");
  const std::string command = argv[1];
  if (command == "-h" || command == "--help" || command == "help") {
    std::cout << kUsageText;
    return kOk;
  }
  const std::vector<std::string> args(argv + 2, argv + argc);
  try {
    client::Session session("org.corvane.corvanectl." + std::to_string(getpid()));
    if (command == "exif") return exif(args);
    return usage("unknown command '" + command + "'");
  } catch (const client::ServiceError& e) {
    std::cerr << "corvanectl: " << e.what() << "\n";
    return e.kind() == client::ServiceError::Kind::Unreachable ? kUnreachable : kFailed;
  }
}
