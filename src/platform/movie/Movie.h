#pragma once

// The movie layer: opens audio and video files through libavformat and
// answers what the builders ask of a movie. Every movie owns its demuxer
// state and releases it when destroyed; a movie is used by one thread at a
// time.
//
// Opening is bounded: probing reads at most a few MiB and gives up after a
// deadline, so a hostile file can never hold a service thread for long.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

struct AVFormatContext;

namespace corvane::movie {

// How often the enter/exit bracket has run in this process.
struct BracketCounts {
  uint64_t enters = 0;
  uint64_t exits = 0;
};

class Movie {
 public:
  // How long open() may take before the demuxer is interrupted.
  static constexpr std::chrono::milliseconds kOpenDeadline{5000};

  // Sets the library up for the process: once, at start-up (the daemon's
  // start-up does it).
  static void startUp();

  // none when libavformat cannot open or probe the file.
  static std::optional<Movie> open(const std::string& path);

  Movie(Movie&&) noexcept;
  Movie& operator=(Movie&&) noexcept;
  ~Movie();

  // Seconds; 0 when the container does not say.
  double duration() const;

  // The sampling frequency in Hz of the first audio stream in file order;
  // none when there is no audio stream or it declares no rate.
  std::optional<int32_t> firstAudioSampleRate() const;

  // The bracket around using movies off the main thread (see ThreadBracket).
  // On Linux the steps only count, which lets tests check the pairing.
  static void enterOnThread();
  static void exitOnThread();
  static BracketCounts bracketCounts();

 private:
  struct Demuxer;
  explicit Movie(std::unique_ptr<Demuxer> demuxer);

  std::unique_ptr<Demuxer> demuxer_;
};

// The enter/exit bracket as a scope: enterOnThread runs on the main thread
// (through the installed executor) when it is made, exitOnThread when it is
// destroyed, on every path; the making thread waits for each.
class ThreadBracket {
 public:
  ThreadBracket();
  ~ThreadBracket();
  ThreadBracket(const ThreadBracket&) = delete;
  ThreadBracket& operator=(const ThreadBracket&) = delete;
};

}  // namespace corvane::movie
