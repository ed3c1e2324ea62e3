// Indexed names both ways: the bridge composes criteria + table name with
// nothing in between, and the NIS+ client layer splits "[col=value,...],
// table" on its delimiters. For any criteria:
// - the composed name is exactly criteria followed by the table name;
// - a name the parser accepts carries no delimiter inside any part that
//   would end it there (see checkParsed), and
//   composing its parts again parses to the same parts (nothing is lost,
//   merged or split differently);
// - the name helpers never read outside the name.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "client_internal.h"
#include "session_registry.h"

using nisplus_client::IndexedName;
using nisplus_client::parseIndexedName;

namespace {

std::string compose(const IndexedName& n) {
  if (n.attrs.empty()) return n.table;
  std::string s = "[";
  for (size_t i = 0; i < n.attrs.size(); ++i) {
    if (i != 0) s += ',';
    s += n.attrs[i].name + "=" + n.attrs[i].value;
  }
  return s + "]," + n.table;
}

bool same(const IndexedName& a, const IndexedName& b) {
  if (a.table != b.table || a.attrs.size() != b.attrs.size()) return false;
  for (size_t i = 0; i < a.attrs.size(); ++i) {
    if (a.attrs[i].name != b.attrs[i].name || a.attrs[i].value != b.attrs[i].value) return false;
  }
  return true;
}

void checkParsed(const std::string& name) {
  IndexedName parsed;
  if (parseIndexedName(name.c_str(), parsed) != NIS_SUCCESS) return;
  if (parsed.table.empty() || parsed.table.find_first_of("[]=") != std::string::npos) abort();
  for (const auto& a : parsed.attrs) {
    // As the system client splits them: a column name ends at its first
    // '=' (it may be empty: the server refuses it), a value at the next ','
    // or ']'; either may hold '['.
    if (a.name.find_first_of("]=,") != std::string::npos) abort();
    if (a.value.find_first_of("],") != std::string::npos) abort();
  }
  IndexedName again;
  if (parseIndexedName(compose(parsed).c_str(), again) != NIS_SUCCESS || !same(parsed, again))
    abort();

  const std::string& t = parsed.table;
  (void)nisplus_client::isFullyQualified(t);
  const std::string leaf = nisplus_client::leafOf(t);
  const std::string domain = nisplus_client::domainOf(t);
  if (leaf.size() > t.size() || t.compare(0, leaf.size(), leaf) != 0) abort();
  if (domain != "." && !nisplus_client::isWithin(t, domain)) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The criteria as the bridge has it: a C string (cut at a NUL).
  std::string criteria(reinterpret_cast<const char*>(data),
                       strnlen(reinterpret_cast<const char*>(data), size));
  TableSession session{};
  static const char kTable[] = "hosts.org_dir.sandbox.test.";
  memcpy(session.tableName, kTable, sizeof kTable);
  char* composed = namestore::composeIndexedName(&session, criteria.c_str());
  if (composed == nullptr) return 0;
  if (std::string(composed) != criteria + kTable) abort();
  checkParsed(composed);
  free(composed);
  checkParsed(criteria);
  IndexedName none;
  if (parseIndexedName(nullptr, none) != NIS_BADNAME) abort();
  return 0;
}
