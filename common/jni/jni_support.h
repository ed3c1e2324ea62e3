// Small RAII helpers shared by the JNI libraries.
//
// They use only malloc/free and the JNI function table, so the launchers can
// use them without any C++ runtime, and they never throw. Every helper
// reports failure through its state (a null pointer, a false ok()), never
// through a Java exception: the libraries answer every failure with a value.
#pragma once

#include <jni.h>

#include <algorithm>
#include <atomic>
#include <climits>
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

// UTF-8 values appended one after another, none of which holds a NUL
// byte, kept as UTF-16 text in native memory with no JNI call: a caller
// fills it where no JNI may run (under a network deadline) and makes the
// Java strings afterwards (StringArrayFromText).
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
    len_ += detail::decodeUtf8(utf8, len, text_ + len_);
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
inline jobjectArray StringArrayFromText(JNIEnv* env, const Utf16Values& values) {
  if (values.count() > static_cast<size_t>(INT32_MAX)) return nullptr;
  ScopedLocalRef<jobjectArray> array(env, newStringArray(env, static_cast<jsize>(values.count())));
  if (array.get() == nullptr || values.count() == 0) return array.release();
  jclass string = stringClass(env);
  ScopedLocalRef<jclass> system(env, env->FindClass("java/lang/System"));
  const jchar nul = 0;
  ScopedLocalRef<jstring> separator(env, env->NewString(&nul, 1));
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
    ScopedLocalRef<jstring> text(
        env, env->NewString(len == 0 ? &nul : values.chunkText(k), static_cast<jsize>(len)));
    ScopedLocalRef<jobjectArray> parts(env, text.get() == nullptr
                                                ? nullptr
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

// Builds a String[] of a known length from UTF-8 values appended one after
// another, none of which holds a NUL byte: the values are kept as text
// (Utf16Values) and become Java strings at release.
class SplitStringArray {
 public:
  SplitStringArray(JNIEnv* env, jsize length) : env_(env), length_(length) {}

  // Appends one value of len bytes; false when malloc is out of memory or
  // the array is full.
  bool append(const char* utf8, size_t len) {
    return values_.count() < static_cast<size_t>(length_) && values_.append(utf8, len);
  }

  // The array once all its strings were appended, else null.
  jobjectArray release() {
    if (values_.count() != static_cast<size_t>(length_)) return nullptr;
    return StringArrayFromText(env_, values_);
  }

 private:
  JNIEnv* env_;
  jsize length_;
  Utf16Values values_;
};

}  // namespace jni
