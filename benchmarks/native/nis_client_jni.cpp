// A NIS+ client's own calls made from the JVM, so that they can be timed in
// the bridge's JVM, next to the bridge: built twice, against Debian's libnsl
// (class BridgeBench.Raw) and against libnamestore's NIS+ client layer
// (BridgeBench.Layer, the layer's share of the bridge without JNI). Both
// expose libnsl's nis_* names; each library keeps its own (the layer's are
// hidden), and origin() says where the loader found this library's nis_list.
// libnsl binds only with the test-only clntudp_create ahead of libtirpc's:
// the JVM runs with libbench_nsl_shim.so in LD_PRELOAD.
#include <dlfcn.h>
#include <jni.h>
#include <rpcsvc/nis.h>

#include <cstdint>
#include <string>

#define BENCH_JNI_CAT(a, b) a##b
#define BENCH_JNI_NAME(prefix, name) BENCH_JNI_CAT(prefix, name)
#define BENCH_JNI(name) BENCH_JNI_NAME(BENCH_JNI_PREFIX, name)

namespace {

// A Java string's modified UTF-8 for the length of a call.
class Utf {
 public:
  Utf(JNIEnv* env, jstring s) : env_(env), s_(s), c_(env->GetStringUTFChars(s, nullptr)) {}
  ~Utf() {
    if (c_ != nullptr) env_->ReleaseStringUTFChars(s_, c_);
  }
  Utf(const Utf&) = delete;
  Utf& operator=(const Utf&) = delete;
  const char* get() const { return c_; }

 private:
  JNIEnv* env_;
  jstring s_;
  const char* c_;
};

std::string fileOf(const void* addr) {
  Dl_info info{};
  return addr != nullptr && dladdr(addr, &info) != 0 && info.dli_fname != nullptr ? info.dli_fname
                                                                                  : "?";
}

// The result's status, or -1 without a result; the result is freed.
jint statusOf(nis_result* r) {
  const jint st = r != nullptr ? static_cast<jint>(r->status) : -1;
  if (r != nullptr) nis_freeresult(r);
  return st;
}

}  // namespace

// The listing as a pointer for free(), or 0 when it failed or had another
// number of objects; nothing is converted.
extern "C" JNIEXPORT jlong JNICALL BENCH_JNI(list)(JNIEnv* env, jclass, jstring name, jint rows) {
  const Utf n(env, name);
  if (n.get() == nullptr) return 0;
  nis_result* r = nis_list(n.get(), 0, nullptr, nullptr);
  if (r == nullptr) return 0;
  if ((r->status != NIS_SUCCESS && r->status != NIS_S_SUCCESS) ||
      r->objects.objects_len != static_cast<u_int>(rows)) {
    nis_freeresult(r);
    return 0;
  }
  return static_cast<jlong>(reinterpret_cast<std::intptr_t>(r));
}

extern "C" JNIEXPORT void JNICALL BENCH_JNI(free)(JNIEnv*, jclass, jlong result) {
  // The pointer list() handed to Java as a number.
  // NOLINTNEXTLINE(performance-no-int-to-ptr)
  nis_freeresult(reinterpret_cast<nis_result*>(static_cast<std::intptr_t>(result)));
}

extern "C" JNIEXPORT jint JNICALL BENCH_JNI(lookup)(JNIEnv* env, jclass, jstring name) {
  const Utf n(env, name);
  return n.get() == nullptr ? -1 : statusOf(nis_lookup(n.get(), 0));
}

// Adds an 8-column entry "addIDc0" ... "addIDc7" (each value with its NUL,
// as clients send them) to table, of the given table type.
extern "C" JNIEXPORT jint JNICALL BENCH_JNI(add)(JNIEnv* env, jclass, jstring table, jstring type,
                                                 jint id) {
  const Utf t(env, table);
  const Utf ty(env, type);
  if (t.get() == nullptr || ty.get() == nullptr) return -1;
  std::string values[8];
  entry_col cols[8]{};
  for (int c = 0; c < 8; ++c) {
    values[c] = "add" + std::to_string(id) + "c" + std::to_string(c);
    cols[c].ec_value.ec_value_len = static_cast<u_int>(values[c].size() + 1);
    cols[c].ec_value.ec_value_val = values[c].data();
  }
  nis_object obj{};
  obj.zo_data.zo_type = NIS_ENTRY_OBJ;
  obj.EN_data.en_type = const_cast<char*>(ty.get());
  obj.EN_data.en_cols.en_cols_len = 8;
  obj.EN_data.en_cols.en_cols_val = cols;
  return statusOf(nis_add_entry(t.get(), &obj, 0));
}

extern "C" JNIEXPORT jint JNICALL BENCH_JNI(remove)(JNIEnv* env, jclass, jstring name) {
  const Utf n(env, name);
  return n.get() == nullptr ? -1 : statusOf(nis_remove_entry(n.get(), nullptr, 0));
}

// "nis_list=FILE clntudp_create=FILE": where this library's nis_list and the
// process's first clntudp_create come from.
extern "C" JNIEXPORT jstring JNICALL BENCH_JNI(origin)(JNIEnv* env, jclass) {
  const std::string s = "nis_list=" + fileOf(reinterpret_cast<const void*>(&nis_list)) +
                        " clntudp_create=" + fileOf(dlsym(RTLD_DEFAULT, "clntudp_create"));
  return env->NewStringUTF(s.c_str());
}
