#pragma once

// Two checks on an open movie: whether every enabled track can be decoded or
// handled on this machine, and whether the movie carries Apple Lossless
// audio. Both read the movie's tracks (the first sample description's data
// format, the media type) and the movie layer's decoder table, and change
// nothing. Used by the thread that holds the movie.

#include "platform/movie/Movie.h"

namespace corvane::builders {

// True when every enabled track passes (a movie without tracks does): a
// video track needs an image decompressor for its format, a sound track a
// sound decompressor or else an audio decoder, any other track a media
// handler for its type. Tracks without a sample description are skipped.
bool validateMedia(const movie::Movie& movie);

// True when an enabled sound track's first sample description is Apple
// Lossless.
bool isAlacAudio(const movie::Movie& movie);

}  // namespace corvane::builders
