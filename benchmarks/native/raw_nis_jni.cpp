// RawPair's native half: libnsl's nis_list called from the JVM, so that the
// raw client and the bridge can be timed in one JVM, alternately. The JVM's
// speed for NIS+ calls differs from process to process by more than the two
// differ, so raw_nis_bench in a process of its own cannot be held against a
// bridge JVM.
//
// libnamestore exports only its Java entry points, so nis_list here binds to
// libnsl; origin() says where the dynamic loader found it. libnsl binds only
// with the test-only clntudp_create ahead of libtirpc's: the JVM runs with
// libbench_nsl_shim.so in LD_PRELOAD.
#include <dlfcn.h>
#include <jni.h>
#include <rpcsvc/nis.h>

#include <cstdint>
#include <string>

namespace {

// The file that holds the code at addr, or "?".
std::string fileOf(const void* addr) {
  Dl_info info{};
  return addr != nullptr && dladdr(addr, &info) != 0 && info.dli_fname != nullptr ? info.dli_fname
                                                                                  : "?";
}

}  // namespace

// The listing as a pointer for free(), or 0 when it failed or had another
// number of objects; nothing is converted, as in raw_nis_bench.
extern "C" JNIEXPORT jlong JNICALL Java_com_zelt_benchmarks_RawPair_list(JNIEnv* env, jclass,
                                                                         jstring name,
                                                                         jint expectRows) {
  const char* n = env->GetStringUTFChars(name, nullptr);
  if (n == nullptr) return 0;
  nis_result* r = nis_list(n, 0, nullptr, nullptr);
  env->ReleaseStringUTFChars(name, n);
  if (r == nullptr) return 0;
  const bool ok = (r->status == NIS_SUCCESS || r->status == NIS_S_SUCCESS) &&
                  r->objects.objects_len == static_cast<u_int>(expectRows);
  if (!ok) {
    nis_freeresult(r);
    return 0;
  }
  return static_cast<jlong>(reinterpret_cast<std::intptr_t>(r));
}

extern "C" JNIEXPORT void JNICALL Java_com_zelt_benchmarks_RawPair_free(JNIEnv*, jclass,
                                                                        jlong result) {
  nis_freeresult(reinterpret_cast<nis_result*>(static_cast<std::intptr_t>(result)));
}

// "nis_list=FILE clntudp_create=FILE": where this library's nis_list and the
// process's first clntudp_create come from, so a run shows that the raw side
// is libnsl's and that the shim comes before libtirpc.
extern "C" JNIEXPORT jstring JNICALL Java_com_zelt_benchmarks_RawPair_origin(JNIEnv* env, jclass) {
  const std::string s = "nis_list=" + fileOf(reinterpret_cast<const void*>(&nis_list)) +
                        " clntudp_create=" + fileOf(dlsym(RTLD_DEFAULT, "clntudp_create"));
  return env->NewStringUTF(s.c_str());
}
