#include "safe_path.h"

#include <fcntl.h>
#include <sys/syscall.h>

#include <cstdio>
#include <cstring>
#include <utility>

namespace safe_path {
namespace {

// From a directory or link owned by an ordinary user, only that user's own
// objects may be reached: anything else is something the user points at.
bool unsafeTransition(const struct stat& from, const struct stat& to) {
  return from.st_uid != 0 && from.st_uid != to.st_uid;
}

bool isDot(const char* name) { return name[0] == '\0' || strcmp(name, ".") == 0; }

}  // namespace

int Walk::start(const char* path) {
  const size_t len = strlen(path);
  if (len == 0) {
    return ENOENT;
  }
  if (len >= sizeof todo_) {
    return ENAMETOOLONG;
  }
  memcpy(todo_, path, len + 1);
  pos_ = 0;
  links_ = 0;
  dir_.reset(open(path[0] == '/' ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!dir_.ok() || fstat(dir_.get(), &previous_) != 0) {
    return errno;
  }
  return 0;
}

// Makes next, a directory just opened, the one the walk stands in, when the
// step to it from what led there is safe.
int Walk::enter(Fd next) {
  struct stat st;
  if (!next.ok() || fstat(next.get(), &st) != 0) {
    return errno;
  }
  if (unsafeTransition(previous_, st)) {
    return kUnsafeTransition;
  }
  dir_ = std::move(next);
  previous_ = st;
  return 0;
}

int Walk::stepUp() { return enter(Fd(openat(dir_.get(), "..", O_PATH | O_DIRECTORY | O_CLOEXEC))); }

int Walk::step(const char* name) {
  if (isDot(name)) {
    return 0;
  }
  if (strcmp(name, "..") == 0) {
    return stepUp();
  }
  Fd child(openat(dir_.get(), name, O_PATH | O_NOFOLLOW | O_CLOEXEC));
  struct stat st;
  if (!child.ok() || fstat(child.get(), &st) != 0) {
    return errno;
  }
  if (unsafeTransition(previous_, st)) {
    return kUnsafeTransition;
  }
  if (S_ISLNK(st.st_mode)) {
    return follow(child.get(), st, todo_ + pos_);
  }
  if (!S_ISDIR(st.st_mode)) {
    return ENOTDIR;
  }
  dir_ = std::move(child);
  previous_ = st;
  return 0;
}

// Puts the link's target in front of what is left of the path. A relative
// target goes on from the link's directory, an absolute one from /; either
// way the next step is checked against the link's owner.
int Walk::follow(int link, const struct stat& linkStat, const char* rest) {
  if (++links_ > kMaxLinks) {
    return ELOOP;
  }
  char joined[PATH_MAX];
  const ssize_t n = readlinkat(link, "", joined, sizeof joined);
  if (n < 0) {
    return errno;
  }
  if (n == 0) {
    return ENOENT;
  }
  const size_t targetLen = static_cast<size_t>(n);
  const size_t restLen = strlen(rest);
  const size_t len = targetLen + (restLen > 0 ? 1 + restLen : 0);
  if (len >= sizeof joined) {
    return ENAMETOOLONG;
  }
  if (restLen > 0) {
    joined[targetLen] = '/';
    memcpy(joined + targetLen + 1, rest, restLen);
  }
  joined[len] = '\0';
  memcpy(todo_, joined, len + 1);
  pos_ = 0;
  previous_ = linkStat;
  if (joined[0] == '/') {
    return enter(Fd(open("/", O_PATH | O_DIRECTORY | O_CLOEXEC)));
  }
  return 0;
}

int Walk::toLast() {
  lastMissing_ = false;
  for (;;) {
    while (todo_[pos_] == '/') {
      ++pos_;
    }
    size_t end = pos_;
    while (todo_[end] != '\0' && todo_[end] != '/') {
      ++end;
    }
    size_t after = end;
    while (todo_[after] == '/') {
      ++after;
    }
    const bool isLast = todo_[after] == '\0';
    char* name = todo_ + pos_;
    todo_[end] = '\0';
    pos_ = after;
    if (isLast) {
      last_ = name;
      trailingSlash_ = after > end;
      return 0;
    }
    if (const int err = step(name)) {
      return err;
    }
  }
}

int Walk::openFinal(Fd* object, struct stat* st) {
  for (;;) {
    if (const int err = toLast()) {
      return err;
    }
    const char* name = last_;
    bool self = isDot(name);
    if (strcmp(name, "..") == 0) {
      if (const int err = stepUp()) {
        return err;
      }
      self = true;
    }
    // The directory itself was checked when it was reached.
    Fd found(openat(dir_.get(), self ? "." : name, O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (!found.ok()) {
      const int err = errno;
      lastMissing_ = err == ENOENT && !self;
      return err;
    }
    if (fstat(found.get(), st) != 0) {
      return errno;
    }
    if (!self && unsafeTransition(previous_, *st)) {
      return kUnsafeTransition;
    }
    if (S_ISLNK(st->st_mode)) {
      if (const int err = follow(found.get(), *st, trailingSlash_ ? "/" : "")) {
        return err;
      }
      continue;
    }
    if (trailingSlash_ && !S_ISDIR(st->st_mode)) {
      return ENOTDIR;
    }
    *object = std::move(found);
    return 0;
  }
}

int chmodDescriptor(int fd, mode_t mode) {
#ifndef SYS_fchmodat2
  constexpr long SYS_fchmodat2 = 452;  // the same number on every architecture
#endif
  if (syscall(SYS_fchmodat2, fd, "", mode, AT_EMPTY_PATH) == 0) {
    return 0;
  }
  if (errno != ENOSYS) {
    return errno;
  }
  // Kernels before 6.6: the descriptor's own entry in /proc leads to the
  // very object it holds, whatever its name has become since.
  char proc[32];
  snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd);
  return chmod(proc, mode) == 0 ? 0 : errno;
}

}  // namespace safe_path
