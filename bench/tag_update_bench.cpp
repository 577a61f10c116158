// What a safe ID3 title update costs on a 5 MB MP3, against a reference that
// does the same safe work the plain way: copy the file, save the change into
// the copy with TagLib's own MPEG file, flush it and rename it over the
// original. Target: update <= 1.5 x reference. A second reference without the
// flush shows what the durability costs.
//
// Each iteration sets a title of the same length, so after the first save
// both sides rewrite the tag inside its padding.
//
// The M4A case does the same with a safe MP4 title update on a 5 MB M4A
// (moov after the audio), against copy, TagLib MP4 save, flush and rename.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <taglib/id3v2tag.h>
#include <taglib/mp4file.h>
#include <taglib/mp4tag.h>
#include <taglib/mpegfile.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "RecordingReporter.h"
#include "media/MediaDBKeys.h"
#include "tags/UpdateID3Tag.h"
#include "tags/UpdateMP4Tag.h"

namespace fs = std::filesystem;

namespace {

std::string gDir;

std::string title(int64_t i) {
  char text[32];
  std::snprintf(text, sizeof text, "Title %08lld", static_cast<long long>(i % 100000000));
  return text;
}

std::string prepare(const std::string& name, const std::string& source = "source.mp3") {
  const std::string path = gDir + "/" + name;
  fs::copy_file(gDir + "/" + source, path, fs::copy_options::overwrite_existing);
  return path;
}

void flushFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY);
  ::fsync(fd);
  ::close(fd);
}

void flushFolder() {
  const int dir = ::open(gDir.c_str(), O_RDONLY | O_DIRECTORY);
  ::fsync(dir);
  ::close(dir);
}

void BM_UpdateID3Tag(benchmark::State& state) {
  const std::string path = prepare("update.mp3");
  int64_t i = 0;
  for (auto _ : state) {
    corvane::media::MediaRecord record;
    record.set(corvane::media::MediaDBMusicColumnTitle, title(i++));
    if (!corvane::tags::UpdateID3Tag().updateTag(path, record)) state.SkipWithError("update failed");
  }
}

void referenceUpdate(benchmark::State& state, bool flush) {
  const std::string path = prepare(flush ? "reference.mp3" : "reference-noflush.mp3");
  const std::string copy = path + ".tmp";
  int64_t i = 0;
  for (auto _ : state) {
    fs::copy_file(path, copy, fs::copy_options::overwrite_existing);
    {
      TagLib::MPEG::File file(copy.c_str(), false);
      file.ID3v2Tag(true)->setTitle(TagLib::String(title(i++), TagLib::String::UTF8));
      if (!file.save(TagLib::MPEG::File::ID3v2, TagLib::File::StripNone, TagLib::ID3v2::v3,
                     TagLib::File::DoNotDuplicate)) {
        state.SkipWithError("save failed");
      }
    }
    if (flush) {
      const int fd = ::open(copy.c_str(), O_RDONLY);
      ::fsync(fd);
      ::close(fd);
    }
    fs::rename(copy, path);
    if (flush) {
      const int dir = ::open(gDir.c_str(), O_RDONLY | O_DIRECTORY);
      ::fsync(dir);
      ::close(dir);
    }
  }
}

void BM_ReferenceCopySave(benchmark::State& state) { referenceUpdate(state, true); }
void BM_ReferenceCopySaveNoFlush(benchmark::State& state) { referenceUpdate(state, false); }

void BM_UpdateMP4Tag(benchmark::State& state) {
  const std::string path = prepare("update.m4a", "source.m4a");
  int64_t i = 0;
  for (auto _ : state) {
    corvane::media::MediaRecord record;
    record.set(corvane::media::MediaDBMusicColumnTitle, title(i++));
    if (!corvane::tags::UpdateMP4Tag().updateTag(path, record)) state.SkipWithError("update failed");
  }
}

void BM_ReferenceMp4CopySave(benchmark::State& state) {
  const std::string path = prepare("reference.m4a", "source.m4a");
  const std::string copy = path + ".tmp";
  int64_t i = 0;
  for (auto _ : state) {
    fs::copy_file(path, copy, fs::copy_options::overwrite_existing);
    {
      TagLib::MP4::File file(copy.c_str(), false);
      file.tag()->setItem("\251nam", TagLib::StringList(TagLib::String(title(i++), TagLib::String::UTF8)));
      if (!file.save()) state.SkipWithError("save failed");
    }
    flushFile(copy);
    fs::rename(copy, path);
    flushFolder();
  }
}

BENCHMARK(BM_UpdateID3Tag)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_ReferenceCopySave)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_ReferenceCopySaveNoFlush)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_UpdateMP4Tag)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_ReferenceMp4CopySave)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  std::string dir = (fs::temp_directory_path() / "tag-update-bench-XXXXXX").string();
  if (mkdtemp(dir.data()) == nullptr) return 1;
  gDir = dir;
  // About 5 MB: 130 s at 320 kbit/s.
  const std::string make =
      "ffmpeg -v error -y -f lavfi -i sine=frequency=440:duration=130 -c:a libmp3lame "
      "-b:a 320k -id3v2_version 3 -metadata title=Start " +
      gDir + "/source.mp3 </dev/null";
  if (std::system(make.c_str()) != 0) return 1;
  std::printf("MP3: %ju bytes in %s\n", static_cast<uintmax_t>(fs::file_size(gDir + "/source.mp3")),
              gDir.c_str());
  // About 5 MB of AAC: 160 s of stereo noise at 256 kbit/s.
  const std::string makeM4a =
      "ffmpeg -v error -y -f lavfi -i anoisesrc=duration=160:color=pink -ac 2 -c:a aac -b:a 256k "
      "-metadata title=Start " +
      gDir + "/source.m4a </dev/null";
  if (std::system(makeM4a.c_str()) != 0) return 1;
  std::printf("M4A: %ju bytes\n", static_cast<uintmax_t>(fs::file_size(gDir + "/source.m4a")));

  benchmark::Initialize(&argc, argv);
  corvane::bench::RecordingReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const double update = reporter.times("BM_UpdateID3Tag").wall;
  const double reference = reporter.times("BM_ReferenceCopySave").wall;
  const double noFlush = reporter.times("BM_ReferenceCopySaveNoFlush").wall;
  if (update > 0 && reference > 0) {
    std::printf("update / reference (copy, save, flush, rename): %.2fx (target <= 1.50x)\n",
                update / reference);
  }
  if (update > 0 && noFlush > 0)
    std::printf("update / reference without flush:               %.2fx\n", update / noFlush);
  const double mp4Update = reporter.times("BM_UpdateMP4Tag").wall;
  const double mp4Reference = reporter.times("BM_ReferenceMp4CopySave").wall;
  if (mp4Update > 0 && mp4Reference > 0) {
    std::printf("M4A update / reference (copy, save, flush, rename): %.2fx (target <= 1.50x)\n",
                mp4Update / mp4Reference);
  }
  benchmark::Shutdown();
  fs::remove_all(gDir);
  return 0;
}
