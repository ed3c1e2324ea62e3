// addressCompare's completion of partial network numbers, held against
// expectations built without the implementation's helpers: any two byte
// strings (split at the first 0xFF byte, NUL bytes included) complete, in the
// fixed 64-byte buffer and without overrunning it, to the text followed by
// ".0" for each missing dot, exactly when that fits; plain decimal dotted
// text (parts 0 to 999 without leading zeros) orders by the value its parts
// give left-aligned, worked out here by arithmetic, not by inet_addr.
#include <arpa/inet.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "address_order.h"

namespace {

constexpr size_t kBuffer = 64;  // the documented buffer, NUL included

// The value of plain decimal dotted text, INADDR_NONE when a part is above
// 255 or there are more than four parts; nothing for any other text.
std::optional<uint32_t> decimalValue(const std::string& t) {
  std::vector<uint32_t> parts;
  size_t i = 0;
  for (;;) {
    size_t j = i;
    while (j < t.size() && t[j] >= '0' && t[j] <= '9') ++j;
    if (j == i || j - i > 3 || (t[i] == '0' && j - i > 1)) return std::nullopt;
    parts.push_back(static_cast<uint32_t>(std::stoul(t.substr(i, j - i))));
    if (j == t.size()) break;
    if (t[j] != '.') return std::nullopt;
    i = j + 1;
  }
  if (parts.size() > 4) return INADDR_NONE;
  uint32_t v = 0;
  for (size_t k = 0; k < 4; ++k) {
    const uint32_t part = k < parts.size() ? parts[k] : 0;
    if (part > 255) return INADDR_NONE;
    v = v * 256 + part;
  }
  return v;
}

uint32_t check(const char* text, size_t len) {
  // A heap copy of exactly len bytes: reading past the text is caught.
  std::vector<char> copy(text, text + len);
  const char* p = copy.empty() ? "" : copy.data();
  std::string completed(p, len);
  const auto dots = static_cast<size_t>(std::count(completed.begin(), completed.end(), '.'));
  for (size_t k = dots; k < 3; ++k) completed += ".0";
  const bool fits = memchr(p, '\0', len) == nullptr && completed.size() < kBuffer;

  char buf[address_order::kBufferSize];
  const bool ok = address_order::completeNetworkNumber(p, len, buf);
  const uint32_t value = address_order::hostOrderValue(p, len);
  if (ok != fits) abort();
  if (!ok) {
    if (buf[0] != '\0' || value != INADDR_NONE) abort();
    return value;
  }
  if (completed != buf) abort();
  if (value != ntohl(inet_addr(completed.c_str()))) abort();
  if (const auto v = decimalValue(std::string(p, len)); v.has_value() && *v != value) abort();
  return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* text = reinterpret_cast<const char*>(data);
  const auto* split = static_cast<const uint8_t*>(memchr(data, 0xFF, size));
  const size_t lenA = split != nullptr ? static_cast<size_t>(split - data) : size;
  const char* b = split != nullptr ? text + lenA + 1 : "";
  const size_t lenB = split != nullptr ? size - lenA - 1 : 0;
  const uint32_t va = check(text, lenA);
  const uint32_t vb = check(b, lenB);
  const int ab = address_order::compareHostOrder(va, vb);
  const int64_t diff = static_cast<int64_t>(va) - static_cast<int64_t>(vb);
  if (ab != (diff > 0 ? 1 : diff < 0 ? -1 : 0)) abort();
  if (address_order::compareHostOrder(vb, va) != -ab) abort();
  if (address_order::hostOrderValue(nullptr, 0) != INADDR_NONE) abort();
  return 0;
}
