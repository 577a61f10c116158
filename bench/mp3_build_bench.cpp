// What building MP3 records costs, against a reference run in the same
// process on the same 200 tagged MP3 files (10 s of 128 kbit/s audio and a
// 500 x 500 JPEG cover each):
//   reference - TagLib's FileRef reading the tag and audio properties, plus
//               libvips rendering the cover to a 200 x 200 TIFF
//               (thumbnail_buffer + write_to_buffer(".tif")).
// Target: build files/second >= reference files/second.

#include <benchmark/benchmark.h>
#include <taglib/attachedpictureframe.h>
#include <taglib/fileref.h>
#include <taglib/id3v2tag.h>
#include <taglib/mpegfile.h>
#include <taglib/textidentificationframe.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>
#include <vips/vips8>

#include "BenchPictures.h"
#include "RecordingReporter.h"
#include "builders/MP3Parser.h"
#include "host/ProcessSetup.h"

namespace fs = std::filesystem;

namespace {

constexpr int kFileCount = 200;
constexpr int kCoverSize = 500;

std::vector<std::string> gFiles;
std::vector<uint8_t> gCover;  // JPEG bytes

void tagCopy(const std::string& path, int index) {
  TagLib::MPEG::File file(path.c_str());
  TagLib::ID3v2::Tag* tag = file.ID3v2Tag(true);
  tag->setTitle(TagLib::String("Song " + std::to_string(index)));
  tag->setArtist("Bench Artist");
  tag->setAlbum("Bench Album");
  tag->setGenre("Rock");
  tag->setYear(2020);
  tag->setTrack(static_cast<unsigned>(index % 20 + 1));
  tag->setComment("a comment");
  auto* picture = new TagLib::ID3v2::AttachedPictureFrame;
  picture->setMimeType("image/jpeg");
  picture->setType(TagLib::ID3v2::AttachedPictureFrame::FrontCover);
  picture->setPicture(
      TagLib::ByteVector(reinterpret_cast<const char*>(gCover.data()), static_cast<unsigned>(gCover.size())));
  tag->addFrame(picture);  // the tag owns it
  file.save(TagLib::MPEG::File::ID3v2);
}

bool makeFiles(const std::string& dir) {
  const std::string audio = dir + "/audio.mp3";
  const std::string command =
      "ffmpeg -nostdin -loglevel error -y -f lavfi -i sine=frequency=440:duration=10 "
      "-map_metadata -1 -id3v2_version 0 -c:a libmp3lame -b:a 128k " +
      audio;
  if (std::system(command.c_str()) != 0) return false;
  gCover = corvane::bench::coverPicture(kCoverSize, 2);
  for (int i = 0; i < kFileCount; ++i) {
    const std::string path = dir + "/song" + std::to_string(i) + ".mp3";
    fs::copy_file(audio, path, fs::copy_options::overwrite_existing);
    tagCopy(path, i);
    gFiles.push_back(path);
  }
  return true;
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
