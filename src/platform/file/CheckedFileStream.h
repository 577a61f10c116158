#pragma once

// A TagLib stream over one file in which every read and write is checked.
// TagLib's own file stream drops write errors, so a save into a full disk or
// past a file size limit would look like success; here any failed or short
// I/O is remembered and the editor asks failed() after saving.

#include <sys/types.h>
#include <taglib/tiostream.h>

#include <cstddef>
#include <string>

namespace corvane::file {

class CheckedFileStream : public TagLib::IOStream {
 public:
  // Opens path for reading and writing; isOpen() tells whether that worked.
  explicit CheckedFileStream(std::string path);
  // Works on its own duplicate of fd, an open file readable and writable
  // (a rewrite's private copy, which may have no name).
  explicit CheckedFileStream(int fd);
  ~CheckedFileStream() override;
  CheckedFileStream(const CheckedFileStream&) = delete;
  CheckedFileStream& operator=(const CheckedFileStream&) = delete;

  // True once any read, write, resize or seek went wrong.
  bool failed() const { return failed_; }
  // size bytes at offset, read whole (the position stays); false when they
  // cannot be. A short read at the end of the file is no I/O error.
  bool readAt(long offset, char* data, size_t size);

  TagLib::FileName name() const override { return path_.c_str(); }
  TagLib::ByteVector readBlock(unsigned long length) override;
  void writeBlock(const TagLib::ByteVector& data) override;
  void insert(const TagLib::ByteVector& data, unsigned long start = 0, unsigned long replace = 0) override;
  void removeBlock(unsigned long start = 0, unsigned long length = 0) override;
  bool readOnly() const override { return fd_ < 0; }
  bool isOpen() const override { return fd_ >= 0; }
  void seek(long offset, Position p = Beginning) override;
  long tell() const override { return position_; }
  long length() override;
  void truncate(long length) override;

 private:
  bool writeAt(long offset, const char* data, size_t size);
  // Moves the bytes from `from` to the end of the file so that they begin at `to`.
  bool moveTail(long from, long to);

  std::string path_;
  int fd_ = -1;
  long position_ = 0;
  bool failed_ = false;
};

}  // namespace corvane::file
