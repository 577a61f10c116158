// What the export service costs, against ffmpeg doing the same work in a
// process of its own, on the same files in the same run:
//   convert - Apple Lossless to AAC at 128 kbit/s of a 5-minute stereo file
//             through the service, in process, vs
//             `ffmpeg -i SRC -c:a aac -b:a 128k OUT` (target <= 1.0x wall,
//             stretch 0.8x);
//   export  - a 2-minute 1080p H.264 MOV written as MPEG-4 by the movie layer
//             without hint tracks, vs `ffmpeg -i SRC -c copy OUT.mp4`
//             (target <= 1.0x), and the service's export with its settings,
//             hint tracks included (target <= 1.45x of that copy); ffmpeg's
//             own hinted copy (-movflags +rtphint) shows what hinting costs.
// The peak memory of one conversion is measured in a fresh child process
// (this binary run with --measure-convert SRC OUT); target <= 60 MiB.
// The source files are made once with ffmpeg and kept in
// $TMPDIR/corvane-export-bench for later runs.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "PeakMemory.h"
#include "RecordingReporter.h"
#include "export/MP4ExporterImpl.h"
#include "host/ProcessSetup.h"
#include "platform/file/FileDescriptor.h"
#include "platform/file/InputFile.h"
#include "platform/movie/MovieExport.h"

extern char** environ;

namespace fs = std::filesystem;

namespace {

fs::path gDir;
std::string gAlac, gMovie;

// The processor time of the programs run, in seconds: each reference's own,
// since a child's time is not the benchmark process's.
std::map<std::string, double> gChildCpu;
// Each benchmark runs this often, the runs of all of them in a random order, so
// that a change in the machine's load falls on ours and the references alike.
constexpr int kRuns = 4;

// Runs a program (no shell) for the benchmark called name; true when it
// exits with 0.
bool runProgram(const std::string& name, const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return false;
  int status = 0;
  rusage usage{};
  if (wait4(pid, &status, 0, &usage) != pid) return false;
  gChildCpu[name] += static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                     static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string out(const char* name) { return (gDir / name).string(); }

void BM_Convert(benchmark::State& state) {
  for (auto _ : state) {
    if (corvane::exporter::MP4ExporterImpl().convertToAacWithDelegate(nullptr, gAlac, out("service.m4a"),
                                                                      128000) != 0) {
      state.SkipWithError("conversion failed");
    }
  }
}

void BM_FfmpegConvert(benchmark::State& state) {
  for (auto _ : state) {
    if (!runProgram("convert", {"ffmpeg", "-v", "error", "-y", "-i", gAlac, "-c:a", "aac", "-b:a", "128k",
                                out("ffmpeg.m4a")})) {
      state.SkipWithError("ffmpeg failed");
    }
  }
}

void BM_ExportPlain(benchmark::State& state) {
  auto settings = corvane::movie::readExportSettings(corvane::exporter::mp4ExportSetting());
  settings->hint = false;
  for (auto _ : state) {
    const auto file = corvane::file::InputFile::open(gMovie);
    auto opened = corvane::movie::Movie::open(*file, "movie.mov");
    corvane::file::FileDescriptor target(
        ::open(out("plain.mp4").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644));
    if (!opened.movie || corvane::movie::exportMpeg4(*opened.movie, *settings, target.get(), {}) != 0) {
      state.SkipWithError("export failed");
    }
  }
}

void BM_ExportHinted(benchmark::State& state) {
  for (auto _ : state) {
    if (corvane::exporter::MP4ExporterImpl().exportWithDelegate(nullptr, gMovie, out("hinted.mp4")) != 0) {
      state.SkipWithError("export failed");
    }
  }
}

void BM_FfmpegCopy(benchmark::State& state) {
  const bool hinted = state.range(0) != 0;
  for (auto _ : state) {
    std::vector<std::string> args{"ffmpeg", "-v",   "error",          "-y", "-i", gMovie,
                                  "-c",     "copy", out("ffmpeg.mp4")};
    if (hinted) args.insert(args.end() - 1, {"-movflags", "+rtphint"});
    if (!runProgram(hinted ? "hinted copy" : "copy", args)) state.SkipWithError("ffmpeg failed");
  }
}

bool makeSources() {
  gDir = fs::temp_directory_path() / "corvane-export-bench";
  fs::create_directories(gDir);
  gAlac = out("five-minutes.m4a");
  gMovie = out("two-minutes-1080p.mov");
  if (!fs::exists(gAlac) && !runProgram("source", {"ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i",
                                                   "anoisesrc=d=300:c=pink:r=44100:a=0.2", "-f", "lavfi",
                                                   "-i", "sine=f=330:r=44100:d=300", "-filter_complex",
                                                   "[0][1]amerge=inputs=2", "-c:a", "alac", gAlac})) {
    return false;
  }
  return fs::exists(gMovie) ||
         runProgram("source", {"ffmpeg", "-v",      "error",    "-y",
                               "-f",     "lavfi",   "-i",       "testsrc2=s=1920x1080:r=30:d=120",
                               "-f",     "lavfi",   "-i",       "sine=d=120",
                               "-c:v",   "libx264", "-preset",  "ultrafast",
                               "-b:v",   "8M",      "-pix_fmt", "yuv420p",
                               "-c:a",   "aac",     gMovie});
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "--measure-convert") == 0) {
    if (!corvane::host::setUpProcess()) return 1;
    return corvane::bench::reportPeakOf([&] {
      return corvane::exporter::MP4ExporterImpl().convertToAacWithDelegate(nullptr, argv[2], argv[3],
                                                                           128000) == 0;
    });
  }
  if (!corvane::host::setUpProcess() || !makeSources()) return 1;

  std::vector<char*> args(argv, argv + argc);
  std::string interleave = "--benchmark_enable_random_interleaving=true";
  args.insert(args.begin() + 1, interleave.data());
  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data());
  const std::pair<const char*, void (*)(benchmark::State&)> benchmarks[] = {
      {"BM_Convert", BM_Convert},
      {"BM_FfmpegConvert", BM_FfmpegConvert},
      {"BM_ExportPlain", BM_ExportPlain},
      {"BM_ExportHinted", BM_ExportHinted},
      {"BM_FfmpegCopy", BM_FfmpegCopy}};
  for (const auto& [name, function] : benchmarks) {
    auto* registered = benchmark::RegisterBenchmark(name, function)
                           ->Iterations(1)
                           ->Repetitions(kRuns)
                           ->Unit(benchmark::kMillisecond)
                           ->UseRealTime();
    if (std::strstr(name, "Ffmpeg") == nullptr) registered->MeasureProcessCPUTime();
    if (std::strcmp(name, "BM_FfmpegCopy") == 0) registered->Arg(0)->Arg(1);
  }
  corvane::bench::RecordingReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);

  // Wall time follows the machine's load; processor time (every thread of
  // ours, the whole ffmpeg process) much less so.
  // ourChild names our figure's process when it is a program run too.
  auto ratios = [&](const char* what, const char* ours, const char* ourChild, const char* reference,
                    const char* child, const char* target) {
    const auto mine = reporter.times(ours), theirs = reporter.times(reference);
    const double myCpu = ourChild != nullptr ? gChildCpu[ourChild] / kRuns : mine.cpu;
    const double theirCpu = gChildCpu[child] / kRuns;
    if (mine.wall <= 0 || theirs.wall <= 0 || theirCpu <= 0) return;
    std::printf("%-36s wall %.2fx, cpu %.2fx (%s)\n", what, mine.wall / theirs.wall, myCpu / theirCpu,
                target);
  };
  ratios("convert / ffmpeg aac:", "BM_Convert", nullptr, "BM_FfmpegConvert", "convert",
         "target <= 1.00x, stretch 0.80x");
  ratios("export without hints / ffmpeg copy:", "BM_ExportPlain", nullptr, "BM_FfmpegCopy/0", "copy",
         "target <= 1.00x");
  ratios("hinted export / ffmpeg copy:", "BM_ExportHinted", nullptr, "BM_FfmpegCopy/0", "copy",
         "target <= 1.45x");
  ratios("ffmpeg hinted copy / ffmpeg copy:", "BM_FfmpegCopy/1", "hinted copy", "BM_FfmpegCopy/0", "copy",
         "what ffmpeg's hinting costs");
  const auto [added, whole] =
      corvane::bench::peakMemoryOfChild({"--measure-convert", gAlac, out("measured.m4a")});
  std::printf("peak memory of one conversion: %.1f MiB (target <= 60 MiB); the whole process: %.1f MiB\n",
              static_cast<double>(added) / 1024.0, static_cast<double>(whole) / 1024.0);
  benchmark::Shutdown();
  return 0;
}
