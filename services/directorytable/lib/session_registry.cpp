// The registry's storage: the published slot array, zero at load so every
// slot starts free, and the lock and generations that keep it consistent
// across Java threads.
#include "session_registry.h"

#include <cstdio>

TableSession nisplusSession[MAX_SESSIONS];

namespace namestore {

uint64_t sessionGeneration[MAX_SESSIONS];
pthread_mutex_t registryMutex = PTHREAD_MUTEX_INITIALIZER;

int takeSession(const char* name, const char* type) {
  for (int i = 0; i < MAX_SESSIONS; ++i) {
    TableSession* s = &nisplusSession[i];
    if (s->inUse != 0) continue;
    s->inUse = 1;
    s->listResult = nullptr;
    s->cursor = -1;
    // The callers checked that both fit, NUL included; the bounded copy
    // keeps the fields terminated should that ever change.
    snprintf(s->tableName, sizeof s->tableName, "%s", name);
    snprintf(s->tableType, sizeof s->tableType, "%s", type);
    ++sessionGeneration[i];
    return i;
  }
  return -1;
}

}  // namespace namestore
