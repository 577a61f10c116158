#pragma once

// The statuses of the audio file wrapper (RZExtAudioFile.h), apart from it
// so that clients of the conversion can tell them without the wrapper's
// libraries. Constant data.
//
//   status                    meaning
//   0                         success
//   kAudioFileNotFound        the path is missing or unreadable, or no
//                             regular file (a directory, a FIFO)
//   kAudioFileNotAudio        not a file the movie layer opens, or one
//                             without an audio track
//   kAudioFileDamaged         the file is recognised but its header or data
//                             cannot be read or decoded
//   kAudioFileUnsupported     a coding without a decoder, a file type or
//                             format the writer does not make, a sample rate
//                             or channel count the codec refuses, a client
//                             format other than interleaved 32-bit float of
//                             the file's channel count
//   kAudioFileCannotCreate    the file cannot be created (missing or
//                             read-only folder, a directory in the way)
//   kAudioFileWriteFailed     encoding or writing failed (disk full, I/O)
//   kAudioFileNotPermitted    the operation does not fit the wrapper's state:
//                             reading a created file, writing an opened one,
//                             changing the client format after the first
//                             read or write, the bit rate after the first
//                             write, anything written after finish()

namespace corvane::audio {

inline constexpr long kAudioFileNotFound = -3001;
inline constexpr long kAudioFileNotAudio = -3002;
inline constexpr long kAudioFileDamaged = -3003;
inline constexpr long kAudioFileUnsupported = -3004;
inline constexpr long kAudioFileCannotCreate = -3005;
inline constexpr long kAudioFileWriteFailed = -3006;
inline constexpr long kAudioFileNotPermitted = -3007;

}  // namespace corvane::audio
