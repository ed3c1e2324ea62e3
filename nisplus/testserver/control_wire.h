// The control socket's wire format, shared by nisplusd and nisplusctl: the
// request is the command's arguments, each followed by a NUL, up to the end
// of the stream; the answer is '0' (done) or '1' (failed) and then text.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <string>
#include <string_view>
#include <vector>

namespace controlwire {

inline std::string encode(const std::vector<std::string>& args) {
  std::string out;
  for (const std::string& a : args) {
    out += a;
    out.push_back('\0');
  }
  return out;
}

inline bool decode(std::string_view data, std::vector<std::string>& args) {
  args.clear();
  while (!data.empty()) {
    size_t nul = data.find('\0');
    if (nul == std::string_view::npos) return false;
    args.emplace_back(data.substr(0, nul));
    data.remove_prefix(nul + 1);
  }
  return true;
}

inline bool writeAll(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = write(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

}  // namespace controlwire
