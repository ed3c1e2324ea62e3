// Creating and removing NIS+ tables, and testing the rights recorded on an
// object.
//
// Add-table refuses, before any NIS+ call and with a negated status (the
// bridge's own, bridge_status.h):
//   kStatusBadArgument  a null name, type, column array or column, or a
//                       string holding U+0000;
//   kStatusBadName      a name of 128 bytes or more, a name without '.'
//                       (no directory part), a type of 64 bytes or more;
//   kStatusBadColumn    an empty column definition (it lacks even its marker);
//   kStatusNoMemory     native memory exhausted.
// A directory lookup that succeeds without an object gives
// kStatusNoDirectoryObject: nothing is created then.
#include <rpcsvc/nis.h>

#include "bridge_status.h"
#include "jni/jni_support.h"
#include "namestore_exports.h"
#include "nis_result.h"
#include "session_registry.h"
#include "text/utf8.h"

using namespace namestore;

namespace {

// Room for a new table's name, NUL included.
constexpr size_t kNewTableNameLen = 128;

// The columns of a new table built from the caller's column definitions:
// the first character of a definition is its marker (S: searchable), the
// rest the column name. Each element is converted and its local reference
// dropped at once.
class TableColumns {
 public:
  TableColumns(JNIEnv* env, jobjectArray definitions) {
    const jsize n = env->GetArrayLength(definitions);
    if (n == 0) {
      status_ = 0;
      return;
    }
    cols_ = static_cast<table_col*>(calloc(static_cast<size_t>(n), sizeof(table_col)));
    definitions_ = static_cast<char**>(calloc(static_cast<size_t>(n), sizeof(char*)));
    if (cols_ == nullptr || definitions_ == nullptr) {
      status_ = kStatusNoMemory;
      return;
    }
    for (jsize i = 0; i < n; ++i) {
      jni::Utf8String definition(env, definitions, i);
      status_ = refusalStatus(definition);
      if (status_ != 0) return;
      const size_t size = definition.size();
      if (size == 0) {
        status_ = kStatusBadColumn;
        return;
      }
      char* bytes = definition.release();
      definitions_[count_] = bytes;
      table_col& col = cols_[count_++];
      col.tc_flags = bytes[0] == 'S' ? TA_SEARCHABLE : 0;
      col.tc_rights = 0;
      // The marker is dropped whole, even when it is not ASCII (the bytes
      // come from Utf8String, so they are always well-formed).
      col.tc_name = bytes + utf8::sequenceLength(bytes, size);
    }
    status_ = 0;
  }
  ~TableColumns() {
    for (u_int i = 0; i < count_; ++i) free(definitions_[i]);
    free(definitions_);
    free(cols_);
  }
  TableColumns(const TableColumns&) = delete;
  TableColumns& operator=(const TableColumns&) = delete;

  int status() const { return status_; }
  u_int count() const { return count_; }
  table_col* cols() const { return cols_; }

 private:
  table_col* cols_ = nullptr;
  char** definitions_ = nullptr;
  u_int count_ = 0;
  int status_ = kStatusNoMemory;
};

}  // namespace

// Creates a table and opens a session on it. Returns the handle, or the
// negated status of the directory lookup or of the add (NIS_S_SUCCESS from
// the add counts as a failure: -1), or kStatusNoMemory when the table was
// created but every session slot is taken, or one of the refusals above.
NAMESTORE_NATIVE(jint, nisplusAddTable)
(JNIEnv* env, jobject, jstring tableName, jstring tableType, jint access, jobjectArray columns,
 jbyte separator) {
  if (columns == nullptr) return -kStatusBadArgument;
  jni::Utf8String name(env, tableName);
  if (const int refused = refusalStatus(name)) return -refused;
  jni::Utf8String type(env, tableType);
  if (const int refused = refusalStatus(type)) return -refused;
  if (name.size() >= kNewTableNameLen || type.size() >= TABLE_TYPE_LEN) return -kStatusBadName;
  const char* dot = strchr(name.c_str(), '.');
  if (dot == nullptr) return -kStatusBadName;
  TableColumns cols(env, columns);
  if (cols.status() != 0) return -cols.status();

  // The table takes its owner and group from the directory that holds it.
  NisResult dir(nis_lookup(dot + 1, 0));
  if (!dir.succeeded()) return -dir.status();
  if (dir.get()->objects.objects_len == 0 || dir.get()->objects.objects_val == nullptr)
    return -kStatusNoDirectoryObject;
  const nis_object& directory = dir.get()->objects.objects_val[0];

  char emptyPath[] = "";
  nis_object table;
  memset(&table, 0, sizeof table);
  table.zo_owner = directory.zo_owner;
  table.zo_group = directory.zo_group;
  table.zo_access = static_cast<uint32_t>(access);
  table.zo_data.zo_type = TABLE_OBJ;
  table_obj& t = table.zo_data.objdata_u.ta_data;
  t.ta_type = const_cast<char*>(type.c_str());
  t.ta_maxcol = static_cast<int>(cols.count());
  t.ta_sep = static_cast<u_char>(separator);
  t.ta_cols.ta_cols_len = cols.count();
  t.ta_cols.ta_cols_val = cols.cols();
  t.ta_path = emptyPath;

  const int addStatus = NisResult(nis_add(name.c_str(), &table)).status();
  if (addStatus != NIS_SUCCESS) return -addStatus;

  RegistryLock lock;
  const int handle = takeSession(name.c_str(), type.c_str());
  return handle >= 0 ? handle : -kStatusNoMemory;
}

// Removes a table. 0, or the negated status; kStatusBadArgument for a null
// name or one holding U+0000. Sessions that still name the table stay open.
NAMESTORE_NATIVE(jint, nisplusDeleteTable)(JNIEnv* env, jobject, jstring tableName) {
  jni::Utf8String name(env, tableName);
  if (const int refused = refusalStatus(name)) return -refused;
  const int status = NisResult(nis_remove(name.c_str(), nullptr)).status();
  return status == NIS_SUCCESS ? 0 : -status;
}

// 0 when the object's access word grants every right that mode asks for
// (read 1, modify 2, create 4, destroy 8, existence 16) to nobody, the group
// or the world (the owner's rights are not consulted); -1 otherwise, and for
// any failure.
NAMESTORE_NATIVE(jint, nisplusAccess)(JNIEnv* env, jobject, jstring objectName, jint mode) {
  jni::Utf8String name(env, objectName);
  if (!name.ok()) return -1;
  NisResult found(nis_lookup(name.c_str(), 0));
  if (!found.succeeded() || found.get()->objects.objects_len == 0 ||
      found.get()->objects.objects_val == nullptr)
    return -1;
  const uint32_t a = found.get()->objects.objects_val[0].zo_access;
  jint granted = mode & 16;
  for (jint right = 1; right <= 8; right <<= 1) {
    if ((mode & right) == 0) continue;
    const uint32_t r = static_cast<uint32_t>(right);
    if ((a & (r << 24)) != 0 || (a & r) != 0 || (a & (r << 8)) != 0) granted |= right;
  }
  return granted == mode ? 0 : -1;
}
