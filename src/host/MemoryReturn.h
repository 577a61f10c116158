#pragma once

// Giving memory back to the system after requests that used much of it.
// The allocator keeps what a request frees for later requests; after a large
// picture or record that is hundreds of megabytes an idle daemon would hold
// for good. After each answered request the process's resident size is
// read (a few microseconds); when it has grown by kReturnStep since memory
// was last given back, the allocator hands its free pages back.
//
// Any thread; one return runs at a time, and a thread that finds one
// running leaves the work to it.

#include <cstddef>

namespace corvane::host {

inline constexpr size_t kReturnStep = size_t{32} << 20;

void returnFreedMemory();

}  // namespace corvane::host
