// The floors the launch and the bridge are held against, made from inside
// the JVM so that they are timed at the same moments as what they bound:
//   spawn     /bin/true with vfork + execv + waitpid (the C vfork floor), or
//             in launchapp's shape: a vforked child vforks the program's
//             process and exits, the caller reaps the child;
//   strings   a flat String[] of rows x columns values ("r12c3") built from
//             memory with get-all's string helper (flat_string_array.h): the
//             share of get-all that no NIS+ client can take away;
//   setNofile this JVM's soft descriptor limit.
#include <jni.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "flat_string_array.h"

namespace {

// The child side never returns: a vfork child must not leave this frame.
// Signals stay blocked meanwhile, so that no JVM handler runs in a child.
__attribute__((noinline)) pid_t start(const char* path, bool twoProcesses) {
  sigset_t all;
  sigset_t old;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &old);
  // vfork is the shape being measured; its children only exec or _exit.
  // NOLINTNEXTLINE(clang-analyzer-unix.Vfork,clang-analyzer-security.insecureAPI.vfork)
  const pid_t child = vfork();
  if (child == 0) {
    // NOLINTNEXTLINE(clang-analyzer-unix.Vfork,clang-analyzer-security.insecureAPI.vfork)
    if (twoProcesses && vfork() != 0) _exit(0);
    // The raw system call, as launchapp's program process makes it.
    // NOLINTNEXTLINE(clang-analyzer-unix.Vfork)
    syscall(SYS_close_range, 3U, ~0U, 0U);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    char* const argv[] = {const_cast<char*>(path), nullptr};
    execv(path, argv);
    _exit(127);
  }
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  return child;
}

}  // namespace

// 0 when the (first) child was started and reaped with status 0, else -1.
extern "C" JNIEXPORT jint JNICALL Java_com_zelt_benchmarks_Floors_spawn(JNIEnv*, jclass,
                                                                        jboolean twoProcesses) {
  const pid_t child = start("/bin/true", twoProcesses == JNI_TRUE);
  int status = 0;
  return child > 0 && waitpid(child, &status, 0) == child && status == 0 ? 0 : -1;
}

extern "C" JNIEXPORT jobjectArray JNICALL Java_com_zelt_benchmarks_Floors_strings(JNIEnv* env,
                                                                                  jclass, jint rows,
                                                                                  jint columns) {
  // The values of one table shape, made once and kept.
  static std::vector<std::string> values;
  static jint made = -1;
  if (made != rows * columns) {
    values.clear();
    for (jint j = 0; j < rows; ++j) {
      for (jint i = 0; i < columns; ++i) {
        values.push_back("r" + std::to_string(j) + "c" + std::to_string(i));
      }
    }
    made = rows * columns;
  }
  namestore::Utf16Values all;
  for (const auto& v : values) {
    if (!all.append(v.data(), v.size())) return nullptr;
  }
  return namestore::stringArrayFromText(env, all);
}

extern "C" JNIEXPORT jboolean JNICALL Java_com_zelt_benchmarks_Floors_setNofile(JNIEnv*, jclass,
                                                                                jlong soft) {
  rlimit r{};
  if (getrlimit(RLIMIT_NOFILE, &r) != 0) return JNI_FALSE;
  r.rlim_cur = static_cast<rlim_t>(soft);
  return setrlimit(RLIMIT_NOFILE, &r) == 0 ? JNI_TRUE : JNI_FALSE;
}
