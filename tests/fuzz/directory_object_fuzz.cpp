// Directory objects as servers send them (NIS_FINDDIRECTORY's dir_data) and
// as the cold-start file holds them: any bytes decode to a directory whose
// name is fully qualified and whose servers all have at least one address,
// or are refused, without reading outside the data or leaking.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "client_internal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<char> copy(data, data + size);
  nisplus_client::Directory dir;
  if (!nisplus_client::decodeDirectory(copy.empty() ? nullptr : copy.data(), size, dir)) return 0;
  if (!nisplus_client::isFullyQualified(dir.name)) abort();
  for (const auto& server : dir.servers) {
    if (server.hosts.empty()) abort();
  }
  return 0;
}
