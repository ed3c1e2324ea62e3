// ForkShapes' native half: the launch procedure's process shape made from
// inside the JVM and stripped to the process creation (no environment,
// identities or strings beyond the path), so that the JVM's own share of a
// launch can be told from the launcher's. Both children are made with vfork,
// as launchapp makes them with clone(CLONE_VM | CLONE_VFORK), or with fork,
// which copies the JVM's page tables for each of them.
#include <jni.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// The child side never returns: a vfork child must not leave this frame.
// Signals stay blocked meanwhile, so that no JVM handler runs in a child.
__attribute__((noinline)) pid_t startDetached(const char* path, bool useVfork) {
  sigset_t all;
  sigset_t old;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &old);
  // vfork is the shape being measured; its children only exec or _exit.
  // NOLINTNEXTLINE(clang-analyzer-unix.Vfork,clang-analyzer-security.insecureAPI.vfork)
  const pid_t child = useVfork ? vfork() : fork();
  if (child == 0) {
    // NOLINTNEXTLINE(clang-analyzer-unix.Vfork,clang-analyzer-security.insecureAPI.vfork)
    const pid_t grandchild = useVfork ? vfork() : fork();
    if (grandchild == 0) {
      syscall(SYS_close_range, 3U, ~0U, 0U);
      sigset_t none;
      sigemptyset(&none);
      sigprocmask(SIG_SETMASK, &none, nullptr);
      char* const argv[] = {const_cast<char*>(path), nullptr};
      execv(path, argv);
      _exit(127);
    }
    _exit(0);
  }
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  return child;
}

}  // namespace

// 0 when the first child was started and reaped, -1 otherwise.
extern "C" JNIEXPORT jint JNICALL Java_com_zelt_benchmarks_ForkShapes_launch(JNIEnv* env, jclass,
                                                                             jstring path,
                                                                             jboolean useVfork) {
  const char* p = env->GetStringUTFChars(path, nullptr);
  if (p == nullptr) return -1;
  const pid_t child = startDetached(p, useVfork == JNI_TRUE);
  env->ReleaseStringUTFChars(path, p);
  if (child < 0) return -1;
  return waitpid(child, nullptr, 0) == child ? 0 : -1;
}
