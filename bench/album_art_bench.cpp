// What one album-art thumbnail costs: Picture::fromBytes plus the 200 x 200
// renderer (content category 1), against a reference run in the same process
// on the same covers: libvips' own thumbnail_buffer to 200 x 200 plus a TIFF
// encoding. Covers: photo-like 500 x 500 and 1000 x 1000 JPEGs and a
// 500 x 500 PNG, 20 of each, all different so that no cache can share work.
// Both sides report covers per second; the figure is the ratio
// renderer / reference per cover kind. Target: >= 1.0 for the 500 x 500 JPEG.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <vector>
#include <vips/vips8>

#include "BenchPictures.h"
#include "RecordingReporter.h"
#include "host/ProcessSetup.h"
#include "image/NSImageExtension.h"
#include "platform/imaging/Picture.h"

namespace {

using corvane::media::Bytes;
using vips::VImage;

constexpr int kCovers = 20;

struct CoverKind {
  const char* name;
  int size;
  const char* suffix;  // the encoder, by file suffix
};

constexpr CoverKind kKinds[] = {
    {"jpeg500", 500, ".jpg"}, {"jpeg1000", 1000, ".jpg"}, {"png500", 500, ".png"}};

std::vector<std::vector<Bytes>> gCovers;  // per kind

void BM_Renderer(benchmark::State& state) {
  const auto& covers = gCovers.at(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    for (const Bytes& cover : covers) {
      auto picture = corvane::imaging::Picture::fromBytes(cover);
      if (!picture) state.SkipWithError("no picture");
      auto thumb =
          corvane::image::makeThumbnailForContentCategory(*picture, corvane::image::kContentAlbumArt);
      if (!thumb) state.SkipWithError("no thumbnail");
      benchmark::DoNotOptimize(thumb);
    }
  }
  state.SetItemsProcessed(state.iterations() * kCovers);
}

void BM_Reference(benchmark::State& state) {
  const auto& covers = gCovers.at(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    for (const Bytes& cover : covers) {
      benchmark::DoNotOptimize(corvane::bench::referenceCoverThumbnail(cover.data(), cover.size(), 200));
    }
  }
  state.SetItemsProcessed(state.iterations() * kCovers);
}

// The fill colour's share: reading the source pixel (1,1) alone.
void BM_PartColorAt(benchmark::State& state) {
  const auto& covers = gCovers.at(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    for (const Bytes& cover : covers) {
      auto picture = corvane::imaging::Picture::fromBytes(cover);
      benchmark::DoNotOptimize(picture->colorAt(1, 1));
    }
  }
  state.SetItemsProcessed(state.iterations() * kCovers);
}

void kinds(benchmark::internal::Benchmark* b) {
  for (size_t i = 0; i < std::size(kKinds); ++i) b->Arg(static_cast<int64_t>(i));
}

BENCHMARK(BM_Renderer)
    ->Apply(kinds)
    ->Unit(benchmark::kMillisecond)
    ->MinTime(1.0)
    ->MeasureProcessCPUTime()
    ->UseRealTime();
BENCHMARK(BM_Reference)
    ->Apply(kinds)
    ->Unit(benchmark::kMillisecond)
    ->MinTime(1.0)
    ->MeasureProcessCPUTime()
    ->UseRealTime();
BENCHMARK(BM_PartColorAt)
    ->Apply(kinds)
    ->Unit(benchmark::kMillisecond)
    ->MinTime(0.5)
    ->MeasureProcessCPUTime()
    ->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  if (!corvane::host::setUpProcess()) return 1;
  for (const CoverKind& kind : kKinds) {
    std::vector<Bytes> covers;
    for (int i = 0; i < kCovers; ++i)
      covers.push_back(corvane::bench::coverPicture(kind.size, i, kind.suffix));
    std::printf("%s: %d covers, the first of %zu bytes\n", kind.name, kCovers, covers.front().size());
    gCovers.push_back(std::move(covers));
  }

  benchmark::Initialize(&argc, argv);
  corvane::bench::RecordingReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  for (size_t i = 0; i < std::size(kKinds); ++i) {
    const std::string arg = "/" + std::to_string(i);
    const auto renderer = reporter.times("BM_Renderer" + arg);
    const auto reference = reporter.times("BM_Reference" + arg);
    if (renderer.wall > 0 && reference.wall > 0 && renderer.cpu > 0 && reference.cpu > 0) {
      std::printf("%-9s renderer %5.0f covers/s, reference %5.0f covers/s, ratio %.2fx wall, %.2fx CPU%s\n",
                  kKinds[i].name, kCovers / renderer.wall, kCovers / reference.wall,
                  reference.wall / renderer.wall, reference.cpu / renderer.cpu,
                  i == 0 ? " (target >= 1.00x)" : "");
    }
  }
  benchmark::Shutdown();
  vips_shutdown();
  return 0;
}
