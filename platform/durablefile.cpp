#include "platform/durablefile.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <string_view>

#include "platform/vba.h"

#ifndef RENAME_NOREPLACE
#define RENAME_NOREPLACE (1 << 0)
#endif

namespace durablefile {
namespace {

constexpr std::string_view kTempSuffix = ".partial";

[[noreturn]] void raiseFor(int err) {
  if (err == ENOSPC || err == EDQUOT) throw vba::RuntimeError(vba::vbErrDiskFull, "Disk full");
  if (err == ENOENT || err == ENOTDIR) throw vba::RuntimeError(vba::vbErrPathNotFound, "Path not found");
  throw vba::RuntimeError(vba::vbErrPathFileAccess, std::strerror(err));
}

bool isDigits(std::string_view text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// ".HINT.PID-N.partial", N counting the process's temporary files: a name is
// never used twice, so a sweep that found a leftover under it and removes
// the name cannot remove a newer file that took the name since.
std::string tempName(const std::string& hint) {
  static std::atomic<unsigned> made = 0;
  return "." + hint + "." + std::to_string(::getpid()) + "-" + std::to_string(++made) +
         std::string(kTempSuffix);
}

bool isTempName(std::string_view name) {
  if (!name.starts_with('.') || !name.ends_with(kTempSuffix)) return false;
  name.remove_suffix(kTempSuffix.size());
  const size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot < 2) return false;  // no hint
  std::string_view pid = name.substr(dot + 1);
  if (const size_t dash = pid.find('-'); dash != std::string_view::npos) {
    if (!isDigits(pid.substr(dash + 1))) return false;
    pid = pid.substr(0, dash);
  }
  return isDigits(pid);
}

// The name moved to newPath, or false when a file holds newPath already.
bool renameNoReplace(const std::string& oldPath, const std::string& newPath) {
  if (::syscall(SYS_renameat2, AT_FDCWD, oldPath.c_str(), AT_FDCWD, newPath.c_str(), RENAME_NOREPLACE) == 0)
    return true;
  if (errno == EEXIST) return false;
  if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) raiseFor(errno);
  // A file system without the no-replace rename: a hard link never replaces
  // either, and removing the old name completes the move.
  if (::link(oldPath.c_str(), newPath.c_str()) != 0) {
    if (errno == EEXIST) return false;
    raiseFor(errno);
  }
  ::unlink(oldPath.c_str());
  return true;
}

}  // namespace

PendingFile::PendingFile(const std::string& folder, const std::string& hint, TempFiles temps) {
  if (temps == TempFiles::Anonymous) {
    fd_ = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
    if (fd_ < 0 && errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) raiseFor(errno);
    if (fd_ >= 0) {
      // Writers reach it, and it is linked in, through /proc; without /proc
      // a named file is the way.
      path_ = "/proc/self/fd/" + std::to_string(fd_);
      if (::access(path_.c_str(), F_OK) == 0) return;
      ::close(fd_);
    }
  }
  for (;;) {
    temp_ = folder + "/" + tempName(hint);
    fd_ = ::open(temp_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd_ < 0) {
      if (errno == EEXIST) continue;
      raiseFor(errno);
    }
    // Locked until the file has its name, so no sweep takes it for a
    // leftover. A sweep may have removed it between its creation and the
    // lock; it has no link left then, and another is made.
    ::flock(fd_, LOCK_EX);
    struct stat st {};
    if (::fstat(fd_, &st) == 0 && st.st_nlink > 0) break;
    ::close(fd_);
  }
  path_ = temp_;
}

PendingFile::~PendingFile() {
  if (!published_ && !temp_.empty()) ::unlink(temp_.c_str());
  ::close(fd_);
}

void PendingFile::write(const std::vector<uint8_t>& bytes) {
  if (const int err = vba::fileWriteAll(fd_, bytes.data(), bytes.size())) raiseFor(err);
}

std::string PendingFile::publish(const std::function<std::string(int n)>& nameFor,
                                 const std::function<bool(const std::string& path)>& taken) {
  if (::fsync(fd_) != 0) raiseFor(errno);
  for (int n = 1;; ++n) {
    const std::string name = nameFor(n);
    if (taken && taken(name)) continue;
    if (temp_.empty()) {
      if (::linkat(AT_FDCWD, path_.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) != 0) {
        if (errno == EEXIST) continue;  // another writer took it a moment ago
        raiseFor(errno);
      }
    } else if (!renameNoReplace(temp_, name)) {
      continue;
    }
    published_ = true;
    syncFolderOf(name);
    return name;
  }
}

void PendingFile::publishOver(const std::string& path) {
  if (::fsync(fd_) != 0) raiseFor(errno);
  if (temp_.empty()) {
    // A nameless file gets a hidden name of its own first: only a rename
    // replaces in one step.
    const size_t slash = path.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash);
    const std::string hint = path.substr(slash == std::string::npos ? 0 : slash + 1);
    while (temp_.empty()) {
      const std::string name = folder + "/" + tempName(hint);
      if (::linkat(AT_FDCWD, path_.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
        temp_ = name;
      } else if (errno != EEXIST) {
        raiseFor(errno);
      }
    }
  }
  if (::rename(temp_.c_str(), path.c_str()) != 0) raiseFor(errno);
  published_ = true;
  syncFolderOf(path);
}

// A writer holds a lock on its temporary file until the file has its name,
// and the lock goes with the process that held it, so a file nobody holds
// is a leftover.
void removeLeftovers(const std::string& folder) {
  DIR* d = ::opendir(folder.c_str());
  if (!d) return;
  while (const dirent* entry = ::readdir(d)) {
    if (!isTempName(entry->d_name)) continue;
    const int fd = ::openat(::dirfd(d), entry->d_name, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) continue;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ::flock(fd, LOCK_EX | LOCK_NB) == 0) {
      ::unlinkat(::dirfd(d), entry->d_name, 0);
    }
    ::close(fd);
  }
  ::closedir(d);
}

void syncFolderOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

}  // namespace durablefile
