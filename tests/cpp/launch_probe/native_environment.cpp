// The native half of com.zelt.tests.launch.NativeEnvironment: the C library's
// environment of the test JVM, which Java's System.getenv (a copy taken at
// start-up) does not show. Lets a test change it while launches run and
// compare it before and after. Also the JVM's dumpable flag.
#include <jni.h>
#include <stdlib.h>
#include <sys/prctl.h>

extern char** environ;

namespace {

// The UTF-8 bytes of a Java string, released at the end of the scope.
class Utf8 {
 public:
  Utf8(JNIEnv* env, jstring s) : env_(env), s_(s), chars_(env->GetStringUTFChars(s, nullptr)) {}
  ~Utf8() {
    if (chars_ != nullptr) env_->ReleaseStringUTFChars(s_, chars_);
  }
  Utf8(const Utf8&) = delete;
  Utf8& operator=(const Utf8&) = delete;
  const char* get() const { return chars_; }

 private:
  JNIEnv* env_;
  jstring s_;
  const char* chars_;
};

}  // namespace

extern "C" JNIEXPORT void JNICALL Java_com_zelt_tests_launch_NativeEnvironment_set(JNIEnv* env,
                                                                                   jclass,
                                                                                   jstring name,
                                                                                   jstring value) {
  Utf8 n(env, name);
  Utf8 v(env, value);
  if (n.get() != nullptr && v.get() != nullptr) setenv(n.get(), v.get(), 1);
}

extern "C" JNIEXPORT void JNICALL Java_com_zelt_tests_launch_NativeEnvironment_unset(JNIEnv* env,
                                                                                     jclass,
                                                                                     jstring name) {
  Utf8 n(env, name);
  if (n.get() != nullptr) unsetenv(n.get());
}

// The environment's strings in order. Only meaningful while no other thread
// changes it.
extern "C" JNIEXPORT jobjectArray JNICALL
Java_com_zelt_tests_launch_NativeEnvironment_snapshot(JNIEnv* env, jclass) {
  jsize count = 0;
  while (environ[count] != nullptr) ++count;
  jclass stringClass = env->FindClass("java/lang/String");
  if (stringClass == nullptr) return nullptr;
  jobjectArray out = env->NewObjectArray(count, stringClass, nullptr);
  if (out == nullptr) return nullptr;
  for (jsize i = 0; i < count; ++i) {
    jstring s = env->NewStringUTF(environ[i]);
    if (s == nullptr) return nullptr;
    env->SetObjectArrayElement(out, i, s);
    env->DeleteLocalRef(s);
  }
  return out;
}

extern "C" JNIEXPORT jint JNICALL Java_com_zelt_tests_launch_NativeEnvironment_dumpable(JNIEnv*,
                                                                                        jclass) {
  return prctl(PR_GET_DUMPABLE);
}
