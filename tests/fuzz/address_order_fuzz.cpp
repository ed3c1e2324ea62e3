// addressCompare's completion of partial network numbers: any two byte
// strings (split at the first 0xFF byte, NUL bytes included) are completed
// into the fixed 64-byte buffer without overrunning it, complete exactly when
// they fit, and order as inet_addr reads the completed text.
#include <arpa/inet.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "address_order.h"

namespace {

void check(const char* text, size_t len) {
  // A heap copy of exactly len bytes: reading past the text is caught.
  std::vector<char> copy(text, text + len);
  const char* p = copy.empty() ? "" : copy.data();
  char buf[address_order::kBufferSize];
  const bool ok = address_order::completeNetworkNumber(p, len, buf);
  size_t dots = 0;
  for (size_t i = 0; i < len; ++i) dots += p[i] == '.';
  const size_t suffix = strlen(address_order::zeroSuffix(dots));
  const bool fits = memchr(p, '\0', len) == nullptr && len + suffix < address_order::kBufferSize;
  if (ok != fits) abort();
  if (!ok) {
    if (buf[0] != '\0') abort();
    if (address_order::hostOrderValue(p, len) != INADDR_NONE) abort();
    return;
  }
  if (strlen(buf) != len + suffix || memcmp(buf, p, len) != 0) abort();
  if (address_order::hostOrderValue(p, len) != ntohl(inet_addr(buf))) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* text = reinterpret_cast<const char*>(data);
  const auto* split = static_cast<const uint8_t*>(memchr(data, 0xFF, size));
  const size_t lenA = split != nullptr ? static_cast<size_t>(split - data) : size;
  const char* b = split != nullptr ? text + lenA + 1 : "";
  const size_t lenB = split != nullptr ? size - lenA - 1 : 0;
  check(text, lenA);
  check(b, lenB);
  const uint32_t va = address_order::hostOrderValue(lenA != 0 ? text : "", lenA);
  const uint32_t vb = address_order::hostOrderValue(b, lenB);
  const int ab = address_order::compareHostOrder(va, vb);
  const int ba = address_order::compareHostOrder(vb, va);
  if (ab != -ba || (ab == 0) != (va == vb)) abort();
  if (address_order::hostOrderValue(nullptr, 0) != INADDR_NONE) abort();
  return 0;
}
