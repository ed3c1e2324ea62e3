// The process-wide registry of open NIS+ table sessions.
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

}  // namespace namestore
