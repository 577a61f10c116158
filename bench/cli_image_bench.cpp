// As a person sees it: `corvanectl image` on a 4000x3000 photo against a
// running service, side by side with `vipsthumbnail` making a 100x100
// thumbnail of the same file, for the photos of BenchPictures.h. Both are whole
// processes; the figure is the ratio of their wall times (goal: at most 0.5).

#include <benchmark/benchmark.h>

#include <vips/vips8>

#include "BenchPictures.h"
#include "RecordingReporter.h"
#include "host/ProcessSetup.h"
#include "platform/ipc/NotificationCenter.h"
#include "support/ServiceHarness.h"

using namespace corvane;
using namespace corvane::test;

namespace {

struct World {
  ScratchDir dir;
  std::string photos[3];
  std::unique_ptr<PrivateBus> bus;
  std::unique_ptr<DaemonProcess> daemon;
  std::unique_ptr<ipc::NotificationCenter> holder;

  World() {
    for (auto kind : {bench::PhotoKind::Smooth, bench::PhotoKind::Detailed, bench::PhotoKind::Grainy}) {
      std::string& path = photos[static_cast<int>(kind)];
      path = (dir / (std::string(bench::photoKindName(kind)) + ".jpg")).string();
      bench::writePhotoLikeJpeg(path, kind);
    }
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
    auto r = runCommand({CORVANE_CTL_PATH, "image", world->photos[state.range(0)]});
    if (r.status != 0) state.SkipWithError(("corvanectl failed: " + r.err).c_str());
  }
}
BENCHMARK(BM_CorvanectlImage)->DenseRange(0, 2)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

void BM_Vipsthumbnail(benchmark::State& state) {
  const std::string out = (world->dir / "thumb.jpg").string();
  for (auto _ : state) {
    auto r =
        runCommand({"/usr/bin/vipsthumbnail", world->photos[state.range(0)], "-s", "100x100", "-o", out});
    if (r.status != 0) state.SkipWithError(("vipsthumbnail failed: " + r.err).c_str());
  }
}
BENCHMARK(BM_Vipsthumbnail)->DenseRange(0, 2)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

}  // namespace

int main(int argc, char** argv) {
  if (!corvane::host::setUpProcess()) return 1;
  benchmark::Initialize(&argc, argv);
  World w;
  world = &w;
  corvane::bench::RecordingReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  for (int kind = 0; kind < 3; ++kind) {
    const std::string arg = "/" + std::to_string(kind);
    const double ctl = reporter.times("BM_CorvanectlImage" + arg).wall;
    const double vips = reporter.times("BM_Vipsthumbnail" + arg).wall;
    if (ctl > 0 && vips > 0)
      std::printf("%s photo: corvanectl image / vipsthumbnail = %.3f (goal <= 0.5)\n",
                  bench::photoKindName(static_cast<bench::PhotoKind>(kind)), ctl / vips);
  }
  world = nullptr;
  return 0;
}
