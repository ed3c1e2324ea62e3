// What building a flat String[] of rows x columns values costs through JNI
// alone, with no NIS+ call: the share of get-all that no client library can
// take away. The values look like the benchmark tables' ("r123c4").
//
// Modes of JniStringFloor.build:
//   0  NewStringUTF, SetObjectArrayElement, DeleteLocalRef per value
//   1  jni::SplitStringArray (the values decoded into chunks of text that
//      String.split cuts): the path libnamestore's get-all takes
//   2  as 1, but the values are only decoded (no Java string is made), to
//      show the decoding's own share
#include <jni.h>

#include <cstdio>
#include <vector>

#include "jni/jni_support.h"

namespace {

// The values of one table, made once per shape and kept.
const std::vector<std::vector<char>>& values(int rows, int columns) {
  static int madeRows = -1;
  static int madeColumns = -1;
  static std::vector<std::vector<char>> v;
  if (rows != madeRows || columns != madeColumns) {
    v.clear();
    for (int j = 0; j < rows; ++j) {
      for (int i = 0; i < columns; ++i) {
        char buf[32];
        const int n = std::snprintf(buf, sizeof buf, "r%dc%d", j, i);
        v.emplace_back(buf, buf + n + 1);
      }
    }
    madeRows = rows;
    madeColumns = columns;
  }
  return v;
}

}  // namespace

extern "C" JNIEXPORT jobjectArray JNICALL Java_com_zelt_benchmarks_JniStringFloor_build(
    JNIEnv* env, jclass, jint rows, jint columns, jint mode) {
  const auto& v = values(rows, columns);
  if (mode == 1) {
    jni::SplitStringArray all(env, rows * columns);
    for (const auto& value : v) {
      if (!all.append(value.data(), value.size() - 1)) return nullptr;
    }
    return all.release();
  }
  jni::ScopedLocalRef<jclass> stringClass(env, env->FindClass("java/lang/String"));
  jobjectArray all = env->NewObjectArray(rows * columns, stringClass.get(), nullptr);
  if (all == nullptr) return nullptr;
  jchar sink[64];
  size_t decoded = 0;
  for (jsize k = 0; k < static_cast<jsize>(v.size()); ++k) {
    const char* bytes = v[static_cast<size_t>(k)].data();
    const size_t len = v[static_cast<size_t>(k)].size() - 1;
    jstring s = nullptr;
    switch (mode) {
      case 0:
        s = env->NewStringUTF(bytes);
        break;
      default:
        decoded += jni::detail::decodeUtf8(bytes, len, sink);
        continue;
    }
    if (s == nullptr) return nullptr;
    env->SetObjectArrayElement(all, k, s);
    env->DeleteLocalRef(s);
  }
  // Keeps the decoding of mode 2 from being optimised away.
  if (mode == 2 && decoded == 0) return nullptr;
  return all;
}
