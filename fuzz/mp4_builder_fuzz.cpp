// Fuzzes the MP4 service on whole files: the bytes are written to a .m4a
// file, built into a record and dumped to /dev/null.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vips/vips8>

#include "FuzzInputFile.h"
#include "FuzzSetup.h"
#include "builders/MP4Parser.h"

namespace {

const corvane::fuzz::FuzzInputFile input("input.m4a");

std::FILE* devNull() {
  static std::FILE* sink = std::fopen("/dev/null", "w");
  return sink;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (devNull() == nullptr) std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  corvane::fuzz::setUp();
  if (!input.write(data, size)) return 0;
  corvane::builders::MP4Parser parser;
  (void)parser.build(input.path());
  (void)parser.testMp4v2(input.path(), devNull());
  return 0;
}
