#pragma once

// A regular file opened for reading: the one way the service opens a path it
// is asked about. Opening never blocks (the path is opened non-blocking and
// the opened descriptor is checked with fstat, so a path swapped for a FIFO
// or a device between any check and the open is refused, not waited on). A
// symbolic link is followed: everything read, facts included, describes the
// file it names.
//
// Libraries that want a path get procPath() (the same open file, never the
// path a second time) or the bytes.
//
// Owns its descriptor; move-only; one thread at a time (reads are
// positioned, so they never disturb each other's offsets).

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "media/Bytes.h"
#include "media/MediaRecord.h"
#include "platform/file/FileDescriptor.h"

namespace corvane::file {

// What the file system says of a file: the builders' FileSize and dates.
struct FileFacts {
  std::optional<uint64_t> size;
  std::optional<media::Date> modified;
  std::optional<media::Date> created;  // only where the file system keeps a birth time
};

// The facts of the open file fd.
FileFacts factsOf(int fd);

// size bytes at offset of fd, read or written whole (short transfers and
// interruptions are retried); false on an error, or when a read meets the
// end of the file.
bool readFullyAt(int fd, void* data, size_t size, off_t offset);
bool writeFullyAt(int fd, const void* data, size_t size, off_t offset);

// Write access as the user means it, for the file or folder at path whose
// status is st: the system must grant it to this process, and the file must
// not be marked read-only for everyone (which a privileged process would
// otherwise write through).
bool mayWrite(const std::string& path, const struct stat& st);

class InputFile {
 public:
  // none (errno tells why) when path cannot be opened for reading or is not
  // a regular file; EINVAL for an empty path or another kind of file.
  static std::optional<InputFile> open(const std::string& path);

  int fd() const { return fd_.get(); }
  // The size when the file was opened.
  uint64_t size() const { return static_cast<uint64_t>(status_.st_size); }
  const struct stat& status() const { return status_; }
  FileFacts facts() const { return factsOf(fd_.get()); }
  // "/proc/self/fd/N": this open file, for libraries that only take a path.
  std::string procPath() const;
  // Whether this process may write the file (mayWrite, checked on the open
  // file, not on its path).
  bool writable() const { return mayWrite(procPath(), status_); }

  // The whole file; none when it holds more than maxBytes or a read fails.
  std::optional<media::Bytes> readAll(uint64_t maxBytes) const;
  // Up to size bytes from offset: fewer at the end of the file; none on an
  // error.
  std::optional<media::Bytes> readSome(uint64_t offset, size_t size) const;
  bool readAt(uint64_t offset, void* data, size_t size) const {
    return readFullyAt(fd_.get(), data, size, static_cast<off_t>(offset));
  }

 private:
  InputFile(FileDescriptor fd, const struct stat& status) : fd_(std::move(fd)), status_(status) {}

  FileDescriptor fd_;
  struct stat status_ {};
};

}  // namespace corvane::file
