#pragma once

// What every fuzz target does before its first input: the process set up as
// the daemon sets itself up, and the service's log silenced (the lines that
// hostile input makes on nearly every execution would drown the fuzzer's own
// output).

#include "host/ProcessSetup.h"
#include "media/Log.h"

namespace corvane::fuzz {

inline void setUp() {
  static const bool done = [] {
    corvane::host::setUpProcess();
    log::setSink([](std::string_view) {});
    return true;
  }();
  (void)done;
}

}  // namespace corvane::fuzz
