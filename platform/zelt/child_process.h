// Starting a child that shares the caller's memory, and the few system calls
// such a child makes before it execs.
//
// A child made with clone(CLONE_VM | CLONE_VFORK) runs in the JVM's own
// memory while the JVM's other threads go on, so everything it runs must
// write nothing but its own stack: no errno (it is the calling thread's), no
// lock, no allocation, no lazy binding, no sanitizer bookkeeping. On Linux
// x86-64 the calls below are therefore made with the syscall instruction
// itself and return -errno on failure; glibc's wrappers would set errno, and
// its setgroups/setregid/setreuid would signal every thread of the JVM to
// change their credentials too. Where clone does not exist the child is a
// fork1 copy, which may use the ordinary calls.
//
// Header-only, free of the C++ runtime; only the launchers include it.
#pragma once

#include <sched.h>
#include <signal.h>
#include <sys/types.h>
#include <unistd.h>

#if defined(__sun)
#include <errno.h>
#include <grp.h>
#include <sys/resource.h>
#endif

// On every function that runs in such a child: no instrumentation, since a
// sanitizer's checks write its shadow memory and take its locks.
#define ZELT_CHILD_CODE __attribute__((no_sanitize("address", "undefined")))

namespace platform::child {

#if defined(__linux__) && defined(__x86_64__)

constexpr long kSysWrite = 1;
constexpr long kSysClose = 3;
constexpr long kSysRtSigaction = 13;
constexpr long kSysRtSigprocmask = 14;
constexpr long kSysClone = 56;
constexpr long kSysExecve = 59;
constexpr long kSysSetreuid = 113;
constexpr long kSysSetregid = 114;
constexpr long kSysSetgroups = 116;
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

// The new process: clone(CLONE_VM | CLONE_VFORK | SIGCHLD) on stackTop (the
// high end of a stack of the caller's), running entry(arg) and ending with
// its result as exit status. The caller is suspended until the child has
// exec'd or ended. Returns the child's process ID, or -errno.
//
// Kept out of line so that the one indirect call here (to entry, whose
// address the caller passes) stays in one place.
ZELT_CHILD_CODE __attribute__((noinline)) inline long startSharingMemory(int (*entry)(void*),
                                                                         void* arg,
                                                                         void* stackTop) {
  // The child finds arg on top of its stack; 16-byte alignment at the call.
  auto top = reinterpret_cast<unsigned long>(stackTop) & ~15UL;
  void** sp = reinterpret_cast<void**>(top - sizeof(void*));
  *sp = arg;
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
      : "a"(kSysClone), "D"(static_cast<long>(CLONE_VM | CLONE_VFORK | SIGCHLD)), "S"(sp), "d"(0L),
        "r"(r10), "r"(r8), "r"(r9), [exitGroup] "i"(kSysExitGroup)
      : "rcx", "r11", "memory");
  return ret;
}

// True when the platform runs children in the caller's memory, so that they
// need a stack of their own.
constexpr bool kSharesMemory = true;

ZELT_CHILD_CODE inline long writeBytes(int fd, const char* buf, unsigned long len) {
  return rawSyscall(kSysWrite, fd, reinterpret_cast<long>(buf), static_cast<long>(len));
}
ZELT_CHILD_CODE inline long closeFd(int fd) { return rawSyscall(kSysClose, fd); }
// Closes every descriptor from first up; -ENOSYS on kernels without it.
ZELT_CHILD_CODE inline long closeFrom(int first) {
  return rawSyscall(kSysCloseRange, first, static_cast<long>(~0U), 0);
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
ZELT_CHILD_CODE inline long setRegid(gid_t real, gid_t effective) {
  return rawSyscall(kSysSetregid, static_cast<long>(real), static_cast<long>(effective));
}
ZELT_CHILD_CODE inline long setReuid(uid_t real, uid_t effective) {
  return rawSyscall(kSysSetreuid, static_cast<long>(real), static_cast<long>(effective));
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

#elif defined(__sun)

// No clone: the child is a fork1 copy of the calling thread, which has
// memory of its own and may use libc. It still runs entry and ends.
constexpr bool kSharesMemory = false;

inline long startSharingMemory(int (*entry)(void*), void* arg, void* /*stackTop*/) {
  const pid_t pid = fork1();
  if (pid == 0) _exit(entry(arg));
  return pid < 0 ? -errno : pid;
}

inline long result(long rc) { return rc < 0 ? -errno : rc; }
inline long writeBytes(int fd, const char* buf, unsigned long len) {
  return result(write(fd, buf, len));
}
inline long closeFd(int fd) { return result(close(fd)); }
inline long closeFrom(int /*first*/) { return -ENOSYS; }
inline long openMax() { return sysconf(_SC_OPEN_MAX); }
inline long setGroups(unsigned long count, const gid_t* groups) {
  return result(setgroups(static_cast<int>(count), groups));
}
inline long setRegid(gid_t real, gid_t effective) { return result(setregid(real, effective)); }
inline long setReuid(uid_t real, uid_t effective) { return result(setreuid(real, effective)); }
inline long execProgram(const char* path, char* const argv[], char* const envp[]) {
  return result(execve(path, argv, envp));
}
[[noreturn]] inline void exitNow(int status) { _exit(status); }

using SignalMask = sigset_t;
inline void blockAllSignals(SignalMask* old) {
  sigset_t all;
  sigfillset(&all);
  sigprocmask(SIG_SETMASK, &all, old);
}
inline void restoreSignalMask(const SignalMask& mask) { sigprocmask(SIG_SETMASK, &mask, nullptr); }
inline void unblockAllSignals() {
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
}

inline void resetCaughtSignals() {
  for (int sig = 1; sig < NSIG; ++sig) {
    struct sigaction current;
    if (sigaction(sig, nullptr, &current) != 0) continue;
    if (current.sa_handler == SIG_DFL || current.sa_handler == SIG_IGN) continue;
    signal(sig, SIG_DFL);
  }
}

#else
#error "no child-process calls for this platform"
#endif

}  // namespace platform::child
