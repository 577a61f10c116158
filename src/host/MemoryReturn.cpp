#include "host/MemoryReturn.h"

#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <mutex>

namespace corvane::host {
namespace {

// The resident size in bytes; 0 when it cannot be read. The file stays open:
// reading it again from the start costs a fraction of opening it.
size_t residentBytes() {
  static const int statm = ::open("/proc/self/statm", O_RDONLY | O_CLOEXEC);
  char text[128];
  const ssize_t n = statm < 0 ? -1 : ::pread(statm, text, sizeof text - 1, 0);
  if (n <= 0) return 0;
  text[n] = '\0';
  unsigned long pages = 0, resident = 0;
  if (std::sscanf(text, "%lu %lu", &pages, &resident) != 2) return 0;
  return resident * static_cast<size_t>(::sysconf(_SC_PAGESIZE));
}

std::atomic<size_t> residentAfterReturn{0};
std::mutex returning;

}  // namespace

void returnFreedMemory() {
  const size_t resident = residentBytes();
  const size_t base = residentAfterReturn.load();
  if (resident == 0) return;
  if (base == 0 || resident < base) {
    // The first request, or memory went back by itself: the new floor.
    residentAfterReturn = resident;
    return;
  }
  if (resident - base < kReturnStep) return;
  std::unique_lock lock(returning, std::try_to_lock);
  if (!lock) return;
  ::malloc_trim(0);
  residentAfterReturn = residentBytes();
}

}  // namespace corvane::host
