// Turning a photo upright as a person does it: `corvanectl rotate` against a
// running service, side by side with `vips autorot IN OUT[Q=90]`, both whole
// processes, on a 4000 x 3000 photo stored sideways (EXIF orientation 6).
// Goals: at most 1.0x the time of vips autorot; the service's peak memory
// growth for one rotation at most 1.5x the whole peak of vips autorot.
//
// Then, once each in a fresh service, what a costly or large picture costs
// the service (time as the client sees it, peak memory the request added):
//   - a 10000 x 10000 photo turned upright (goal: service peak < 700 MiB);
//   - a valid 8000 x 8000 progressive JPEG of 946 scans, record and thumbnail;
//   - a 12000 x 9000 (108-megapixel) photo's record with its thumbnail.

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>
#include <vips/vips8>

#include "BenchPictures.h"
#include "PeakMemory.h"
#include "RecordingReporter.h"
#include "fixtures/ExifFixture.h"
#include "fixtures/JpegFixture.h"
#include "host/ProcessSetup.h"
#include "platform/ipc/NotificationCenter.h"
#include "support/ServiceHarness.h"

using namespace corvane;
using namespace corvane::test;

namespace {

constexpr const char* kVips = "/usr/bin/vips";

// photo saved as a camera does it: stored sideways (orientation 6), with a
// make in IFD 0 and exposure properties in the EXIF sub-directory.
void writeSideways(const std::string& path, const vips::VImage& photo) {
  void* buffer = nullptr;
  size_t length = 0;
  photo.write_to_buffer(
      ".jpg", &buffer, &length,
      vips::VImage::option()->set("Q", 90)->set("subsample_mode", VIPS_FOREIGN_SUBSAMPLE_ON));
  const ByteVec jpeg(static_cast<const uint8_t*>(buffer), static_cast<const uint8_t*>(buffer) + length);
  g_free(buffer);
  ExifBuilder exif;
  exif.ascii(Ifd::Zero, tag::Make, "Bench Camera")
      .shortValue(Ifd::Zero, tag::Orientation, 6)
      .rational(Ifd::Exif, tag::FNumber, 28, 10)
      .shortValue(Ifd::Exif, tag::IsoSpeedRatings, 200);
  writeFile(path, exif.jpeg(jpeg));
}

// The daemon, kept up between commands by a registered client.
struct Service {
  DaemonProcess daemon;
  std::unique_ptr<ipc::NotificationCenter> holder;

  explicit Service(const PrivateBus& bus) {
    bus.waitForOwner("org.corvane.ImageParser_Halvern", true);
    holder = std::make_unique<ipc::NotificationCenter>();
    holder->post("AppRegister", std::string("bench.holder"));
  }
  ~Service() {
    holder->post("ShouldExit", std::string("bench.holder"));
    daemon.waitForExit(std::chrono::seconds(5));
  }
};

struct World {
  TempDir dir;
  std::string small = dir.file("small.jpg");  // 64 x 48, sideways
  std::string photo = dir.file("photo.jpg");  // 4000 x 3000, sideways
  std::string huge = dir.file("huge.jpg");    // 10000 x 10000, sideways
  std::string scans = dir.file("scans.jpg");  // 8000 x 8000, 946 scans
  std::string large = dir.file("108mp.jpg");  // 12000 x 9000
  std::string output = dir.file("upright.jpg");
  PrivateBus bus;

  World() {
    const std::string plain = dir.file("plain.jpg");
    bench::writePhotoLikeJpeg(plain, bench::PhotoKind::Smooth);
    const vips::VImage source = vips::VImage::new_from_file(plain.c_str());
    writeSideways(photo, source);
    writeSideways(small, source.resize(64.0 / 4000));
    writeSideways(huge, source.resize(2.5, vips::VImage::option()->set("vscale", 10000.0 / 3000)));
    source.resize(3.0).jpegsave(large.c_str(), vips::VImage::option()->set("Q", 90));
    writeFile(scans, progressiveJpeg(8000, 8000, 63, 4));
  }
};

World* world = nullptr;
pid_t runningService = 0;  // the service the timed runs use

// Processor time a command sets going, per iteration as "all_cpu": the
// command itself (a child that has ended), the service and the bus daemon.
// On a busy machine wall times drift; these stay comparable.
struct AllCpu {
  static double now() {
    return bench::childrenCpuSeconds() + bench::cpuSeconds(runningService) +
           bench::cpuSeconds(world->bus.pid());
  }
  benchmark::State& state;
  double start = now();
  ~AllCpu() {
    state.counters["all_cpu"] = benchmark::Counter(now() - start, benchmark::Counter::kAvgIterations);
  }
};

std::vector<std::string> rotateCommand(const std::string& in) {
  return {CORVANE_CTL_PATH, "rotate", in, "-o", world->output};
}

void BM_CorvanectlRotate(benchmark::State& state) {
  const AllCpu cpu{state};
  for (auto _ : state) {
    const CommandResult r = runCommand(rotateCommand(world->photo));
    if (r.status != 0 || r.out.find("\"turned\": true") == std::string::npos)
      state.SkipWithError(("corvanectl rotate failed: " + r.err).c_str());
  }
}
BENCHMARK(BM_CorvanectlRotate)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0)->Repetitions(3);

void BM_VipsAutorot(benchmark::State& state) {
  const AllCpu cpu{state};
  for (auto _ : state) {
    const CommandResult r = runCommand({kVips, "autorot", world->photo, world->output + "[Q=90]"});
    if (r.status != 0) state.SkipWithError(("vips autorot failed: " + r.err).c_str());
  }
}
BENCHMARK(BM_VipsAutorot)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0)->Repetitions(3);

// One command against a fresh service, after a small warm-up rotation: its
// wall time, and the service's resident memory before it and peak during it.
struct OneRequest {
  int status = -1;  // the command's: 0 found, 1 no result
  double seconds = 0;
  double beforeMiB = 0;
  double peakMiB = 0;
  double growthMiB() const { return peakMiB - beforeMiB; }
};

OneRequest measureOnce(const std::vector<std::string>& command) {
  Service fresh(world->bus);
  const pid_t pid = fresh.daemon.pid();
  runCommand(rotateCommand(world->small));
  bench::resetPeak(pid);
  OneRequest result;
  result.beforeMiB = double(bench::statusKiB("VmRSS", pid)) / 1024;
  const auto start = std::chrono::steady_clock::now();
  const CommandResult r = runCommand(command);
  result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  result.peakMiB = double(bench::statusKiB("VmHWM", pid)) / 1024;
  result.status = r.status;
  return result;
}

void report(const char* what, const OneRequest& r) {
  std::printf("%-40s exit %d %7.3f s, service peak %6.1f MiB (+%.1f MiB over %.1f MiB)\n", what, r.status,
              r.seconds, r.peakMiB, r.growthMiB(), r.beforeMiB);
}

}  // namespace

int main(int argc, char** argv) {
  if (!host::setUpProcess()) return 1;
  benchmark::Initialize(&argc, argv);
  World w;
  world = &w;

  const OneRequest rotation = measureOnce(rotateCommand(w.photo));
  const OneRequest huge = measureOnce(rotateCommand(w.huge));
  const OneRequest scansRecord = measureOnce({CORVANE_CTL_PATH, "image", w.scans});
  const OneRequest scansThumbnail =
      measureOnce({CORVANE_CTL_PATH, "thumbnail", w.scans, "100", "100", "-o", w.dir.file("t.tif")});
  const OneRequest large = measureOnce({CORVANE_CTL_PATH, "image", w.large});
  const double vipsPeakMiB =
      double(bench::commandPeakKiB({kVips, "autorot", w.photo, w.output + "[Q=90]"})) / 1024;

  corvane::bench::RecordingReporter reporter;
  {
    const Service running(w.bus);
    runningService = running.daemon.pid();
    benchmark::RunSpecifiedBenchmarks(&reporter);
  }

  const auto ctl = reporter.times("BM_CorvanectlRotate");
  const auto vips = reporter.times("BM_VipsAutorot");
  report("4000x3000 rotate (orientation 6)", rotation);
  report("10000x10000 rotate (orientation 6)", huge);
  report("8000x8000, 946 scans: record", scansRecord);
  report("8000x8000, 946 scans: thumbnail 100x100", scansThumbnail);
  report("12000x9000: record with thumbnail", large);
  std::printf("vips autorot of the 4000x3000 photo: whole peak %.1f MiB\n", vipsPeakMiB);
  if (ctl.wall > 0 && vips.wall > 0)
    std::printf("corvanectl rotate / vips autorot: wall %.3f (goal <= 1.0), all processes' cpu %.3f\n",
                ctl.wall / vips.wall, ctl.counters.at("all_cpu") / vips.counters.at("all_cpu"));
  if (vipsPeakMiB > 0)
    std::printf("service peak growth / vips autorot peak:          %.3f (goal <= 1.5)\n",
                rotation.growthMiB() / vipsPeakMiB);
  std::printf("10000x10000 turned upright, service peak:         %.1f MiB (goal < 700)\n", huge.peakMiB);
  world = nullptr;
  return 0;
}
