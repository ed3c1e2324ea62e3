// The detached launch procedure: two forks, the caller reaping the first
// child, the grandchild setting up and replacing itself with the program.
//
// From the first fork to the exec this code runs in a copy of a
// multi-threaded JVM in which only the forking thread survives. It therefore
// makes no JNI call (it has no JNIEnv), leaves the JVM's stdio buffers alone
// (messages go out with write(2), and every child ends with _exit), and
// allocates nothing itself.
#include "detached_launch.h"

#include <errno.h>
#include <grp.h>
#include <pwd.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>

#include "zelt/platform.h"

namespace launch {

bool StringList::allocate(size_t n) {
  clear();
  if (n == 0) return true;
  items_ = static_cast<char**>(calloc(n, sizeof(char*)));
  if (items_ == nullptr) return false;
  size_ = n;
  return true;
}

void StringList::set(size_t i, char* s) {
  if (items_[i] != nullptr) --nonNull_;
  free(items_[i]);
  items_[i] = s;
  if (s != nullptr) ++nonNull_;
}

void StringList::clear() {
  for (size_t i = 0; i < size_; ++i) free(items_[i]);
  free(items_);
  items_ = nullptr;
  size_ = 0;
  nonNull_ = 0;
}

void LaunchPlan::release() {
  free(path);
  path = nullptr;
  args.clear();
  env.clear();
  free(groups);
  groups = nullptr;
  groupCount = 0;
  free(envSlots);
  envSlots = nullptr;
  envCapacity = 0;
}

namespace {

// Writes all of buf, retrying after partial writes and interruptions.
void writeAll(int fd, const char* buf, size_t len) {
  while (len > 0) {
    const ssize_t n = write(fd, buf, len);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    buf += n;
    len -= static_cast<size_t>(n);
  }
}

// Appends src to the message in buf (capacity cap, length *len), cutting it
// to fit.
void append(char* buf, size_t cap, size_t* len, const char* src) {
  while (*src != '\0' && *len < cap) buf[(*len)++] = *src++;
}

// What perror writes: "<message>: <system text>\n" on standard error. Built
// on the stack and written at once, so it is safe in a forked copy of the
// JVM: no stdio lock, no buffer, no allocation (strerror may allocate for
// an unknown error number; the static description never does).
void reportError(const char* message) {
  const int err = errno;
  char buf[512];
  size_t len = 0;
  append(buf, sizeof buf, &len, message);
  append(buf, sizeof buf, &len, ": ");
#if defined(__GLIBC__)
  const char* text = strerrordesc_np(err);
#else
  const char* text = strerror(err);
#endif
  if (text != nullptr) {
    append(buf, sizeof buf, &len, text);
  } else {
    char digits[16];
    size_t d = sizeof digits;
    digits[--d] = '\0';
    unsigned int v = err < 0 ? 0U - static_cast<unsigned int>(err) : static_cast<unsigned int>(err);
    do {
      digits[--d] = static_cast<char>('0' + v % 10);
      v /= 10;
    } while (v != 0);
    if (err < 0) digits[--d] = '-';
    append(buf, sizeof buf, &len, "Unknown error ");
    append(buf, sizeof buf, &len, digits + d);
  }
  if (len == sizeof buf) --len;
  buf[len++] = '\n';
  writeAll(STDERR_FILENO, buf, len);
}

// Closes every descriptor from 3 up. One close_range call costs the same
// whatever the descriptor limit; kernels without it (ENOSYS, or EINVAL from
// an older variant) get the close loop up to the limit.
void closeDescriptorsFrom3(LimitReading limitReading) {
#if defined(SYS_close_range)
  if (syscall(SYS_close_range, 3U, ~0U, 0U) == 0) return;
#endif
  if (limitReading == LimitReading::kOnce) {
    const long limit = sysconf(_SC_OPEN_MAX);
    for (long fd = 3; fd < limit; ++fd) close(static_cast<int>(fd));
  } else {
    for (long fd = 3; fd < sysconf(_SC_OPEN_MAX); ++fd) close(static_cast<int>(fd));
  }
}

// Slack for variables that other threads add between planning and fork.
constexpr size_t kEnvironmentSlack = 64;

// True when the environment string entry names the variable that spec
// (NAME=value, or a bare NAME) names.
bool sameVariable(const char* entry, const char* spec) {
  for (;; ++entry, ++spec) {
    const bool specEnd = *spec == '\0' || *spec == '=';
    const bool entryEnd = *entry == '\0' || *entry == '=';
    if (specEnd || entryEnd) return specEnd && entryEnd;
    if (*entry != *spec) return false;
  }
}

bool hasValue(const char* spec) {
  for (; *spec != '\0'; ++spec) {
    if (*spec == '=') return true;
  }
  return false;
}

// Adds the extra strings to the environment in array order, as putenv
// would: NAME=value replaces the variable or adds it, a bare NAME removes
// it, so a later string for a name wins. The new environment is built in the
// slots the caller allocated, with no lock and no allocation: putenv takes
// the C library's environment lock, which another thread of the JVM may have
// held at the moment of the fork. Only when the environment outgrew the
// slots meanwhile does it fall back to putenv.
void applyEnvironment(const LaunchPlan& plan) {
  size_t n = 0;
  bool fits = plan.envSlots != nullptr;
  for (char** e = environ; fits && e != nullptr && *e != nullptr; ++e) {
    if (n + plan.env.size() + 1 > plan.envCapacity)
      fits = false;
    else
      plan.envSlots[n++] = *e;
  }
  if (!fits) {
    for (size_t i = 0; i < plan.env.size(); ++i) {
      if (char* entry = plan.env.at(i)) putenv(entry);
    }
    return;
  }
  for (size_t i = 0; i < plan.env.size(); ++i) {
    char* spec = plan.env.at(i);
    if (spec == nullptr) continue;
    size_t kept = 0;
    bool replaced = false;
    for (size_t k = 0; k < n; ++k) {
      if (!sameVariable(plan.envSlots[k], spec)) {
        plan.envSlots[kept++] = plan.envSlots[k];
      } else if (!replaced && hasValue(spec)) {
        plan.envSlots[kept++] = spec;
        replaced = true;
      }
    }
    n = kept;
    if (!replaced && hasValue(spec)) plan.envSlots[n++] = spec;
  }
  plan.envSlots[n] = nullptr;
  environ = plan.envSlots;
}

// The grandchild: environment, argument vector, descriptors, identities,
// program. Never returns. The plan's strings stay alive here for good:
// putenv keeps the pointers and execv replaces the whole image.
[[noreturn]] void becomeProgram(const LaunchPlan& plan) {
  applyEnvironment(plan);

  // The callers refuse argument arrays that do not fit before forking; the
  // bound here only keeps the vector intact should that ever change.
  char* vector[kVectorSlots];
  size_t n = 0;
  if (plan.separatePath) vector[n++] = plan.path;
  for (size_t i = 0; i < plan.args.size() && n < kVectorSlots - 1; ++i) {
    if (char* arg = plan.args.at(i)) vector[n++] = arg;
  }
  vector[n] = nullptr;

  closeDescriptorsFrom3(plan.limitReading);

  if (plan.applyGroups && setgroups(static_cast<size_t>(plan.groupCount), plan.groups) != 0) {
    reportError("setgroups failed");
    _exit(0);
  }
  if (setregid(static_cast<gid_t>(plan.realGroup), static_cast<gid_t>(plan.effectiveGroup)) != 0) {
    reportError("setregid failed");
    _exit(0);
  }
  if (setreuid(static_cast<uid_t>(plan.realUser), static_cast<uid_t>(plan.effectiveUser)) != 0) {
    reportError("setreuid failed");
    _exit(0);
  }

  // No PATH search: execv runs exactly the path given.
  if (plan.separatePath) {
    execv(plan.path, vector);
  } else if (n > 0) {
    execv(vector[0], vector);
  }
  if (plan.execFailure == ExecFailureReport::kStderrWithText) {
    reportError("execv error\n");
  } else {
    // Straight to the descriptor: it reaches a file or pipe too, and no
    // output the JVM left in its stdio buffers goes out with it.
    static const char kExecError[] = "execv error\n";
    writeAll(STDOUT_FILENO, kExecError, sizeof kExecError - 1);
  }
  _exit(127);
}

// The passwd entry of uid into *pw, with its strings in *buf (malloc'd, the
// caller frees it). Sets *found to false for an unknown user; false when out
// of memory.
bool lookUpUser(uid_t uid, passwd* pw, char** buf, bool* found) {
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  if (size < 1024) size = 16384;
  *found = false;
  for (;;) {
    *buf = static_cast<char*>(malloc(static_cast<size_t>(size)));
    if (*buf == nullptr) return false;
    passwd* result = nullptr;
    const int rc = getpwuid_r(uid, pw, *buf, static_cast<size_t>(size), &result);
    if (rc == ERANGE && size < (1L << 20)) {
      free(*buf);
      *buf = nullptr;
      size *= 2;
      continue;
    }
    // Any other failure of the user database counts as an unknown user: the
    // program then gets only its own group, never the caller's.
    *found = rc == 0 && result != nullptr;
    return true;
  }
}

}  // namespace

bool planSupplementaryGroups(LaunchPlan* plan) {
  plan->applyGroups = false;
  free(plan->groups);
  plan->groups = nullptr;
  plan->groupCount = 0;

  const uid_t callerReal = getuid();
  const uid_t callerEffective = geteuid();
  if (callerEffective != 0) return true;
  // -1 leaves an id as it is, as setreuid and setregid read it.
  const uid_t targetReal = plan->realUser == -1 ? callerReal : static_cast<uid_t>(plan->realUser);
  const uid_t targetEffective =
      plan->effectiveUser == -1 ? callerEffective : static_cast<uid_t>(plan->effectiveUser);
  if (targetReal == callerReal && targetEffective == callerEffective) return true;
  const gid_t baseGroup = plan->realGroup == -1 ? getgid() : static_cast<gid_t>(plan->realGroup);

  passwd pw;
  char* pwBuf = nullptr;
  bool found = false;
  if (!lookUpUser(targetReal, &pw, &pwBuf, &found)) return false;

  bool ok = true;
  if (!found) {
    plan->groups = static_cast<gid_t*>(malloc(sizeof(gid_t)));
    if (plan->groups == nullptr) {
      ok = false;
    } else {
      plan->groups[0] = baseGroup;
      plan->groupCount = 1;
    }
  } else {
    int capacity = 32;
    for (;;) {
      plan->groups = static_cast<gid_t*>(malloc(sizeof(gid_t) * static_cast<size_t>(capacity)));
      if (plan->groups == nullptr) {
        ok = false;
        break;
      }
      int count = capacity;
      if (getgrouplist(pw.pw_name, baseGroup, plan->groups, &count) >= 0) {
        plan->groupCount = count;
        break;
      }
      free(plan->groups);
      plan->groups = nullptr;
      // count now holds the number needed (glibc); grow at least twofold.
      const int next = count > capacity ? count : capacity * 2;
      if (next > 65536) {
        ok = false;
        break;
      }
      capacity = next;
    }
  }
  free(pwBuf);
  plan->applyGroups = ok;
  return ok;
}

bool planEnvironment(LaunchPlan* plan) {
  if (plan->env.nonNullCount() == 0) return true;
  size_t count = 0;
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) ++count;
  plan->envCapacity = count + plan->env.size() + kEnvironmentSlack + 1;
  plan->envSlots = static_cast<char**>(malloc(plan->envCapacity * sizeof(char*)));
  return plan->envSlots != nullptr;
}

int launchDetached(LaunchPlan* plan) {
  const pid_t child = platform::forkCallingThread();
  if (child == 0) {
    // First child: start the grandchild and end at once, so the caller's
    // wait is short and the grandchild is re-parented by the system.
    const pid_t grandchild = platform::forkCallingThread();
    if (grandchild == 0) becomeProgram(*plan);
    if (grandchild < 0) reportError("second fork failed");
    _exit(0);
  }

  const int forkErrno = errno;
  plan->release();
  if (child < 0) {
    errno = forkErrno;
    reportError("fork failed");
    return -1;
  }
  // Only this child, and only once: an interrupted wait is a failure.
  if (waitpid(child, nullptr, 0) != child) {
    reportError("wait for first child error");
    return -1;
  }
  return 0;
}

}  // namespace launch
