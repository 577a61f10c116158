// Fuzzes the conversion's source side: the bytes, written to a file, are
// opened by the audio file wrapper, described and read in the conversion's
// blocks (a bounded number of them, so that a file that decodes to hours
// stays quick).

#include <cstddef>
#include <cstdint>

#include "FuzzInputFile.h"
#include "FuzzSetup.h"
#include "export/MP4ExporterImpl.h"
#include "platform/audio/RZExtAudioFile.h"

namespace {

const corvane::fuzz::FuzzInputFile input("input.m4a");
constexpr int kMaxBlocks = 256;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  corvane::fuzz::setUp();
  if (!input.write(data, size)) return 0;
  auto file = corvane::audio::RZExtAudioFile::openFile(input.path());
  if (!file) return 0;
  (void)file->fileDataFormat();
  (void)file->totalFrame();
  file->setClientDataFormat(file->canonicalDataFormat());
  for (int i = 0; i < kMaxBlocks; ++i) {
    const auto block = file->readFrames(corvane::exporter::kConversionBlockFrames);
    if (file->lastError() != 0 || block.empty()) break;
  }
  return 0;
}
