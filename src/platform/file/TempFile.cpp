#include "platform/file/TempFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>

namespace corvane::file {

std::string folderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

bool syncFolder(const std::string& folder) {
  FileDescriptor fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return fd.valid() && ::fsync(fd.get()) == 0;
}

void startWriteback(int fd) { (void)::sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE); }

mode_t newFileMode() {
  // Read, not set: umask() itself would change it for every thread a moment.
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("Umask:", 0) == 0)
      return 0666 & ~static_cast<mode_t>(std::strtoul(line.c_str() + 6, nullptr, 8));
  }
  return 0644;
}

TempFile::TempFile(const std::string& folder, const char* prefix, mode_t mode)
    : path_(folder + "/" + prefix + "XXXXXX"), fd_(::mkostemp(path_.data(), O_CLOEXEC)) {
  if (fd_.valid() && mode != 0600 && ::fchmod(fd_.get(), mode) != 0) {
    const int error = errno;
    fd_.close();
    ::unlink(path_.c_str());
    errno = error;
  }
  if (!fd_.valid()) path_.clear();
}

TempFile::~TempFile() {
  fd_.close();
  if (!path_.empty()) ::unlink(path_.c_str());
}

bool TempFile::moveTo(const std::string& finalPath) {
  if (path_.empty()) {
    errno = ENOENT;
    return false;
  }
  FileDescriptor now(::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (!now.valid() || ::fsync(now.get()) != 0) return false;
  if (::rename(path_.c_str(), finalPath.c_str()) != 0) return false;
  keep();
  fd_.close();
  // The new contents are in place; only their durability across a crash
  // depends on the folder flush.
  (void)syncFolder(folderOf(finalPath));
  return true;
}

}  // namespace corvane::file
