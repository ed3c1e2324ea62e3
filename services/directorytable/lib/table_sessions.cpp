// Opening and closing table sessions, and NIS+ status texts.
#include <rpcsvc/nis.h>

#include "bridge_status.h"
#include "jni/jni_support.h"
#include "namestore_exports.h"
#include "nis_result.h"
#include "session_registry.h"

using namespace namestore;

// Returns the handle of a new session, or a negated status (the bridge's own
// in bridge_status.h): NIS_NOSUCHTABLE for a name NIS+ does not know,
// kStatusNoMemory when every slot is taken, kStatusBadArgument for a null
// name or type or one holding U+0000, kStatusBadName for a name or type too
// long for the slot's fields (they would have to cut it).
NAMESTORE_NATIVE(jint, nisplusOpenTable)
(JNIEnv* env, jobject, jstring tableName, jstring tableType) {
  jni::Utf8String name(env, tableName);
  if (const int refused = refusalStatus(name)) return -refused;
  jni::Utf8String type(env, tableType);
  if (const int refused = refusalStatus(type)) return -refused;
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
  return handle >= 0 ? handle : -kStatusNoMemory;
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
  // Only values of nis_error's range may be cast to it. One past the last
  // status is such a value, and the library answers it as it answers every
  // number it does not know.
  constexpr jint kUnknownStatus = NIS_DUMPLATER + 1;
  const jint known = status >= NIS_SUCCESS && status <= NIS_DUMPLATER ? status : kUnknownStatus;
  const char* text = nis_sperrno(static_cast<nis_error>(known));
  return jni::newStringFromUtf8(env, text != nullptr ? text : "");
}
