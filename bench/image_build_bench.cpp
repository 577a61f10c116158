// What building a photo's record costs, measured against two references run
// in the same process on the same 4000 x 3000 JPEG, for photos of three
// kinds of detail (see BenchPictures.h):
//   thumbnail  - libvips' own shrink-on-load thumbnail to 100 x 75, TIFF encoded
//                (the usual way to get the record's thumbnail);
//   fullDecode - a full sequential decode, resized to 100 x 75, TIFF encoded;
//   floor      - the JPEG decoder alone at 1/8 scale: what any thumbnail of
//                the photo costs at least.
// Targets: build <= 1.3 x thumbnail, and at least 5 x faster than fullDecode.
// The peak memory of one build is measured in a fresh child process
// (this binary run with --measure-build PATH); target < 64 MiB.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>
#include <vips/vips8>

#include "BenchPictures.h"
#include "PeakMemory.h"
#include "RecordingReporter.h"
#include "host/ProcessSetup.h"
#include "image/UnifiedImageInfoBuilder.h"
#include "media/RequestBudget.h"
#include "platform/imaging/JpegScaledDecoder.h"
#include "platform/imaging/Picture.h"

namespace fs = std::filesystem;

namespace {

using corvane::bench::PhotoKind;

constexpr PhotoKind kKinds[] = {PhotoKind::Smooth, PhotoKind::Detailed, PhotoKind::Grainy};
std::string gPhotos[3];  // one 4000 x 3000 JPEG of each kind

const std::string& photo(const benchmark::State& state) { return gPhotos[state.range(0)]; }

void BM_Build(benchmark::State& state) {
  corvane::image::UnifiedImageInfoBuilder builder;
  for (auto _ : state) {
    auto record = builder.build(photo(state));
    if (!record) state.SkipWithError("build gave no record");
    benchmark::DoNotOptimize(record);
  }
}

void BM_ReferenceThumbnail(benchmark::State& state) {
  for (auto _ : state) {
    benchmark::DoNotOptimize(corvane::bench::tiffLength(vips::VImage::thumbnail(
        photo(state).c_str(), 100, vips::VImage::option()->set("height", 75)->set("size", VIPS_SIZE_FORCE))));
  }
}

void BM_ReferenceFullDecode(benchmark::State& state) {
  for (auto _ : state) {
    vips::VImage full = vips::VImage::new_from_file(
        photo(state).c_str(), vips::VImage::option()->set("access", VIPS_ACCESS_SEQUENTIAL));
    benchmark::DoNotOptimize(corvane::bench::tiffLength(
        full.resize(100.0 / full.width(), vips::VImage::option()->set("vscale", 75.0 / full.height()))));
  }
}

void BM_DecodeFloor(benchmark::State& state) {
  std::ifstream in(photo(state), std::ios::binary);
  const std::vector<uint8_t> jpeg((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  for (auto _ : state) {
    auto decoded = corvane::imaging::detail::decodeJpegScaled(jpeg, 8, corvane::budget::kDecodeBytes);
    if (!decoded) state.SkipWithError("not decoded");
    benchmark::DoNotOptimize(decoded);
  }
}

void registerAll() {
  const std::pair<const char*, void (*)(benchmark::State&)> benchmarks[] = {
      {"BM_Build", BM_Build},
      {"BM_ReferenceThumbnail", BM_ReferenceThumbnail},
      {"BM_ReferenceFullDecode", BM_ReferenceFullDecode},
      {"BM_DecodeFloor", BM_DecodeFloor}};
  for (const auto& [name, function] : benchmarks) {
    benchmark::RegisterBenchmark(name, function)
        ->DenseRange(0, 2)
        ->Unit(benchmark::kMillisecond)
        ->MinTime(2.0)
        ->MeasureProcessCPUTime()
        ->UseRealTime();
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--measure-build") == 0) {
    if (!corvane::host::setUpProcess()) return 1;
    corvane::image::UnifiedImageInfoBuilder builder;
    return corvane::bench::reportPeakOf([&] { return builder.build(argv[2]).has_value(); });
  }
  if (!corvane::host::setUpProcess()) return 1;

  std::string dir = (fs::temp_directory_path() / "image-build-bench-XXXXXX").string();
  if (mkdtemp(dir.data()) == nullptr) return 1;
  for (PhotoKind kind : kKinds) {
    std::string& path = gPhotos[static_cast<int>(kind)];
    path = dir + "/" + corvane::bench::photoKindName(kind) + ".jpg";
    corvane::bench::writePhotoLikeJpeg(path, kind);
    std::printf("photo %d (%s): %ju bytes\n", static_cast<int>(kind), corvane::bench::photoKindName(kind),
                static_cast<uintmax_t>(fs::file_size(path)));
  }

  benchmark::Initialize(&argc, argv);
  registerAll();
  corvane::bench::RecordingReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);

  for (PhotoKind kind : kKinds) {
    const std::string arg = "/" + std::to_string(static_cast<int>(kind));
    const auto build = reporter.times("BM_Build" + arg);
    const auto thumbnail = reporter.times("BM_ReferenceThumbnail" + arg);
    const auto fullDecode = reporter.times("BM_ReferenceFullDecode" + arg);
    const auto floor = reporter.times("BM_DecodeFloor" + arg);
    if (!(build.wall > 0 && build.cpu > 0 && thumbnail.cpu > 0 && floor.cpu > 0)) continue;
    std::printf("%s photo:\n", corvane::bench::photoKindName(kind));
    std::printf("  build / thumbnail reference:  wall %.2fx, cpu %.2fx (target <= 1.30x)\n",
                build.wall / thumbnail.wall, build.cpu / thumbnail.cpu);
    std::printf("  full decode / build:          wall %.2fx, cpu %.2fx faster (target >= 5x)\n",
                fullDecode.wall / build.wall, fullDecode.cpu / build.cpu);
    std::printf("  full decode / decode floor:   cpu %.2fx (no thumbnail can do better)\n",
                fullDecode.cpu / floor.cpu);
  }
  const auto [added, whole] =
      corvane::bench::peakMemoryOfChild({"--measure-build", gPhotos[static_cast<int>(PhotoKind::Grainy)]});
  std::printf(
      "peak memory of one build (grainy photo): %.1f MiB (target < 64 MiB); the whole process: %.1f MiB\n",
      static_cast<double>(added) / 1024.0, static_cast<double>(whole) / 1024.0);

  benchmark::Shutdown();
  fs::remove_all(dir);
  vips_shutdown();
  return 0;
}
