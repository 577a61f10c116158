#pragma once

// The MP4 layer's diagnosis: every tag of a file as text. Kept apart from the
// service's builders so that the command line can print it without loading
// the imaging libraries.

#include <cstdio>
#include <string>

namespace corvane::mp4 {

// Prints every tag of the file, one "field: value" line each, to out and
// returns 0; prints "MP4Modify failed" and returns 1 when the file cannot be
// opened for change. Nothing is written to the file.
int dumpTags(const std::string& path, std::FILE* out);

}  // namespace corvane::mp4
