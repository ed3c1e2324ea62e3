// Reading the entries of an open table: one at a time through a listing
// kept in the session slot, or all at once as one flat String[].
#include <rpcsvc/nis.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <vector>

#include "entry_stream.h"
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

// The indexed name of the entries of a session that match criteria,
// composed under the lock (the listing is then fetched without it, so other
// sessions carry on meanwhile); null for a bad handle or criteria. In
// *generation the session it was made for. With restart, the session's
// earlier iteration ends first, whatever follows.
MallocPtr<char> matchingName(jint handle, const jni::Utf8String& criteria, bool restart,
                             uint64_t* generation) {
  RegistryLock lock;
  TableSession* s = sessionForHandle(handle);
  if (s == nullptr) return MallocPtr<char>(nullptr);
  if (restart) resetIteration(s);
  if (!criteria.ok()) return MallocPtr<char>(nullptr);
  *generation = sessionGeneration[handle];
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

// The flat String[] of a listing, filled row after row while the reply
// arrives, each row as wide as the first entry (padded with "", or cut).
//
// Values are decoded into a chunk of UTF-16 text, separated by U+0000
// (which no value holds: each is cut at its first NUL, and the decoder
// never yields U+0000 for other bytes). Every kChunk values the chunk
// becomes one Java string that String.split cuts into the values' strings,
// in compiled Java code, several times faster than a JNI call per string.
// The array grows with the values that came, doubling, up to the rows the
// reply announces times the first entry's width: never sized by a count
// alone, which a reply may announce without holding it.
class FlatRows final : public nisplus_client::EntrySink {
 public:
  explicit FlatRows(JNIEnv* env) : env_(env) {}
  ~FlatRows() { drop(); }
  FlatRows(const FlatRows&) = delete;
  FlatRows& operator=(const FlatRows&) = delete;

  bool begin(u_int objects) override {
    drop();
    objects_ = objects;
    seen_ = 0;
    return true;
  }

  bool object(std::uint32_t type, const nisplus_client::ColumnValue* columns,
              u_int count) override {
    if (type != ENTRY_OBJ) count = 0;  // anything else reads as an entry without columns
    if (seen_++ == 0) {
      width_ = count;
      const uint64_t total = static_cast<uint64_t>(objects_) * width_;
      if (total > static_cast<uint64_t>(INT_MAX)) return false;
      total_ = static_cast<jsize>(total);
    }
    for (u_int i = 0; i < width_; ++i) {
      const bool present = i < count && columns[i].bytes != nullptr;
      // Values are C strings: cut at their first NUL.
      add(present ? columns[i].bytes : "",
          present ? strnlen(columns[i].bytes, columns[i].size) : 0);
      if (chunkValues_ == kChunk && !flush()) return false;
    }
    return true;
  }

  // The finished array once every announced object came (an empty one for
  // rows of no columns); null otherwise.
  jobjectArray release() {
    if (objects_ == 0 || seen_ != objects_ || !flush() || filled_ != total_) return nullptr;
    if (array_ == nullptr) return jni::newStringArray(env_, 0);
    jobjectArray a = array_;
    array_ = nullptr;
    return a;
  }

 private:
  static constexpr jsize kChunk = 4096;

  void add(const char* bytes, size_t len) {
    if (chunkValues_ != 0) chunk_.push_back(0);
    const size_t at = chunk_.size();
    chunk_.resize(at + len);  // UTF-8 never decodes to more UTF-16 units than bytes
    chunk_.resize(at + jni::detail::decodeUtf8(bytes, len, chunk_.data() + at));
    ++chunkValues_;
  }

  // Turns the chunk's values into strings at the end of the array.
  bool flush() {
    if (chunkValues_ == 0) return true;
    if (!findMethods()) return false;
    if (filled_ + chunkValues_ > capacity_ && !grow(filled_ + chunkValues_)) return false;
    const jchar none = 0;  // a chunk of one empty value is empty text
    jni::ScopedLocalRef<jstring> text(env_, env_->NewString(chunk_.empty() ? &none : chunk_.data(),
                                                            static_cast<jsize>(chunk_.size())));
    jni::ScopedLocalRef<jobjectArray> parts(
        env_, text.get() == nullptr ? nullptr
                                    : static_cast<jobjectArray>(env_->CallObjectMethod(
                                          text.get(), split_, separator_.get(), -1)));
    if (parts.get() == nullptr || env_->ExceptionCheck() ||
        env_->GetArrayLength(parts.get()) != chunkValues_ ||
        !arraycopy(parts.get(), array_, filled_, chunkValues_)) {
      env_->ExceptionClear();
      return false;
    }
    filled_ += chunkValues_;
    chunkValues_ = 0;
    chunk_.clear();
    return true;
  }

  // Moves the strings so far into an array of at least `need` (at most
  // total_) elements, twice as long as before where that is more (after
  // findMethods).
  bool grow(jsize need) {
    constexpr jsize kFirst = 1024;
    const jsize twice = capacity_ > total_ / 2 ? total_ : capacity_ * 2;
    const jsize room = std::min(total_, std::max({kFirst, twice, need}));
    jobjectArray bigger = jni::newStringArray(env_, room);
    if (bigger == nullptr) return false;
    if (filled_ > 0 && !arraycopy(array_, bigger, 0, filled_)) {
      env_->DeleteLocalRef(bigger);
      return false;
    }
    if (array_ != nullptr) env_->DeleteLocalRef(array_);
    array_ = bigger;
    capacity_ = room;
    return true;
  }

  // The first n strings of from into to at `at`.
  bool arraycopy(jobjectArray from, jobjectArray to, jsize at, jsize n) {
    env_->CallStaticVoidMethod(system_.get(), arraycopy_, from, 0, to, at, n);
    if (!env_->ExceptionCheck()) return true;
    env_->ExceptionClear();
    return false;
  }

  // String.split(String, int), System.arraycopy and the separator "\0",
  // looked up once.
  bool findMethods() {
    if (split_ != nullptr) return true;
    jni::ScopedLocalRef<jclass> string(env_, env_->FindClass("java/lang/String"));
    system_.reset(env_->FindClass("java/lang/System"));
    const jchar nul = 0;
    separator_.reset(env_->NewString(&nul, 1));
    if (string.get() != nullptr && system_.get() != nullptr && separator_.get() != nullptr) {
      split_ = env_->GetMethodID(string.get(), "split", "(Ljava/lang/String;I)[Ljava/lang/String;");
      arraycopy_ = env_->GetStaticMethodID(system_.get(), "arraycopy",
                                           "(Ljava/lang/Object;ILjava/lang/Object;II)V");
    }
    if (split_ != nullptr && arraycopy_ != nullptr) return true;
    env_->ExceptionClear();
    split_ = arraycopy_ = nullptr;
    return false;
  }

  void drop() {
    if (array_ != nullptr) env_->DeleteLocalRef(array_);
    array_ = nullptr;
    capacity_ = filled_ = total_ = chunkValues_ = 0;
    width_ = 0;
    chunk_.clear();
  }

  JNIEnv* env_;
  jni::ScopedLocalRef<jclass> system_{env_, nullptr};
  jni::ScopedLocalRef<jstring> separator_{env_, nullptr};
  jmethodID split_ = nullptr;
  jmethodID arraycopy_ = nullptr;
  jobjectArray array_ = nullptr;
  std::vector<jchar> chunk_;
  jsize chunkValues_ = 0;
  jsize capacity_ = 0;
  jsize filled_ = 0;
  jsize total_ = 0;
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
  MallocPtr<char> name = matchingName(handle, crit, false, &generation);
  if (name.get() == nullptr) return nullptr;
  // The strings are made while the rest of the reply is still coming.
  FlatRows rows(env);
  NisResult listing(nisplus_client::listEntries(name.get(), rows));
  if (!listing.succeeded()) return nullptr;
  return rows.release();
}
