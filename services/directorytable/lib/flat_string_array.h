// The strings of get-all: UTF-8 values collected where no JNI call may run
// (under the NIS+ call's deadline) and turned into one String[] afterwards.
#pragma once

#include <jni.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "jni/jni_support.h"
#include "jni/string_arrays.h"

namespace namestore {

// UTF-8 values appended one after another, none of which holds a NUL
// byte, kept as UTF-16 text in native memory with no JNI call: a caller
// fills it where no JNI may run (under a network deadline) and makes the
// Java strings afterwards (stringArrayFromText).
//
// The values are decoded into one text, separated by U+0000 (which the
// decoder never yields for bytes without a NUL). Every kChunk values make
// one chunk, whose start is recorded: each chunk becomes one Java string
// that String.split cuts into the values' strings (the JNI string floor of
// benchmarks/REPORT.md: 2.5 to 2.7 ms for 80,000 strings, against 5.8 to
// 6.0 ms with one NewString each).
class Utf16Values {
 public:
  static constexpr size_t kChunk = 4096;

  Utf16Values() = default;
  ~Utf16Values() {
    free(text_);
    free(starts_);
  }
  Utf16Values(const Utf16Values&) = delete;
  Utf16Values& operator=(const Utf16Values&) = delete;

  // Appends one value of len bytes; false when malloc is out of memory.
  bool append(const char* utf8, size_t len) {
    // A separator and the value: UTF-8 never decodes to more UTF-16 units
    // than it has bytes.
    if (!reserve(len + 1)) return false;
    if (count_ % kChunk == 0) {
      if (!newChunk()) return false;
    } else {
      text_[len_++] = 0;
    }
    len_ += jni::detail::decodeUtf8(utf8, len, text_ + len_);
    ++count_;
    return true;
  }

  // Forgets every value (the memory stays for the next ones).
  void clear() {
    len_ = 0;
    count_ = 0;
    chunks_ = 0;
  }

  size_t count() const { return count_; }
  size_t chunks() const { return chunks_; }
  // Chunk k's text (values separated by U+0000) and its number of values.
  const jchar* chunkText(size_t k) const { return text_ + starts_[k]; }
  size_t chunkLength(size_t k) const {
    return (k + 1 < chunks_ ? starts_[k + 1] - 1 : len_) - starts_[k];
  }
  size_t chunkValues(size_t k) const { return k + 1 < chunks_ ? kChunk : count_ - k * kChunk; }

 private:
  // Room for `more` UTF-16 units in the text.
  bool reserve(size_t more) {
    if (len_ + more <= room_) return true;
    size_t room = room_ * 2;
    if (room < len_ + more) room = len_ + more;
    if (room < 4096) room = 4096;
    auto* bigger = static_cast<jchar*>(realloc(text_, room * sizeof(jchar)));
    if (bigger == nullptr) return false;
    text_ = bigger;
    room_ = room;
    return true;
  }

  bool newChunk() {
    if (chunks_ == startsRoom_) {
      const size_t room = startsRoom_ == 0 ? 16 : startsRoom_ * 2;
      auto* bigger = static_cast<size_t*>(realloc(starts_, room * sizeof(size_t)));
      if (bigger == nullptr) return false;
      starts_ = bigger;
      startsRoom_ = room;
    }
    // Chunks after the first begin past the separator that ends the one
    // before.
    if (chunks_ != 0) text_[len_++] = 0;
    starts_[chunks_++] = len_;
    return true;
  }

  jchar* text_ = nullptr;  // len_ units in use of room_
  size_t len_ = 0;
  size_t room_ = 0;
  size_t count_ = 0;
  size_t* starts_ = nullptr;  // where each chunk begins in text_
  size_t chunks_ = 0;
  size_t startsRoom_ = 0;
};

// The String[] of every value of `values`, in order, or null (no exception
// left pending) when the JVM is out of memory or there are more values
// than a Java array holds.
inline jobjectArray stringArrayFromText(JNIEnv* env, const Utf16Values& values) {
  if (values.count() > static_cast<size_t>(INT32_MAX)) return nullptr;
  jni::ScopedLocalRef<jobjectArray> array(
      env, jni::newStringArray(env, static_cast<jsize>(values.count())));
  if (array.get() == nullptr || values.count() == 0) return array.release();
  jclass string = jni::stringClass(env);
  jni::ScopedLocalRef<jclass> system(env, env->FindClass("java/lang/System"));
  const jchar nul = 0;
  jni::ScopedLocalRef<jstring> separator(env, env->NewString(&nul, 1));
  if (string == nullptr || system.get() == nullptr || separator.get() == nullptr) {
    env->ExceptionClear();
    return nullptr;
  }
  const jmethodID split =
      env->GetMethodID(string, "split", "(Ljava/lang/String;I)[Ljava/lang/String;");
  const jmethodID arraycopy = env->GetStaticMethodID(system.get(), "arraycopy",
                                                     "(Ljava/lang/Object;ILjava/lang/Object;II)V");
  if (split == nullptr || arraycopy == nullptr) {
    env->ExceptionClear();
    return nullptr;
  }
  for (size_t k = 0; k < values.chunks(); ++k) {
    const size_t len = values.chunkLength(k);
    const auto n = static_cast<jsize>(values.chunkValues(k));
    // A chunk of one empty value is empty text.
    jni::ScopedLocalRef<jstring> text(
        env, env->NewString(len == 0 ? &nul : values.chunkText(k), static_cast<jsize>(len)));
    jni::ScopedLocalRef<jobjectArray> parts(
        env, text.get() == nullptr ? nullptr
                                   : static_cast<jobjectArray>(env->CallObjectMethod(
                                         text.get(), split, separator.get(), -1)));
    if (parts.get() == nullptr || env->ExceptionCheck() || env->GetArrayLength(parts.get()) != n) {
      env->ExceptionClear();
      return nullptr;
    }
    env->CallStaticVoidMethod(system.get(), arraycopy, parts.get(), 0, array.get(),
                              static_cast<jsize>(k * Utf16Values::kChunk), n);
    if (env->ExceptionCheck()) {
      env->ExceptionClear();
      return nullptr;
    }
  }
  return array.release();
}

}  // namespace namestore
