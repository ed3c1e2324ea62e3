// Ordering of IPv4 addresses and partial network numbers for addressCompare.
//
// A network number such as "129.144" is completed to its dotted quad with a
// zero host part ("129.144.0.0") before inet_addr reads it; inet_addr's own
// short forms would read it as 129.0.0.144 instead. The completed text lives
// in a fixed 64-byte buffer; text that does not fit, or that is missing,
// orders as unparsable (INADDR_NONE, above every real address).
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace address_order {

inline constexpr size_t kBufferSize = 64;

// The zero suffix that completes text with the given number of dots.
inline const char* zeroSuffix(size_t dots) {
  switch (dots) {
    case 0:
      return ".0.0.0";
    case 1:
      return ".0.0";
    case 2:
      return ".0";
    default:
      return "";
  }
}

// Writes text[0..len) and its zero suffix, NUL-terminated, into buf. Returns
// false, leaving buf empty, when text is null, holds a NUL byte, or does not
// fit the buffer together with its suffix and the NUL.
inline bool completeNetworkNumber(const char* text, size_t len, char (&buf)[kBufferSize]) {
  buf[0] = '\0';
  if (text == nullptr || memchr(text, '\0', len) != nullptr) {
    return false;
  }
  size_t dots = 0;
  for (size_t i = 0; i < len; ++i) {
    if (text[i] == '.') {
      ++dots;
    }
  }
  const char* suffix = zeroSuffix(dots);
  const size_t suffixLen = strlen(suffix);
  if (len > kBufferSize - 1 || suffixLen > kBufferSize - 1 - len) {
    return false;
  }
  memcpy(buf, text, len);
  memcpy(buf + len, suffix, suffixLen + 1);
  return true;
}

// The address or network number as a host-order number; INADDR_NONE (all
// ones) for anything that cannot be completed or that inet_addr rejects.
inline uint32_t hostOrderValue(const char* text, size_t len) {
  char buf[kBufferSize];
  if (!completeNetworkNumber(text, len, buf)) {
    return INADDR_NONE;
  }
  return ntohl(inet_addr(buf));
}

// 1, 0 or -1 as a is above, equal to or below b, as unsigned numbers.
inline int compareHostOrder(uint32_t a, uint32_t b) {
  if (a > b) {
    return 1;
  }
  if (a < b) {
    return -1;
  }
  return 0;
}

}  // namespace address_order
