// The process-wide registry of open NIS+ table sessions, and the small
// helpers that the NIS+ entry points of libnamestore share.
//
// Every Java thread reaches the registry, so every read or write of a slot
// happens under registryMutex (RegistryLock). No lock is held across a
// NIS+ network call: callers copy what they need out of a slot, unlock,
// call NIS+, then lock again and check through the slot's generation that
// the slot still belongs to the same session before touching it.
#pragma once

#include <jni.h>
#include <pthread.h>
#include <rpcsvc/nis.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "jni/jni_support.h"

#define MAX_SESSIONS 32
#define TABLE_NAME_LEN 256
#define TABLE_TYPE_LEN 64

// One slot of the registry. The layout is fixed: other tools read
// nisplusSession by its field offsets.
struct TableSession {  // NOLINT(clang-analyzer-optin.performance.Padding): published layout
  int inUse;           // 0 free, 1 taken
  char tableName[TABLE_NAME_LEN];  // full NIS+ name, NUL-terminated
  char tableType[TABLE_TYPE_LEN];  // type written into every entry object
  nis_result* listResult;          // listing kept for first/next, or null
  int cursor;                      // entry last returned, -1 when idle
};

extern "C" JNIEXPORT TableSession nisplusSession[MAX_SESSIONS];

namespace namestore {

// Failure statuses chosen by the bridge itself, for requests refused before
// any NIS+ call. Open and add-table return them negated, the entry updates
// return them as they are (positive), like every other NIS+ status.
//
// A null argument, a null array element, or a string holding U+0000 (which
// has no C form).
inline constexpr int kStatusBadArgument = NIS_BADREQUEST;  // 36
// A table name or type too long for the registry's fields (never truncated),
// or a new table's name without a directory part.
inline constexpr int kStatusBadName = NIS_BADNAME;  // 17
// A new table's column definition without even its marker character.
inline constexpr int kStatusBadColumn = NIS_BADATTRIBUTE;  // 29
// A handle outside 0-31 or naming a free slot (entry updates).
inline constexpr int kStatusBadHandle = NIS_NOSUCHTABLE;  // 23
// A directory lookup that succeeded but carried no object (add-table).
inline constexpr int kStatusNoDirectoryObject = NIS_BADOBJECT;  // 33
// Out of native memory.
inline constexpr int kStatusNoMemory = NIS_NOMEMORY;  // 13

// The status that refuses a request for a string argument that did not
// convert (kStatusBadArgument for null or U+0000, kStatusNoMemory), or 0
// when it can be used. Open and add-table return it negated.
inline int refusalStatus(const jni::Utf8String& s) {
  switch (s.status()) {
    case jni::Utf8Status::kOk:
      return 0;
    case jni::Utf8Status::kNoMemory:
      return kStatusNoMemory;
    case jni::Utf8Status::kNull:
    case jni::Utf8Status::kHasNul:
      break;
  }
  return kStatusBadArgument;
}

// Per-slot generation, bumped whenever a slot is taken or freed. Kept apart
// from nisplusSession so its layout stays as published. Guarded by the
// registry mutex.
extern uint64_t sessionGeneration[MAX_SESSIONS];
extern pthread_mutex_t registryMutex;

class RegistryLock {
 public:
  RegistryLock() { pthread_mutex_lock(&registryMutex); }
  ~RegistryLock() { pthread_mutex_unlock(&registryMutex); }
  RegistryLock(const RegistryLock&) = delete;
  RegistryLock& operator=(const RegistryLock&) = delete;
};

// Frees a NIS+ result when it goes out of scope.
class NisResult {
 public:
  explicit NisResult(nis_result* r) : r_(r) {}
  ~NisResult() {
    if (r_ != nullptr) nis_freeresult(r_);
  }
  NisResult(const NisResult&) = delete;
  NisResult& operator=(const NisResult&) = delete;

  nis_result* get() const { return r_; }
  nis_result* release() {
    nis_result* r = r_;
    r_ = nullptr;
    return r;
  }
  // The result's status as a plain number (a server may answer values past
  // the last nis_error, which may not be read through the enum); a client
  // that returned no result at all failed.
  int status() const {
    if (r_ == nullptr) return NIS_NOMEMORY;
    int status = 0;
    memcpy(&status, &r_->status, sizeof status);
    return status;
  }
  // A lookup or listing counts as successful on NIS_SUCCESS or NIS_S_SUCCESS.
  bool succeeded() const {
    const int s = status();
    return r_ != nullptr && (s == NIS_SUCCESS || s == NIS_S_SUCCESS);
  }

 private:
  nis_result* r_;
};

// malloc'ed memory freed when it goes out of scope.
template <typename T>
class MallocPtr {
 public:
  explicit MallocPtr(T* p = nullptr) : p_(p) {}
  ~MallocPtr() { free(p_); }
  MallocPtr(const MallocPtr&) = delete;
  MallocPtr& operator=(const MallocPtr&) = delete;
  T* get() const { return p_; }
  T& operator[](size_t i) const { return p_[i]; }
  void reset(T* p = nullptr) {
    free(p_);
    p_ = p;
  }

 private:
  T* p_;
};

// Under the lock: the slot of a handle in use, or null.
inline TableSession* sessionForHandle(jint handle) {
  if (handle < 0 || handle >= MAX_SESSIONS) return nullptr;
  TableSession* s = &nisplusSession[handle];
  return s->inUse != 0 ? s : nullptr;
}

// Under the lock: the iteration reset. Frees any kept listing.
inline void resetIteration(TableSession* s) {
  if (s->listResult != nullptr) {
    nis_freeresult(s->listResult);
    s->listResult = nullptr;
  }
  s->cursor = -1;
}

// Under the lock: takes the lowest free slot for a table of this name and
// type (both already known to fit their fields). Returns the handle, or -1
// when every slot is taken.
int takeSession(const char* name, const char* type);

// Under the lock: the indexed name of a session, criteria immediately
// followed by the table name, nothing added. malloc'ed; null when out of
// memory.
inline char* composeIndexedName(const TableSession* s, const char* criteria) {
  const size_t c = strlen(criteria);
  const size_t t = strlen(s->tableName);
  char* name = static_cast<char*>(malloc(c + t + 1));
  if (name == nullptr) return nullptr;
  memcpy(name, criteria, c);
  memcpy(name + c, s->tableName, t);
  name[c + t] = '\0';
  return name;
}

// Element i of a Java String[] as malloc'ed UTF-8 in *bytes (the caller
// frees it) and its byte length in *size. The element's local reference is
// dropped at once, so an array of any length costs one live reference.
// Returns 0, or the status to refuse the request with: a null element or one
// holding U+0000 (no C form), or native memory exhausted.
inline int readStringElement(JNIEnv* env, jobjectArray array, jsize i, char** bytes, size_t* size) {
  jni::ScopedLocalRef<jstring> element(env,
                                       static_cast<jstring>(env->GetObjectArrayElement(array, i)));
  jni::Utf8String value(env, element.get());
  if (const int refused = refusalStatus(value)) return refused;
  *size = value.size();
  *bytes = value.release();
  return 0;
}

}  // namespace namestore
