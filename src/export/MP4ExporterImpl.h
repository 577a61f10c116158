#pragma once

// The export service: exports movies to MPEG-4 files with one fixed set of
// settings, tells whether a movie holds Apple Lossless audio, and converts
// audio to AAC in a new M4A file with the source's tags. The two long
// operations report progress to a delegate, whose answer can stop them.
//
// One export lock for the whole process serialises the three operations,
// whatever thread calls; it is released on every path, also when the
// delegate throws (the exception then travels on to the caller, after the
// operation's files and handles are released).
//
// The target is never written in place: the new file is made beside it and
// moved over it in one rename only at the end, so a file already at the
// target survives a run that fails or is stopped. When there was none, a
// failed or stopped export leaves an empty file at the target and a
// conversion its partly written file (what the clients know of these
// operations). A target that is the source itself (the same file, by any
// path) is refused, with nothing touched.
//
// Statuses:
//   export   0 the file was exported; else a code of the movie layer's
//            export (platform/movie/MovieExport.h): kExportParameterError
//            (-50) for a source that is not there, a target in a missing or
//            read-only folder, a directory or other non-regular file at the
//            target, the source as target; kExportCancelled (-128) when the
//            delegate answered false; the others as that header says.
//   convert  0 converted (the delegate then hears 100); kConvertCancelled
//            (-1) when the delegate answered false; else a status of the
//            audio file wrapper (platform/audio/RZExtAudioFile.h): the
//            target's error, else the source's; kAudioFileCannotCreate also
//            for a target the service cannot write or that is the source.
//
// The service knows nothing of how it is published; the host implements the
// delegate over the bus. Keeps no state between calls.

#include <cstdint>
#include <string>

#include "media/Bytes.h"

namespace corvane::exporter {

inline constexpr int32_t kConvertCancelled = -1;
// Bit rates outside this range convert at kDefaultAacBitRate.
inline constexpr int32_t kMinAacBitRate = 1000;
inline constexpr int32_t kMaxAacBitRate = 256000;
inline constexpr int32_t kDefaultAacBitRate = 128000;
// The conversion's unit of reading, writing and counting progress, in frames.
inline constexpr uint32_t kConversionBlockFrames = 2048;

// What the client gives to hear of progress. percent: 1 to 100. Answers true
// to go on, false to stop. May throw.
class ProgressDelegate {
 public:
  virtual ~ProgressDelegate() = default;
  virtual bool MP4ExporterProgress(int32_t percent) = 0;
};

class MP4ExporterImpl {
 public:
  // Exports the movie at source to target. Progress: 1 when the export
  // opens, 1 to 99 as packets are written (each time another hundredth of
  // the movie is done), 100 once the file is complete. delegate may be null.
  int32_t exportWithDelegate(ProgressDelegate* delegate, const std::string& source,
                             const std::string& target);

  // True when an enabled sound track of the movie at path is Apple Lossless.
  bool isAlacAudio(const std::string& path);

  // Converts the audio at source to AAC at bitRate bits per second in a new
  // M4A file at target, in blocks of kConversionBlockFrames; the tags of an
  // M4A or MP3 source (by its extension) are copied into it, also after a
  // stop. Progress: strictly rising percentages 1 to 99 (at most one per
  // whole percent) while it runs, then 100 after a success, sent once the
  // export lock is released. delegate may be null.
  int32_t convertToAacWithDelegate(ProgressDelegate* delegate, const std::string& source,
                                   const std::string& target, int32_t bitRate);
};

// The settings container every export applies, as constant data.
media::ByteSpan mp4ExportSetting();

}  // namespace corvane::exporter
