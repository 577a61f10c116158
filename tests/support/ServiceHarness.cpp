#include "support/ServiceHarness.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace corvane::test {
namespace fs = std::filesystem;

namespace {

std::string readAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

pid_t spawn(const std::vector<std::string>& argv, int outFd, int errFd) {
  const pid_t pid = fork();
  if (pid == 0) {
    if (outFd >= 0) dup2(outFd, STDOUT_FILENO);
    if (errFd >= 0) dup2(errFd, STDERR_FILENO);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  return pid;
}

// Asks done every step until it says yes or the time is up.
bool pollUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout,
               std::chrono::milliseconds step) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;; std::this_thread::sleep_for(step)) {
    if (done()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
  }
}

}  // namespace

ScratchDir::ScratchDir() {
  std::string pattern = (fs::temp_directory_path() / "corvane-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

ScratchDir::~ScratchDir() {
  std::error_code ec;
  fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
  fs::remove_all(path_, ec);
}

long ScratchDir::entries() const { return std::distance(fs::directory_iterator(path_), {}); }

CommandResult runCommand(const std::vector<std::string>& argv) {
  const ScratchDir dir;
  const std::string outPath = dir / "out", errPath = dir / "err";
  const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  const pid_t pid = spawn(argv, out, err);
  close(out);
  close(err);
  int status = 0;
  waitpid(pid, &status, 0);
  CommandResult result;
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  result.out = readAll(outPath);
  result.err = readAll(errPath);
  return result;
}

CommandResult runCommandSignalled(const std::vector<std::string>& argv, const std::string& text, int signal) {
  ScratchDir dir;
  const std::string outPath = dir.file("out");
  const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  int err[2];
  if (pipe2(err, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  const pid_t pid = spawn(argv, out, err[1]);
  close(out);
  close(err[1]);
  CommandResult result;
  bool sent = false;
  char buffer[4096];
  for (ssize_t n; (n = read(err[0], buffer, sizeof buffer)) != 0;) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    result.err.append(buffer, static_cast<size_t>(n));
    const size_t found = result.err.find(text);
    if (!sent && found != std::string::npos && result.err.find('\n', found) != std::string::npos) {
      kill(pid, signal);
      sent = true;
    }
  }
  close(err[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  result.out = readAll(outPath);
  return result;
}

PrivateBus::PrivateBus() {
  if (const char* old = std::getenv("DBUS_SESSION_BUS_ADDRESS")) previousAddress_ = old;
  const auto r = runCommand({"/usr/bin/dbus-daemon", "--config-file=" CORVANE_BUS_CONFIG, "--fork",
                             "--print-address=1", "--print-pid=1"});
  std::istringstream lines(r.out);
  std::string pidText;
  std::getline(lines, address_);
  std::getline(lines, pidText);
  if (r.status != 0 || address_.empty()) throw std::runtime_error("dbus-daemon did not start: " + r.err);
  pid_ = std::stoi(pidText);
  setenv("DBUS_SESSION_BUS_ADDRESS", address_.c_str(), 1);
}

void PrivateBus::stop() {
  if (pid_ > 0) kill(pid_, SIGTERM);
  pid_ = -1;
}

PrivateBus::~PrivateBus() {
  stop();
  if (previousAddress_)
    setenv("DBUS_SESSION_BUS_ADDRESS", previousAddress_->c_str(), 1);
  else
    unsetenv("DBUS_SESSION_BUS_ADDRESS");
}

bool PrivateBus::hasOwner(const std::string& busName) const {
  const auto r =
      runCommand({"/usr/bin/dbus-send", "--bus=" + address_, "--print-reply", "--dest=org.freedesktop.DBus",
                  "/org/freedesktop/DBus", "org.freedesktop.DBus.NameHasOwner", "string:" + busName});
  return r.out.find("boolean true") != std::string::npos;
}

bool PrivateBus::waitForOwner(const std::string& busName, bool owned,
                              std::chrono::milliseconds timeout) const {
  return pollUntil([&] { return hasOwner(busName) == owned; }, timeout, 20ms);
}

DaemonProcess::DaemonProcess() {
  char pattern[] = "/tmp/corvane-daemon-log-XXXXXX";
  const int fd = mkstemp(pattern);
  if (fd < 0) throw std::runtime_error("mkstemp failed");
  logPath_ = pattern;
  pid_ = spawn({CORVANE_DAEMON_PATH}, -1, fd);
  close(fd);
}

DaemonProcess::~DaemonProcess() {
  if (running()) {
    kill(pid_, SIGKILL);
    waitForExit(5s);
  }
  unlink(logPath_.c_str());
}

std::optional<int> DaemonProcess::waitForExit(std::chrono::milliseconds timeout) {
  pollUntil(
      [&] {
        int status = 0;
        if (!status_ && waitpid(pid_, &status, WNOHANG) == pid_)
          status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return status_.has_value();
      },
      timeout, 10ms);
  return status_;
}

bool DaemonProcess::running() { return !waitForExit(0ms); }

std::string DaemonProcess::log() const { return readAll(logPath_); }

bool DaemonProcess::logContains(const std::string& text) const {
  return log().find(text) != std::string::npos;
}

bool DaemonProcess::waitForLog(const std::string& text, std::chrono::milliseconds timeout) const {
  return pollUntil([&] { return logContains(text); }, timeout, 10ms);
}

ipc::Reply callService(const char* serviceName, const ipc::contract::Method& method,
                       const std::function<void(ipc::MessageWriter&)>& arguments) {
  std::string error;
  auto connection = ipc::Connection::openSession(&error);
  if (!connection) return ipc::Reply::failure(ipc::kNoReply, error);
  ipc::MessageWriter request = connection->newCall(method, serviceName);
  if (arguments) arguments(request);
  return connection->call(std::move(request));
}

}  // namespace corvane::test
