// Requests are checked on their raw bytes before the generated XDR routines
// decode them: those routines allocate whatever a length or count claims
// (up to 4 GB) before reading a single element, and free them element by
// element. Here every count must fit in the bytes that are actually left.
#pragma once

#include <rpc/rpc.h>

#include <cstddef>
#include <string>

namespace nisplusd {

// An xdrproc for svc_getargs that copies the rest of the argument stream,
// 32 bits at a time, into the std::string it is given.
bool_t captureArguments(XDR* xdrs, ...);

// Whether raw bytes hold a plausible ns_request, ib_request or fd_args:
// every string, opaque and array length fits in what remains.
bool plausibleNameRequest(const std::string& raw);
bool plausibleIndexedRequest(const std::string& raw);
bool plausibleFindDirectory(const std::string& raw);

}  // namespace nisplusd
