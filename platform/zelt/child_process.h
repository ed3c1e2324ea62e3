// Starting a child that shares the caller's memory, and the few system calls
// such a child makes before it execs.
//
// A child made with clone(CLONE_VM | CLONE_VFORK) runs in the JVM's own
// memory while the JVM's other threads go on, so everything it runs must
// write nothing but its own stack: no errno (it is the calling thread's), no
// lock, no allocation, no lazy binding, no sanitizer bookkeeping. The calls
// below are therefore made with the syscall instruction itself and return
// -errno on failure; glibc's wrappers would set errno, and its
// setgroups/setresgid/setresuid would signal every thread of the JVM to
// change their credentials too. Linux on x86-64 only (the top-level
// CMakeLists.txt refuses other targets).
//
// Header-only, free of the C++ runtime; only the launchers include it.
#pragma once

#include <errno.h>
#include <sched.h>
#include <signal.h>
#include <sys/types.h>
#include <unistd.h>

// On every function that runs in such a child: no instrumentation, since a
// sanitizer's checks write its shadow memory and take its locks.
#define ZELT_CHILD_CODE __attribute__((no_sanitize("address", "undefined")))

namespace platform::child {

constexpr long kSysWrite = 1;
constexpr long kSysClose = 3;
constexpr long kSysRtSigaction = 13;
constexpr long kSysRtSigprocmask = 14;
constexpr long kSysClone = 56;
constexpr long kSysExecve = 59;
constexpr long kSysSetgroups = 116;
constexpr long kSysSetresuid = 117;
constexpr long kSysSetresgid = 119;
constexpr long kSysCapget = 125;
constexpr long kSysCapset = 126;
constexpr long kSysPrctl = 157;
constexpr long kSysExitGroup = 231;
constexpr long kSysPrlimit64 = 302;
constexpr long kSysCloseRange = 436;

ZELT_CHILD_CODE inline long rawSyscall(long n, long a1 = 0, long a2 = 0, long a3 = 0, long a4 = 0) {
  register long r10 __asm__("r10") = a4;
  long ret;
  __asm__ volatile("syscall"
                   : "=a"(ret)
                   : "a"(n), "D"(a1), "S"(a2), "d"(a3), "r"(r10)
                   : "rcx", "r11", "memory");
  return ret;
}

// The kernel's struct sigaction on x86-64 (not libc's, which differs).
struct KernelSigaction {
  void (*handler)(int);
  unsigned long flags;
  void (*restorer)();
  unsigned long mask;
};
constexpr long kKernelSigsetBytes = sizeof(unsigned long);
constexpr int kSignalCount = 64;

// The new process: clone(CLONE_VFORK | SIGCHLD), with CLONE_VM when
// shareMemory, on stackTop (the high end of a stack of the caller's), running
// entry(arg) and ending with its result as exit status. Without CLONE_VM the
// child runs on its own copy of that stack. The caller is suspended until the
// child has exec'd or ended. Returns the child's process ID, or -errno.
//
// Kept out of line so that the one indirect call here (to entry, whose
// address the caller passes) stays in one place.
ZELT_CHILD_CODE __attribute__((noinline)) inline long startChild(int (*entry)(void*), void* arg,
                                                                 void* stackTop, bool shareMemory) {
  // The child finds arg on top of its stack; 16-byte alignment at the call.
  char* top = static_cast<char*>(stackTop) - (reinterpret_cast<unsigned long>(stackTop) & 15UL);
  void** sp = reinterpret_cast<void**>(top - sizeof(void*));
  *sp = arg;
  const long flags = (shareMemory ? CLONE_VM : 0) | CLONE_VFORK | SIGCHLD;
  register long r10 __asm__("r10") = 0;  // child_tid
  register long r8 __asm__("r8") = 0;    // tls
  register int (*r9)(void*) __asm__("r9") = entry;
  long ret;
  // The child returns from the system call on its own stack with rax 0 and
  // every other register as the caller had it: it never comes back into
  // this function's frame, but calls entry and exits with its result.
  __asm__ volatile(
      "syscall\n\t"
      "test %%rax, %%rax\n\t"
      "jnz 1f\n\t"
      "xor %%ebp, %%ebp\n\t"
      "pop %%rdi\n\t"
      "call *%%r9\n\t"
      "mov %%eax, %%edi\n\t"
      "mov %[exitGroup], %%eax\n\t"
      "syscall\n\t"
      "hlt\n"
      "1:"
      : "=a"(ret)
      : "a"(kSysClone), "D"(flags), "S"(sp), "d"(0L), "r"(r10), "r"(r8),
        "r"(r9), [exitGroup] "i"(kSysExitGroup)
      : "rcx", "r11", "memory");
  return ret;
}

ZELT_CHILD_CODE inline long writeBytes(int fd, const char* buf, unsigned long len) {
  return rawSyscall(kSysWrite, fd, reinterpret_cast<long>(buf), static_cast<long>(len));
}
ZELT_CHILD_CODE inline long closeFd(int fd) { return rawSyscall(kSysClose, fd); }
// Closes every descriptor from first up; -ENOSYS on kernels without it.
ZELT_CHILD_CODE inline long closeFrom(int first) {
  return rawSyscall(kSysCloseRange, first, 0xffffffffL, 0);
}
// The soft descriptor limit, as sysconf(_SC_OPEN_MAX) reports it.
ZELT_CHILD_CODE inline long openMax() {
  unsigned long limits[2] = {0, 0};
  const long rc =
      rawSyscall(kSysPrlimit64, 0, 7 /* RLIMIT_NOFILE */, 0, reinterpret_cast<long>(limits));
  if (rc < 0) return 1024;
  return limits[0] > 0x7fffffffUL ? 0x7fffffffL : static_cast<long>(limits[0]);
}
ZELT_CHILD_CODE inline long setGroups(unsigned long count, const gid_t* groups) {
  return rawSyscall(kSysSetgroups, static_cast<long>(count), reinterpret_cast<long>(groups));
}
// Real, effective and saved IDs at once; -1 leaves one as it is.
ZELT_CHILD_CODE inline long setResgid(gid_t real, gid_t effective, gid_t saved) {
  return rawSyscall(kSysSetresgid, static_cast<long>(real), static_cast<long>(effective),
                    static_cast<long>(saved));
}
ZELT_CHILD_CODE inline long setResuid(uid_t real, uid_t effective, uid_t saved) {
  return rawSyscall(kSysSetresuid, static_cast<long>(real), static_cast<long>(effective),
                    static_cast<long>(saved));
}

// The calling thread's capability sets (the low 64 capabilities), as
// capget and capset exchange them in their version 3 layout.
struct CapabilitySets {
  unsigned long long effective = 0;
  unsigned long long permitted = 0;
  unsigned long long inheritable = 0;
};
constexpr unsigned kCapabilityVersion3 = 0x20080522;
struct KernelCapHeader {
  unsigned version;
  int pid;
};
struct KernelCapData {
  unsigned effective;
  unsigned permitted;
  unsigned inheritable;
};
ZELT_CHILD_CODE inline long capabilities(CapabilitySets* sets) {
  KernelCapHeader header{kCapabilityVersion3, 0};
  KernelCapData data[2] = {};
  const long rc =
      rawSyscall(kSysCapget, reinterpret_cast<long>(&header), reinterpret_cast<long>(data));
  if (rc != 0) return rc;
  sets->effective = data[0].effective | static_cast<unsigned long long>(data[1].effective) << 32;
  sets->permitted = data[0].permitted | static_cast<unsigned long long>(data[1].permitted) << 32;
  sets->inheritable = data[0].inheritable | static_cast<unsigned long long>(data[1].inheritable)
                                                << 32;
  return 0;
}

// Empties the inheritable and ambient sets, keeping the permitted and
// effective ones (the identity switch still needs them): a program started
// under another identity must not take the caller's capabilities across
// execve. Kernels without ambient capabilities (EINVAL) have none to clear.
ZELT_CHILD_CODE inline long dropInheritableCapabilities() {
  CapabilitySets sets;
  long rc = capabilities(&sets);
  if (rc != 0) return rc;
  KernelCapHeader header{kCapabilityVersion3, 0};
  KernelCapData data[2] = {};
  data[0].effective = static_cast<unsigned>(sets.effective);
  data[1].effective = static_cast<unsigned>(sets.effective >> 32);
  data[0].permitted = static_cast<unsigned>(sets.permitted);
  data[1].permitted = static_cast<unsigned>(sets.permitted >> 32);
  rc = rawSyscall(kSysCapset, reinterpret_cast<long>(&header), reinterpret_cast<long>(data));
  if (rc != 0) return rc;
  rc = rawSyscall(kSysPrctl, 47 /* PR_CAP_AMBIENT */, 4 /* PR_CAP_AMBIENT_CLEAR_ALL */, 0, 0);
  return rc == -EINVAL ? 0 : rc;
}
ZELT_CHILD_CODE inline long execProgram(const char* path, char* const argv[], char* const envp[]) {
  return rawSyscall(kSysExecve, reinterpret_cast<long>(path), reinterpret_cast<long>(argv),
                    reinterpret_cast<long>(envp));
}
[[noreturn]] ZELT_CHILD_CODE inline void exitNow(int status) {
  for (;;) rawSyscall(kSysExitGroup, status);
}

// The calling thread's signal mask. Blocking takes every signal, the two
// that libc's calls keep for themselves included.
using SignalMask = unsigned long;
ZELT_CHILD_CODE inline void blockAllSignals(SignalMask* old) {
  const SignalMask all = ~0UL;
  rawSyscall(kSysRtSigprocmask, SIG_SETMASK, reinterpret_cast<long>(&all),
             reinterpret_cast<long>(old), kKernelSigsetBytes);
}
ZELT_CHILD_CODE inline void restoreSignalMask(const SignalMask& mask) {
  rawSyscall(kSysRtSigprocmask, SIG_SETMASK, reinterpret_cast<long>(&mask), 0, kKernelSigsetBytes);
}
ZELT_CHILD_CODE inline void unblockAllSignals() {
  const SignalMask none = 0;
  restoreSignalMask(none);
}

// Every signal with a handler goes back to its default action; ignored and
// default dispositions stay as they are.
ZELT_CHILD_CODE inline void resetCaughtSignals() {
  for (int sig = 1; sig <= kSignalCount; ++sig) {
    if (sig == SIGKILL || sig == SIGSTOP) continue;
    KernelSigaction current{};
    if (rawSyscall(kSysRtSigaction, sig, 0, reinterpret_cast<long>(&current), kKernelSigsetBytes) !=
        0)
      continue;
    if (current.handler == SIG_DFL || current.handler == SIG_IGN) continue;
    KernelSigaction dfl{};
    dfl.handler = SIG_DFL;
    rawSyscall(kSysRtSigaction, sig, reinterpret_cast<long>(&dfl), 0, kKernelSigsetBytes);
  }
}

}  // namespace platform::child
