// Reading the entries of an open table: one at a time through a listing
// kept in the session slot, or all at once as one flat String[].
#include <rpcsvc/nis.h>

#include <climits>
#include <cstdint>
#include <cstring>

#include "jni/jni_support.h"
#include "namestore_exports.h"
#include "session_registry.h"

using namespace namestore;

namespace {

// The columns of an object read as an entry. Anything that is not an entry
// reads as an entry without columns rather than through the wrong union arm.
// The type is read as the number the server sent: a value outside zotypes
// may not be read through the enum.
u_int columnCount(const nis_object& obj) {
  std::uint32_t type = 0;
  std::memcpy(&type, &obj.zo_data.zo_type, sizeof type);
  if (type != ENTRY_OBJ) return 0;
  const entry_obj& e = obj.zo_data.objdata_u.en_data;
  return e.en_cols.en_cols_val != nullptr ? e.en_cols.en_cols_len : 0;
}

// Stores column i of obj at index as a Java string. Values are C strings
// cut at their NUL but never read past their recorded length; a missing
// value, or a column the entry does not have, becomes "".
bool storeColumn(jni::StringArrayBuilder& array, jsize index, const nis_object& obj, u_int i) {
  if (i >= columnCount(obj)) return array.set(index, "", 0);
  const entry_col& col = obj.zo_data.objdata_u.en_data.en_cols.en_cols_val[i];
  if (col.ec_value.ec_value_val == nullptr) return array.set(index, "", 0);
  return array.set(index, col.ec_value.ec_value_val, columnValueLength(col));
}

// One String per column of the entry, in column order; null when out of
// memory.
jobjectArray entryRow(JNIEnv* env, const nis_object& obj) {
  const u_int columns = columnCount(obj);
  if (columns > static_cast<u_int>(INT_MAX)) return nullptr;
  jni::StringArrayBuilder row(env, static_cast<jsize>(columns));
  if (!row.ok()) return nullptr;
  for (u_int i = 0; i < columns; ++i) {
    if (!storeColumn(row, static_cast<jsize>(i), obj, i)) return nullptr;
  }
  return row.release();
}

// The entries of a session that match criteria: the indexed name is
// composed under the lock, the listing fetched without it, so other sessions
// carry on meanwhile. Null for a bad handle or criteria, a failed listing or
// one without entries; otherwise the listing (the caller frees it), and in
// *generation the session it was made for. With restart, the session's
// earlier iteration ends first, whatever follows.
nis_result* listMatching(jint handle, const jni::Utf8String& criteria, bool restart,
                         uint64_t* generation) {
  MallocPtr<char> name;
  {
    RegistryLock lock;
    TableSession* s = sessionForHandle(handle);
    if (s == nullptr) return nullptr;
    if (restart) resetIteration(s);
    if (!criteria.ok()) return nullptr;
    *generation = sessionGeneration[handle];
    name.reset(composeIndexedName(s, criteria.c_str()));
  }
  if (name.get() == nullptr) return nullptr;
  NisResult listing(nis_list(name.get(), 0, nullptr, nullptr));
  const nis_result* r = listing.get();
  if (!listing.succeeded() || r->objects.objects_len == 0 || r->objects.objects_val == nullptr)
    return nullptr;
  return listing.release();
}

}  // namespace

// Starts a new iteration over the entries matching criteria and returns the
// first, or null (nothing matched, the listing failed, a bad handle or a
// null criteria). Any earlier iteration of the session ends first.
NAMESTORE_NATIVE(jobjectArray, nisplusGetFirstEntry)
(JNIEnv* env, jobject, jint handle, jstring criteria) {
  jni::Utf8String crit(env, criteria);
  uint64_t generation = 0;
  NisResult listing(listMatching(handle, crit, true, &generation));
  nis_result* r = listing.get();
  if (r == nullptr) return nullptr;

  // The listing is still ours alone: build the first row before handing it
  // over to the slot.
  jni::ScopedLocalRef<jobjectArray> row(env, entryRow(env, r->objects.objects_val[0]));
  if (row.get() == nullptr) return nullptr;

  RegistryLock lock;
  TableSession* s = sessionForHandle(handle);
  // Closed (and perhaps reopened) while we listed: the listing is not its.
  if (s == nullptr || sessionGeneration[handle] != generation) return nullptr;
  resetIteration(s);
  s->listResult = listing.release();
  s->cursor = 0;
  return row.release();
}

// The next entry of the session's iteration, or null at its end (which frees
// the listing), with no iteration under way, or for a bad handle.
NAMESTORE_NATIVE(jobjectArray, nisplusGetNextEntry)(JNIEnv* env, jobject, jint handle) {
  RegistryLock lock;
  TableSession* s = sessionForHandle(handle);
  if (s == nullptr || s->listResult == nullptr) return nullptr;
  const nis_result* r = s->listResult;
  ++s->cursor;
  if (s->cursor < 0 || static_cast<u_int>(s->cursor) >= r->objects.objects_len ||
      r->objects.objects_val == nullptr) {
    resetIteration(s);
    return nullptr;
  }
  return entryRow(env, r->objects.objects_val[s->cursor]);
}

// Every entry matching criteria as one flat array, row after row, each row as
// wide as the first entry (an entry with fewer columns is padded with "",
// one with more is cut). Null when nothing matched or on any failure. The
// session's iteration is left alone.
NAMESTORE_NATIVE(jobjectArray, nisplusGetAllEntries)
(JNIEnv* env, jobject, jint handle, jstring criteria) {
  jni::Utf8String crit(env, criteria);
  uint64_t generation = 0;
  NisResult listing(listMatching(handle, crit, false, &generation));
  const nis_result* r = listing.get();
  if (r == nullptr) return nullptr;

  const u_int rows = r->objects.objects_len;
  const u_int columns = columnCount(r->objects.objects_val[0]);
  const uint64_t total = static_cast<uint64_t>(rows) * columns;
  if (total > static_cast<uint64_t>(INT_MAX)) return nullptr;
  jni::StringArrayBuilder all(env, static_cast<jsize>(total));
  if (!all.ok()) return nullptr;
  for (u_int j = 0; j < rows; ++j) {
    for (u_int i = 0; i < columns; ++i) {
      const auto index = static_cast<jsize>(static_cast<uint64_t>(j) * columns + i);
      if (!storeColumn(all, index, r->objects.objects_val[j], i)) return nullptr;
    }
  }
  return all.release();
}
