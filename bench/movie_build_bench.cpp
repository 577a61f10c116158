// What the AV and FLAC/Ogg services cost, against references run in the
// same binary on the same files:
//   frame grab  - the AV service's record of a 2-minute 1920 x 1080 H.264
//                 movie (its thumbnail is the exact frame at 10.8 s), in
//                 process, against an ffmpegthumbnailer process making a
//                 130-pixel thumbnail at 10 s (which stops at the key frame
//                 before the time). Target: <= 1.0x (stretch 0.7x).
//   FLAC/Ogg    - records per second of the FLAC/Ogg service against
//                 TagLib's FileRef reading the same files' audio properties.
//                 Target: at least as many.
// The peak memory of one AV build is measured in a fresh child process (this
// binary run with --measure-build PATH): targets < 100 MiB for the 1080p
// movie and < 200 MiB for a 3840 x 2160 one.
//
// The movies take a while to encode; they are kept in
// $TMPDIR/corvane-movie-bench between runs.

#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <taglib/fileref.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "PeakMemory.h"
#include "RecordingReporter.h"
#include "builders/QuickTimeAVParser.h"
#include "builders/RZBasicAudioParser.h"
#include "host/ProcessSetup.h"
#include "platform/audio/AudioStreams.h"

namespace fs = std::filesystem;
extern char** environ;

namespace {

std::string gMovie;     // 2 minutes, 1920 x 1080
std::string gUhdMovie;  // 3840 x 2160
std::vector<std::string> gSongs;
std::string gScratch;

// Makes out with ffmpeg unless a previous run left it.
bool made(const std::string& out, const std::string& options) {
  if (fs::exists(out)) return true;
  const std::string part = out + ".part" + fs::path(out).extension().string();
  const std::string command = "ffmpeg -nostdin -loglevel error -y " + options + " '" + part + "'";
  std::printf("making %s\n", out.c_str());
  std::fflush(stdout);
  if (std::system(command.c_str()) != 0) return false;
  fs::rename(part, out);
  return true;
}

void BM_AvBuild(benchmark::State& state) {
  corvane::builders::QuickTimeAVParser parser;
  for (auto _ : state) {
    auto record = parser.build(gMovie);
    if (!record || !record->contains("Image")) state.SkipWithError("no thumbnail");
    benchmark::DoNotOptimize(record);
  }
}

// Runs argv and waits; the child's CPU time is added to cpuSeconds.
bool runProcess(const std::vector<std::string>& args, double& cpuSeconds) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t child = 0;
  if (posix_spawnp(&child, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return false;
  int status = 0;
  rusage usage{};
  wait4(child, &status, 0, &usage);
  cpuSeconds += static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

double gThumbnailerCpu = 0;  // seconds per run, of the child processes

void BM_ReferenceThumbnailer(benchmark::State& state) {
  const std::string out = gScratch + "/thumbnail.png";
  double cpu = 0;
  for (auto _ : state) {
    if (!runProcess({"ffmpegthumbnailer", "-i", gMovie, "-o", out, "-s", "130", "-t", "00:00:10"}, cpu)) {
      state.SkipWithError("ffmpegthumbnailer failed");
    }
  }
  gThumbnailerCpu = cpu / static_cast<double>(state.iterations());
}

void BM_BasicAudioRecords(benchmark::State& state) {
  corvane::builders::RZBasicAudioParser parser;
  for (auto _ : state) {
    for (const std::string& song : gSongs) {
      auto record = parser.build(song);
      if (!record || !record->contains("PlayLength")) state.SkipWithError("not measured");
      benchmark::DoNotOptimize(record);
    }
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(gSongs.size()));
}

void BM_ReferenceTagLibFileRef(benchmark::State& state) {
  for (auto _ : state) {
    for (const std::string& song : gSongs) {
      TagLib::FileRef file(song.c_str(), true);
      if (file.isNull() || file.audioProperties() == nullptr) state.SkipWithError("not read");
      benchmark::DoNotOptimize(file.audioProperties()->lengthInMilliseconds());
    }
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(gSongs.size()));
}

// In the child: one build of path (see PeakMemory.h).
int measureBuild(const std::string& path) {
  if (!corvane::host::setUpProcess()) return 1;
  corvane::builders::QuickTimeAVParser parser;
  return corvane::bench::reportPeakOf([&] { return parser.build(path).value().contains("Image"); });
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--measure-build") == 0) return measureBuild(argv[2]);
  if (!corvane::host::setUpProcess()) return 1;
  corvane::audio::init(-1, 44100, 0, nullptr, nullptr);

  const fs::path cache = fs::temp_directory_path() / "corvane-movie-bench";
  fs::create_directories(cache);
  gScratch = cache.string();
  gMovie = (cache / "hd-2min.mp4").string();
  gUhdMovie = (cache / "uhd-12s.mp4").string();
  // A moving picture with the encoder's usual settings: key frames every
  // 10 s, B-frames.
  bool ok = made(gMovie,
                 "-f lavfi -i testsrc2=s=1920x1080:r=25:d=120 -f lavfi -i sine=d=120 "
                 "-c:v libx264 -preset veryfast -pix_fmt yuv420p -c:a aac -b:a 96k");
  ok = ok &&
       made(gUhdMovie,
            "-f lavfi -i testsrc2=s=3840x2160:r=25:d=12 -c:v libx264 -preset ultrafast -pix_fmt yuv420p");
  for (int i = 0; i < 10 && ok; ++i) {
    const std::string seconds = std::to_string(30 + i);
    for (const char* kind : {"flac", "ogg"}) {
      gSongs.push_back((cache / ("song" + std::to_string(i) + "." + kind)).string());
      ok = made(gSongs.back(), "-f lavfi -i sine=f=440:r=44100:d=" + seconds + " -ac 2 -c:a " +
                                   (std::strcmp(kind, "flac") == 0 ? "flac" : "libvorbis -q:a 3"));
    }
  }
  if (!ok) return 1;

  benchmark::Initialize(&argc, argv);
  benchmark::RegisterBenchmark("BM_AvBuild", BM_AvBuild)
      ->Unit(benchmark::kMillisecond)
      ->MinTime(5.0)
      ->UseRealTime()
      ->MeasureProcessCPUTime();
  benchmark::RegisterBenchmark("BM_ReferenceThumbnailer", BM_ReferenceThumbnailer)
      ->Unit(benchmark::kMillisecond)
      ->MinTime(5.0)
      ->UseRealTime();
  for (auto* bench : {benchmark::RegisterBenchmark("BM_BasicAudioRecords", BM_BasicAudioRecords),
                      benchmark::RegisterBenchmark("BM_ReferenceTagLibFileRef", BM_ReferenceTagLibFileRef)}) {
    bench->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();
  }
  corvane::bench::RecordingReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);

  const auto build = reporter.times("BM_AvBuild");
  const auto thumbnailer = reporter.times("BM_ReferenceThumbnailer");
  if (build.wall > 0 && thumbnailer.wall > 0) {
    std::printf("AV build / ffmpegthumbnailer:   wall %.2fx, cpu %.2fx (target <= 1.0x, stretch 0.7x)\n",
                build.wall / thumbnailer.wall, build.cpu / gThumbnailerCpu);
  }
  const auto records = reporter.times("BM_BasicAudioRecords");
  const auto fileRef = reporter.times("BM_ReferenceTagLibFileRef");
  if (records.wall > 0 && fileRef.wall > 0) {
    std::printf("FLAC/Ogg records / TagLib FileRef: %.2fx as many files per second (target >= 1.0x)\n",
                fileRef.wall / records.wall);
  }
  for (const auto& [name, path, target] :
       {std::tuple{"1920 x 1080", gMovie, 100}, std::tuple{"3840 x 2160", gUhdMovie, 200}}) {
    const auto [added, whole] = corvane::bench::peakMemoryOfChild({"--measure-build", path});
    std::printf("peak memory of one AV build (%s): %.1f MiB (target < %d MiB); the whole process: %.1f MiB\n",
                name, added / 1024.0, target, whole / 1024.0);
  }
  benchmark::Shutdown();
  return 0;
}
