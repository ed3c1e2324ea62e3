// Small RAII helpers shared by the JNI libraries.
//
// They use only malloc/free and the JNI function table, so the launchers can
// use them without any C++ runtime, and they never throw. Every helper
// reports failure through its state (a null pointer, a false ok()), never
// through a Java exception: the libraries answer every failure with a value.
#pragma once

#include <jni.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "text/utf8.h"

namespace jni {

// A local reference deleted when the guard goes out of scope.
template <typename T>
class ScopedLocalRef {
 public:
  ScopedLocalRef(JNIEnv* env, T ref) : env_(env), ref_(ref) {}
  ~ScopedLocalRef() { reset(); }
  ScopedLocalRef(const ScopedLocalRef&) = delete;
  ScopedLocalRef& operator=(const ScopedLocalRef&) = delete;

  T get() const { return ref_; }
  T release() {
    T r = ref_;
    ref_ = nullptr;
    return r;
  }
  void reset(T ref = nullptr) {
    if (ref_ != nullptr) env_->DeleteLocalRef(ref_);
    ref_ = ref;
  }

 private:
  JNIEnv* env_;
  T ref_;
};

namespace detail {

inline bool isHighSurrogate(jchar c) { return c >= 0xD800 && c <= 0xDBFF; }
inline bool isLowSurrogate(jchar c) { return c >= 0xDC00 && c <= 0xDFFF; }

// Encodes UTF-16 as standard UTF-8 into out (capacity at least 3 * len + 1).
// Surrogate pairs become one 4-byte sequence; a lone surrogate, which has no
// UTF-8 form, becomes U+FFFD. Returns the byte count (NUL not counted).
inline size_t encodeUtf8(const jchar* in, size_t len, char* out) {
  auto* o = reinterpret_cast<unsigned char*>(out);
  size_t n = 0;
  for (size_t i = 0; i < len; ++i) {
    uint32_t cp = in[i];
    if (isHighSurrogate(in[i]) && i + 1 < len && isLowSurrogate(in[i + 1])) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (in[i + 1] - 0xDC00);
      ++i;
    } else if (isHighSurrogate(in[i]) || isLowSurrogate(in[i])) {
      cp = 0xFFFD;
    }
    if (cp < 0x80) {
      o[n++] = static_cast<unsigned char>(cp);
    } else if (cp < 0x800) {
      o[n++] = static_cast<unsigned char>(0xC0 | (cp >> 6));
      o[n++] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      o[n++] = static_cast<unsigned char>(0xE0 | (cp >> 12));
      o[n++] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
      o[n++] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
    } else {
      o[n++] = static_cast<unsigned char>(0xF0 | (cp >> 18));
      o[n++] = static_cast<unsigned char>(0x80 | ((cp >> 12) & 0x3F));
      o[n++] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
      o[n++] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
    }
  }
  out[n] = '\0';
  return n;
}

// Decodes UTF-8 to UTF-16 into out (capacity at least len). A byte that does
// not start a well-formed sequence becomes the Latin-1 character of the same
// value, so a foreign encoding keeps one character per byte and never loses
// the rest of the text. Returns the number of UTF-16 units written.
inline size_t decodeUtf8(const char* bytes, size_t len, jchar* out) {
  const auto* in = reinterpret_cast<const unsigned char*>(bytes);
  size_t n = 0;
  size_t i = 0;
  while (i < len) {
    uint32_t cp = 0;
    size_t step = utf8::sequenceLength(in + i, len - i, &cp);
    if (step == 0) {
      cp = in[i];
      step = 1;
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out[n++] = static_cast<jchar>(0xD800 + (cp >> 10));
      out[n++] = static_cast<jchar>(0xDC00 + (cp & 0x3FF));
    } else {
      out[n++] = static_cast<jchar>(cp);
    }
    i += step;
  }
  return n;
}

}  // namespace detail

// What converting a Java string gave. Each library turns the three failures
// into its callers' failure values in one helper per result family.
enum class Utf8Status {
  kOk,        // bytes usable as a C string
  kNull,      // a null reference: no bytes
  kHasNul,    // bytes, but the string holds U+0000: its C form would end early
  kNoMemory,  // no bytes: native memory ran out
};

// The standard UTF-8 bytes of a Java string, NUL-terminated, owned by the
// guard. JNI's GetStringUTFChars gives modified UTF-8 instead (U+0000 as
// C0 80, supplementary characters as two 3-byte surrogates), which no system
// call or NIS+ server reads correctly.
//
// c_str() is null unless status() is kOk or kHasNul.
class Utf8String {
 public:
  Utf8String(JNIEnv* env, jstring s) {
    if (s == nullptr) return;
    status_ = Utf8Status::kNoMemory;
    const jsize len = env->GetStringLength(s);
    jchar stackBuf[256];
    jchar* chars = stackBuf;
    if (static_cast<size_t>(len) > sizeof stackBuf / sizeof stackBuf[0]) {
      chars = static_cast<jchar*>(malloc(static_cast<size_t>(len) * sizeof(jchar)));
      if (chars == nullptr) return;
    }
    env->GetStringRegion(s, 0, len, chars);
    bytes_ = static_cast<char*>(malloc(static_cast<size_t>(len) * 3 + 1));
    if (bytes_ != nullptr) {
      size_ = detail::encodeUtf8(chars, static_cast<size_t>(len), bytes_);
      status_ = strlen(bytes_) != size_ ? Utf8Status::kHasNul : Utf8Status::kOk;
    }
    if (chars != stackBuf) free(chars);
  }
  // Element i of a String[]. Its local reference is dropped at once, so
  // reading an array of any length keeps one element reference alive.
  Utf8String(JNIEnv* env, jobjectArray array, jsize i)
      : Utf8String(env, ScopedLocalRef<jstring>(
                            env, static_cast<jstring>(env->GetObjectArrayElement(array, i)))
                            .get()) {}
  ~Utf8String() { free(bytes_); }
  Utf8String(const Utf8String&) = delete;
  Utf8String& operator=(const Utf8String&) = delete;

  const char* c_str() const { return bytes_; }
  size_t size() const { return size_; }
  Utf8Status status() const { return status_; }
  // Usable as a C string: present and without an embedded U+0000.
  bool ok() const { return status_ == Utf8Status::kOk; }
  // Hands the bytes over to the caller, who frees them with free().
  char* release() {
    char* b = bytes_;
    bytes_ = nullptr;
    return b;
  }

 private:
  char* bytes_ = nullptr;
  size_t size_ = 0;
  Utf8Status status_ = Utf8Status::kNull;
};

// A new Java string from UTF-8 bytes (see detail::decodeUtf8 for bytes that
// are not UTF-8). Returns null, with no exception left pending, only when
// the JVM or malloc is out of memory.
inline jstring newStringFromUtf8(JNIEnv* env, const char* bytes, size_t len) {
  jchar stackBuf[256];
  stackBuf[0] = 0;  // GCC cannot tell that empty text leaves it unread
  jchar* chars = stackBuf;
  if (len > sizeof stackBuf / sizeof stackBuf[0]) {
    chars = static_cast<jchar*>(malloc(len * sizeof(jchar)));
    if (chars == nullptr) return nullptr;
  }
  const size_t n = detail::decodeUtf8(bytes, len, chars);
  jstring s = env->NewString(chars, static_cast<jsize>(n));
  if (s == nullptr) env->ExceptionClear();
  if (chars != stackBuf) free(chars);
  return s;
}

inline jstring newStringFromUtf8(JNIEnv* env, const char* cstr) {
  return newStringFromUtf8(env, cstr != nullptr ? cstr : "", cstr != nullptr ? strlen(cstr) : 0);
}

}  // namespace jni
