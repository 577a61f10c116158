#pragma once

// Silences the service's log for a fuzz run: the lines that hostile input
// makes on nearly every execution would drown the fuzzer's own output.

#include "platform/log/Log.h"

namespace corvane::fuzz {

inline void silenceLog() {
  static const bool silenced = [] {
    log::setSink([](std::string_view) {});
    return true;
  }();
  (void)silenced;
}

}  // namespace corvane::fuzz
