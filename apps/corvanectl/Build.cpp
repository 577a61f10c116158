// corvanectl build: the media record of every file, with several requests
// in flight at each service, printed in the order the files were given.

#include <signal.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <map>

#include "Cli.h"
#include "client/BuildQueue.h"
#include "media/RZMediaTypeReader.h"
#include "platform/ipc/Contract.h"

namespace corvane::cli {
namespace {

namespace contract = ipc::contract;
using Clock = std::chrono::steady_clock;

constexpr size_t kDefaultJobs = 2;
constexpr size_t kMostJobs = 64;
constexpr int kOutputClosed = 128 + SIGPIPE;  // what a shell shows for a reader gone

// The service that builds records of files with this media type code; none
// when the daemon has none for it.
const char* builderFor(int32_t code) {
  switch (code) {
    case media::kMediaTypeMP3:
      return contract::kMP3ParserService;
    case media::kMediaTypeM4A:
    case media::kMediaTypeMP4:
    case media::kMediaTypeM4V:
      return contract::kMP4ParserService;
    case media::kMediaTypeFLAC:
    case media::kMediaTypeOGG:
      return contract::kBasicAudioParserService;
    default:
      break;
  }
  switch (code & 0xFF000000) {
    case 0x04000000:
      return contract::kImageParserService;
    case 0x02000000:  // the other movie types
      return contract::kAVParserService;
    default:
      return nullptr;
  }
}

size_t jobsOption(std::vector<std::string>& args) {
  const auto text = takeOption(args, "--jobs");
  if (!text) return kDefaultJobs;
  const double jobs = number(*text, "--jobs");
  if (jobs < 1 || jobs > static_cast<double>(kMostJobs) ||
      jobs != static_cast<double>(static_cast<size_t>(jobs)))
    throw UsageError{"--jobs must be a whole number from 1 to " + std::to_string(kMostJobs)};
  return static_cast<size_t>(jobs);
}

// The stop signal that arrived (Ctrl-C, a polite kill); the run stops at
// its next tick.
std::atomic<int> gStopSignal{0};
static_assert(std::atomic<int>::is_always_lock_free, "set from a signal handler");
extern "C" void onStopSignal(int signal) { gStopSignal = signal; }

// For as long as it lives: catches the stop signals (one that was ignored
// when the process started stays ignored), and makes a closed standard
// output a failed write instead of a signal; so that a run that is stopped
// ends in order and the service hears goodbye.
class StopSignals {
 public:
  StopSignals() {
    struct sigaction handle {};
    handle.sa_handler = onStopSignal;
    handle.sa_flags = SA_RESTART;
    sigemptyset(&handle.sa_mask);
    struct sigaction ignore = handle;
    ignore.sa_handler = SIG_IGN;
    for (size_t i = 0; i < kSignals.size(); ++i) {
      sigaction(kSignals[i], kSignals[i] == SIGPIPE ? &ignore : &handle, &previous_[i]);
      if (previous_[i].sa_handler == SIG_IGN) sigaction(kSignals[i], &previous_[i], nullptr);
    }
  }
  ~StopSignals() {
    for (size_t i = 0; i < kSignals.size(); ++i) sigaction(kSignals[i], &previous_[i], nullptr);
  }
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

 private:
  static constexpr std::array<int, 3> kSignals{SIGINT, SIGTERM, SIGPIPE};
  std::array<struct sigaction, 3> previous_{};
};

// One line on standard error that shows how far the run is, when standard
// error is a terminal; redrawn at most ten times a second.
class ProgressBar {
 public:
  explicit ProgressBar(size_t total) : total_(total), shown_(total > 0 && isatty(STDERR_FILENO)) {}

  void update(size_t done) {
    const auto now = Clock::now();
    if (!shown_ || (drawn_ && now - lastDrawn_ < std::chrono::milliseconds(100) && done != total_)) return;
    lastDrawn_ = now;
    const double seconds = std::chrono::duration<double>(now - start_).count();
    const double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0;
    constexpr size_t kWidth = 24;
    const size_t filled = done * kWidth / total_;
    char left[32] = "";
    if (rate > 0) {
      const auto remaining = static_cast<long>(static_cast<double>(total_ - done) / rate + 0.5);
      std::snprintf(left, sizeof left, "  %ld:%02ld left", remaining / 60, remaining % 60);
    }
    std::fprintf(stderr, "\r\033[K[%s%s] %zu/%zu files  %.1f files/s%s", std::string(filled, '#').c_str(),
                 std::string(kWidth - filled, '.').c_str(), done, total_, rate, left);
    std::fflush(stderr);
    drawn_ = true;
  }

  // Takes the bar off the terminal before other output.
  void clear() {
    if (!drawn_) return;
    std::fputs("\r\033[K", stderr);
    std::fflush(stderr);
    drawn_ = false;
  }

 private:
  size_t total_;
  bool shown_;
  bool drawn_ = false;
  Clock::time_point start_ = Clock::now();
  Clock::time_point lastDrawn_{};
};

// "400 files (200 M4A, 200 MP3) in 1.3 s, 2 without a record"
std::string summary(const std::map<std::string, size_t>& kinds, size_t files, size_t none,
                    Clock::time_point start) {
  std::string text = std::to_string(files) + (files == 1 ? " file" : " files");
  const char* separator = " (";
  for (const auto& [kind, count] : kinds) {
    text += separator + std::to_string(count) + " " + kind;
    separator = ", ";
  }
  if (!kinds.empty()) text += ")";
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, " in %.1f s, ",
                std::chrono::duration<double>(Clock::now() - start).count());
  return text + seconds + std::to_string(none) + " without a record";
}

}  // namespace

int build(std::vector<std::string> args) {
  const Clock::time_point start = Clock::now();
  client::BuildQueue::Options options;
  options.window = jobsOption(args);
  if (args.empty()) throw UsageError{"at least one PATH is needed"};

  StopSignals stopSignals;
  bool allListed = true;
  std::vector<client::BuildQueue::File> files;
  std::map<std::string, size_t> kinds;
  for (std::string& path : listFiles(args, &allListed)) {
    const int32_t code = media::RZMediaTypeReader::type(path);
    ++kinds[media::RZMediaTypeReader::typeName(code)];
    const char* service = builderFor(code);
    files.push_back({std::move(path), service ? service : ""});
  }

  ProgressBar bar(files.size());
  const bool outputIsTerminal = isatty(STDOUT_FILENO);
  size_t handed = 0, none = 0;
  bool outputClosed = false;
  client::BuildQueue queue(files, options);
  const auto digest = [](const client::BuildQueue::File& file,
                         const std::optional<media::MediaRecord>& record) {
    return resultLine(file.path, "record", record);
  };
  const auto handover = [&](size_t index, const client::BuildQueue::Answer& answer) {
    if (outputIsTerminal || !answer.asked) bar.clear();
    if (!answer.asked)
      std::cerr << "corvanectl: " << files[index].path << ": no service reads this kind of file\n";
    ++handed;
    if (!answer.found) ++none;
    std::cout << (answer.asked ? answer.digest : resultLine(files[index].path, "record", std::nullopt))
              << std::endl;
    outputClosed = outputClosed || !std::cout;
  };
  const auto tick = [&](size_t done) {
    bar.update(done);
    return gStopSignal == 0 && !outputClosed;
  };
  bool finished = false;
  try {
    finished = queue.run(digest, handover, tick);
  } catch (...) {
    bar.clear();
    throw;
  }
  bar.clear();
  if (outputClosed) return kOutputClosed;
  if (!finished) {
    std::cerr << "corvanectl: stopped after " << handed << " of " << files.size() << " files\n";
    return 128 + gStopSignal;
  }
  std::cerr << "corvanectl: " << summary(kinds, files.size(), none, start) << "\n";
  return none == 0 && allListed ? kOk : kNotFound;
}

}  // namespace corvane::cli
