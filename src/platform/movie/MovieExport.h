#pragma once

// The movie layer's export: writes an open movie as an MPEG-4 file through
// FFmpeg's MP4 muxer, under export settings (ExportSettings.h). Every enabled
// video and sound track is passed through as it is stored (no re-encoding),
// with its timing, language and display matrix; other tracks (text, timecode,
// data, hint) are left out. With hinting on, the muxer adds an RTP hint track
// for each; it hints all tracks or none, so a movie with a track whose coding
// has no RTP packetiser in FFmpeg (Apple Lossless, FLAC) is written without
// hint tracks.
//
// Progress goes to a procedure the caller gives: Open before the first
// packet, Update with the fraction done (0 to 1, by the packets'
// times in the movie's duration, else by the bytes read) each time it passes
// another hundredth, Close once the file is complete. Its answer of
// false stops the export. The procedure runs on the exporting thread, never
// from inside a library callback, so an exception it throws travels on
// through exportMpeg4 with everything released.
//
// Results are 16-bit codes of the layer, 0 for success
// (platform/movie/ExportStatus.h).
//
// The movie and the output belong to the calling thread for the call.

#include <cstdint>
#include <functional>

#include "platform/movie/ExportSettings.h"
#include "platform/movie/ExportStatus.h"
#include "platform/movie/Movie.h"

namespace corvane::movie {

enum class ExportMessage { Open, Update, Close };
using ExportProgress = std::function<bool(ExportMessage message, double fraction)>;

// Writes movie into the empty regular file open as outFd (through its
// /proc/self/fd path), which the caller owns and moves into place. progress
// may be empty.
int16_t exportMpeg4(Movie& movie, const ExportSettings& settings, int outFd, const ExportProgress& progress);

}  // namespace corvane::movie
