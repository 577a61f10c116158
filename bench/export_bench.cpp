// What the export service costs, against ffmpeg doing the same work in a
// process of its own, on the same files in the same run:
//   convert - Apple Lossless to AAC at 128 kbit/s of a 5-minute stereo file
//             through the service, in process, vs
//             `ffmpeg -i SRC -c:a aac -b:a 128k OUT` (target <= 1.0x wall,
//             stretch 0.8x);
//   export  - a 2-minute 1080p H.264 MOV written as MPEG-4 by the movie layer
//             without hint tracks, vs `ffmpeg -i SRC -c copy OUT.mp4`
//             (target <= 1.0x), and the service's export with its settings,
//             hint tracks included (target <= 1.45x of that copy).
// The peak memory of one conversion is measured in a fresh child process
// (this binary run with --measure-convert SRC OUT); target <= 60 MiB.
// The source files are made once with ffmpeg and kept in
// $TMPDIR/corvane-export-bench for later runs.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
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

// Runs a program (no shell); true when it exits with 0.
bool runProgram(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return false;
  int status = 0;
  return waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
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
    if (!runProgram(
            {"ffmpeg", "-v", "error", "-y", "-i", gAlac, "-c:a", "aac", "-b:a", "128k", out("ffmpeg.m4a")})) {
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
  for (auto _ : state) {
    if (!runProgram({"ffmpeg", "-v", "error", "-y", "-i", gMovie, "-c", "copy", out("ffmpeg.mp4")})) {
      state.SkipWithError("ffmpeg failed");
    }
  }
}

bool makeSources() {
  gDir = fs::temp_directory_path() / "corvane-export-bench";
  fs::create_directories(gDir);
  gAlac = out("five-minutes.m4a");
  gMovie = out("two-minutes-1080p.mov");
  if (!fs::exists(gAlac) &&
      !runProgram({"ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "anoisesrc=d=300:c=pink:r=44100:a=0.2",
                   "-f", "lavfi", "-i", "sine=f=330:r=44100:d=300", "-filter_complex",
                   "[0][1]amerge=inputs=2", "-c:a", "alac", gAlac})) {
    return false;
  }
  return fs::exists(gMovie) || runProgram({"ffmpeg", "-v",      "error",    "-y",
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

  benchmark::Initialize(&argc, argv);
  const std::pair<const char*, void (*)(benchmark::State&)> benchmarks[] = {
      {"BM_Convert", BM_Convert},
      {"BM_FfmpegConvert", BM_FfmpegConvert},
      {"BM_ExportPlain", BM_ExportPlain},
      {"BM_ExportHinted", BM_ExportHinted},
      {"BM_FfmpegCopy", BM_FfmpegCopy}};
  for (const auto& [name, function] : benchmarks) {
    benchmark::RegisterBenchmark(name, function)
        ->Iterations(3)
        ->Repetitions(1)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
  }
  corvane::bench::RecordingReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);

  const auto convert = reporter.times("BM_Convert"), ffmpegConvert = reporter.times("BM_FfmpegConvert");
  const auto plain = reporter.times("BM_ExportPlain"), hinted = reporter.times("BM_ExportHinted");
  const auto copy = reporter.times("BM_FfmpegCopy");
  if (convert.wall > 0 && ffmpegConvert.wall > 0) {
    std::printf("convert / ffmpeg aac:           wall %.2fx (target <= 1.00x, stretch 0.80x)\n",
                convert.wall / ffmpegConvert.wall);
  }
  if (plain.wall > 0 && hinted.wall > 0 && copy.wall > 0) {
    std::printf("export without hints / ffmpeg copy: wall %.2fx (target <= 1.00x)\n", plain.wall / copy.wall);
    std::printf("hinted export / ffmpeg copy:    wall %.2fx (target <= 1.45x)\n", hinted.wall / copy.wall);
  }
  const auto [added, whole] =
      corvane::bench::peakMemoryOfChild({"--measure-convert", gAlac, out("measured.m4a")});
  std::printf("peak memory of one conversion: %.1f MiB (target <= 60 MiB); the whole process: %.1f MiB\n",
              static_cast<double>(added) / 1024.0, static_cast<double>(whole) / 1024.0);
  benchmark::Shutdown();
  return 0;
}
