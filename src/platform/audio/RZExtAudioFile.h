#pragma once

// The audio file wrapper: one audio file opened for reading, or created for
// writing, that converts between the file's own data and a client format of
// interleaved 32-bit float frames (libavformat, libavcodec, libswresample).
//
// Reading decodes the first audio track of any file the movie layer opens,
// in any coding libavcodec decodes; the client format may ask for another
// sample rate. Writing encodes AAC with libavcodec's own encoder into an M4A
// file (file type kFileTypeM4A, format kFormatMPEG4AAC); the client format
// may have another sample rate than the file.
//
// Ownership: a wrapper owns its file, demuxer or muxer, codec and resampler.
// Destroying a created file finishes it (the encoder drained, the index
// written: the file plays), which finish() does earlier and reports.
//
// Threads: one thread at a time; no lock of its own.
//
// Failures: every operation that does work stores its status in lastError()
// (0 on success, success included) and on failure writes one log line, the
// one quoted beside it below; the wrapper stays usable. Making a wrapper that
// fails gives none, its status through the optional out-argument.
//
//   (status codes: platform/audio/AudioFileStatus.h)

#include <cstdint>
#include <memory>
#include <string>

#include "media/Bytes.h"
#include "platform/audio/AudioFileStatus.h"
#include "platform/mp4/BoxReader.h"

namespace corvane::audio {

using mp4::FourCC;
using mp4::fourcc;

inline constexpr FourCC kFileTypeM4A = fourcc("m4af");
inline constexpr FourCC kFormatLinearPCM = fourcc("lpcm");
inline constexpr FourCC kFormatMPEG4AAC = fourcc("aac ");

// Format flags of linear PCM.
inline constexpr uint32_t kFormatFlagIsFloat = 1;
inline constexpr uint32_t kFormatFlagIsBigEndian = 2;
inline constexpr uint32_t kFormatFlagIsSignedInteger = 4;
inline constexpr uint32_t kFormatFlagIsPacked = 8;
inline constexpr uint32_t kFormatFlagIsNonInterleaved = 32;

// The description of a stream of audio data: nine fields, 40 bytes.
struct AudioStreamDescription {
  double sampleRate = 0;  // frames per second
  FourCC formatID = 0;
  uint32_t formatFlags = 0;
  uint32_t bytesPerPacket = 0;
  uint32_t framesPerPacket = 0;
  uint32_t bytesPerFrame = 0;
  uint32_t channelsPerFrame = 0;
  uint32_t bitsPerChannel = 0;
  uint32_t reserved = 0;

  bool operator==(const AudioStreamDescription&) const = default;
};

class RZExtAudioFile {
 public:
  // The most frames one read returns, whatever it asks for.
  static constexpr uint32_t kMaxFramesPerRead = 1 << 20;

  // Opens path for reading. "ExtAudioFileOpenURL fail %ld".
  static std::unique_ptr<RZExtAudioFile> openFile(const std::string& path, long* status = nullptr);

  // Creates path (an existing file is replaced) holding data of format,
  // whose sample rate and channel count are taken; the client format starts
  // as the canonical one, the bit rate at 128000. "ExtAudioFileCreateWithURL
  // fail %ld".
  static std::unique_ptr<RZExtAudioFile> createFile(const std::string& path, FourCC fileType,
                                                    const AudioStreamDescription& format,
                                                    long* status = nullptr);

  ~RZExtAudioFile();
  RZExtAudioFile(const RZExtAudioFile&) = delete;
  RZExtAudioFile& operator=(const RZExtAudioFile&) = delete;

  double sampleRate() const { return sampleRate_; }
  uint32_t numberChannels() const { return numberChannels_; }
  const std::string& filename() const { return filename_; }  // the path's last component
  long lastError() const { return err_; }

  // The file's own data: linear PCM fields for PCM codings, else the coding's
  // sample-description code, rate, channels and frames per packet.
  // "ExtAudioFileGetProperty (kExtAudioFileProperty_FileDataFormat) fail %d"
  // (all zeros then).
  AudioStreamDescription fileDataFormat();
  // The length in frames of the file's rate (frames written so far for a
  // created file); 0 when the file does not say.
  // "ExtAudioFileGetProperty (kExtAudioFileProperty_FileLengthFrames) fail %d".
  int64_t totalFrame();
  // The format reads give and writes take. It starts as the canonical one.
  AudioStreamDescription clientDataFormat();
  // "ExtAudioFileSetProperty (kExtAudioFileProperty_ClientDataFormat) fail %d".
  void setClientDataFormat(const AudioStreamDescription& format);
  // Interleaved 32-bit float at sampleRate() with numberChannels(); no
  // library call, lastError() untouched.
  AudioStreamDescription canonicalDataFormat() const;
  // The encoder's bit rate in bits per second (a created file, before its
  // first write). "ExtAudioFileSetProperty (kAudioConverterEncodeBitRate)
  // fail %d".
  void setBitRate(uint32_t bitsPerSecond);

  // Up to frames frames (at most kMaxFramesPerRead) in the client format:
  // fewer only at the end, empty at the end. On failure "ExtAudioFileRead
  // fail %d", and the zero-filled buffer at its full requested length.
  media::Bytes readFrames(uint32_t frames);
  // Writes the whole frames of data (4 bytes per channel sample); a trailing
  // partial frame is dropped, and data without a whole frame changes nothing,
  // lastError() included. "ExtAudioFileWrite () error %d".
  void writeData(media::ByteSpan data);
  // Finishes a created file now: the encoder drained, the index written, the
  // file closed. true when the file is complete; later calls only repeat the
  // answer. "ExtAudioFileWrite () error %d" on failure. Opened files: true.
  bool finish();

  struct Reader;
  struct Writer;

 private:
  RZExtAudioFile(double sampleRate, uint32_t channels, std::string filename);
  void fail(long status, const char* logFormat);

  std::unique_ptr<Reader> reader_;
  std::unique_ptr<Writer> writer_;
  double sampleRate_ = 0;
  uint32_t numberChannels_ = 0;
  std::string filename_;
  long err_ = 0;
  AudioStreamDescription client_;
  bool started_ = false;  // a read or write has happened
};

}  // namespace corvane::audio
