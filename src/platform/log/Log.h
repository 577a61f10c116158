#pragma once

// The one way the service writes log lines. Lines go to the system log
// (syslog, so journald keeps them) and, while the process has a standard error
// that goes somewhere, to standard error as well. Tests replace the sink to
// capture lines.

#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace corvane::log {

// printf-style formatting into a std::string.
std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Writes one plain line.
void line(std::string_view message);

// Writes one located line: "[module:operation-(line)] message".
void located(std::string_view module, std::string_view operation, int sourceLine,
             std::string_view message);

// Where lines go. An empty sink restores the system log.
using Sink = std::function<void(std::string_view)>;
void setSink(Sink sink);

// Collects every line written while it lives (tests).
class Capture {
 public:
  Capture();
  ~Capture();
  Capture(const Capture&) = delete;
  Capture& operator=(const Capture&) = delete;

  std::vector<std::string> lines() const;
  bool contains(std::string_view text) const;  // some line contains text
  size_t count(std::string_view text) const;   // lines containing text

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
};

}  // namespace corvane::log
