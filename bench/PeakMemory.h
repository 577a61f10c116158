#pragma once

// The peak memory of one piece of work, measured in a fresh process: the
// benchmark runs its own binary again with arguments that make it do the work
// once (after the process is set up) and report, so that what start-up and
// the other benchmarks touched does not hide the work's own peak.

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace corvane::bench {

// A figure of /proc/self/status in KiB ("VmRSS", "VmHWM"); -1 when missing.
inline long statusKiB(const std::string& field) {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind(field + ":", 0) == 0) return std::atol(line.c_str() + field.size() + 1);
  }
  return -1;
}

// In the child: resets the peak mark, runs work and prints the resident
// memory before it and the peak during it, in KiB. The exit status: 0 when
// work succeeded.
inline int reportPeakOf(const std::function<bool()>& work) {
  std::ofstream("/proc/self/clear_refs") << "5";
  const long before = statusKiB("VmRSS");
  const bool done = work();
  std::printf("%ld %ld\n", before, statusKiB("VmHWM"));
  return done ? 0 : 1;
}

// Runs this binary with args in a fresh process (which calls reportPeakOf);
// the peak memory the work added and the child's whole peak, in KiB; -1 for
// both when the child failed.
inline std::pair<long, long> peakMemoryOfChild(const std::vector<std::string>& args) {
  int fds[2];
  if (pipe(fds) != 0) return {-1, -1};
  const pid_t child = fork();
  if (child == 0) {
    dup2(fds[1], STDOUT_FILENO);
    close(fds[0]);
    std::vector<char*> argv{const_cast<char*>("bench")};
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    execv("/proc/self/exe", argv.data());
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
