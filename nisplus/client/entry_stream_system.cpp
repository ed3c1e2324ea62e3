// listEntries over the system libnsl, for builds that take the NIS+ client
// calls from it: the listing is fetched whole with nis_list, then its
// objects are handed to the sink.
#include <cstring>
#include <vector>

#include "entry_stream.h"

namespace nisplus_client {

nis_result* listEntries(const char* name, EntrySink& sink) {
  nis_result* res = nis_list(name, 0, nullptr, nullptr);
  if (res == nullptr) return nullptr;
  const bool listed = res->status == NIS_SUCCESS || res->status == NIS_S_SUCCESS;
  if (!listed || res->objects.objects_val == nullptr || !sink.begin(res->objects.objects_len)) {
    return res;
  }
  std::vector<ColumnValue> columns;
  for (u_int j = 0; j < res->objects.objects_len; ++j) {
    const nis_object& obj = res->objects.objects_val[j];
    std::uint32_t type = 0;
    std::memcpy(&type, &obj.zo_data.zo_type, sizeof type);
    const entry_obj& e = obj.zo_data.objdata_u.en_data;
    columns.clear();
    if (type == ENTRY_OBJ && e.en_cols.en_cols_val != nullptr) {
      for (u_int i = 0; i < e.en_cols.en_cols_len; ++i) {
        const auto& v = e.en_cols.en_cols_val[i].ec_value;
        columns.push_back(
            ColumnValue{v.ec_value_len != 0 ? v.ec_value_val : nullptr, v.ec_value_len});
      }
    }
    if (!sink.object(type, columns.data(), static_cast<u_int>(columns.size()))) break;
  }
  return res;
}

}  // namespace nisplus_client
