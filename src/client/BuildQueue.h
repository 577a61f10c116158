#pragma once

// The records of many files, built with several requests in flight.
//
// Each file goes to the media info builder service named for it; a file
// without one gets no request. Every service has a connection of its own
// with at most `window` requests outstanding, so the services work side by
// side, each with its next request already waiting, and the answers are
// decoded side by side on the connections' serving threads. Answers are
// handed over in input order; a file is sent at most `lookahead` places
// after the first one not yet handed over, which bounds what waits for its
// turn.
//
// Threads: the queue is run and destroyed on one thread, which makes the
// handovers and ticks; the digest runs on the serving threads, several at
// once.
//
// Failures: a service that has not appeared is asked again until the start
// timeout, counted from its first such answer. The first file in input
// order whose request fails ends the run once every file before it is
// handed over: run() throws the ServiceError that a blocking call would
// have, and nothing after that file is handed over.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "client/Session.h"

namespace corvane::client {

class BuildQueue {
 public:
  struct File {
    std::string path;
    std::string service;  // empty: no service reads this kind of file
  };
  // What is kept of a record until its turn (a line of text, say), so that
  // the record itself, thumbnails and all, is dropped as soon as it arrives.
  using Digest =
      std::function<std::string(const File& file, const std::optional<media::MediaRecord>& record)>;
  struct Answer {
    bool asked = false;  // false: the file has no service
    bool found = false;
    std::string digest;  // of a found record or of none; empty when not asked
  };
  using Handover = std::function<void(size_t index, const Answer& answer)>;
  // After each round of handovers, and at least every tick while waiting,
  // with the number handed over so far; false stops the run.
  using Tick = std::function<bool(size_t done)>;

  struct Options {
    size_t window = 2;
    size_t lookahead = 1024;
    std::chrono::milliseconds startTimeout = std::chrono::seconds(10);
    std::chrono::milliseconds tick = std::chrono::milliseconds(100);
  };

  BuildQueue(std::vector<File> files, Options options);
  ~BuildQueue();
  BuildQueue(const BuildQueue&) = delete;
  BuildQueue& operator=(const BuildQueue&) = delete;

  // True when every file was handed over, false when a tick stopped the run
  // (the requests still out are cancelled).
  bool run(const Digest& digest, const Handover& handover, const Tick& tick);

 private:
  using Clock = std::chrono::steady_clock;
  struct Outcome {
    enum class State { Answered, NotThereYet, Failed } state = State::Failed;
    Answer answer;
    std::optional<ServiceError> error;  // what run() throws when the file's turn comes
  };
  struct Service {
    std::unique_ptr<ServiceProxy> proxy;
    std::deque<size_t> waiting;  // indexes in input order
    size_t outstanding = 0;
    std::optional<Clock::time_point> missingSince;
    Clock::time_point retryAt{};
  };

  void send(const std::string& name, Service& service, const Digest& digest);
  void settle(size_t index, Outcome outcome);
  void cancel();

  std::vector<File> files_;
  Options options_;
  std::map<std::string, Service> services_;
  std::map<size_t, ipc::SlotPtr> calls_;
  std::map<size_t, Outcome> settled_;  // answered, waiting for their turn
  size_t next_ = 0;                    // the first file not handed over

  // What the serving threads hand to run()'s thread.
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::vector<std::pair<size_t, Outcome>> inbox_;
};

}  // namespace corvane::client
