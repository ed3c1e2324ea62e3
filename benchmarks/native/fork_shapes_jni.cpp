// ForkShapes' native half: the launch procedure's two process shapes made
// from inside the JVM, stripped to the forks (no environment, identities or
// strings beyond the path), so that the JVM's own share of a fork-based
// launch can be told from the launcher's, and the vfork-first shape can be
// tried where it matters: in a multi-threaded JVM.
#include <jni.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// The child side never returns: a vfork child must not leave this frame.
__attribute__((noinline)) pid_t startDetached(const char* path, bool vforkFirst) {
  const pid_t child = vforkFirst ? vfork() : fork();
  if (child == 0) {
    if (fork() == 0) {
      syscall(SYS_close_range, 3U, ~0U, 0U);
      char* const argv[] = {const_cast<char*>(path), nullptr};
      execv(path, argv);
      _exit(127);
    }
    _exit(0);
  }
  return child;
}

}  // namespace

// 0 when the first child was started and reaped, -1 otherwise.
extern "C" JNIEXPORT jint JNICALL Java_com_zelt_benchmarks_ForkShapes_launch(JNIEnv* env, jclass,
                                                                             jstring path,
                                                                             jboolean vforkFirst) {
  const char* p = env->GetStringUTFChars(path, nullptr);
  if (p == nullptr) return -1;
  const pid_t child = startDetached(p, vforkFirst == JNI_TRUE);
  env->ReleaseStringUTFChars(path, p);
  if (child < 0) return -1;
  return waitpid(child, nullptr, 0) == child ? 0 : -1;
}
