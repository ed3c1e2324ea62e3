// Opening and closing table sessions, and NIS+ status texts.
#include <rpcsvc/nis.h>

#include "jni/jni_support.h"
#include "namestore_exports.h"
#include "session_registry.h"

using namespace namestore;

// Returns the handle of a new session, or a negated status: -23 for a name
// NIS+ does not know, -13 when all 32 slots are taken, -36 for a null name
// or type or one holding U+0000, -17 for a name of 256 bytes or more or a
// type of 64 or more (the slot's fields would have to cut them).
NAMESTORE_NATIVE(jint, nisplusOpenTable)
(JNIEnv* env, jobject, jstring tableName, jstring tableType) {
  if (tableName == nullptr || tableType == nullptr) return -kStatusBadArgument;
  jni::Utf8String name(env, tableName);
  jni::Utf8String type(env, tableType);
  if (name.isNull() || type.isNull()) return -kStatusNoMemory;
  if (name.hasNul() || type.hasNul()) return -kStatusBadArgument;
  if (name.size() >= TABLE_NAME_LEN || type.size() >= TABLE_TYPE_LEN) return -kStatusBadName;

  {
    // Any object under the name may be opened; only its existence counts.
    NisResult found(nis_lookup(name.c_str(), 0));
    if (!found.succeeded()) {
      const int status = found.status();
      return status == NIS_NOTFOUND ? -NIS_NOSUCHTABLE : -status;
    }
  }

  RegistryLock lock;
  const int handle = takeSession(name.c_str(), type.c_str());
  return handle >= 0 ? handle : -NIS_NOMEMORY;
}

// Frees the session's listing and its slot. Bad or free handles are ignored.
NAMESTORE_NATIVE(void, nisplusCloseTable)(JNIEnv*, jobject, jint handle) {
  RegistryLock lock;
  TableSession* s = sessionForHandle(handle);
  if (s == nullptr) return;
  resetIteration(s);
  s->inUse = 0;
  ++sessionGeneration[handle];
}

// The client library's text for a status, taken as given (not negated);
// "" when it has none.
NAMESTORE_NATIVE(jstring, nisplusGetErrorString)(JNIEnv* env, jobject, jint status) {
  const char* text = nis_sperrno(static_cast<nis_error>(status));
  return jni::newStringFromUtf8(env, text != nullptr ? text : "");
}
