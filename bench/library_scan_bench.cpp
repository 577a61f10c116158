// A music library scanned as a person does it: `corvanectl build DIR` on a
// folder of 200 tagged MP3s and 200 tagged M4As, each with a 500 x 500 cover
// of its own, against the daemon running on a private bus. Measured in the
// same run against
//   - the same 400 records built in this process, one after the other on
//     one thread: goal <= 1.2x (the requests in flight and the second core
//     pay for the bus);
//   - `exiftool -q -j -r DIR`, which reads the tags but makes no
//     thumbnails: goal <= 1.5x, stretch 1.0x.
// corvanectl also runs with one request in flight per service, and with
// four, to show what the window brings.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "BenchPictures.h"
#include "BenchSongs.h"
#include "RecordingReporter.h"
#include "builders/MP3Parser.h"
#include "builders/MP4Parser.h"
#include "host/ProcessSetup.h"
#include "platform/ipc/Contract.h"
#include "platform/ipc/NotificationCenter.h"
#include "support/ServiceHarness.h"

using namespace corvane;
using namespace corvane::test;
namespace contract = ipc::contract;

namespace {

constexpr int kSongsPerKind = 200;
constexpr int kCoverSize = 500;

struct World {
  TempDir dir;
  std::vector<std::string> mp3s, m4as;
  std::unique_ptr<PrivateBus> bus;
  std::unique_ptr<DaemonProcess> daemon;
  std::unique_ptr<ipc::NotificationCenter> holder;

  World() {
    const auto cover = [](int i) { return bench::coverPicture(kCoverSize, i); };
    mp3s = bench::makeTaggedMp3s(dir.path(), "song", kSongsPerKind, cover);
    m4as = bench::makeTaggedM4as(dir.path(), "track", kSongsPerKind, cover);
    bus = std::make_unique<PrivateBus>();
    daemon = std::make_unique<DaemonProcess>();
    bus->waitForOwner(contract::busName(contract::kMP4ParserService), true);
    holder = std::make_unique<ipc::NotificationCenter>();
    holder->post(contract::kAppRegister.member, std::string("bench.holder"));  // keeps the service up
  }
  ~World() {
    holder->post(contract::kShouldExit.member, std::string("bench.holder"));
    daemon->waitForExit(std::chrono::seconds(5));
  }
  bool ready() const { return mp3s.size() == kSongsPerKind && m4as.size() == kSongsPerKind; }
};

World* world = nullptr;

void BM_InProcessOneThread(benchmark::State& state) {
  builders::MP3Parser mp3;
  builders::MP4Parser mp4;
  for (auto _ : state) {
    for (const std::string& path : world->mp3s)
      if (!mp3.build(path)) state.SkipWithError("no MP3 record");
    for (const std::string& path : world->m4as)
      if (!mp4.build(path)) state.SkipWithError("no M4A record");
  }
}
BENCHMARK(BM_InProcessOneThread)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3.0);

void BM_CorvanectlBuild(benchmark::State& state) {
  const std::string jobs = std::to_string(state.range(0));
  for (auto _ : state) {
    const auto r = runCommand({CORVANE_CTL_PATH, "build", "--jobs", jobs, world->dir.path()});
    if (r.status != 0 || std::count(r.out.begin(), r.out.end(), '\n') != 2 * kSongsPerKind)
      state.SkipWithError(("corvanectl failed: " + r.err).c_str());
  }
}
BENCHMARK(BM_CorvanectlBuild)
    ->Arg(1)
    ->Arg(2)
    ->Arg(4)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(3.0);

void BM_Exiftool(benchmark::State& state) {
  for (auto _ : state) {
    const auto r = runCommand({"/usr/bin/exiftool", "-q", "-j", "-r", world->dir.path()});
    if (r.status != 0) state.SkipWithError(("exiftool failed: " + r.err).c_str());
  }
}
BENCHMARK(BM_Exiftool)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3.0);

}  // namespace

int main(int argc, char** argv) {
  if (!host::setUpProcess()) return 1;
  benchmark::Initialize(&argc, argv);
  World w;
  if (!w.ready()) {
    std::fprintf(stderr, "could not make the songs (ffmpeg and TagLib needed)\n");
    return 1;
  }
  world = &w;
  bench::RecordingReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const double inProcess = reporter.times("BM_InProcessOneThread").wall;
  const double exiftool = reporter.times("BM_Exiftool").wall;
  for (const char* jobs : {"1", "2", "4"}) {
    const double ctl = reporter.times(std::string("BM_CorvanectlBuild/") + jobs).wall;
    if (ctl <= 0) continue;
    std::printf("corvanectl build --jobs %s: %.2f s", jobs, ctl);
    if (inProcess > 0)
      std::printf("; / in process, one thread %.2f s = %.2f (goal <= 1.2)", inProcess, ctl / inProcess);
    if (exiftool > 0) std::printf("; / exiftool %.2f s = %.2f (goal <= 1.5)", exiftool, ctl / exiftool);
    std::printf("\n");
  }
  world = nullptr;
  return 0;
}
