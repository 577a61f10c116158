#pragma once

// What a Movie holds: the demuxer, its input and what was learnt when it was
// opened. Private to the movie layer.

extern "C" {
#include <libavformat/avformat.h>
}

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/movie/LibraryHandles.h"
#include "platform/movie/Movie.h"

namespace corvane::movie {

// Lives on the heap, so that the library's callbacks may keep a pointer to
// it while the Movie moves.
struct Movie::Demuxer {
  std::string url;  // the only resource the demuxer may open
  std::string fileName;
  std::chrono::steady_clock::time_point deadline;
  // The input is opened and probed by the layer itself; the context only
  // borrows it, so it is declared first and closed last.
  InputPtr input;
  DemuxerPtr context;

  std::vector<Track> tracks;
  std::vector<int> trackStreams;  // the stream index of each track
  int pictureStream = -1;         // the video track pictures come from
  int coverStream = -1;           // a stored cover picture
  std::optional<media::Date> created;
  std::optional<media::Date> modified;

  void restartClock() { deadline = std::chrono::steady_clock::now() + Movie::kDeadline; }
  bool overdue() const { return std::chrono::steady_clock::now() > deadline; }

  static int interrupted(void* self) { return static_cast<const Demuxer*>(self)->overdue() ? 1 : 0; }
  static int openOnlyOwnFile(AVFormatContext* context, AVIOContext** pb, const char* url, int flags,
                             AVDictionary** options);

  // Frames (FrameGrab.cpp).
  std::optional<Frame> grab(double seconds);
  std::optional<Frame> firstFrame();
  std::optional<Frame> cover();
};

}  // namespace corvane::movie
