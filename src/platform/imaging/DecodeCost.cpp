#include "platform/imaging/DecodeCost.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "media/RequestBudget.h"

namespace corvane::imaging::detail {

namespace {

constexpr size_t kChunkBytes = 256 * 1024;

// Reads a picture front to back through chunks; a read past the end or a
// failed read sticks and is checked once, at the end of a walk.
class Cursor {
 public:
  Cursor(const ByteSource& source, uint64_t at) : source_(source), position_(at) {}

  bool ok() const { return ok_; }

  uint8_t u8() {
    if (!fill()) return 0;
    return chunk_[static_cast<size_t>(position_++ - chunkStart_)];
  }
  uint16_t u16() { return static_cast<uint16_t>(u8() << 8 | u8()); }
  void skip(uint64_t count) { position_ += count; }

  // Moves past entropy-coded data to the next marker's 0xFF (stuffed zeros
  // and restart markers belong to the data); false at the end of the bytes.
  bool skipToMarker() {
    while (fill()) {
      const size_t at = static_cast<size_t>(position_ - chunkStart_);
      const void* found = std::memchr(chunk_.data() + at, 0xFF, chunk_.size() - at);
      if (found == nullptr) {
        position_ = chunkStart_ + chunk_.size();
        continue;
      }
      position_ = chunkStart_ + static_cast<size_t>(static_cast<const uint8_t*>(found) - chunk_.data());
      const uint64_t marker = position_;
      u8();
      uint8_t next = u8();
      while (next == 0xFF && ok_) next = u8();  // fill bytes before a marker
      if (!ok_) return false;
      if (next == 0x00 || (next >= 0xD0 && next <= 0xD7)) continue;
      position_ = marker;
      return true;
    }
    return false;
  }

 private:
  bool fill() {
    if (!ok_) return false;
    if (position_ >= chunkStart_ && position_ < chunkStart_ + chunk_.size()) return true;
    const std::optional<media::ByteSpan> view = source_.view(position_, kChunkBytes, scratch_);
    if (!view || view->empty()) {
      ok_ = false;
      return false;
    }
    chunk_ = *view;
    chunkStart_ = position_;
    return true;
  }

  const ByteSource& source_;
  uint64_t position_;
  media::ByteSpan chunk_;
  uint64_t chunkStart_ = 0;
  media::Bytes scratch_;
  bool ok_ = true;
};

uint64_t ceilDiv(uint64_t value, uint64_t by) { return (value + by - 1) / by; }

bool isFrameMarker(uint8_t marker) {
  // SOF0..SOF15 without DHT (C4), JPG (C8) and DAC (CC).
  return marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
}

void readFrame(Cursor& cursor, uint8_t marker, JpegLayout& layout) {
  layout.progressive = (marker & 0x3) == 0x2;
  layout.arithmetic = marker >= 0xC9;
  cursor.u8();  // sample precision
  layout.height = cursor.u16();
  layout.width = cursor.u16();
  const int count = cursor.u8();
  for (int i = 0; i < count && cursor.ok(); ++i) {
    cursor.u8();  // component id
    const uint8_t sampling = cursor.u8();
    cursor.u8();  // quantisation table
    layout.components.push_back({std::max(1, sampling >> 4), std::max(1, sampling & 0xF)});
  }
}

// The rows a TIFF's first directory reads at once: a strip, or a row of tiles.
void readTiffDirectory(const ByteSource& source, HeaderFacts& facts) {
  media::Bytes scratch;
  const std::optional<media::ByteSpan> head = source.view(0, 8, scratch);
  if (!head || head->size() < 8) return;
  const bool little = (*head)[0] == 'I';
  auto number = [little](const uint8_t* p, int size) {
    uint32_t value = 0;
    for (int i = 0; i < size; ++i) value |= uint32_t(p[little ? i : size - 1 - i]) << (8 * i);
    return value;
  };
  const uint32_t directory = number(head->data() + 4, 4);
  media::Bytes countScratch;
  const std::optional<media::ByteSpan> countBytes = source.view(directory, 2, countScratch);
  if (!countBytes || countBytes->size() < 2) return;
  const uint32_t entries = number(countBytes->data(), 2);
  const std::optional<media::ByteSpan> table = source.view(uint64_t{directory} + 2, entries * 12, scratch);
  if (!table || table->size() < entries * 12) return;
  for (uint32_t i = 0; i < entries; ++i) {
    const uint8_t* entry = table->data() + i * 12;
    const uint32_t tag = number(entry, 2);
    if (tag != 278 && tag != 323) continue;  // RowsPerStrip, TileLength
    const uint32_t value = number(entry + 2, 2) == 3 ? number(entry + 8, 2) : number(entry + 8, 4);
    facts.tiffRowsPerBlock = static_cast<int>(std::min<uint32_t>(value, 1u << 30));
  }
}

// Rows a streaming decoder keeps at once (a JPEG's MCU row with its colour
// conversion, a PNG's previous and current row, libvips' strip buffers).
constexpr uint64_t kStreamedRows = 64;

}  // namespace

std::optional<media::ByteSpan> ByteSource::view(uint64_t offset, size_t length, media::Bytes& scratch) const {
  if (file_ == nullptr) {
    if (offset >= bytes_.size()) return media::ByteSpan();
    return bytes_.subspan(static_cast<size_t>(offset),
                          std::min<size_t>(length, bytes_.size() - static_cast<size_t>(offset)));
  }
  std::optional<media::Bytes> read = file_->readSome(offset, length);
  if (!read) return std::nullopt;
  scratch = std::move(*read);
  return media::ByteSpan(scratch);
}

uint64_t JpegLayout::blocks() const {
  int maxH = 1, maxV = 1;
  for (const Component& c : components)
    maxH = std::max(maxH, c.horizontal), maxV = std::max(maxV, c.vertical);
  uint64_t total = 0;
  for (const Component& c : components) {
    const uint64_t columns = ceilDiv(ceilDiv(uint64_t(width) * c.horizontal, maxH), 8);
    const uint64_t rows = ceilDiv(ceilDiv(uint64_t(height) * c.vertical, maxV), 8);
    total += columns * rows;
  }
  return total;
}

std::optional<JpegLayout> readJpegLayout(const ByteSource& source, int maxScans) {
  Cursor cursor(source, 0);
  if (cursor.u8() != 0xFF || cursor.u8() != 0xD8) return std::nullopt;
  JpegLayout layout;
  bool haveFrame = false;
  while (cursor.ok() && layout.scans <= maxScans) {
    if (!cursor.skipToMarker()) break;
    cursor.u8();
    uint8_t marker = cursor.u8();
    while (marker == 0xFF && cursor.ok()) marker = cursor.u8();
    if (marker == 0xD9) break;                                           // end of image
    if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) continue;  // no length
    const uint16_t length = cursor.u16();
    if (length < 2) break;
    if (isFrameMarker(marker) && !haveFrame) {
      readFrame(cursor, marker, layout);
      haveFrame = cursor.ok();
      continue;  // the walk finds the next marker from here
    }
    if (marker == 0xDA) ++layout.scans;
    cursor.skip(length - 2u);
  }
  if (!haveFrame) return std::nullopt;
  return layout;
}

void readFormatHeader(const ByteSource& source, HeaderFacts& facts) {
  if (facts.format == Format::Tiff) return readTiffDirectory(source, facts);
  if (facts.format != Format::Png) return;
  // IHDR: width, height, bit depth, colour type, compression, filter, interlace.
  media::Bytes scratch;
  const std::optional<media::ByteSpan> ihdr = source.view(16, 13, scratch);
  if (!ihdr || ihdr->size() < 13) return;
  facts.pngBitDepth = (*ihdr)[8];
  switch ((*ihdr)[9]) {
    case 2:
      facts.pngChannels = 3;
      break;
    case 4:
      facts.pngChannels = 2;
      break;
    case 6:
      facts.pngChannels = 4;
      break;
    default:  // grey, palette
      facts.pngChannels = 1;
  }
}

uint64_t decodeBytes(const HeaderFacts& facts, int shrink, bool whole) {
  const uint64_t width = facts.width, height = facts.height;
  const uint64_t sample = uint64_t(facts.bands) * facts.bytesPerSample;
  const uint64_t wholePicture = width * height * sample;
  // What the decoder itself holds.
  uint64_t decoder = 0;
  switch (facts.format) {
    case Format::Jpeg: {
      shrink = std::max(1, shrink);
      decoder = ceilDiv(width, shrink) * sample * kStreamedRows;
      // Every scan after the first adds to coefficients of the whole
      // picture: they are kept, full size whatever the scale (64 of 2 bytes
      // a block).
      if (facts.jpeg && (facts.jpeg->progressive || facts.jpeg->scans > 1)) {
        decoder += facts.jpeg->blocks() * 128;
      }
      if (whole) return decoder + ceilDiv(width, shrink) * ceilDiv(height, shrink) * sample;
      return decoder;
    }
    case Format::Png:
      decoder = facts.interlaced ? wholePicture : width * sample * kStreamedRows;
      break;
    case Format::Tiff:
      decoder = width * sample * uint64_t(facts.tiffRowsPerBlock.value_or(facts.height));
      break;
    case Format::Gif:
      decoder = width * height * 4;  // the canvas, RGBA
      break;
    case Format::Webp:
      shrink = std::max(1, shrink);  // decoded whole, at the scale asked for
      decoder = ceilDiv(width, shrink) * ceilDiv(height, shrink) * 4;
      if (whole) return decoder * 2;
      return decoder;
    case Format::Heif:
      decoder = width * height * 4;
      break;
    case Format::Bmp:
      decoder = width * height * 8;  // read whole, 16 bits per channel of RGBA
      break;
  }
  return whole ? decoder + wholePicture : decoder;
}

std::optional<std::string> refusalOf(const HeaderFacts& facts) {
  char text[160];
  if (facts.jpeg && facts.jpeg->scans > budget::kMaxJpegScans) {
    std::snprintf(text, sizeof text, "a JPEG of more than %d scans", budget::kMaxJpegScans);
    return text;
  }
  // The least a file must hold for the picture it declares.
  uint64_t leastBytes = 0;
  if (facts.jpeg && !facts.jpeg->arithmetic) {
    leastBytes = facts.jpeg->blocks() / 8;  // at least one bit per block
  } else if (facts.format == Format::Png && facts.pngChannels > 0) {
    const uint64_t rowBytes = 1 + ceilDiv(uint64_t(facts.width) * facts.pngChannels * facts.pngBitDepth, 8);
    leastBytes = rowBytes * uint64_t(facts.height) / 1032;  // deflate's largest expansion
  }
  if (leastBytes > facts.fileBytes) {
    std::snprintf(text, sizeof text, "%d x %d pixels declared in a file of %llu bytes", facts.width,
                  facts.height, static_cast<unsigned long long>(facts.fileBytes));
    return text;
  }
  const uint64_t cheapest = decodeBytes(facts, 8, false);
  if (cheapest > budget::kDecodeBytes) {
    std::snprintf(text, sizeof text, "decoding %d x %d pixels would hold %s", facts.width, facts.height,
                  mebibytes(cheapest).c_str());
    return text;
  }
  return std::nullopt;
}

std::string mebibytes(uint64_t bytes) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(bytes) / (1024.0 * 1024.0));
  return text;
}

}  // namespace corvane::imaging::detail
