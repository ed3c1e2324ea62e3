// Host utilities of DirectoryTableLibrary: file calls that report errno,
// address ordering, the secure-RPC domain and the master of a NIS map.
//
// None of them touches a table session. Java strings reach the system as
// standard UTF-8; a string that is null or holds U+0000 cannot name a file,
// so the file calls answer it with EINVAL before any system call.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <rpcsvc/ypclnt.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "address_order.h"
#include "jni/jni_support.h"
#include "namestore_exports.h"
#include "zelt/platform.h"

namespace {

// 0 when the converted Java string can name a file, else the errno to report:
// EINVAL for null or an embedded U+0000, ENOMEM when the conversion failed.
int pathError(const jni::Utf8String& path) {
  switch (path.status()) {
    case jni::Utf8Status::kOk:
      return 0;
    case jni::Utf8Status::kNoMemory:
      return ENOMEM;
    case jni::Utf8Status::kNull:
    case jni::Utf8Status::kHasNul:
      break;
  }
  return EINVAL;
}

// Symbolic links followed while creating one file, as the kernel allows.
constexpr int kMaxLinkHops = 40;

// When path is a symbolic link, the path of its target as seen from the
// link's directory, in malloc'd memory; otherwise null with errno set.
char* linkTarget(const char* path) {
  struct stat st;
  if (lstat(path, &st) != 0) {
    return nullptr;
  }
  if (!S_ISLNK(st.st_mode)) {
    errno = EEXIST;
    return nullptr;
  }
  char target[PATH_MAX];
  const ssize_t n = readlink(path, target, sizeof target);
  if (n < 0) {
    return nullptr;
  }
  if (static_cast<size_t>(n) >= sizeof target) {
    errno = ENAMETOOLONG;
    return nullptr;
  }
  const char* slash = strrchr(path, '/');
  const size_t dirLen = (target[0] == '/' || slash == nullptr) ? 0 : slash - path + 1;
  char* joined = static_cast<char*>(malloc(dirLen + static_cast<size_t>(n) + 1));
  if (joined == nullptr) {
    errno = ENOMEM;
    return nullptr;
  }
  memcpy(joined, path, dirLen);
  memcpy(joined + dirLen, target, static_cast<size_t>(n));
  joined[dirLen + static_cast<size_t>(n)] = '\0';
  return joined;
}

// Opens path for writing as creat() does (truncating an existing file,
// creating a missing one, through a dangling link too) but tells the caller
// whether the file is new, so that only a new file gets its mode set. The
// process file-creation mask is never changed: other JVM threads may be
// creating files at the same moment. Returns the descriptor, or -1 with
// errno from the call that failed.
int openLikeCreat(const char* path, mode_t mode, bool* created) {
  constexpr int kFlags = O_WRONLY | O_NOCTTY | O_CLOEXEC;
  char* resolved = nullptr;
  const char* current = path;
  int fd = -1;
  *created = false;
  for (int hops = 0;; ++hops) {
    fd = open(current, kFlags | O_TRUNC);
    if (fd >= 0 || errno != ENOENT) {
      break;
    }
    fd = open(current, kFlags | O_CREAT | O_EXCL, mode);
    if (fd >= 0) {
      *created = true;
      break;
    }
    if (errno != EEXIST) {
      break;
    }
    // The name exists but leads nowhere: a dangling link, whose target creat
    // would create, or a file created by someone else since the first open.
    if (hops == kMaxLinkHops) {
      // Leave the odd cases to the kernel's own answer; no new-file mode.
      fd = open(current, kFlags | O_CREAT | O_TRUNC, mode);
      break;
    }
    char* next = linkTarget(current);
    if (next != nullptr) {
      free(resolved);
      resolved = next;
      current = resolved;
    }
  }
  const int saved = errno;
  free(resolved);
  errno = saved;
  return fd;
}

}  // namespace

NAMESTORE_NATIVE(jint, fileAccess)(JNIEnv* env, jobject, jstring path, jint mode) {
  jni::Utf8String p(env, path);
  if (const int err = pathError(p)) {
    return err;
  }
  return access(p.c_str(), mode) == 0 ? 0 : errno;
}

NAMESTORE_NATIVE(jint, fileCreate)
(JNIEnv* env, jobject, jstring path, jint uid, jint gid, jint mode) {
  jni::Utf8String p(env, path);
  if (const int err = pathError(p)) {
    return err;
  }
  bool created = false;
  const int fd = openLikeCreat(p.c_str(), static_cast<mode_t>(mode), &created);
  if (fd < 0) {
    return errno;  // ownership is left alone
  }
  // The mode set on the descriptor is exact, whatever the mask; an existing
  // file keeps its bits. Ownership comes last, as after creat.
  int result = 0;
  if (created && fchmod(fd, static_cast<mode_t>(mode) & 07777) != 0) {
    result = errno;
  }
  if (result == 0 && fchown(fd, static_cast<uid_t>(uid), static_cast<gid_t>(gid)) != 0) {
    result = errno;
  }
  close(fd);
  return result;
}

NAMESTORE_NATIVE(jint, fileDelete)(JNIEnv* env, jobject, jstring path) {
  jni::Utf8String p(env, path);
  if (const int err = pathError(p)) {
    return err;
  }
  return unlink(p.c_str()) == 0 ? 0 : errno;
}

NAMESTORE_NATIVE(jint, fileCopyStat)(JNIEnv* env, jobject, jstring fromPath, jstring toPath) {
  jni::Utf8String from(env, fromPath);
  if (const int err = pathError(from)) {
    return err;
  }
  jni::Utf8String to(env, toPath);
  if (const int err = pathError(to)) {
    return err;
  }
  struct stat st;
  if (stat(from.c_str(), &st) != 0) {
    return errno;
  }
  if (chown(to.c_str(), st.st_uid, st.st_gid) != 0) {
    return errno;
  }
  // Only the nine permission bits: never set-user-ID, set-group-ID or sticky.
  if (chmod(to.c_str(), st.st_mode & 0777) != 0) {
    return errno;
  }
  return 0;
}

NAMESTORE_NATIVE(jint, addressCompare)(JNIEnv* env, jobject, jstring a, jstring b) {
  // Null, U+0000 and over-long text all order as unparsable.
  jni::Utf8String ua(env, a);
  jni::Utf8String ub(env, b);
  return address_order::compareHostOrder(address_order::hostOrderValue(ua.c_str(), ua.size()),
                                         address_order::hostOrderValue(ub.c_str(), ub.size()));
}

NAMESTORE_NATIVE(jstring, getDomain)(JNIEnv* env, jobject) {
  char domain[256];
  if (platform::secureRpcDomain(domain, sizeof domain) <= 0) {
    return jni::newStringFromUtf8(env, "");
  }
  return jni::newStringFromUtf8(env, domain);
}

NAMESTORE_NATIVE(jstring, nisGetMaster)(JNIEnv* env, jobject, jstring domain, jstring map) {
  jni::Utf8String d(env, domain);
  jni::Utf8String m(env, map);
  if (!d.ok() || !m.ok()) {
    return jni::newStringFromUtf8(env, "");
  }
  char* master = nullptr;
  const int rc = yp_master(d.c_str(), m.c_str(), &master);
  jstring result = jni::newStringFromUtf8(env, rc == 0 && master != nullptr ? master : "");
  free(master);
  return result;
}
