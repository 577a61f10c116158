#pragma once

// What decoding a picture will cost, worked out from its header before any
// pixel is decoded, so that a picture too costly for the request's budget is
// refused up front instead of holding the service for minutes or gigabytes.
//
// Three things are judged:
//   - a JPEG's scan count: every scan of a progressive (or multi-scan) JPEG
//     is a pass over the whole picture, so a file of hundreds of scans is
//     refused however small it is;
//   - whether the file can hold the picture it declares: a JPEG codes every
//     block of every component in at least one bit, and deflate expands at
//     most 1032 times, so a small file that declares 50000 x 50000 pixels is
//     a decompression bomb (or truncated) and is refused;
//   - the memory a decode holds at once, per format: JPEG and non-interlaced
//     PNG stream rows (a JPEG also decodes at 1/2, 1/4 or 1/8 scale), but a
//     progressive or multi-scan JPEG keeps the coefficients of the whole
//     picture, an interlaced PNG, a GIF canvas, a WebP frame and a HEIF
//     image are decoded whole, and a TIFF strip or tile row is read at once.
//
// Private to the imaging layer. Plain values and functions; any thread.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "media/Bytes.h"
#include "platform/file/InputFile.h"

namespace corvane::imaging::detail {

// The picture's bytes as the cost readers walk them: in memory, or in an open
// file read in chunks (never whole).
class ByteSource {
 public:
  explicit ByteSource(media::ByteSpan bytes) : bytes_(bytes) {}
  explicit ByteSource(const file::InputFile& file) : file_(&file) {}

  uint64_t size() const { return file_ ? file_->size() : bytes_.size(); }
  // Up to length bytes at offset (fewer at the end, none past it), viewed in
  // memory or read into scratch; none on a read error.
  std::optional<media::ByteSpan> view(uint64_t offset, size_t length, media::Bytes& scratch) const;

 private:
  media::ByteSpan bytes_;
  const file::InputFile* file_ = nullptr;
};

// A JPEG's frame, as its markers give it.
struct JpegLayout {
  struct Component {
    int horizontal = 1;  // sampling factors
    int vertical = 1;
  };
  int width = 0;
  int height = 0;
  bool progressive = false;
  bool arithmetic = false;  // arithmetic coding: no bound on how far it compresses
  std::vector<Component> components;
  int scans = 0;  // counted up to maxScans + 1

  // The 8 x 8 blocks each component codes, summed.
  uint64_t blocks() const;
};

// The frame and scans of the JPEG in source; the walk stops once it has seen
// more than maxScans scans. none when no frame header is found.
std::optional<JpegLayout> readJpegLayout(const ByteSource& source, int maxScans);

enum class Format { Jpeg, Png, Gif, Tiff, Webp, Heif, Bmp };

// What the cost rules look at: libvips' header of the picture plus what the
// format's own header says.
struct HeaderFacts {
  Format format = Format::Jpeg;
  int width = 0;
  int height = 0;
  int bands = 0;  // as decoded (a palette picture decodes to RGB or RGBA)
  int bytesPerSample = 1;
  bool interlaced = false;  // progressive JPEG, Adam7 PNG
  uint64_t fileBytes = 0;
  std::optional<JpegLayout> jpeg;
  // PNG: bits per sample and channels as stored.
  int pngBitDepth = 8;
  int pngChannels = 0;
  // TIFF: the rows read at once (a strip or a row of tiles), when found.
  std::optional<int> tiffRowsPerBlock;
};

// Reads the PNG bit depth, channels and the TIFF block rows into facts.
void readFormatHeader(const ByteSource& source, HeaderFacts& facts);

// The memory a decode of the picture holds at once, in bytes, decoded at
// 1/shrink scale (formats without shrink-on-load decode whole-scale anyway),
// when the whole result is kept in memory (whole) or streamed through.
uint64_t decodeBytes(const HeaderFacts& facts, int shrink, bool whole);

// Why the picture must not be decoded at all, or none: too many scans, a
// file too small for the picture it declares, or even its cheapest decode
// over the memory budget.
std::optional<std::string> refusalOf(const HeaderFacts& facts);

// "12.3 MiB": memory figures in log lines.
std::string mebibytes(uint64_t bytes);

}  // namespace corvane::imaging::detail
