#include "platform/file/InputFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace corvane::file {

bool FileDescriptor::close() {
  const int fd = std::exchange(fd_, -1);
  return fd < 0 || ::close(fd) == 0;
}

namespace {

media::Date toDate(const struct statx_timestamp& t) {
  return media::Date::fromSeconds(static_cast<int64_t>(t.tv_sec), static_cast<int64_t>(t.tv_nsec));
}

// Repeats a positioned read or write until all of it is done: false on an
// error, or at the end of the file for a read.
template <typename Byte, typename Transfer>
bool transferFully(Transfer transfer, int fd, Byte* data, size_t size, off_t offset) {
  while (size > 0) {
    const ssize_t n = transfer(fd, data, size, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
    offset += n;
  }
  return true;
}

}  // namespace

FileFacts factsOf(int fd) {
  FileFacts facts;
  struct statx sx {};
  const unsigned mask = STATX_SIZE | STATX_MTIME | STATX_BTIME;
  if (::statx(fd, "", AT_EMPTY_PATH, mask, &sx) == 0) {
    if (sx.stx_mask & STATX_SIZE) facts.size = sx.stx_size;
    if (sx.stx_mask & STATX_MTIME) facts.modified = toDate(sx.stx_mtime);
    if (sx.stx_mask & STATX_BTIME) facts.created = toDate(sx.stx_btime);
    return facts;
  }
  // Kernels without statx still give size and modification time.
  struct stat st {};
  if (::fstat(fd, &st) == 0) {
    facts.size = static_cast<uint64_t>(st.st_size);
    facts.modified = media::Date::fromSeconds(st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
  }
  return facts;
}

bool readFullyAt(int fd, void* data, size_t size, off_t offset) {
  return transferFully(::pread, fd, static_cast<char*>(data), size, offset);
}

bool writeFullyAt(int fd, const void* data, size_t size, off_t offset) {
  return transferFully(::pwrite, fd, static_cast<const char*>(data), size, offset);
}

bool mayWrite(const std::string& path, const struct stat& st) {
  const mode_t anyWrite = S_IWUSR | S_IWGRP | S_IWOTH;
  return (st.st_mode & anyWrite) != 0 && ::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) == 0;
}

std::optional<InputFile> InputFile::open(const std::string& path) {
  if (path.empty()) {
    errno = EINVAL;
    return std::nullopt;
  }
  // Non-blocking, so that a FIFO or a device cannot hold the open; what was
  // opened is checked on the descriptor itself, never by a second lookup.
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (!fd.valid()) return std::nullopt;
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return std::nullopt;
  if (!S_ISREG(st.st_mode)) {
    errno = EINVAL;
    return std::nullopt;
  }
  return InputFile(std::move(fd), st);
}

std::string InputFile::procPath() const { return "/proc/self/fd/" + std::to_string(fd_.get()); }

std::optional<media::Bytes> InputFile::readAll(uint64_t maxBytes) const {
  // The size now, not at the open: the file may have grown or shrunk.
  struct stat st {};
  if (::fstat(fd_.get(), &st) != 0) return std::nullopt;
  const auto size = static_cast<uint64_t>(st.st_size);
  if (size > maxBytes) {
    errno = EFBIG;
    return std::nullopt;
  }
  return readSome(0, static_cast<size_t>(size));
}

std::optional<media::Bytes> InputFile::readSome(uint64_t offset, size_t size) const {
  media::Bytes bytes(size);
  size_t got = 0;
  while (got < size) {
    const ssize_t n = ::pread(fd_.get(), bytes.data() + got, size - got, static_cast<off_t>(offset + got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  bytes.resize(got);
  return bytes;
}

}  // namespace corvane::file
