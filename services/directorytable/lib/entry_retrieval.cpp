// Reading the entries of an open table: one at a time through a listing
// kept in the session slot, or all at once as one flat String[].
#include <rpcsvc/nis.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "column_values.h"
#include "entry_stream.h"
#include "flat_string_array.h"
#include "jni/jni_support.h"
#include "jni/string_arrays.h"
#include "malloc_ptr.h"
#include "namestore_exports.h"
#include "nis_result.h"
#include "session_registry.h"

using namespace namestore;

namespace {

// The column texts of one entry, copied out of a listing so that the Java
// row can be made with no lock held: the listing of a session belongs to
// its slot, which another thread may reset once the lock is released.
class RowCopy {
 public:
  // Copies the columns of obj; false when out of memory.
  bool take(const nis_object& obj) {
    const u_int count = entryColumnCount(obj);
    if (count > static_cast<u_int>(INT_MAX)) return false;
    size_t bytes = 0;
    for (u_int i = 0; i < count; ++i) bytes += columnText(obj, i).size;
    sizes_.reset(static_cast<size_t*>(malloc((count == 0 ? 1 : count) * sizeof(size_t))));
    text_.reset(static_cast<char*>(malloc(bytes == 0 ? 1 : bytes)));
    if (sizes_.get() == nullptr || text_.get() == nullptr) return false;
    char* out = text_.get();
    for (u_int i = 0; i < count; ++i) {
      const ColumnText t = columnText(obj, i);
      memcpy(out, t.bytes, t.size);
      out += t.size;
      sizes_[i] = t.size;
    }
    count_ = count;
    return true;
  }

  // One String per column, in column order; null when out of memory.
  jobjectArray toJava(JNIEnv* env) const {
    jni::StringArrayBuilder row(env, static_cast<jsize>(count_));
    if (!row.ok()) return nullptr;
    const char* in = text_.get();
    for (u_int i = 0; i < count_; ++i) {
      if (!row.set(static_cast<jsize>(i), in, sizes_[i])) return nullptr;
      in += sizes_[i];
    }
    return row.release();
  }

 private:
  MallocPtr<size_t> sizes_;
  MallocPtr<char> text_;
  u_int count_ = 0;
};

// The indexed name of the entries of a session that match criteria,
// composed under the lock (the listing is then fetched without it, so other
// sessions carry on meanwhile); null for a bad handle or criteria. In
// *generation, unless null, the session it was made for. With restart, the
// session's earlier iteration ends first, whatever follows.
MallocPtr<char> matchingName(jint handle, const jni::Utf8String& criteria, bool restart,
                             uint64_t* generation) {
  RegistryLock lock;
  TableSession* s = sessionForHandle(handle);
  if (s == nullptr) return MallocPtr<char>(nullptr);
  if (restart) resetIteration(s);
  if (!criteria.ok()) return MallocPtr<char>(nullptr);
  if (generation != nullptr) *generation = sessionGeneration[handle];
  return MallocPtr<char>(composeIndexedName(s, criteria.c_str()));
}

// The listing of the entries that match criteria (the caller frees it), or
// null for a bad handle or criteria, a failed listing or one without
// entries.
nis_result* listMatching(jint handle, const jni::Utf8String& criteria, bool restart,
                         uint64_t* generation) {
  MallocPtr<char> name = matchingName(handle, criteria, restart, generation);
  if (name.get() == nullptr) return nullptr;
  NisResult listing(nis_list(name.get(), 0, nullptr, nullptr));
  const nis_result* r = listing.get();
  if (!listing.succeeded() || r->objects.objects_len == 0 || r->objects.objects_val == nullptr)
    return nullptr;
  return listing.release();
}

// The values of a flat listing, collected row after row while the reply
// arrives, each row as wide as the first entry (padded with "", or cut).
// They are only decoded into native text here: this runs inside the NIS+
// call, under its deadline, where no JNI call may run (a pause of the JVM
// would count against the call's budget). The Java strings are made once
// the call has returned.
class FlatRows final : public nisplus_client::EntrySink {
 public:
  FlatRows() = default;
  FlatRows(const FlatRows&) = delete;
  FlatRows& operator=(const FlatRows&) = delete;

  bool begin(u_int objects) override {
    values_.clear();
    objects_ = objects;
    seen_ = 0;
    return true;
  }

  bool object(std::uint32_t type, const nisplus_client::ColumnValue* columns,
              u_int count) override {
    count = entryColumnCount(type, count);
    if (seen_++ == 0) width_ = count;
    for (u_int i = 0; i < width_; ++i) {
      const ColumnText t =
          i < count ? columnText(columns[i].bytes, columns[i].size) : columnText(nullptr, 0);
      if (!values_.append(t.bytes, t.size)) return false;
    }
    return true;
  }

  // Whether every announced object came (none announced, or a failed
  // listing, gives no array).
  bool complete() const { return seen_ != 0 && seen_ == objects_; }
  const Utf16Values& values() const { return values_; }

 private:
  Utf16Values values_;
  u_int objects_ = 0;
  u_int seen_ = 0;
  u_int width_ = 0;
};

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
  RowCopy first;
  if (!first.take(r->objects.objects_val[0])) return nullptr;
  jni::ScopedLocalRef<jobjectArray> row(env, first.toJava(env));
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
  // Only the copy is made under the lock: the Java strings, and any pause
  // of the JVM they bring, come after it, so other sessions go on meanwhile.
  RowCopy row;
  {
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
    if (!row.take(r->objects.objects_val[s->cursor])) return nullptr;
  }
  return row.toJava(env);
}

// Every entry matching criteria as one flat array, row after row, each row as
// wide as the first entry (an entry with fewer columns is padded with "",
// one with more is cut). Null when nothing matched or on any failure. The
// session's iteration is left alone.
NAMESTORE_NATIVE(jobjectArray, nisplusGetAllEntries)
(JNIEnv* env, jobject, jint handle, jstring criteria) {
  jni::Utf8String crit(env, criteria);
  MallocPtr<char> name = matchingName(handle, crit, false, nullptr);
  if (name.get() == nullptr) return nullptr;
  // The values are decoded while the rest of the reply is still coming;
  // the Java strings are made after the call.
  FlatRows rows;
  NisResult listing(nisplus_client::listEntries(name.get(), rows));
  if (!listing.succeeded() || !rows.complete()) return nullptr;
  return stringArrayFromText(env, rows.values());
}
