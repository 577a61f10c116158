#include "platform/file/CheckedFileStream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <vector>

#include "platform/file/InputFile.h"

namespace corvane::file {
namespace {

constexpr long kMoveChunk = 1 << 20;

}  // namespace

CheckedFileStream::CheckedFileStream(std::string path) : path_(std::move(path)) {
  fd_ = ::open(path_.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
}

CheckedFileStream::CheckedFileStream(int fd)
    : path_("/proc/self/fd/" + std::to_string(fd)), fd_(::fcntl(fd, F_DUPFD_CLOEXEC, 0)) {}

CheckedFileStream::~CheckedFileStream() {
  if (fd_ >= 0) ::close(fd_);
}

bool CheckedFileStream::readAt(long offset, char* data, size_t size) {
  return readFullyAt(fd_, data, size, offset);
}

bool CheckedFileStream::writeAt(long offset, const char* data, size_t size) {
  return writeFullyAt(fd_, data, size, offset);
}

TagLib::ByteVector CheckedFileStream::readBlock(unsigned long length) {
  if (fd_ < 0 || failed_) return {};
  // Sizes come from the file being parsed and may be absurd: never allocate
  // beyond what the file holds.
  const long available = std::max(0L, this->length() - position_);
  const size_t wanted =
      static_cast<size_t>(std::min<unsigned long>({length, static_cast<unsigned long>(available), UINT_MAX}));
  TagLib::ByteVector block(static_cast<unsigned int>(wanted), '\0');
  size_t got = 0;
  while (got < wanted) {
    const ssize_t n = ::pread(fd_, block.data() + got, wanted - got, position_ + static_cast<long>(got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) failed_ = true;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  block.resize(static_cast<unsigned int>(got));
  position_ += static_cast<long>(got);
  return block;
}

void CheckedFileStream::writeBlock(const TagLib::ByteVector& data) {
  if (fd_ < 0 || failed_) {
    failed_ = true;
    return;
  }
  if (!writeAt(position_, data.data(), data.size())) {
    failed_ = true;
    return;
  }
  position_ += static_cast<long>(data.size());
}

bool CheckedFileStream::moveTail(long from, long to) {
  const long end = length();
  if (failed_ || from >= end || from == to) return !failed_;
  std::vector<char> buffer(static_cast<size_t>(std::min(kMoveChunk, end - from)));
  if (to > from) {
    // Growing: copy from the end backwards so nothing is overwritten before it is read.
    for (long cursor = end; cursor > from;) {
      const long start = std::max(from, cursor - kMoveChunk);
      const size_t n = static_cast<size_t>(cursor - start);
      if (!readAt(start, buffer.data(), n) || !writeAt(start + (to - from), buffer.data(), n)) return false;
      cursor = start;
    }
  } else {
    for (long cursor = from; cursor < end;) {
      const size_t n = static_cast<size_t>(std::min(kMoveChunk, end - cursor));
      if (!readAt(cursor, buffer.data(), n) || !writeAt(cursor - (from - to), buffer.data(), n)) return false;
      cursor += static_cast<long>(n);
    }
  }
  return true;
}

void CheckedFileStream::insert(const TagLib::ByteVector& data, unsigned long start, unsigned long replace) {
  if (fd_ < 0 || failed_) {
    failed_ = true;
    return;
  }
  const long end = length();
  const long first = static_cast<long>(std::min<unsigned long>(start, static_cast<unsigned long>(end)));
  const long tail =
      static_cast<long>(std::min<unsigned long>(start + replace, static_cast<unsigned long>(end)));
  const long newTail = first + static_cast<long>(data.size());
  if (!moveTail(tail, newTail)) {
    failed_ = true;
    return;
  }
  if (newTail < tail && ::ftruncate(fd_, end - (tail - newTail)) != 0) {
    failed_ = true;
    return;
  }
  if (!writeAt(first, data.data(), data.size())) {
    failed_ = true;
    return;
  }
  position_ = newTail;
}

void CheckedFileStream::removeBlock(unsigned long start, unsigned long length) {
  insert(TagLib::ByteVector(), start, length);
}

void CheckedFileStream::seek(long offset, Position p) {
  long base = 0;
  if (p == Current) base = position_;
  if (p == End) base = length();
  // Like a failed fseek: the position stays where it was. Parsers probe
  // before the start of short files, which is no I/O error.
  if ((offset > 0 && base > LONG_MAX - offset) || base + offset < 0) return;
  position_ = base + offset;
}

long CheckedFileStream::length() {
  struct stat st {};
  if (fd_ < 0 || ::fstat(fd_, &st) != 0) {
    failed_ = true;
    return 0;
  }
  return static_cast<long>(st.st_size);
}

void CheckedFileStream::truncate(long length) {
  if (fd_ < 0 || length < 0 || ::ftruncate(fd_, length) != 0) failed_ = true;
}

}  // namespace corvane::file
