#include "java_strings.h"

#include "jni/jni_support.h"

namespace launch::java {

bool readStringArray(JNIEnv* env, jobjectArray array, size_t maxNonNull, StringList* list) {
  const jsize length = env->GetArrayLength(array);
  if (!list->allocate(static_cast<size_t>(length))) return false;
  for (jsize i = 0; i < length; ++i) {
    // One element reference at a time: arrays of any length stay within the
    // JVM's local reference capacity.
    jni::Utf8String utf8(env, array, i);
    if (utf8.status() == jni::Utf8Status::kNull) continue;
    // A string left out would shift the others (rm -i x becoming rm x).
    if (utf8.status() != jni::Utf8Status::kOk) return false;
    if (list->nonNullCount() >= maxNonNull) return false;
    list->set(static_cast<size_t>(i), utf8.release());
  }
  return true;
}

bool readString(JNIEnv* env, jstring s, char** out) {
  jni::Utf8String utf8(env, s);
  if (utf8.status() != jni::Utf8Status::kOk) return false;
  *out = utf8.release();
  return true;
}

bool readEnvironment(JNIEnv* env, jobjectArray environment, LaunchPlan* plan) {
  return environment == nullptr || readStringArray(env, environment, kUnbounded, &plan->env);
}

}  // namespace launch::java
