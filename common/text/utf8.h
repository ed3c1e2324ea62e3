// UTF-8 validation, shared by the JNI libraries and nisplusd.
//
// Header-only and free of the C++ runtime (no allocation, no exceptions), so
// the launchers may use it as well as libnamestore and the test server.
#pragma once

#include <cstddef>
#include <cstdint>

namespace utf8 {

// Length of the well-formed UTF-8 sequence at in[0..len), or 0 when the
// bytes there are not one (len 0, a stray continuation byte, overlong forms,
// surrogates, values past U+10FFFF and truncated sequences are all
// rejected). Sets *cp to the code point.
inline size_t sequenceLength(const unsigned char* in, size_t len, uint32_t* cp) {
  if (len == 0) return 0;
  const unsigned char b0 = in[0];
  if (b0 < 0x80) {
    *cp = b0;
    return 1;
  }
  size_t need;
  uint32_t min;
  uint32_t value;
  if ((b0 & 0xE0) == 0xC0) {
    need = 2, min = 0x80, value = b0 & 0x1F;
  } else if ((b0 & 0xF0) == 0xE0) {
    need = 3, min = 0x800, value = b0 & 0x0F;
  } else if ((b0 & 0xF8) == 0xF0) {
    need = 4, min = 0x10000, value = b0 & 0x07;
  } else {
    return 0;
  }
  if (len < need) return 0;
  for (size_t k = 1; k < need; ++k) {
    if ((in[k] & 0xC0) != 0x80) return 0;
    value = (value << 6) | (in[k] & 0x3F);
  }
  if (value < min || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
  *cp = value;
  return need;
}

inline size_t sequenceLength(const char* in, size_t len) {
  uint32_t cp = 0;
  return sequenceLength(reinterpret_cast<const unsigned char*>(in), len, &cp);
}

// Whether all of bytes[0..len) is well-formed UTF-8.
inline bool isValid(const char* bytes, size_t len) {
  size_t i = 0;
  while (i < len) {
    const size_t step = sequenceLength(bytes + i, len - i);
    if (step == 0) return false;
    i += step;
  }
  return true;
}

}  // namespace utf8
