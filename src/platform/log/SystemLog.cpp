#include "platform/log/SystemLog.h"

#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include "media/Log.h"

namespace corvane::log {
namespace {

bool stderrIsUseful() {
  struct stat st {};
  if (fstat(STDERR_FILENO, &st) != 0) return false;
  // /dev/null is a character device like a terminal; tell them apart.
  return !S_ISCHR(st.st_mode) || isatty(STDERR_FILENO);
}

}  // namespace

void useSystemLog() {
  openlog("corvane", LOG_PID | (stderrIsUseful() ? LOG_PERROR : 0), LOG_USER);
  setSink([](std::string_view message) {
    syslog(LOG_NOTICE, "%.*s", static_cast<int>(message.size()), message.data());
  });
}

}  // namespace corvane::log
