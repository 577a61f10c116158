#pragma once

// The peak memory of one build, measured in a fresh process: the benchmark
// binary runs itself as `BINARY --measure-build PATH`, and its main hands
// that to measureInChild. The peak mark is reset just before the build, so
// that what starting the libraries once touched does not hide the build's
// own peak.

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <utility>

namespace corvane::bench {

// A figure of /proc/self/status in KiB ("VmRSS", "VmHWM"); -1 when missing.
inline long statusKiB(const std::string& field) {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind(field + ":", 0) == 0) return std::atol(line.c_str() + field.size() + 1);
  }
  return -1;
}

// In the child: runs build once and prints the resident memory before it and
// the peak during it, in KiB. The exit status: 0 when build succeeded.
inline int measureInChild(const std::function<bool()>& build) {
  std::ofstream("/proc/self/clear_refs") << "5";
  const long before = statusKiB("VmRSS");
  const bool built = build();
  std::printf("%ld %ld\n", before, statusKiB("VmHWM"));
  return built ? 0 : 1;
}

// In the parent: one build of path in a fresh process; the peak memory the
// build added and the process's whole peak, in KiB (-1 when unknown).
inline std::pair<long, long> peakBuildMemoryKiB(const std::string& path) {
  int fds[2];
  if (pipe(fds) != 0) return {-1, -1};
  const pid_t child = fork();
  if (child == 0) {
    dup2(fds[1], STDOUT_FILENO);
    close(fds[0]);
    execl("/proc/self/exe", "benchmark", "--measure-build", path.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(fds[1]);
  char text[128] = {};
  const ssize_t got = read(fds[0], text, sizeof text - 1);
  close(fds[0]);
  int status = 0;
  rusage usage{};
  wait4(child, &status, 0, &usage);
  long before = 0, peak = 0;
  if (got <= 0 || std::sscanf(text, "%ld %ld", &before, &peak) != 2 || before < 0 || peak < 0 ||
      !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    return {-1, -1};
  }
  return {peak - before, usage.ru_maxrss};
}

}  // namespace corvane::bench
