#include "launch_children.h"

#include <errno.h>
#include <string.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstddef>

#include "zelt/child_process.h"

namespace launch {

namespace child = platform::child;

namespace {

// Writes all of buf, retrying after partial writes and interruptions.
ZELT_CHILD_CODE void writeAll(int fd, const char* buf, size_t len) {
  while (len > 0) {
    const long n = child::writeBytes(fd, buf, len);
    if (n == -EINTR) continue;
    if (n <= 0) return;
    buf += n;
    len -= static_cast<size_t>(n);
  }
}

// Appends src to the message in buf (capacity cap, length *len), cutting it
// to fit.
ZELT_CHILD_CODE void append(char* buf, size_t cap, size_t* len, const char* src) {
  while (*src != '\0' && *len < cap) buf[(*len)++] = *src++;
}

}  // namespace

// Built on the stack and written at once. strerrordesc_np only looks the
// text up in a constant table (strerror may allocate for an unknown number).
ZELT_CHILD_CODE void reportError(const char* message, int err) {
  char buf[512];
  size_t len = 0;
  append(buf, sizeof buf, &len, message);
  append(buf, sizeof buf, &len, ": ");
  const char* text = strerrordesc_np(err);
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

namespace {

// Closes every descriptor from 3 up: close_range, or on kernels before 5.9,
// which lack it, one close per descriptor below the limit.
ZELT_CHILD_CODE void closeDescriptorsFrom3() {
  if (child::closeFrom(3) == 0) return;
  const long limit = child::openMax();
  for (long fd = 3; fd < limit; ++fd) child::closeFd(static_cast<int>(fd));
}

// The grandchild: descriptors, signals, capabilities, identities, program.
// Never returns. Once the identity has changed, the target user may signal
// this process (and stop it, keeping the caller waiting): only the mask and
// the exec follow the switch.
ZELT_CHILD_CODE int becomeProgram(void* p) {
  const LaunchPlan& plan = *static_cast<const LaunchPlan*>(p);
  closeDescriptorsFrom3();

  // The program starts with only the ignored dispositions inherited; the
  // JVM's handlers go while every signal is still blocked, so none runs here.
  child::resetCaughtSignals();

  long rc = 0;
  if (plan.identityChanges) {
    rc = child::dropInheritableCapabilities();
    if (rc != 0) {
      reportError("capset failed", static_cast<int>(-rc));
      child::exitNow(0);
    }
  }
  if (plan.applyGroups) {
    rc = child::setGroups(static_cast<unsigned long>(plan.groupCount), plan.groups);
    if (rc != 0) {
      reportError("setgroups failed", static_cast<int>(-rc));
      child::exitNow(0);
    }
  }
  rc = child::setResgid(static_cast<gid_t>(plan.realGroup), static_cast<gid_t>(plan.effectiveGroup),
                        plan.savedGroup);
  if (rc != 0) {
    reportError("setregid failed", static_cast<int>(-rc));
    child::exitNow(0);
  }
  rc = child::setResuid(static_cast<uid_t>(plan.realUser), static_cast<uid_t>(plan.effectiveUser),
                        plan.savedUser);
  if (rc != 0) {
    reportError("setreuid failed", static_cast<int>(-rc));
    child::exitNow(0);
  }
  child::unblockAllSignals();

  // No PATH search: execve runs exactly the path given.
  const char* path = plan.separatePath ? plan.path : plan.argv[0];
  rc = -ENOENT;
  if (plan.separatePath || path != nullptr) rc = child::execProgram(path, plan.argv, plan.envp);
  if (plan.execFailure == ExecFailureReport::kStderrWithText) {
    reportError("execv error\n", static_cast<int>(-rc));
  } else {
    // Straight to the descriptor: it reaches a file or pipe too, and no
    // output the JVM left in its stdio buffers goes out with it.
    static const char kExecError[] = "execv error\n";
    writeAll(STDOUT_FILENO, kExecError, sizeof kExecError - 1);
  }
  child::exitNow(127);
}

struct FirstChildStart {
  const LaunchPlan* plan;
  void* grandchildTop;
  bool grandchildSharesMemory;
};

// The first child: starts the grandchild, which it waits for until that has
// exec'd or failed, and ends with status 0.
ZELT_CHILD_CODE int startGrandchild(void* p) {
  const FirstChildStart& start = *static_cast<const FirstChildStart*>(p);
  const long grandchild = child::startChild(becomeProgram, const_cast<LaunchPlan*>(start.plan),
                                            start.grandchildTop, start.grandchildSharesMemory);
  if (grandchild < 0) reportError("second fork failed", static_cast<int>(-grandchild));
  return 0;
}

}  // namespace

long startChildren(const LaunchPlan& plan, void* firstChildTop, void* grandchildTop) {
  FirstChildStart start{&plan, grandchildTop, plan.grandchildSharesMemory};
  child::SignalMask callerMask;
  child::blockAllSignals(&callerMask);
  const long first = child::startChild(startGrandchild, &start, firstChildTop, true);
  child::restoreSignalMask(callerMask);
  return first;
}

}  // namespace launch
