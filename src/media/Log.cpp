#include "media/Log.h"

#include <cstdarg>
#include <cstdio>

namespace corvane::log {
namespace {

std::mutex sinkMutex;
Sink currentSink;

void standardError(std::string_view message) {
  std::fprintf(stderr, "%.*s\n", static_cast<int>(message.size()), message.data());
}

// text cut to at most limit bytes, without splitting a UTF-8 sequence, and
// marked when cut.
std::string cut(std::string_view text, size_t limit) {
  if (text.size() <= limit) return std::string(text);
  size_t end = limit;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return std::string(text.substr(0, end)) + format("... (cut, %zu bytes in all)", text.size());
}

}  // namespace

std::string format(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  va_list copy;
  va_copy(copy, args);
  const int size = std::vsnprintf(nullptr, 0, fmt, copy);
  va_end(copy);
  std::string out;
  if (size > 0) {
    out.resize(static_cast<size_t>(size) + 1);
    std::vsnprintf(out.data(), out.size(), fmt, args);
    out.resize(static_cast<size_t>(size));
  }
  va_end(args);
  return out;
}

void line(std::string_view message) {
  const std::string capped = message.size() > kMaxLineBytes ? cut(message, kMaxLineBytes) : std::string();
  if (!capped.empty()) message = capped;
  std::lock_guard lock(sinkMutex);
  if (currentSink)
    currentSink(message);
  else
    standardError(message);
}

std::string shown(std::string_view value) { return cut(value, kMaxShownBytes); }

void located(std::string_view module, std::string_view operation, int sourceLine, std::string_view message) {
  line(format("[%.*s:%.*s-(%d)] %.*s", static_cast<int>(module.size()), module.data(),
              static_cast<int>(operation.size()), operation.data(), sourceLine,
              static_cast<int>(message.size()), message.data()));
}

void setSink(Sink sink) {
  std::lock_guard lock(sinkMutex);
  currentSink = std::move(sink);
}

Capture::Capture() {
  setSink([this](std::string_view message) {
    std::lock_guard lock(mutex_);
    lines_.emplace_back(message);
  });
}

Capture::~Capture() { setSink({}); }

std::vector<std::string> Capture::lines() const {
  std::lock_guard lock(mutex_);
  return lines_;
}

bool Capture::contains(std::string_view text) const { return count(text) > 0; }

size_t Capture::count(std::string_view text) const {
  std::lock_guard lock(mutex_);
  size_t n = 0;
  for (const auto& l : lines_)
    if (l.find(text) != std::string::npos) ++n;
  return n;
}

}  // namespace corvane::log
