// Host calls that SVR4 offers and Linux lacks, under one name.
//
// Header-only and free of the C++ runtime. The calls the launchers' children
// make are in zelt/child_process.h.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>

namespace platform {

// The secure-RPC domain into buf (NUL-terminated, cut to size - 1 bytes).
// Returns the length including the NUL as sysinfo(SI_SRPC_DOMAIN) would, or
// 0 or less when the host has no such domain. On Linux that domain is the
// NIS domain; getdomainname reports an unset one as "(none)".
inline long secureRpcDomain(char* buf, size_t size) {
  if (buf == nullptr || size == 0) return -1;
  if (getdomainname(buf, size) != 0) return -1;
  buf[size - 1] = '\0';
  if (buf[0] == '\0' || strcmp(buf, "(none)") == 0) {
    buf[0] = '\0';
    return 0;
  }
  return static_cast<long>(strlen(buf)) + 1;
}

}  // namespace platform
