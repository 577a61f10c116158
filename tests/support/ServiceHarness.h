#pragma once

// Runs the real daemon for integration tests: a private dbus-daemon that can
// activate this build's daemon, and the daemon as a child process whose log
// lines are captured from its standard error.

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "media/MediaRecord.h"
#include "platform/ipc/Connection.h"

namespace corvane::test {

using namespace std::chrono_literals;

// A private session bus for the life of the object; the process's
// DBUS_SESSION_BUS_ADDRESS points at it meanwhile.
class PrivateBus {
 public:
  PrivateBus();
  ~PrivateBus();
  PrivateBus(const PrivateBus&) = delete;
  PrivateBus& operator=(const PrivateBus&) = delete;

  const std::string& address() const { return address_; }
  pid_t pid() const { return pid_; }  // the bus daemon's
  void stop();                        // ends the bus daemon now
  bool hasOwner(const std::string& busName) const;
  bool waitForOwner(const std::string& busName, bool owned, std::chrono::milliseconds timeout = 10s) const;

 private:
  std::string address_;
  pid_t pid_ = -1;
  std::optional<std::string> previousAddress_;
};

// The daemon started as a child of the test.
class DaemonProcess {
 public:
  DaemonProcess();   // starts it
  ~DaemonProcess();  // kills it if it still runs
  DaemonProcess(const DaemonProcess&) = delete;
  DaemonProcess& operator=(const DaemonProcess&) = delete;

  // The exit status once it has exited within timeout, else none.
  std::optional<int> waitForExit(std::chrono::milliseconds timeout = 10s);
  bool running();
  pid_t pid() const { return pid_; }
  std::string log() const;  // everything it wrote to standard error
  bool logContains(const std::string& text) const;
  // Waits until the log holds text.
  bool waitForLog(const std::string& text, std::chrono::milliseconds timeout = 10s) const;

 private:
  pid_t pid_ = -1;
  std::string logPath_;
  std::optional<int> status_;
};

// A temporary directory removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

struct CommandResult {
  int status = -1;
  std::string out;
  std::string err;
};
// Runs a program with arguments (no shell) and collects its output.
CommandResult runCommand(const std::vector<std::string>& argv);

// Runs a program as runCommand does, and sends it signal once its standard
// error holds text (after the first line that does).
CommandResult runCommandSignalled(const std::vector<std::string>& argv, const std::string& text, int signal);

// A call to a service written by hand (arguments of any type), from a
// connection of its own; the answer or the error it ended with.
ipc::Reply callService(const char* serviceName, const ipc::contract::Method& method,
                       const std::function<void(ipc::MessageWriter&)>& arguments = {});

// The value under key when it is of kind T.
template <typename T>
std::optional<T> valueOf(const media::MediaRecord& record, const std::string& key) {
  const T* value = record.get<T>(key);
  return value ? std::optional<T>(*value) : std::nullopt;
}

}  // namespace corvane::test
