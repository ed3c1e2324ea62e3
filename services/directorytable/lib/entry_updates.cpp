// Adding, modifying and removing entries of an open table. Results are raw
// (positive) NIS+ statuses. Requests the bridge refuses itself, before any
// NIS+ call, get a status of its own choosing (bridge_status.h):
// kStatusBadArgument for a null criteria, value array or array element, or a
// string holding U+0000; kStatusBadHandle for a handle outside 0-31 or of a
// closed session; kStatusNoMemory when native memory runs out.
// Arguments are checked before the handle.
#include <rpcsvc/nis.h>

#include "bridge_status.h"
#include "jni/jni_support.h"
#include "malloc_ptr.h"
#include "namestore_exports.h"
#include "nis_result.h"
#include "session_registry.h"

using namespace namestore;

namespace {

// The entry columns built from a Java value array, one per element in array
// order, each value its UTF-8 bytes plus the terminating NUL. Every element
// is converted and its local reference dropped at once, so any number of
// columns costs one live local reference.
class EntryColumns {
 public:
  // column: -1 flags every column EN_MODIFIED, k >= 1 flags column k
  // (counted from 1), anything else flags none; add passes 0.
  EntryColumns(JNIEnv* env, jobjectArray values, jint column) {
    if (values == nullptr) {
      status_ = kStatusBadArgument;
      return;
    }
    const jsize n = env->GetArrayLength(values);
    if (n == 0) {
      status_ = 0;
      return;
    }
    cols_ = static_cast<entry_col*>(calloc(static_cast<size_t>(n), sizeof(entry_col)));
    if (cols_ == nullptr) {
      status_ = kStatusNoMemory;
      return;
    }
    for (jsize i = 0; i < n; ++i) {
      jni::Utf8String value(env, values, i);
      status_ = refusalStatus(value);
      if (status_ != 0) return;
      entry_col& col = cols_[count_++];
      col.ec_value.ec_value_len = static_cast<u_int>(value.size() + 1);
      col.ec_value.ec_value_val = value.release();
      const bool modified = column == -1 || (column >= 1 && column - 1 == i);
      col.ec_flags = modified ? EN_MODIFIED : 0;
    }
    status_ = 0;
  }
  ~EntryColumns() {
    for (u_int i = 0; i < count_; ++i) free(cols_[i].ec_value.ec_value_val);
    free(cols_);
  }
  EntryColumns(const EntryColumns&) = delete;
  EntryColumns& operator=(const EntryColumns&) = delete;

  // 0 when every column was built, else the status to return.
  int status() const { return status_; }

  // An entry object of the given type holding these columns; every other
  // field (owner, group, access, name, domain, time to live) stays zero.
  void fill(nis_object* obj, char* type) {
    memset(obj, 0, sizeof *obj);
    obj->zo_data.zo_type = ENTRY_OBJ;
    entry_obj& e = obj->zo_data.objdata_u.en_data;
    e.en_type = type;
    e.en_cols.en_cols_len = count_;
    e.en_cols.en_cols_val = cols_;
  }

 private:
  entry_col* cols_ = nullptr;
  u_int count_ = 0;
  int status_ = kStatusNoMemory;
};

// Under the lock: copies the table name and type of a live session. The
// copies keep the NIS+ call that follows away from the slot, which another
// thread may close and retake meanwhile.
bool copySession(jint handle, char (&name)[TABLE_NAME_LEN], char (&type)[TABLE_TYPE_LEN]) {
  const TableSession* s = sessionForHandle(handle);
  if (s == nullptr) return false;
  memcpy(name, s->tableName, sizeof name);
  memcpy(type, s->tableType, sizeof type);
  return true;
}

}  // namespace

// Adds an entry of the session's type to its table.
NAMESTORE_NATIVE(jint, nisplusAddEntry)(JNIEnv* env, jobject, jint handle, jobjectArray values) {
  EntryColumns columns(env, values, 0);
  if (columns.status() != 0) return columns.status();
  char table[TABLE_NAME_LEN];
  char type[TABLE_TYPE_LEN];
  {
    RegistryLock lock;
    if (!copySession(handle, table, type)) return kStatusBadHandle;
  }
  nis_object entry;
  columns.fill(&entry, type);
  NisResult result(nis_add_entry(table, &entry, 0));
  return result.status();
}

// Replaces the columns chosen by column (-1 all, k >= 1 the k-th, anything
// else none) of the entry that criteria selects.
NAMESTORE_NATIVE(jint, nisplusModifyEntry)
(JNIEnv* env, jobject, jint handle, jstring criteria, jint column, jobjectArray values) {
  jni::Utf8String crit(env, criteria);
  if (const int refused = refusalStatus(crit)) return refused;
  EntryColumns columns(env, values, column);
  if (columns.status() != 0) return columns.status();
  char table[TABLE_NAME_LEN];
  char type[TABLE_TYPE_LEN];
  MallocPtr<char> name;
  {
    RegistryLock lock;
    if (!copySession(handle, table, type)) return kStatusBadHandle;
    name.reset(composeIndexedName(&nisplusSession[handle], crit.c_str()));
  }
  if (name.get() == nullptr) return kStatusNoMemory;
  nis_object entry;
  columns.fill(&entry, type);
  NisResult result(nis_modify_entry(name.get(), &entry, 0));
  return result.status();
}

// Removes the entry (or entries) that criteria selects.
NAMESTORE_NATIVE(jint, nisplusDeleteEntry)(JNIEnv* env, jobject, jint handle, jstring criteria) {
  jni::Utf8String crit(env, criteria);
  if (const int refused = refusalStatus(crit)) return refused;
  MallocPtr<char> name;
  {
    RegistryLock lock;
    const TableSession* s = sessionForHandle(handle);
    if (s == nullptr) return kStatusBadHandle;
    name.reset(composeIndexedName(s, crit.c_str()));
  }
  if (name.get() == nullptr) return kStatusNoMemory;
  NisResult result(nis_remove_entry(name.get(), nullptr, 0));
  return result.status();
}
