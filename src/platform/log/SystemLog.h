#pragma once

// The system log as the log seam's sink: syslog (so journald keeps the
// lines) under the name "corvane", and standard error as well while it goes
// somewhere (a terminal, a file or a pipe, not /dev/null). Installed once by
// the daemon at start-up.

namespace corvane::log {

void useSystemLog();

}  // namespace corvane::log
