// The libraries' UTF-8 conversions both ways, on buffers of exactly the
// documented capacity (so any overrun is caught):
// - bytes -> UTF-16 never writes more units than bytes; valid UTF-8 comes
//   back byte for byte through the encoder; every byte that is not part of a
//   well-formed sequence becomes its Latin-1 character;
// - UTF-16 -> bytes never writes more than 3 bytes per unit; the result is
//   always valid UTF-8 and decodes to the input with each lone surrogate
//   replaced by U+FFFD.
// Valid UTF-8 is what the shared validator (text/utf8.h) accepts, the one
// the libraries and nisplusd use.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "jni/jni_support.h"
#include "text/utf8.h"

using jni::detail::decodeUtf8;
using jni::detail::encodeUtf8;

namespace {

bool isValidUtf8(const uint8_t* p, size_t n) {
  return utf8::isValid(reinterpret_cast<const char*>(p), n);
}

void bytesToUtf16(const uint8_t* data, size_t size) {
  std::vector<uint8_t> in(data, data + size);
  std::vector<jchar> out(size == 0 ? 1 : size);
  const size_t units = decodeUtf8(reinterpret_cast<const char*>(in.data()), size, out.data());
  if (units > size) abort();
  out.resize(units);
  std::vector<char> back(3 * units + 1);
  const size_t n = encodeUtf8(out.data(), units, back.data());
  if (n > 3 * units || back[n] != '\0') abort();
  if (isValidUtf8(data, size)) {
    if (n != size || memcmp(back.data(), data, size) != 0) abort();
  }
  // Decoding is a function of each sequence alone: re-decoding what the
  // encoder made of it gives the same units.
  std::vector<jchar> again(n == 0 ? 1 : n);
  const size_t units2 = decodeUtf8(back.data(), n, again.data());
  if (!isValidUtf8(reinterpret_cast<const uint8_t*>(back.data()), n)) abort();
  for (size_t i = 0, j = 0; i < units; ++i, ++j) {
    if (j >= units2) abort();
    const jchar c = out[i];
    const bool hi = c >= 0xD800 && c <= 0xDBFF;
    const bool lo = c >= 0xDC00 && c <= 0xDFFF;
    if (hi && i + 1 < units && out[i + 1] >= 0xDC00 && out[i + 1] <= 0xDFFF) {
      if (again[j] != c || again[j + 1] != out[i + 1]) abort();
      ++i, ++j;
    } else if (hi || lo) {
      abort();  // the decoder never makes a lone surrogate
    } else if (again[j] != c) {
      abort();
    }
  }
}

void utf16ToBytes(const uint8_t* data, size_t size) {
  const size_t units = size / 2;
  std::vector<jchar> in(units == 0 ? 1 : units);
  for (size_t i = 0; i < units; ++i)
    in[i] = static_cast<jchar>(data[2 * i] | (data[2 * i + 1] << 8));
  std::vector<char> out(3 * units + 1);
  const size_t n = encodeUtf8(in.data(), units, out.data());
  if (n > 3 * units || out[n] != '\0') abort();
  if (!isValidUtf8(reinterpret_cast<const uint8_t*>(out.data()), n)) abort();
  std::vector<jchar> back(n == 0 ? 1 : n);
  const size_t m = decodeUtf8(out.data(), n, back.data());
  size_t j = 0;
  for (size_t i = 0; i < units; ++i) {
    const jchar c = in[i];
    const bool hi = c >= 0xD800 && c <= 0xDBFF;
    const bool lo = c >= 0xDC00 && c <= 0xDFFF;
    if (hi && i + 1 < units && in[i + 1] >= 0xDC00 && in[i + 1] <= 0xDFFF) {
      if (j + 1 >= m || back[j] != c || back[j + 1] != in[i + 1]) abort();
      j += 2;
      ++i;
    } else {
      const jchar expect = (hi || lo) ? 0xFFFD : c;
      if (j >= m || back[j] != expect) abort();
      ++j;
    }
  }
  if (j != m) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  bytesToUtf16(data, size);
  utf16ToBytes(data, size);
  return 0;
}
