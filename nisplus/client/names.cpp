// NIS+ names: indexed-name parsing, name arithmetic and this host's identity.
#include <unistd.h>
#include <zelt/platform.h>

#include <cstring>

#include "client_internal.h"

namespace nisplus_client {

nis_error parseIndexedName(const char* name, IndexedName& out) {
  out = IndexedName{};
  if (name == nullptr) return NIS_BADNAME;
  std::string_view s(name);
  if (s.empty()) return NIS_BADNAME;
  if (s.front() != '[') {
    // A plain name; a stray bracket or separator anywhere means a mistyped
    // indexed name, which must not reach a server as a table name.
    if (s.find_first_of("[]=") != std::string_view::npos) return NIS_BADNAME;
    out.table.assign(s);
    return NIS_SUCCESS;
  }
  // The grammar of the system client's parser: the search part ends at the
  // first ']'; pairs are split on ',' and each at its first '=', so a value
  // may hold '=' or '[' but never ',' or ']'; a trailing comma ends the list
  // and an empty column name is sent as it is (the server refuses it).
  const size_t close = s.find(']');
  if (close == std::string_view::npos) return NIS_BADNAME;
  std::string_view search = s.substr(1, close - 1);
  std::string_view rest = s.substr(close + 1);
  if (!rest.empty() && rest.front() == ',') rest.remove_prefix(1);
  if (rest.empty() || rest.find_first_of("[]=") != std::string_view::npos) return NIS_BADNAME;

  // "[]" is a search with no attributes: the whole table.
  while (!search.empty()) {
    const size_t comma = search.find(',');
    std::string_view pair = search.substr(0, comma);
    const size_t eq = pair.find('=');
    if (eq == std::string_view::npos) return NIS_BADNAME;
    out.attrs.push_back(
        SearchAttr{std::string(pair.substr(0, eq)), std::string(pair.substr(eq + 1))});
    if (comma == std::string_view::npos) break;
    search.remove_prefix(comma + 1);  // a trailing comma leaves nothing: done
  }
  out.table.assign(rest);
  return NIS_SUCCESS;
}

bool isFullyQualified(std::string_view name) {
  return !name.empty() && name.size() <= NIS_MAXNAMELEN && name.back() == '.' &&
         name.find('\0') == std::string_view::npos && name.front() != '.';
}

std::string leafOf(std::string_view name) { return std::string(name.substr(0, name.find('.'))); }

std::string domainOf(std::string_view name) {
  const size_t dot = name.find('.');
  if (dot == std::string_view::npos || dot + 1 >= name.size()) return ".";
  return std::string(name.substr(dot + 1));
}

namespace {
// ASCII only: the C library's tolower would follow the process's locale.
char lowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }
}  // namespace

bool sameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (lowerAscii(a[i]) != lowerAscii(b[i])) return false;
  }
  return true;
}

bool NameLess::operator()(std::string_view a, std::string_view b) const {
  const size_t n = a.size() < b.size() ? a.size() : b.size();
  for (size_t i = 0; i < n; ++i) {
    const auto x = static_cast<unsigned char>(lowerAscii(a[i]));
    const auto y = static_cast<unsigned char>(lowerAscii(b[i]));
    if (x != y) return x < y;
  }
  return a.size() < b.size();
}

bool isWithin(std::string_view name, std::string_view dir) {
  if (name.size() == dir.size()) return sameName(name, dir);
  if (name.size() < dir.size() + 1) return false;
  return sameName(name.substr(name.size() - dir.size()), dir) &&
         name[name.size() - dir.size() - 1] == '.';
}

std::string localDirectory() {
  char buf[256];
  if (platform::secureRpcDomain(buf, sizeof buf) <= 0) return "";
  std::string d(buf);
  if (d.back() != '.') d.push_back('.');
  return d;
}

std::string localHostName() {
  char buf[256] = {};
  if (gethostname(buf, sizeof buf - 1) != 0 || buf[0] == '\0') strcpy(buf, "localhost");
  std::string host(buf);
  if (host.find('.') == std::string::npos) {
    const std::string dir = localDirectory();
    if (!dir.empty()) host += "." + dir;
  }
  if (host.back() != '.') host.push_back('.');
  return host;
}

std::string localPrincipal() { return geteuid() == 0 ? localHostName() : std::string("nobody"); }

}  // namespace nisplus_client
