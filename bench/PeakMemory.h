#pragma once

// What a process costs: its processor time, and its memory.
//
// The peak memory of one piece of work, measured in a fresh process: the
// benchmark runs its own binary again with arguments that make it do the work
// once (after the process is set up) and report, so that what start-up and
// the other benchmarks touched does not hide the work's own peak.

#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace corvane::bench {

// Processor seconds a process has used so far, all its threads.
inline double cpuSeconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::istringstream fields(text.substr(text.rfind(')') + 1));  // the name may hold blanks
  std::string skipped;
  for (int field = 3; field < 14; ++field) fields >> skipped;
  long user = 0, system = 0;
  fields >> user >> system;
  return static_cast<double>(user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// Processor seconds of this process's children that have ended and been
// waited for.
inline double childrenCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_CHILDREN, &usage);
  auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// A figure of a process's /proc status in KiB ("VmRSS", "VmHWM"); of this
// process when pid is 0; -1 when missing.
inline long statusKiB(const std::string& field, pid_t pid = 0) {
  std::ifstream status(pid == 0 ? std::string("/proc/self/status")
                                : "/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind(field + ":", 0) == 0) return std::atol(line.c_str() + field.size() + 1);
  }
  return -1;
}

// Sets a process's peak mark (VmHWM) to what it holds now; this process when
// pid is 0.
inline void resetPeak(pid_t pid = 0) {
  std::ofstream(pid == 0 ? std::string("/proc/self/clear_refs")
                         : "/proc/" + std::to_string(pid) + "/clear_refs")
      << "5";
}

// In the child: resets the peak mark, runs work and prints the resident
// memory before it and the peak during it, in KiB. The exit status: 0 when
// work succeeded.
inline int reportPeakOf(const std::function<bool()>& work) {
  resetPeak();
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

// Runs a program (no shell, output discarded) and gives its peak memory in
// KiB, read from its /proc status as it exits; -1 when it could not run or
// failed. (The rusage figure would not do: it counts what this process held,
// which the child shares until it execs.)
inline long commandPeakKiB(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  const pid_t child = fork();
  if (child == 0) {
    if (std::freopen("/dev/null", "w", stdout) == nullptr) _exit(127);
    ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
    execv(args[0], args.data());  // stops with SIGTRAP once the program is loaded
    _exit(127);
  }
  if (child < 0) return -1;
  long peak = -1;
  bool loaded = false;
  int status = 0;
  while (waitpid(child, &status, 0) == child && WIFSTOPPED(status)) {
    int passOn = 0;
    if (status >> 8 == (SIGTRAP | (PTRACE_EVENT_EXIT << 8))) {
      peak = statusKiB("VmHWM", child);  // still there while it exits
    } else if (!loaded && WSTOPSIG(status) == SIGTRAP) {
      loaded = true;
      ptrace(PTRACE_SETOPTIONS, child, nullptr, PTRACE_O_TRACEEXIT);
    } else {
      passOn = WSTOPSIG(status);
    }
    ptrace(PTRACE_CONT, child, nullptr, passOn);
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? peak : -1;
}

}  // namespace corvane::bench
