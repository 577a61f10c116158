#pragma once

// A private file made in a folder, to be moved over a final path in one
// rename: the final path then holds either what it held before or the
// finished new contents, never a half-written file. The export service
// writes through it (the safe rewrite makes its copy unnamed where it can).
//
// The file is removed when its owner goes, on every path, unless it has been
// moved into place (or kept). Owns its descriptor and its name; not copied or
// moved; one thread at a time.

#include <sys/stat.h>
#include <sys/types.h>

#include <string>

#include "platform/file/FileDescriptor.h"

namespace corvane::file {

// The folder part of path: "." for a bare name, "/" for a name in the root.
std::string folderOf(const std::string& path);

// Flushes folder's entries (a rename in it) to the disk; false when that fails.
bool syncFolder(const std::string& folder);

// Asks the kernel to start writing the file's changed pages to the disk now,
// without waiting: a long writer calls it as it goes, so that the flush at
// the end finds little left to do.
void startWriteback(int fd);

// The mode a new file gets when a program creates it with 0666: the
// process's umask applied.
mode_t newFileMode();

class TempFile {
 public:
  // A new, empty file named folder + "/" + prefix + six random characters,
  // with the given permission bits. valid() is false (errno tells why) when
  // it cannot be made.
  explicit TempFile(const std::string& folder, const char* prefix = ".corvane-rewrite-", mode_t mode = 0600);
  ~TempFile();
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  bool valid() const { return fd_.valid(); }
  int fd() const { return fd_.get(); }
  const std::string& path() const { return path_; }
  // Closes the descriptor; false when close reports an error.
  bool closeFd() { return fd_.close(); }
  // The file stays when the owner goes.
  void keep() { path_.clear(); }

  // Flushes what is now at path() (reopened by name: an editor may have
  // replaced the file) and renames it to finalPath, then flushes the folder.
  // False (errno tells why) when the flush or the rename fails; the file is
  // then still removed with its owner.
  bool moveTo(const std::string& finalPath);

 private:
  std::string path_;
  FileDescriptor fd_;
};

}  // namespace corvane::file
