#include "platform/file/SafeRewrite.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "media/Log.h"
#include "platform/file/FileDescriptor.h"
#include "platform/file/TempFile.h"

namespace corvane::file {
namespace {

constexpr const char* kCopyPrefix = ".corvane-rewrite-";
constexpr const char* kBackupPrefix = ".corvane-backup-";
constexpr size_t kChunk = 1 << 20;

bool fail(const std::string& path, std::string_view what, int error) {
  log::line(log::format("SafeRewrite %s: %.*s (%s)", log::shown(path).c_str(), static_cast<int>(what.size()),
                        what.data(), std::strerror(error)));
  return false;
}

std::string procPathOf(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

// A file of ours in the original's folder: the private copy or the backup.
// A named one is removed when its owner goes, unless kept.
class SideFile {
 public:
  // Unnamed where the file system allows it, else named kCopyPrefix*.
  static SideFile copyIn(const std::string& folder) {
    SideFile file(folder);
    file.fd_ = FileDescriptor(::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
    // No unnamed files here (EOPNOTSUPP; EISDIR or EINVAL from older kernels
    // and some file systems): a hidden named copy instead.
    if (!file.fd_.valid() && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL))
      file.createNamed(kCopyPrefix);
    return file;
  }
  static SideFile namedIn(const std::string& folder, const char* prefix) {
    SideFile file(folder);
    file.createNamed(prefix);
    return file;
  }

  ~SideFile() {
    fd_.close();
    if (!name_.empty()) ::unlink(name_.c_str());
  }
  SideFile(SideFile&& other) noexcept
      : folder_(std::move(other.folder_)), name_(std::exchange(other.name_, {})), fd_(std::move(other.fd_)) {}
  SideFile(const SideFile&) = delete;
  SideFile& operator=(const SideFile&) = delete;

  bool valid() const { return fd_.valid(); }
  int fd() const { return fd_.get(); }
  const std::string& name() const { return name_; }
  void keep() { name_.clear(); }

  // Puts the file in target's place in one rename. An unnamed file is first
  // linked under a name of its own, which the rename takes away at once.
  bool replace(const std::string& target) {
    if (name_.empty() && !linkUnnamed()) return false;
    if (::rename(name_.c_str(), target.c_str()) != 0) return false;
    name_.clear();
    return true;
  }

 private:
  explicit SideFile(std::string folder) : folder_(std::move(folder)) {}

  void createNamed(const char* prefix) {
    name_ = folder_ + "/" + prefix + "XXXXXX";
    fd_ = FileDescriptor(::mkostemp(name_.data(), O_CLOEXEC));
    if (!fd_.valid()) name_.clear();
  }

  // The inode number makes the name unique among the folder's live files.
  bool linkUnnamed() {
    struct stat st {};
    if (::fstat(fd_.get(), &st) != 0) return false;
    const std::string base = folder_ + "/" + kCopyPrefix + std::to_string(st.st_ino);
    for (int attempt = 0; attempt < 16; ++attempt) {
      std::string name = attempt == 0 ? base : base + "-" + std::to_string(attempt);
      if (::linkat(AT_FDCWD, procPathOf(fd_.get()).c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
        name_ = std::move(name);
        return true;
      }
      if (errno != EEXIST) return false;
    }
    return false;
  }

  std::string folder_;
  std::string name_;
  FileDescriptor fd_;
};

std::string realPath(const std::string& path) {
  std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr), &std::free);
  return resolved ? std::string(resolved.get()) : std::string();
}

// Positioned reads and writes: the original's descriptor may be shared with
// its opener.
bool copyByReadWrite(int from, int to, off_t offset, off_t size) {
  std::unique_ptr<char[]> buffer(new char[kChunk]);
  while (offset < size) {
    const ssize_t n =
        ::pread(from, buffer.get(), static_cast<size_t>(std::min<off_t>(kChunk, size - offset)), offset);
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

// Copies the first size bytes of from over the start of to: a shared-extent
// clone where the file system offers one, else an in-kernel copy, else plain
// reads and writes.
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

// Makes to hold exactly the size bytes of from, flushed.
bool overwrite(int from, int to, off_t size) {
  return copyContents(from, to, size) && ::ftruncate(to, size) == 0 && ::fsync(to) == 0;
}

// Whether a and b both hold exactly size bytes, the same ones.
bool sameBytes(int a, int b, off_t size) {
  struct stat sa {
  }, sb{};
  if (::fstat(a, &sa) != 0 || ::fstat(b, &sb) != 0 || sa.st_size != size || sb.st_size != size) return false;
  std::vector<char> left(kChunk), right(kChunk);
  for (off_t at = 0; at < size;) {
    const auto n = static_cast<size_t>(std::min<off_t>(kChunk, size - at));
    if (!readFullyAt(a, left.data(), n, at) || !readFullyAt(b, right.data(), n, at) ||
        std::memcmp(left.data(), right.data(), n) != 0) {
      return false;
    }
    at += static_cast<off_t>(n);
  }
  return true;
}

bool sameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
         a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

// ---- extended attributes

// The attribute names of fd; none (errno set) when they cannot be listed.
std::optional<std::vector<std::string>> attributeNames(int fd) {
  for (int attempt = 0; attempt < 4; ++attempt) {
    const ssize_t size = ::flistxattr(fd, nullptr, 0);
    if (size < 0) return std::nullopt;
    std::vector<char> list(static_cast<size_t>(size));
    const ssize_t got = ::flistxattr(fd, list.data(), list.size());
    if (got < 0 && errno == ERANGE) continue;  // the list grew meanwhile
    if (got < 0) return std::nullopt;
    std::vector<std::string> names;
    for (size_t at = 0; at < static_cast<size_t>(got);) {
      names.emplace_back(list.data() + at);
      at += names.back().size() + 1;
    }
    return names;
  }
  errno = ERANGE;
  return std::nullopt;
}

std::optional<std::vector<char>> attributeValue(int fd, const std::string& name) {
  for (int attempt = 0; attempt < 4; ++attempt) {
    const ssize_t size = ::fgetxattr(fd, name.c_str(), nullptr, 0);
    if (size < 0) return std::nullopt;
    std::vector<char> value(static_cast<size_t>(size));
    const ssize_t got = ::fgetxattr(fd, name.c_str(), value.data(), value.size());
    if (got < 0 && errno == ERANGE) continue;
    if (got < 0) return std::nullopt;
    value.resize(static_cast<size_t>(got));
    return value;
  }
  errno = ERANGE;
  return std::nullopt;
}

// Security labels and the like are the system's to set: a copy keeps the
// ones the system gave it when the original's cannot be set.
bool systemOwned(const std::string& name) { return name.rfind("security.", 0) == 0; }

// Gives copy exactly the extended attributes of original (access control
// lists are attributes too), dropping what the copy inherited from its
// folder; false, with error set, when one cannot be carried.
bool carryAttributes(int original, int copy, int& error) {
  const auto names = attributeNames(original);
  if (!names) {
    if (errno == ENOTSUP) return true;  // the file system keeps none
    error = errno;
    return false;
  }
  for (const std::string& inherited : attributeNames(copy).value_or(std::vector<std::string>{})) {
    if (std::find(names->begin(), names->end(), inherited) == names->end() &&
        ::fremovexattr(copy, inherited.c_str()) != 0 && !systemOwned(inherited)) {
      error = errno;
      return false;
    }
  }
  for (const std::string& name : *names) {
    const auto value = attributeValue(original, name);
    if (!value && errno == ENODATA) continue;  // removed meanwhile
    if ((!value || ::fsetxattr(copy, name.c_str(), value->data(), value->size(), 0) != 0) &&
        !systemOwned(name)) {
      error = errno;
      return false;
    }
  }
  return true;
}

// Gives the edited copy the original's attributes, owner and mode, and
// flushes it.
bool finishCopy(int original, const struct stat& before, int copy, int& error) {
  struct stat st {};
  if (::fstat(copy, &st) != 0) {
    error = errno;
    return false;
  }
  // Owner first: changing it clears set-id bits that fchmod then restores.
  // Failing to give the owner away is normal for an unprivileged process.
  if (st.st_uid != before.st_uid || st.st_gid != before.st_gid) {
    (void)::fchown(copy, before.st_uid, before.st_gid);
  }
  if (!carryAttributes(original, copy, error)) return false;
  if (::fchmod(copy, before.st_mode & 07777) != 0 || ::fsync(copy) != 0) {
    error = errno;
    return false;
  }
  return true;
}

// For a file with several links: the flushed copy's bytes are written into
// the original's own inode, with the original's bytes saved beside it until
// the new ones read back right.
bool rewriteInPlace(const std::string& target, const struct stat& before, int copy) {
  const std::string folder = folderOf(target);
  FileDescriptor file(::open(target.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  struct stat now {
  }, edited{};
  if (!file.valid() || ::fstat(file.get(), &now) != 0 || !sameFile(before, now)) {
    return fail(target, "original changed or removed during the rewrite", ESTALE);
  }
  if (::fstat(copy, &edited) != 0) return fail(target, "cannot read the copy", errno);
  SideFile backup = SideFile::namedIn(folder, kBackupPrefix);
  if (!backup.valid() || !overwrite(file.get(), backup.fd(), before.st_size) || !syncFolder(folder)) {
    return fail(target, "cannot save the original's bytes", errno);
  }
  if (overwrite(copy, file.get(), edited.st_size) && sameBytes(copy, file.get(), edited.st_size)) return true;
  const int error = errno;
  if (!overwrite(backup.fd(), file.get(), before.st_size)) {
    backup.keep();
    return fail(target,
                "the rewrite in place failed, and so did putting the old bytes back; they are in " +
                    log::shown(backup.name()),
                error);
  }
  return fail(target, "the rewrite in place failed; the old bytes are back", error);
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

  SideFile copy = SideFile::copyIn(folder);
  if (!copy.valid()) return fail(target, "cannot create the copy", errno);
  if (!copyContents(original, copy.fd(), before.st_size)) return fail(target, "cannot copy", errno);
  if (!edit(copy.fd())) return fail(target, "edit failed", EIO);

  // Someone else's change or removal of the original wins over ours.
  struct stat now {};
  if (::stat(target.c_str(), &now) != 0 || !sameFile(before, now)) {
    return fail(target, "original changed or removed during the rewrite", ESTALE);
  }
  if (now.st_nlink > 1) return rewriteInPlace(target, before, copy.fd());
  int error = 0;
  if (!finishCopy(original, before, copy.fd(), error)) return fail(target, "cannot finish the copy", error);
  if (!copy.replace(target)) return fail(target, "cannot replace", errno);
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
