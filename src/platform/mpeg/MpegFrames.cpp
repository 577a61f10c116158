#include "platform/mpeg/MpegFrames.h"

#include <algorithm>
#include <string_view>

#include "platform/file/InputFile.h"

namespace corvane::mpeg {
namespace {

constexpr size_t kHeaderBytes = 4;

// A window over the file, refilled in chunks as the walk moves on.
class Window {
 public:
  Window(const file::InputFile& file, uint64_t end) : file_(file), end_(end) {}

  // The size bytes at offset, or an empty span when they lie past the end
  // or cannot be read.
  media::ByteSpan at(uint64_t offset, size_t size) {
    if (offset < start_ || offset + size > start_ + bytes_.size()) {
      if (offset + size > end_) return {};
      // A chunk that also holds the bytes a little before offset: a search
      // that looks one frame ahead and then steps back stays inside it.
      constexpr size_t kChunk = 64 * 1024, kBehind = 4096;
      const uint64_t from = offset - std::min<uint64_t>(offset, kBehind);
      auto bytes = file_.readSome(from, static_cast<size_t>(std::min<uint64_t>(kChunk, end_ - from)));
      if (!bytes || bytes->size() < offset - from + size) return {};
      bytes_ = std::move(*bytes);
      start_ = from;
    }
    return media::ByteSpan(bytes_).subspan(static_cast<size_t>(offset - start_), size);
  }

  std::optional<FrameHeader> headerAt(uint64_t offset) { return parseFrameHeader(at(offset, kHeaderBytes)); }

 private:
  const file::InputFile& file_;
  uint64_t end_;
  media::Bytes bytes_;
  uint64_t start_ = 0;
};

// The offset of the next frame of stream at or after from whose successor
// confirms it (or which ends exactly at end); none when there is none.
std::optional<uint64_t> resynchronise(Window& window, const FrameHeader& stream, uint64_t from,
                                      uint64_t end) {
  for (uint64_t at = from; at + kHeaderBytes <= end; ++at) {
    const media::ByteSpan sync = window.at(at, 2);
    if (sync.empty() || sync[0] != 0xFF || (sync[1] & 0xE0) != 0xE0) continue;
    const auto candidate = window.headerAt(at);
    if (!candidate || !candidate->sameStream(stream)) continue;
    const uint64_t next = at + candidate->frameLength;
    if (next == end) return at;
    const auto successor = window.headerAt(next);
    if (successor && successor->sameStream(stream)) return at;
  }
  return std::nullopt;
}

}  // namespace

std::optional<FrameHeader> parseFrameHeader(media::ByteSpan h) {
  if (h.size() < kHeaderBytes || h[0] != 0xFF || (h[1] & 0xE0) != 0xE0) return std::nullopt;
  const int version = (h[1] >> 3) & 3;
  const int layer = (h[1] >> 1) & 3;
  const int bitrateIndex = h[2] >> 4, rateIndex = (h[2] >> 2) & 3, padding = (h[2] >> 1) & 1;
  if (version == 1 || layer == 0 || bitrateIndex == 0 || bitrateIndex == 15 || rateIndex == 3)
    return std::nullopt;
  static constexpr int kBitrates[5][15] = {
      {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},  // MPEG-1 layer I
      {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},     // MPEG-1 layer II
      {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320},      // MPEG-1 layer III
      {0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},     // MPEG-2/2.5 layer I
      {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},          // MPEG-2/2.5 layer II, III
  };
  static constexpr int kRates[3] = {44100, 48000, 32000};
  const bool mpeg1 = version == 3;
  const int row = mpeg1 ? 3 - layer : (layer == 3 ? 3 : 4);
  FrameHeader header;
  header.versionBits = static_cast<uint8_t>(version);
  header.layerBits = static_cast<uint8_t>(layer);
  header.bitrateKbps = kBitrates[row][bitrateIndex];
  header.sampleRate = kRates[rateIndex] >> (mpeg1 ? 0 : version == 2 ? 1 : 2);
  const int bitsPerSecond = header.bitrateKbps * 1000;
  if (layer == 3) {
    header.samplesPerFrame = 384;
    header.frameLength = static_cast<size_t>((12 * bitsPerSecond / header.sampleRate + padding) * 4);
  } else {
    header.samplesPerFrame = layer == 1 && !mpeg1 ? 576 : 1152;
    header.frameLength =
        static_cast<size_t>(header.samplesPerFrame / 8 * bitsPerSecond / header.sampleRate + padding);
  }
  const bool mono = (h[3] >> 6) == 3;
  header.sideInfoSize = mpeg1 ? (mono ? 17 : 32) : (mono ? 9 : 17);
  return header;
}

std::optional<FrameHeader> frameHeaderAt(const file::InputFile& file, uint64_t offset) {
  uint8_t bytes[kHeaderBytes];
  if (!file.readAt(offset, bytes, sizeof bytes)) return std::nullopt;
  return parseFrameHeader(bytes);
}

bool hasInfoHeader(const file::InputFile& file, uint64_t offset, const FrameHeader& header) {
  char mark[4];
  return file.readAt(offset + kHeaderBytes + header.sideInfoSize, mark, sizeof mark) &&
         std::string_view(mark, sizeof mark) == "Info";
}

double StreamScan::seconds() const {
  if (constantBitrate) return static_cast<double>(streamEnd - firstFrame) * 8.0 / (firstBitrateKbps * 1000.0);
  return static_cast<double>(samples) / sampleRate;
}

std::optional<StreamScan> scanFrames(const file::InputFile& file, uint64_t start, uint64_t end) {
  Window window(file, end);
  const std::optional<FrameHeader> first = window.headerAt(start);
  if (!first) return std::nullopt;
  StreamScan scan;
  scan.firstFrame = start;
  scan.sampleRate = first->sampleRate;
  scan.firstBitrateKbps = first->bitrateKbps;
  for (uint64_t at = start; at + kHeaderBytes <= end;) {
    const std::optional<FrameHeader> header = window.headerAt(at);
    if (!header || !header->sameStream(*first)) {
      const std::optional<uint64_t> next = resynchronise(window, *first, at + 1, end);
      if (!next) break;
      at = *next;
      continue;
    }
    ++scan.frames;
    scan.samples += static_cast<uint64_t>(header->samplesPerFrame);
    scan.frameBytes += header->frameLength;
    scan.constantBitrate = scan.constantBitrate && header->bitrateKbps == first->bitrateKbps;
    at += header->frameLength;
    scan.streamEnd = std::min(at, end);
  }
  return scan;
}

}  // namespace corvane::mpeg
