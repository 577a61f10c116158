#pragma once

// A small stream library for the FLAC/Ogg service: it opens FLAC and Ogg
// files as streams and measures their length. Its calls follow the closed
// audio library the service was first built on; inside, FLAC is read with
// libFLAC; Ogg Vorbis from its pages with libogg (a plain file from its
// first and last pages, chained files and Vorbis beside video page by page);
// Ogg holding Opus, FLAC or Speex with libavformat. A FLAC file whose header
// states no length is not measured (kErrorFormat).
//
// A stream is measured when it is opened and holds no file afterwards; its
// decoded form is 16-bit PCM, so its length in bytes is
// frames x channels x 2. Streams are named by handles (never 0); any thread
// may use any handle. The last error is kept per thread, as errorGetCode
// reports it after a failed call:
//
//   code                  meaning
//   kOk (0)               the last call succeeded
//   kErrorInit (1)        init has not been called
//   kErrorAlready (2)     init had already been called
//   kErrorFileOpen (3)    the file cannot be opened (missing, unreadable, not
//                         a regular file)
//   kErrorFormat (4)      not a stream of the kind asked for, or too damaged
//                         to measure
//   kErrorHandle (5)      the handle names no open stream
//   kErrorParameter (6)   an argument is invalid (no file, a range outside
//                         the bytes, an unknown length mode)

#include <cstdint>

namespace corvane::audio {

using StreamHandle = uint32_t;

inline constexpr int kOk = 0;
inline constexpr int kErrorInit = 1;
inline constexpr int kErrorAlready = 2;
inline constexpr int kErrorFileOpen = 3;
inline constexpr int kErrorFormat = 4;
inline constexpr int kErrorHandle = 5;
inline constexpr int kErrorParameter = 6;

// Stream flags: free the stream when it has been played (accepted; streams
// here are never played).
inline constexpr uint32_t kStreamAutoFree = 0x40000;
// Length modes: in decoded bytes.
inline constexpr uint32_t kLengthInBytes = 0;

// Starts the library for the process: once, before the first stream. The
// output device and window are accepted and not used (nothing is played).
// False with kErrorAlready when called again.
bool init(int device, uint32_t frequency, uint32_t flags, const void* window, const void* deviceId);

// Opens a FLAC stream (native FLAC, an ID3v2 tag in front allowed) / an Ogg
// stream. file is a NUL-terminated path, or, with fromMemory, length bytes
// at file (they must outlive the call only). offset is where the stream
// starts in the file or bytes; length 0 means to the end. 0 on failure.
StreamHandle flacStreamCreateFile(bool fromMemory, const void* file, uint64_t offset, uint64_t length,
                                  uint32_t flags);
StreamHandle streamCreateFile(bool fromMemory, const void* file, uint64_t offset, uint64_t length,
                              uint32_t flags);

// The stream's length in decoded bytes; UINT64_MAX on failure.
uint64_t channelGetLength(StreamHandle handle, uint32_t mode);
// bytes of the stream's decoded form in seconds; a negative value on failure.
double channelBytes2Seconds(StreamHandle handle, uint64_t bytes);
// Closes the stream; false when the handle names none.
bool streamFree(StreamHandle handle);
// The code of this thread's last call (table above).
int errorGetCode();

// How many streams have been asked to open in this process (tests check
// that a call never reached the library).
uint64_t streamOpenCalls();

}  // namespace corvane::audio
