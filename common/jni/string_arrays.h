// Java String[] arrays for libnamestore's results: the String class kept
// once, new arrays, and arrays filled one element at a time. Like
// jni_support.h, failures are reported through state, never through a
// pending Java exception.
#pragma once

#include <jni.h>

#include <atomic>
#include <cstddef>

#include "jni/jni_support.h"

namespace jni {

// java/lang/String, looked up on first use and kept as a global reference
// for the life of the library; null (no exception left pending) when the
// JVM is out of memory. Threads that race on the first use each make a
// reference; one is kept, the others deleted.
inline jclass stringClass(JNIEnv* env) {
  static std::atomic<jclass> cached{nullptr};
  jclass known = cached.load(std::memory_order_acquire);
  if (known != nullptr) return known;
  ScopedLocalRef<jclass> local(env, env->FindClass("java/lang/String"));
  auto global =
      static_cast<jclass>(local.get() != nullptr ? env->NewGlobalRef(local.get()) : nullptr);
  if (global == nullptr) {
    env->ExceptionClear();
    return nullptr;
  }
  if (cached.compare_exchange_strong(known, global, std::memory_order_acq_rel)) return global;
  env->DeleteGlobalRef(global);
  return known;
}

// A new String[] of the given length, all null, or null (with no exception
// left pending) when the JVM cannot make one.
inline jobjectArray newStringArray(JNIEnv* env, jsize length) {
  jclass string = stringClass(env);
  if (string == nullptr) return nullptr;
  jobjectArray array = env->NewObjectArray(length, string, nullptr);
  if (array == nullptr) env->ExceptionClear();
  return array;
}

// Builds a String[] element by element. Each string is stored and its local
// reference deleted at once, so filling an array of any size keeps at most
// two local references alive.
class StringArrayBuilder {
 public:
  StringArrayBuilder(JNIEnv* env, jsize length) : env_(env), array_(newStringArray(env, length)) {}
  ~StringArrayBuilder() {
    if (array_ != nullptr) env_->DeleteLocalRef(array_);
  }
  StringArrayBuilder(const StringArrayBuilder&) = delete;
  StringArrayBuilder& operator=(const StringArrayBuilder&) = delete;

  bool ok() const { return array_ != nullptr; }

  // Stores the string decoded from len bytes of UTF-8.
  bool set(jsize index, const char* utf8, size_t len) {
    jstring s = newStringFromUtf8(env_, utf8, len);
    if (s == nullptr) return false;
    env_->SetObjectArrayElement(array_, index, s);
    env_->DeleteLocalRef(s);
    return true;
  }

  // Gives the finished array to the caller as a local reference.
  jobjectArray release() {
    jobjectArray a = array_;
    array_ = nullptr;
    return a;
  }

 private:
  JNIEnv* env_;
  jobjectArray array_;
};

}  // namespace jni
