// How nisplusd writes bytes, names and numbers as text, in the request log
// and in dumps. Seed text reads these forms back (seed_format.h).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace nisplusd {

// The characters of a key before '=' in a seed line, and of a bare name.
inline bool isWordChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// Exact bytes as a double-quoted string with C escapes; printable ASCII and
// well-formed UTF-8 stand as themselves.
std::string quote(std::string_view bytes);
// A name as a bare word when that reads back unchanged, else quoted.
std::string nameToken(std::string_view name);
// A number as 0x and at least minDigits lowercase hex digits: flags as 0x3,
// access rights as 0x000f0f01 when minDigits is 8.
std::string hexNumber(uint32_t v, int minDigits = 1);

}  // namespace nisplusd
