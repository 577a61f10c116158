// As a person sees it: `corvanectl image` on a 4000x3000 photo against a
// running service, side by side with `vipsthumbnail` making a 100x100
// thumbnail of the same file. Both are whole processes; the figure is the
// ratio of their wall times (goal: at most 0.5).

#include <benchmark/benchmark.h>

#include <map>
#include <vips/vips8>

#include "platform/ipc/NotificationCenter.h"
#include "support/ServiceHarness.h"

using namespace corvane;
using namespace corvane::test;

namespace {

struct World {
  TempDir dir;
  std::string photo = dir.file("photo.jpg");
  std::unique_ptr<PrivateBus> bus;
  std::unique_ptr<DaemonProcess> daemon;
  std::unique_ptr<ipc::NotificationCenter> holder;

  World() {
    vips::VImage x = vips::VImage::xyz(4000, 3000);
    // Photo-like content: a gradient with noise, so the JPEG is not trivial.
    vips::VImage noise = vips::VImage::gaussnoise(4000, 3000, vips::VImage::option()->set("sigma", 20));
    vips::VImage rgb = ((x[0] * (255.0 / 4000)) + noise)
                           .bandjoin((x[1] * (255.0 / 3000)) + noise)
                           .bandjoin(noise + 128)
                           .cast(VIPS_FORMAT_UCHAR);
    rgb.jpegsave(photo.c_str(), vips::VImage::option()->set("Q", 90));
    bus = std::make_unique<PrivateBus>();
    daemon = std::make_unique<DaemonProcess>();
    bus->waitForOwner("org.corvane.ImageParser_Halvern", true);
    holder = std::make_unique<ipc::NotificationCenter>();
    holder->post("AppRegister", std::string("bench.holder"));  // keeps the service up between commands
  }
  ~World() {
    holder->post("ShouldExit", std::string("bench.holder"));
    daemon->waitForExit(std::chrono::seconds(5));
  }
};

World* world = nullptr;

void BM_CorvanectlImage(benchmark::State& state) {
  for (auto _ : state) {
    auto r = runCommand({CORVANE_CTL_PATH, "image", world->photo});
    if (r.status != 0) state.SkipWithError(("corvanectl failed: " + r.err).c_str());
  }
}
BENCHMARK(BM_CorvanectlImage)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

void BM_Vipsthumbnail(benchmark::State& state) {
  const std::string out = world->dir.file("thumb.jpg");
  for (auto _ : state) {
    auto r = runCommand({"/usr/bin/vipsthumbnail", world->photo, "-s", "100x100", "-o", out});
    if (r.status != 0) state.SkipWithError(("vipsthumbnail failed: " + r.err).c_str());
  }
}
BENCHMARK(BM_Vipsthumbnail)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

// Keeps each benchmark's wall time per iteration for the ratio.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  std::map<std::string, double> seconds;
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const auto& run : runs) seconds[run.benchmark_name()] = run.GetAdjustedRealTime();
    ConsoleReporter::ReportRuns(runs);
  }
};

}  // namespace

int main(int argc, char** argv) {
  if (VIPS_INIT(argv[0])) return 1;
  benchmark::Initialize(&argc, argv);
  World w;
  world = &w;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const double ctl = reporter.seconds["BM_CorvanectlImage/min_time:2.000/real_time"];
  const double vips = reporter.seconds["BM_Vipsthumbnail/min_time:2.000/real_time"];
  if (ctl > 0 && vips > 0)
    std::printf("ratio corvanectl image / vipsthumbnail = %.3f (goal <= 0.5)\n", ctl / vips);
  world = nullptr;
  return 0;
}
