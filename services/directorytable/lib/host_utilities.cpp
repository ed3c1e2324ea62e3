// Host utilities of DirectoryTableLibrary: file calls that report errno,
// address ordering, the secure-RPC domain and the master of a NIS map.
//
// None of them touches a table session. Java strings reach the system as
// standard UTF-8; a string that is null or holds U+0000 cannot name a file,
// so the file calls answer it with EINVAL before any system call.
//
// The calls that change files resolve their paths with safe_path, so that a
// user who owns part of a path cannot turn them to another file (EPERM), and
// change owner and mode only through the descriptor they resolved.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <rpcsvc/yp_prot.h>
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
#include "safe_path.h"
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

// Times a create starts again after its file was swapped, removed or made
// between two of its steps, before the last error is reported.
constexpr int kCreateAttempts = 40;

// Opens the file at path for writing, or creates it with mode when it is
// missing (and tells the caller so, since only a new file gets its mode). A
// file is never truncated here, and nothing but a regular file is ever opened
// for writing: a FIFO would block the caller, a device would act. The
// process file-creation mask is never changed: other JVM threads may be
// creating files at the same moment. Returns the descriptor, or -1 with
// errno set.
int openForCreate(const char* path, mode_t mode, bool* created) {
  constexpr int kFlags = O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
  int err = 0;
  for (int attempt = 0; attempt < kCreateAttempts; ++attempt) {
    safe_path::Walk walk;
    safe_path::Fd found;
    struct stat st;
    err = walk.start(path);
    if (err == 0) {
      err = walk.openFinal(&found, &st);
    }
    if (err == ENOENT && walk.lastMissing()) {
      if (walk.trailingSlash()) {
        err = EISDIR;  // as creat says of "name/"
        break;
      }
      // O_EXCL: never a file or link planted here since the walk looked.
      const int fd = openat(walk.dir(), walk.last(), kFlags | O_CREAT | O_EXCL, mode);
      if (fd >= 0) {
        *created = true;
        return fd;
      }
      err = errno;
      if (err == EEXIST) {
        continue;  // made by someone else meanwhile: look at it again
      }
      break;
    }
    if (err != 0) {
      break;
    }
    if (S_ISDIR(st.st_mode)) {
      err = EISDIR;
      break;
    }
    if (!S_ISREG(st.st_mode)) {
      err = ENXIO;
      break;
    }
    const int fd = openat(walk.dir(), walk.last(), kFlags);
    if (fd < 0) {
      err = errno;
      if (err == ENOENT || err == ELOOP) {
        continue;  // removed, or replaced by a link, since it was looked at
      }
      break;
    }
    struct stat opened;
    if (fstat(fd, &opened) == 0 && opened.st_dev == st.st_dev && opened.st_ino == st.st_ino) {
      *created = false;
      return fd;
    }
    err = EAGAIN;  // another file took the name meanwhile
    close(fd);
  }
  errno = err;
  return -1;
}

// Whether a domain or map name may reach libnsl, which builds the binding
// file's name /var/yp/binding/DOMAIN.2 in a stack array as long as the
// domain: an over-long name overflows the stack, and one holding '/' or
// equal to "." or ".." reads a binding file elsewhere, which any local user
// could plant to name the master. Names longer than the NIS limits could
// never be sent anyway.
bool nisNameAllowed(const jni::Utf8String& name, size_t limit) {
  return name.ok() && name.size() <= limit && memchr(name.c_str(), '/', name.size()) == nullptr &&
         strcmp(name.c_str(), ".") != 0 && strcmp(name.c_str(), "..") != 0;
}

// The object at the end of path, links followed, as an O_PATH descriptor.
int resolveFinal(const char* path, safe_path::Fd* object, struct stat* st) {
  safe_path::Walk walk;
  const int err = walk.start(path);
  return err != 0 ? err : walk.openFinal(object, st);
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
  const safe_path::Fd fd(openForCreate(p.c_str(), static_cast<mode_t>(mode), &created));
  if (!fd.ok()) {
    return errno;  // ownership is left alone
  }
  // The mode set on the descriptor is exact, whatever the mask; an existing
  // file keeps its bits. Ownership comes last, as after creat.
  if (!created && ftruncate(fd.get(), 0) != 0) {
    return errno;
  }
  if (created && fchmod(fd.get(), static_cast<mode_t>(mode) & 07777) != 0) {
    return errno;
  }
  if (fchown(fd.get(), static_cast<uid_t>(uid), static_cast<gid_t>(gid)) != 0) {
    return errno;
  }
  return 0;
}

NAMESTORE_NATIVE(jint, fileDelete)(JNIEnv* env, jobject, jstring path) {
  jni::Utf8String p(env, path);
  if (const int err = pathError(p)) {
    return err;
  }
  safe_path::Walk walk;
  int err = walk.start(p.c_str());
  if (err == 0) {
    err = walk.toLast();
  }
  if (err != 0) {
    return err;
  }
  // The last name itself is never followed: a link is removed, not its target.
  const char* name = walk.last();
  if (name[0] == '\0' || strcmp(name, ".") == 0 || strcmp(name, "..") == 0) {
    return EISDIR;  // as unlink says of /, . and ..
  }
  if (walk.trailingSlash()) {
    // "name/" names a directory, which unlink refuses, or nothing.
    struct stat st;
    if (fstatat(walk.dir(), name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
      return errno;
    }
    return S_ISDIR(st.st_mode) ? EISDIR : ENOTDIR;
  }
  return unlinkat(walk.dir(), name, 0) == 0 ? 0 : errno;
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
  // The source is resolved as carefully as the target: whoever can point it
  // at another file chooses the owner and mode the target gets.
  safe_path::Fd source;
  struct stat st;
  if (const int err = resolveFinal(from.c_str(), &source, &st)) {
    return err;
  }
  safe_path::Fd target;
  struct stat targetSt;
  if (const int err = resolveFinal(to.c_str(), &target, &targetSt)) {
    return err;
  }
  // Both changes go through the one descriptor, never the name again.
  if (fchownat(target.get(), "", st.st_uid, st.st_gid, AT_EMPTY_PATH) != 0) {
    return errno;
  }
  // Only the nine permission bits: never set-user-ID, set-group-ID or sticky.
  return safe_path::chmodDescriptor(target.get(), st.st_mode & 0777);
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
  if (!nisNameAllowed(d, YPMAXDOMAIN) || !nisNameAllowed(m, YPMAXMAP)) {
    return jni::newStringFromUtf8(env, "");
  }
  char* master = nullptr;
  const int rc = yp_master(d.c_str(), m.c_str(), &master);
  jstring result = jni::newStringFromUtf8(env, rc == 0 && master != nullptr ? master : "");
  free(master);
  return result;
}
