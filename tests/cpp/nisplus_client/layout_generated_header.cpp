// Layout of the NIS+ structures under one header (see layout.h).
#include <cstddef>

#include "layout.h"
#include "nis_prot.h"

Layout generatedHeaderLayout() {
  Layout out;
#define LAYOUT_SIZE(type) out[#type] = sizeof(type);
#define LAYOUT_FIELD(type, field) out[#type "." #field] = offsetof(type, field);
#define LAYOUT_VALUE(name) out["=" #name] = static_cast<size_t>(name);
#include "layout_fields.inc"
#undef LAYOUT_SIZE
#undef LAYOUT_FIELD
#undef LAYOUT_VALUE
  return out;
}
