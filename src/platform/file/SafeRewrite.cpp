#include "platform/file/SafeRewrite.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

#include "media/Log.h"
#include "platform/file/FileDescriptor.h"
#include "platform/file/TempFile.h"

namespace corvane::file {
namespace {

bool fail(const std::string& path, std::string_view what, int error) {
  log::line(log::format("SafeRewrite %s: %.*s (%s)", path.c_str(), static_cast<int>(what.size()), what.data(),
                        std::strerror(error)));
  return false;
}

std::string realPath(const std::string& path) {
  std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr), &std::free);
  return resolved ? std::string(resolved.get()) : std::string();
}

// Positioned reads and writes: the original's descriptor may be shared with
// its opener.
bool copyByReadWrite(int from, int to, off_t offset, off_t size) {
  std::unique_ptr<char[]> buffer(new char[1 << 20]);
  while (offset < size) {
    const ssize_t n = ::pread(from, buffer.get(), 1 << 20, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;  // the original shrank under us
      return false;
    }
    if (!writeFullyAt(to, buffer.get(), static_cast<size_t>(n), offset)) return false;
    offset += n;
  }
  return true;
}

// Copies all size bytes: a shared-extent clone where the file system offers
// one, else an in-kernel copy, else plain reads and writes.
bool copyContents(int from, int to, off_t size) {
  if (size == 0) return true;
  if (::ioctl(to, FICLONE, from) == 0) return true;
  off_t done = 0;
  while (done < size) {
    loff_t in = done, out = done;
    const ssize_t n = ::copy_file_range(from, &in, to, &out, static_cast<size_t>(size - done), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EXDEV || errno == ENOSYS || errno == EOPNOTSUPP || errno == EINVAL)) {
      return copyByReadWrite(from, to, done, size);
    }
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    done += n;
  }
  return true;
}

bool sameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
         a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

// Flushes the edited copy and gives it the original's owner and mode. The
// copy is reopened by name because an editor may have replaced its inode.
bool finishCopy(const std::string& copyPath, const struct stat& original, int& error) {
  FileDescriptor fd(::open(copyPath.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  struct stat st {};
  if (!fd.valid() || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    error = fd.valid() ? EINVAL : errno;
    return false;
  }
  // Owner first: changing it clears set-id bits that fchmod then restores.
  // Failing to give the owner away is normal for an unprivileged process.
  if (st.st_uid != original.st_uid || st.st_gid != original.st_gid) {
    (void)::fchown(fd.get(), original.st_uid, original.st_gid);
  }
  if (::fchmod(fd.get(), original.st_mode & 07777) != 0 || ::fsync(fd.get()) != 0) {
    error = errno;
    return false;
  }
  return true;
}

// Rewrites target (a resolved path) from the open original, whose status
// when it was opened is before.
bool rewrite(int original, const struct stat& before, const std::string& target, const RewriteEdit& edit) {
  if (!S_ISREG(before.st_mode)) return fail(target, "not a regular file", EINVAL);
  if (!mayWrite(target, before)) return fail(target, "file is read-only", EACCES);

  const std::string folder = folderOf(target);
  struct stat folderStat {};
  if (::stat(folder.c_str(), &folderStat) != 0 || !mayWrite(folder, folderStat)) {
    return fail(target, "folder is read-only", EACCES);
  }

  TempFile copy(folder);
  if (!copy.valid()) return fail(target, "cannot create the copy", errno);
  if (!copyContents(original, copy.fd(), before.st_size) || !copy.closeFd()) {
    return fail(target, "cannot copy", errno);
  }

  if (!edit(copy.path())) return fail(target, "edit failed", EIO);
  int error = 0;
  if (!finishCopy(copy.path(), before, error)) return fail(target, "cannot flush the copy", error);

  // Someone else's change or removal of the original wins over ours.
  struct stat now {};
  if (::stat(target.c_str(), &now) != 0 || !sameFile(before, now)) {
    return fail(target, "original changed or removed during the rewrite", ESTALE);
  }
  if (::rename(copy.path().c_str(), target.c_str()) != 0) return fail(target, "cannot replace", errno);
  copy.keep();
  if (!syncFolder(folder)) {
    // The new contents are in place; only their durability across a crash is in doubt.
    fail(folder, "folder not flushed after rename", errno);
  }
  return true;
}

}  // namespace

bool safeRewrite(const std::string& path, const RewriteEdit& edit) {
  if (path.empty()) return false;
  const std::string target = realPath(path);
  if (target.empty()) return fail(path, "cannot resolve", errno);

  // O_NONBLOCK: a FIFO must not stall the open; it is refused by rewrite().
  FileDescriptor original(::open(target.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  struct stat before {};
  if (!original.valid() || ::fstat(original.get(), &before) != 0) return fail(target, "cannot open", errno);
  return rewrite(original.get(), before, target, edit);
}

bool safeRewrite(const InputFile& original, const std::string& path, const RewriteEdit& edit) {
  if (path.empty()) return false;
  const std::string target = realPath(path);
  if (target.empty()) return fail(path, "cannot resolve", errno);
  return rewrite(original.fd(), original.status(), target, edit);
}

}  // namespace corvane::file
