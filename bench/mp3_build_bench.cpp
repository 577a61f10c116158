// What building MP3 records costs, against a reference run in the same
// process on the same 200 tagged MP3 files (10 s of 128 kbit/s audio and a
// 500 x 500 JPEG cover each):
//   reference - TagLib's FileRef reading the tag and audio properties, plus
//               libvips rendering the cover to a 200 x 200 TIFF
//               (thumbnail_buffer + write_to_buffer(".tif")).
// Target: build files/second >= reference files/second.

#include <benchmark/benchmark.h>
#include <taglib/fileref.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>
#include <vips/vips8>

#include "BenchPictures.h"
#include "BenchSongs.h"
#include "RecordingReporter.h"
#include "builders/MP3Parser.h"
#include "host/ProcessSetup.h"

namespace fs = std::filesystem;

namespace {

constexpr int kFileCount = 200;
constexpr int kCoverSize = 500;

std::vector<std::string> gFiles;
std::vector<uint8_t> gCover;  // JPEG bytes

bool makeFiles(const std::string& dir) {
  gCover = corvane::bench::coverPicture(kCoverSize, 2);
  gFiles = corvane::bench::makeTaggedMp3s(dir, "song", kFileCount, [](int) { return gCover; });
  return !gFiles.empty();
}

void BM_Build(benchmark::State& state) {
  corvane::builders::MP3Parser parser;
  for (auto _ : state) {
    for (const std::string& path : gFiles) {
      auto record = parser.build(path);
      if (!record) state.SkipWithError("build gave no record");
      benchmark::DoNotOptimize(record);
    }
  }
  state.SetItemsProcessed(state.iterations() * kFileCount);
}

void BM_Reference(benchmark::State& state) {
  for (auto _ : state) {
    for (const std::string& path : gFiles) {
      TagLib::FileRef file(path.c_str(), true, TagLib::AudioProperties::Average);
      benchmark::DoNotOptimize(file.tag()->title().to8Bit(true));
      benchmark::DoNotOptimize(file.tag()->artist().to8Bit(true));
      benchmark::DoNotOptimize(file.audioProperties()->lengthInMilliseconds());
      benchmark::DoNotOptimize(corvane::bench::referenceCoverThumbnail(gCover.data(), gCover.size(), 200));
    }
  }
  state.SetItemsProcessed(state.iterations() * kFileCount);
}

BENCHMARK(BM_Build)->Unit(benchmark::kMillisecond)->MinTime(5.0);
BENCHMARK(BM_Reference)->Unit(benchmark::kMillisecond)->MinTime(5.0);

}  // namespace

int main(int argc, char** argv) {
  if (!corvane::host::setUpProcess()) return 1;
  std::string dir = (fs::temp_directory_path() / "mp3-build-bench-XXXXXX").string();
  if (mkdtemp(dir.data()) == nullptr) return 1;
  if (!makeFiles(dir)) {
    std::fprintf(stderr, "could not make the MP3 files (is ffmpeg installed?)\n");
    fs::remove_all(dir);
    return 1;
  }
  std::printf("%d files of %ju bytes, cover %zu bytes\n", kFileCount,
              static_cast<uintmax_t>(fs::file_size(gFiles.front())), gCover.size());

  benchmark::Initialize(&argc, argv);
  corvane::bench::RecordingReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const double build = reporter.times("BM_Build").wall;
  const double reference = reporter.times("BM_Reference").wall;
  if (build > 0 && reference > 0) {
    std::printf("build:     %.0f files/s\n", kFileCount / build);
    std::printf("reference: %.0f files/s\n", kFileCount / reference);
    std::printf("build / reference speed: %.2fx (target >= 1.00x)\n", reference / build);
  }
  benchmark::Shutdown();
  fs::remove_all(dir);
  vips_shutdown();
  return 0;
}
