// Path resolution for the file calls that act as root on paths an ordinary
// user may own part of (a home directory, a spool, a shared folder).
//
// The kernel would follow every link and accept every object it meets. Here
// each component is opened on its own (openat with O_PATH | O_NOFOLLOW) and
// links are followed by hand, so that every step can be checked: a step from
// a directory or link owned by a user other than root to an object owned by
// someone else is refused with kUnsafeTransition. Such a step is how a user
// points root at a file that is not theirs (a link or hard link to a system
// file, a directory link to /etc); links and directories owned by root are
// followed as the kernel would (/var/run -> /run).
#pragma once

#include <errno.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>

namespace safe_path {

// The errno of a refused step.
constexpr int kUnsafeTransition = EPERM;

// Links followed in one resolution before ELOOP, as the kernel allows.
constexpr int kMaxLinks = 40;

// A file descriptor closed when the guard goes out of scope.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  Fd(Fd&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) {
      reset(other.fd_);
      other.fd_ = -1;
    }
    return *this;
  }
  ~Fd() { reset(-1); }

  int get() const { return fd_; }
  bool ok() const { return fd_ >= 0; }
  void reset(int fd) {
    if (fd_ >= 0) {
      close(fd_);
    }
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

// One resolution of one path. Every call returns 0 or an errno value.
class Walk {
 public:
  // Starts at / or at the working directory. ENOENT for an empty path,
  // ENAMETOOLONG for one of PATH_MAX bytes or more.
  int start(const char* path);

  // Walks every component but the last, links followed and steps checked.
  // Then dir() holds the last component, named by last() ("" when the path
  // names / itself).
  int toLast();

  // Resolves the whole path with links followed to the object at its end,
  // opened with O_PATH into *object and its status in *st. When only the
  // last name is missing it returns ENOENT with lastMissing() true; dir()
  // and last() then say where a new file would go.
  int openFinal(Fd* object, struct stat* st);

  int dir() const { return dir_.get(); }
  const char* last() const { return last_; }
  bool trailingSlash() const { return trailingSlash_; }
  bool lastMissing() const { return lastMissing_; }
  // The status of the directory or link that led to the last component.
  const struct stat& previous() const { return previous_; }

 private:
  int step(const char* name);
  int enter(Fd next);
  int stepUp();
  int follow(int link, const struct stat& linkStat, const char* rest);

  Fd dir_;
  struct stat previous_ {};
  char todo_[PATH_MAX] = {};
  size_t pos_ = 0;
  const char* last_ = "";
  bool trailingSlash_ = false;
  bool lastMissing_ = false;
  int links_ = 0;
};

// Sets the nine permission bits (and the special ones given) of the object
// an O_PATH descriptor holds, without naming it again.
int chmodDescriptor(int fd, mode_t mode);

}  // namespace safe_path
