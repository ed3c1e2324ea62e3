// Small RAII helpers shared by the JNI libraries.
//
// They use only malloc/free and the JNI function table, so the launchers can
// use them without any C++ runtime, and they never throw. Every helper
// reports failure through its state (a null pointer, a false ok()), never
// through a Java exception: the libraries answer every failure with a value.
#pragma once

#include <jni.h>

#include <algorithm>
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

// A new String[] of the given length, all null, or null (with no exception
// left pending) when the JVM cannot make one.
inline jobjectArray newStringArray(JNIEnv* env, jsize length) {
  ScopedLocalRef<jclass> stringClass(env, env->FindClass("java/lang/String"));
  if (stringClass.get() == nullptr) {
    env->ExceptionClear();
    return nullptr;
  }
  jobjectArray array = env->NewObjectArray(length, stringClass.get(), nullptr);
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

// Builds a String[] of a known length from UTF-8 values appended one after
// another, none of which holds a NUL byte.
//
// The values are decoded into a chunk of UTF-16 text, separated by U+0000
// (which the decoder never yields for bytes without a NUL). Every kChunk
// values the chunk becomes one Java string that String.split cuts into the
// values' strings in compiled Java code, several times faster than a JNI
// call per string. The array grows with what was appended, doubling, up to
// its length (System.arraycopy), so a length that no values back costs no
// more than the values that came.
class SplitStringArray {
 public:
  SplitStringArray(JNIEnv* env, jsize length) : env_(env), length_(length) {}
  ~SplitStringArray() {
    if (array_ != nullptr) env_->DeleteLocalRef(array_);
    free(chunk_);
  }
  SplitStringArray(const SplitStringArray&) = delete;
  SplitStringArray& operator=(const SplitStringArray&) = delete;

  // Appends one value of len bytes; false when the JVM or malloc is out of
  // memory (no exception left pending) or the array is full.
  bool append(const char* utf8, size_t len) {
    if (filled_ + chunkValues_ >= length_) return false;
    // A separator and the value: UTF-8 never decodes to more UTF-16 units
    // than it has bytes.
    if (!reserve(len + 1)) return false;
    if (chunkValues_ != 0) chunk_[chunkLen_++] = 0;
    chunkLen_ += detail::decodeUtf8(utf8, len, chunk_ + chunkLen_);
    return ++chunkValues_ < kChunk || flush();
  }

  // The array once all its strings were appended, else null.
  jobjectArray release() {
    if (!flush() || filled_ != length_) return nullptr;
    if (array_ == nullptr) return newStringArray(env_, 0);
    jobjectArray a = array_;
    array_ = nullptr;
    return a;
  }

 private:
  static constexpr jsize kChunk = 4096;

  // Room for `more` UTF-16 units in the chunk.
  bool reserve(size_t more) {
    if (chunkLen_ + more <= chunkRoom_) return true;
    const size_t room = std::max({chunkRoom_ * 2, chunkLen_ + more, size_t{4096}});
    auto* bigger = static_cast<jchar*>(realloc(chunk_, room * sizeof(jchar)));
    if (bigger == nullptr) return false;
    chunk_ = bigger;
    chunkRoom_ = room;
    return true;
  }

  // Turns the chunk's values into strings at the end of the array.
  bool flush() {
    if (chunkValues_ == 0) return true;
    if (!findMethods()) return false;
    if (filled_ + chunkValues_ > capacity_ && !grow(filled_ + chunkValues_)) return false;
    const jchar none = 0;  // a chunk of one empty value is empty text
    ScopedLocalRef<jstring> text(
        env_, env_->NewString(chunkLen_ == 0 ? &none : chunk_, static_cast<jsize>(chunkLen_)));
    ScopedLocalRef<jobjectArray> parts(env_, text.get() == nullptr
                                                 ? nullptr
                                                 : static_cast<jobjectArray>(env_->CallObjectMethod(
                                                       text.get(), split_, separator_.get(), -1)));
    if (parts.get() == nullptr || env_->ExceptionCheck() ||
        env_->GetArrayLength(parts.get()) != chunkValues_ ||
        !arraycopy(parts.get(), array_, filled_, chunkValues_)) {
      env_->ExceptionClear();
      return false;
    }
    filled_ += chunkValues_;
    chunkValues_ = 0;
    chunkLen_ = 0;
    return true;
  }

  // Moves the strings so far into an array of at least `need` (at most
  // length_) elements, twice as long as before where that is more.
  bool grow(jsize need) {
    constexpr jsize kFirst = 1024;
    const jsize twice = capacity_ > length_ / 2 ? length_ : capacity_ * 2;
    const jsize room = std::min(length_, std::max({kFirst, twice, need}));
    jobjectArray bigger = newStringArray(env_, room);
    if (bigger == nullptr) return false;
    if (filled_ > 0 && !arraycopy(array_, bigger, 0, filled_)) {
      env_->DeleteLocalRef(bigger);
      return false;
    }
    if (array_ != nullptr) env_->DeleteLocalRef(array_);
    array_ = bigger;
    capacity_ = room;
    return true;
  }

  // The first n strings of from into to at `at`.
  bool arraycopy(jobjectArray from, jobjectArray to, jsize at, jsize n) {
    env_->CallStaticVoidMethod(system_.get(), arraycopy_, from, 0, to, at, n);
    if (!env_->ExceptionCheck()) return true;
    env_->ExceptionClear();
    return false;
  }

  // String.split(String, int), System.arraycopy and the separator "\0",
  // looked up once.
  bool findMethods() {
    if (split_ != nullptr) return true;
    ScopedLocalRef<jclass> string(env_, env_->FindClass("java/lang/String"));
    system_.reset(env_->FindClass("java/lang/System"));
    const jchar nul = 0;
    separator_.reset(env_->NewString(&nul, 1));
    if (string.get() != nullptr && system_.get() != nullptr && separator_.get() != nullptr) {
      split_ = env_->GetMethodID(string.get(), "split", "(Ljava/lang/String;I)[Ljava/lang/String;");
      arraycopy_ = env_->GetStaticMethodID(system_.get(), "arraycopy",
                                           "(Ljava/lang/Object;ILjava/lang/Object;II)V");
    }
    if (split_ != nullptr && arraycopy_ != nullptr) return true;
    env_->ExceptionClear();
    split_ = arraycopy_ = nullptr;
    return false;
  }

  JNIEnv* env_;
  jsize length_;
  ScopedLocalRef<jclass> system_{env_, nullptr};
  ScopedLocalRef<jstring> separator_{env_, nullptr};
  jmethodID split_ = nullptr;
  jmethodID arraycopy_ = nullptr;
  jobjectArray array_ = nullptr;
  jchar* chunk_ = nullptr;  // chunkLen_ units in use of chunkRoom_
  size_t chunkLen_ = 0;
  size_t chunkRoom_ = 0;
  jsize chunkValues_ = 0;
  jsize capacity_ = 0;
  jsize filled_ = 0;
};

}  // namespace jni
