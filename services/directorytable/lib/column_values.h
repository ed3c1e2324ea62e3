// How libnamestore reads the columns of a NIS+ object for Java, in every
// call that hands entries over: an object that is not an entry reads as an
// entry without columns; a value is a C string, cut at its first NUL and
// never read past its recorded length; a missing value, or a column the
// entry does not have, reads as "".
#pragma once

#include <rpcsvc/nis.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace namestore {

// The bytes of one value as Java gets them (not NUL-terminated).
struct ColumnText {
  const char* bytes;
  size_t size;
};

// The number of columns of an object of the given type (the number the
// server sent: a value outside zotypes may not be read through the enum)
// that carries count columns.
inline u_int entryColumnCount(std::uint32_t type, u_int count) {
  return type == ENTRY_OBJ ? count : 0;
}

// A value of size bytes, or a missing one (bytes null).
inline ColumnText columnText(const char* bytes, size_t size) {
  if (bytes == nullptr) return {"", 0};
  return {bytes, strnlen(bytes, size)};
}

inline u_int entryColumnCount(const nis_object& obj) {
  std::uint32_t type = 0;
  std::memcpy(&type, &obj.zo_data.zo_type, sizeof type);
  if (type != ENTRY_OBJ) return 0;
  const entry_obj& e = obj.zo_data.objdata_u.en_data;
  return e.en_cols.en_cols_val != nullptr ? e.en_cols.en_cols_len : 0;
}

// Column i of obj, "" past its last column.
inline ColumnText columnText(const nis_object& obj, u_int i) {
  if (i >= entryColumnCount(obj)) return columnText(nullptr, 0);
  const entry_col& col = obj.zo_data.objdata_u.en_data.en_cols.en_cols_val[i];
  return columnText(col.ec_value.ec_value_val, col.ec_value.ec_value_len);
}

}  // namespace namestore
