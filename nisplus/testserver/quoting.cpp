#include "quoting.h"

#include <cstdio>

#include "text/utf8.h"

namespace nisplusd {

std::string quote(std::string_view b) {
  std::string out = "\"";
  for (size_t i = 0; i < b.size();) {
    const auto c = static_cast<unsigned char>(b[i]);
    // ASCII goes through the escapes below; a well-formed multibyte
    // sequence stays as it is, any other byte is escaped.
    if (c >= 0x80) {
      if (const size_t n = utf8::sequenceLength(b.data() + i, b.size() - i); n > 0) {
        out.append(b.substr(i, n));
        i += n;
        continue;
      }
    }
    ++i;
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '"':
        out += "\\\"";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\r':
        out += "\\r";
        break;
      case 0:
        out += "\\0";
        break;
      default:
        if (c >= 0x20 && c < 0x7f) {
          out.push_back(static_cast<char>(c));
        } else {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\x%02x", c);
          out += buf;
        }
    }
  }
  out.push_back('"');
  return out;
}

std::string nameToken(std::string_view name) {
  bool bare = !name.empty() && name != "null";
  for (char c : name) {
    bare = bare && (isWordChar(c) || c == '.' || c == '-' || c == '@' || c == '$' || c == ':' ||
                    c == '+' || c == '[' || c == ']' || c == ',');
  }
  // A bare word must not read as key=value.
  return bare ? std::string(name) : quote(name);
}

std::string hexNumber(uint32_t v, int minDigits) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%0*x", minDigits, v);
  return buf;
}

}  // namespace nisplusd
