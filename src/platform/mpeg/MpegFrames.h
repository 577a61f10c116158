#pragma once

// MPEG audio frames (MPEG-1, 2 and 2.5, layers I to III): the four-byte
// frame header, and a walk over a stream's frames that survives damage.
//
// The walk follows frame lengths from one header to the next. Where a header
// is missing or damaged it resynchronises as decoders do: it searches on for
// a header whose successor (at the length it announces) is also a header of
// the same stream, so that a stray sync pattern inside audio data is not
// taken for a frame. Bytes that hold no frame are passed over, never counted.
//
// Reads go through the file toolkit in bounded chunks; nothing is allocated
// from a value found in the file. Pure functions of the file: any thread.

#include <cstdint>
#include <optional>

#include "media/Bytes.h"

namespace corvane::file {
class InputFile;
}

namespace corvane::mpeg {

struct FrameHeader {
  uint8_t versionBits = 0;  // 0 MPEG-2.5, 2 MPEG-2, 3 MPEG-1
  uint8_t layerBits = 0;    // 1 layer III, 2 layer II, 3 layer I
  int bitrateKbps = 0;
  int sampleRate = 0;
  int samplesPerFrame = 0;
  size_t frameLength = 0;   // header included; never 0
  size_t sideInfoSize = 0;  // layer III side information after the header

  // Frames of one stream share version, layer and sampling frequency.
  bool sameStream(const FrameHeader& other) const {
    return versionBits == other.versionBits && layerBits == other.layerBits && sampleRate == other.sampleRate;
  }
};

// The header in the first four bytes; none unless they are a valid header
// (sync, defined version and layer, a listed bit rate, a defined rate).
// Free-format streams (no bit rate in the header) count as no header.
std::optional<FrameHeader> parseFrameHeader(media::ByteSpan bytes);

// The header at offset of file; none when there is none.
std::optional<FrameHeader> frameHeaderAt(const file::InputFile& file, uint64_t offset);

// True when the frame at offset, whose header is header, carries an "Info"
// header: the encoder's mark of a constant bit rate stream (a variable one
// is marked "Xing").
bool hasInfoHeader(const file::InputFile& file, uint64_t offset, const FrameHeader& header);

// What a walk over a stream found.
struct StreamScan {
  uint64_t firstFrame = 0;  // offset of the first frame
  uint64_t streamEnd = 0;   // offset just past the last frame
  uint64_t frames = 0;
  uint64_t samples = 0;     // per channel, over all frames
  uint64_t frameBytes = 0;  // of all frames, damaged stretches excluded
  int sampleRate = 0;
  int firstBitrateKbps = 0;
  bool constantBitrate = true;  // every frame had the first frame's bit rate

  // The play time: the stream's extent over its bit rate when that is
  // constant (as players estimate it), else the frames' samples over the
  // sampling frequency.
  double seconds() const;
};

// Walks the stream whose first frame is at start, up to end (the file
// offset where the audio stops, e.g. at a trailing tag). none when there is
// no frame at start.
std::optional<StreamScan> scanFrames(const file::InputFile& file, uint64_t start, uint64_t end);

}  // namespace corvane::mpeg
