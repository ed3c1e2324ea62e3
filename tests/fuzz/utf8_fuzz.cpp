// The libraries' UTF-8 conversions both ways, on buffers of exactly the
// documented capacity (so any overrun is caught), held against a reference
// written from the table of well-formed byte sequences in the Unicode
// standard (ranges of lead and trail bytes, not bit arithmetic):
// - bytes -> UTF-16 gives, for each well-formed sequence, its character, and
//   for every other byte its Latin-1 character, and never writes more units
//   than bytes;
// - UTF-16 -> bytes never writes more than 3 bytes per unit, and gives the
//   UTF-8 of each character, with each lone surrogate as U+FFFD (EF BF BD).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "jni/jni_support.h"

using jni::detail::decodeUtf8;
using jni::detail::encodeUtf8;

namespace {

struct Row {
  uint8_t leadLo, leadHi, secondLo, secondHi;
  int length;
};

// Well-formed UTF-8 byte sequences; the third and fourth bytes, where
// present, are 80..BF.
constexpr Row kWellFormed[] = {
    {0x00, 0x7F, 0, 0, 1},       {0xC2, 0xDF, 0x80, 0xBF, 2}, {0xE0, 0xE0, 0xA0, 0xBF, 3},
    {0xE1, 0xEC, 0x80, 0xBF, 3}, {0xED, 0xED, 0x80, 0x9F, 3}, {0xEE, 0xEF, 0x80, 0xBF, 3},
    {0xF0, 0xF0, 0x90, 0xBF, 4}, {0xF1, 0xF3, 0x80, 0xBF, 4}, {0xF4, 0xF4, 0x80, 0x8F, 4},
};

// Length of the well-formed sequence at p[0..n), 0 if none; *cp its value.
int referenceSequence(const uint8_t* p, size_t n, uint32_t* cp) {
  for (const Row& r : kWellFormed) {
    if (p[0] < r.leadLo || p[0] > r.leadHi) continue;
    if (n < static_cast<size_t>(r.length)) return 0;
    if (r.length >= 2 && (p[1] < r.secondLo || p[1] > r.secondHi)) return 0;
    for (int k = 2; k < r.length; ++k) {
      if (p[k] < 0x80 || p[k] > 0xBF) return 0;
    }
    static constexpr uint8_t kLeadMask[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
    uint32_t v = p[0] & kLeadMask[r.length];
    for (int k = 1; k < r.length; ++k) v = v * 64 + (p[k] - 0x80);
    *cp = v;
    return r.length;
  }
  return 0;
}

void appendUtf16(std::vector<jchar>& out, uint32_t cp) {
  if (cp < 0x10000) {
    out.push_back(static_cast<jchar>(cp));
  } else {
    out.push_back(static_cast<jchar>(0xD800 + ((cp - 0x10000) / 0x400)));
    out.push_back(static_cast<jchar>(0xDC00 + ((cp - 0x10000) % 0x400)));
  }
}

void appendUtf8(std::vector<char>& out, uint32_t cp) {
  auto put = [&out](unsigned v) { out.push_back(static_cast<char>(v)); };
  if (cp < 0x80) {
    put(cp);
  } else if (cp < 0x800) {
    put(0xC0 + cp / 64), put(0x80 + cp % 64);
  } else if (cp < 0x10000) {
    put(0xE0 + cp / 4096), put(0x80 + cp / 64 % 64), put(0x80 + cp % 64);
  } else {
    put(0xF0 + cp / 262144), put(0x80 + cp / 4096 % 64), put(0x80 + cp / 64 % 64),
        put(0x80 + cp % 64);
  }
}

void bytesToUtf16(const uint8_t* data, size_t size) {
  std::vector<jchar> expect;
  for (size_t i = 0; i < size;) {
    uint32_t cp = 0;
    const int len = referenceSequence(data + i, size - i, &cp);
    appendUtf16(expect, len != 0 ? cp : data[i]);  // a stray byte is Latin-1
    i += len != 0 ? static_cast<size_t>(len) : 1;
  }
  std::vector<uint8_t> in(data, data + size);
  std::vector<jchar> out(size == 0 ? 1 : size);
  const size_t units = decodeUtf8(reinterpret_cast<const char*>(in.data()), size, out.data());
  if (units != expect.size() || memcmp(out.data(), expect.data(), units * sizeof(jchar)) != 0)
    abort();
}

void utf16ToBytes(const uint8_t* data, size_t size) {
  const size_t units = size / 2;
  std::vector<jchar> in(units == 0 ? 1 : units);
  for (size_t i = 0; i < units; ++i)
    in[i] = static_cast<jchar>(data[2 * i] | (data[2 * i + 1] << 8));
  std::vector<char> expect;
  for (size_t i = 0; i < units; ++i) {
    const jchar c = in[i];
    const bool high = c >= 0xD800 && c <= 0xDBFF;
    const bool low = c >= 0xDC00 && c <= 0xDFFF;
    if (high && i + 1 < units && in[i + 1] >= 0xDC00 && in[i + 1] <= 0xDFFF) {
      appendUtf8(expect, 0x10000 + (c - 0xD800) * 0x400 + (in[i + 1] - 0xDC00));
      ++i;
    } else {
      appendUtf8(expect, high || low ? 0xFFFD : c);
    }
  }
  std::vector<char> out(3 * units + 1);
  const size_t n = encodeUtf8(in.data(), units, out.data());
  if (n > 3 * units || out[n] != '\0') abort();
  if (n != expect.size() || memcmp(out.data(), expect.data(), n) != 0) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  bytesToUtf16(data, size);
  utf16ToBytes(data, size);
  return 0;
}
