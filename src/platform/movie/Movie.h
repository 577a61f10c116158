#pragma once

// The movie layer: opens audio and video files through libavformat and
// answers what the builders ask of a movie: whether it opens, its
// attributes, its tracks and their formats, and one picture at a time.
//
// A Movie owns its demuxer (and, while a picture is being made, one decoder)
// and releases them when destroyed. It reads only the file it was opened on:
// formats that would open further files or network resources named inside
// the file (playlists, concatenation lists, session descriptions) are
// refused. Opening is bounded: probing reads at most a few MiB and gives up
// after a deadline, and so does making a picture, so a hostile file can never
// hold a service thread for long.
//
// A movie may be made on one thread and used on another, but by one thread at
// a time. Failures are values: none, false, 0.

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "media/MediaRecord.h"
#include "media/RequestBudget.h"
#include "platform/file/InputFile.h"
#include "platform/movie/Components.h"

struct AVFormatContext;

namespace corvane::movie {

// How often the enter/exit bracket has run in this process.
struct BracketCounts {
  uint64_t enters = 0;
  uint64_t exits = 0;
};

// One track in the order the file stores them. Cover pictures that a
// container keeps as a stream, and attached files, are not tracks.
struct Track {
  // The track header's enabled bit for MOV/MP4; every track of other
  // containers is enabled.
  bool enabled = true;
  // kMediaVideo, kMediaSound, or kMediaText / kMediaSubtitle /
  // kMediaClosedCaption / kMediaTimecode / kMediaHint / kMediaData /
  // kMediaUnknown for the other kinds.
  FourCC mediaType = 0;
  // The data format of the first sample description: the stored sample
  // entry (MOV/MP4) or FOURCC (AVI/ASF video) where the container has one,
  // else the code the MOV muxer stores for the codec. none when there is no
  // such code.
  std::optional<FourCC> dataFormat;
};

// A picture of the movie: packed 8-bit RGB rows, top row first, at the
// movie's display size (sample aspect ratio applied).
struct Frame {
  int width = 0;
  int height = 0;
  media::Bytes rgb;  // width * 3 bytes per row
};

struct NaturalSize {
  double width = 0;
  double height = 0;
};

// What opening gives (see OpenResult below): a movie; or none and no error
// (the file is no movie the layer knows); or none and the library's error
// text (the file looked like a movie but is damaged).
struct OpenResult;

class Movie {
 public:
  // How long open() may take, and again how long one picture may take,
  // before the library is interrupted.
  static constexpr std::chrono::milliseconds kDeadline = budget::kMovieStep;

  // Sets the library up for the process: once, at start-up (the daemon's
  // start-up does it).
  static void startUp();

  // Opens the movie in file (the library reads it through file.procPath()).
  // fileName is the name the caller knows the file by: the display name
  // falls back to it.
  static OpenResult open(const file::InputFile& file, std::string_view fileName);

  Movie(Movie&&) noexcept;
  Movie& operator=(Movie&&) noexcept;
  ~Movie();

  // Seconds; 0 when the container does not say.
  double duration() const;
  bool hasAudio() const;
  bool hasVideo() const;
  // From the container's movie header (MOV/MP4) or its stored creation
  // date; none when it stores none.
  std::optional<media::Date> creationTime() const;
  std::optional<media::Date> modificationTime() const;
  // The title the container stores, else the file name less its extension.
  std::string displayName() const;
  // The display size of the picture track; 0 x 0 without video.
  NaturalSize naturalSize() const;
  // The sampling frequency in Hz of the first audio track; none when there
  // is no audio track or it declares no rate.
  std::optional<int32_t> firstAudioSampleRate() const;
  const std::vector<Track>& tracks() const;

  // The picture shown at `seconds` from the start: decoded forward from the
  // key frame at or before it, so it is that very frame. none past the end,
  // without a decodable picture track, or for pictures over the imaging
  // layer's pixel limit.
  std::optional<Frame> frameAt(double seconds);
  // The container's cover picture, else the first decodable frame.
  std::optional<Frame> posterFrame();

  // The bracket around using movies off the main thread (see ThreadBracket).
  // On Linux the steps only count, which lets tests check the pairing.
  static void enterOnThread();
  static void exitOnThread();
  static BracketCounts bracketCounts();

  // For the platform layers that work through the same library (the audio
  // file wrapper, the export): the library's demuxer and the stream that
  // holds each track. The movie keeps owning the demuxer. Reading it is
  // bounded by the deadline, counted from the open, the last picture or the
  // last restartDeadline(): a long reader restarts it before each step.
  AVFormatContext* libraryContext() const;
  int libraryStream(size_t track) const;
  void restartDeadline();

  struct Demuxer;  // the layer's own

 private:
  explicit Movie(std::unique_ptr<Demuxer> demuxer);
  std::unique_ptr<Demuxer> demuxer_;
};

struct OpenResult {
  std::optional<Movie> movie;
  std::optional<std::string> error;
};

// The enter/exit bracket as a scope: enterOnThread runs on the main thread
// (through the installed executor) when it is made, exitOnThread when it is
// destroyed, on every path; the making thread waits for each.
class ThreadBracket {
 public:
  ThreadBracket();
  ~ThreadBracket();
  ThreadBracket(const ThreadBracket&) = delete;
  ThreadBracket& operator=(const ThreadBracket&) = delete;
};

}  // namespace corvane::movie
