#pragma once

// The one way the service writes log lines: one line per event, through a
// sink. Until a sink is set, lines go to standard error; the daemon sets the
// system log's sink at start-up (platform/log), tests set one that captures.
// Any thread may write; lines are written one at a time.

#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace corvane::log {

// printf-style formatting into a std::string.
std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Writes one plain line. A line longer than kMaxLineBytes is cut there, and
// says so.
inline constexpr size_t kMaxLineBytes = 4096;
void line(std::string_view message);

// A value from outside (an application id, a path) as log lines show it: at
// most kMaxShownBytes of it, cut at a character boundary and followed by a
// note of its full length. A client can send megabytes of id; the log gets
// a recognisable head of it.
inline constexpr size_t kMaxShownBytes = 256;
std::string shown(std::string_view value);

// Writes one located line: "[module:operation-(line)] message".
void located(std::string_view module, std::string_view operation, int sourceLine, std::string_view message);

// Where lines go. An empty sink restores standard error.
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
