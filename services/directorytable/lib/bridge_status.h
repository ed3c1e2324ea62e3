// The statuses libnamestore chooses itself, for requests it refuses before
// any NIS+ call, and how a Java string argument that did not convert maps to
// one of them.
#pragma once

#include <rpcsvc/nis.h>

#include "jni/jni_support.h"

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

}  // namespace namestore
