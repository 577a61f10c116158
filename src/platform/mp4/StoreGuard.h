#pragma once

// What the MP4 layer checks before it lets the writer library save into a
// file. Private to src/platform/mp4.

#include <cstdint>
#include <functional>
#include <span>

namespace corvane::mp4::detail {

// Reads out.size() bytes at offset of a file; false when it cannot.
using ReadAt = std::function<bool(uint64_t offset, std::span<uint8_t> out)>;

// Whether the writer library can save into the file of fileSize bytes
// without running past what it holds: the top-level boxes fill the file
// exactly, none is a movie fragment (the library's offset update for
// fragments writes past short fragment headers), and every movie box is
// at most kMaxMovieBoxBytes, well formed, with offset tables the library can
// move.
bool safeForTheWriter(uint64_t fileSize, const ReadAt& readAt);

}  // namespace corvane::mp4::detail
