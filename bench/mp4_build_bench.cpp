// What building the records of 200 tagged M4A files costs, measured against a
// reference run in the same process on the same files: TagLib reading the tags
// and audio properties (FileRef) plus libvips rendering the first cover to a
// 200 x 200 TIFF (thumbnail_buffer). Both report files per second; the ratio
// build / reference is the figure. Target: >= 1.0.
//
// The files are made at start-up in a temporary directory: one 3 s AAC file
// from ffmpeg, copied 200 times and tagged with TagLib, each with its own
// 500 x 500 JPEG cover.

#include <benchmark/benchmark.h>
#include <taglib/fileref.h>
#include <taglib/mp4file.h>
#include <taglib/mp4tag.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>
#include <vips/vips8>

#include "BenchPictures.h"
#include "BenchSongs.h"
#include "RecordingReporter.h"
#include "builders/MP4Parser.h"
#include "host/ProcessSetup.h"
#include "image/NSImageExtension.h"
#include "platform/imaging/Picture.h"
#include "platform/mp4/Mp4File.h"

namespace fs = std::filesystem;

namespace {

constexpr int kFiles = 200;
constexpr int kCoverSize = 500;

std::vector<std::string> gFiles;

// Each file with a photo-like cover of its own, so that no cache can share work.
bool makeFiles(const fs::path& dir) {
  gFiles = corvane::bench::makeTaggedM4as(dir.string(), "track", kFiles,
                                          [](int i) { return corvane::bench::coverPicture(kCoverSize, i); });
  return !gFiles.empty();
}

void BM_Mp4ParserBuild(benchmark::State& state) {
  corvane::builders::MP4Parser parser;
  for (auto _ : state) {
    for (const std::string& path : gFiles) {
      auto record = parser.build(path);
      if (!record || record->size() < 30) state.SkipWithError("build gave no full record");
      benchmark::DoNotOptimize(record);
    }
  }
  state.SetItemsProcessed(state.iterations() * kFiles);
}

// The same facts through TagLib's generic interface and libvips.
void BM_ReferenceTagLibVips(benchmark::State& state) {
  for (auto _ : state) {
    for (const std::string& path : gFiles) {
      TagLib::FileRef ref(path.c_str(), true, TagLib::AudioProperties::Average);
      TagLib::Tag* t = ref.tag();
      TagLib::AudioProperties* audio = ref.audioProperties();
      if (t == nullptr || audio == nullptr) state.SkipWithError("TagLib read nothing");
      benchmark::DoNotOptimize(t->title().to8Bit(true) + t->artist().to8Bit(true) + t->album().to8Bit(true) +
                               t->genre().to8Bit(true));
      benchmark::DoNotOptimize(t->track() + audio->lengthInMilliseconds() + audio->bitrate() +
                               audio->sampleRate());
      auto* mp4 = dynamic_cast<TagLib::MP4::File*>(ref.file());
      const TagLib::MP4::CoverArtList covers = mp4->tag()->item("covr").toCoverArtList();
      if (covers.isEmpty()) state.SkipWithError("no cover");
      const TagLib::ByteVector data = covers.front().data();
      benchmark::DoNotOptimize(corvane::bench::referenceCoverThumbnail(data.data(), data.size(), 200));
    }
  }
  state.SetItemsProcessed(state.iterations() * kFiles);
}

// Where a build's time goes: the metadata layer alone, and the album art
// alone (decode plus the 200 x 200 renderer) on the first cover.
void BM_PartMp4FileOpenRead(benchmark::State& state) {
  for (auto _ : state) {
    for (const std::string& path : gFiles) {
      auto file = corvane::mp4::Mp4File::openRead(path);
      if (!file) state.SkipWithError("no file");
      benchmark::DoNotOptimize(file);
    }
  }
  state.SetItemsProcessed(state.iterations() * kFiles);
}

void BM_PartAlbumArt(benchmark::State& state) {
  std::vector<corvane::media::Bytes> covers;
  for (const std::string& path : gFiles)
    covers.push_back(corvane::mp4::Mp4File::openRead(path)->tags().artworks.at(0).data);
  for (auto _ : state) {
    for (const auto& cover : covers) {
      auto picture = corvane::imaging::Picture::fromBytes(cover);
      auto thumb =
          corvane::image::makeThumbnailForContentCategory(*picture, corvane::image::kContentAlbumArt);
      if (!thumb) state.SkipWithError("no thumbnail");
      benchmark::DoNotOptimize(thumb);
    }
  }
  state.SetItemsProcessed(state.iterations() * kFiles);
}

BENCHMARK(BM_Mp4ParserBuild)->Unit(benchmark::kMillisecond)->MinTime(3.0)->UseRealTime();
BENCHMARK(BM_ReferenceTagLibVips)->Unit(benchmark::kMillisecond)->MinTime(3.0)->UseRealTime();
BENCHMARK(BM_PartMp4FileOpenRead)->Unit(benchmark::kMillisecond)->MinTime(1.0)->UseRealTime();
BENCHMARK(BM_PartAlbumArt)->Unit(benchmark::kMillisecond)->MinTime(1.0)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  if (!corvane::host::setUpProcess()) return 1;
  std::string dir = (fs::temp_directory_path() / "mp4-build-bench-XXXXXX").string();
  if (mkdtemp(dir.data()) == nullptr) return 1;
  if (!makeFiles(dir)) {
    std::fprintf(stderr, "could not make the sample files (ffmpeg and TagLib needed)\n");
    fs::remove_all(dir);
    return 1;
  }
  std::printf("%d files of %ju bytes in %s\n", kFiles, static_cast<uintmax_t>(fs::file_size(gFiles[0])),
              dir.c_str());

  benchmark::Initialize(&argc, argv);
  corvane::bench::RecordingReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const double build = reporter.times("BM_Mp4ParserBuild").wall;
  const double reference = reporter.times("BM_ReferenceTagLibVips").wall;
  if (build > 0 && reference > 0) {
    std::printf("build files/s:      %.0f\n", kFiles / build);
    std::printf("reference files/s:  %.0f\n", kFiles / reference);
    std::printf("build / reference:  %.2fx files per second (target >= 1.00x)\n", reference / build);
  }
  benchmark::Shutdown();
  fs::remove_all(dir);
  vips_shutdown();
  return 0;
}
