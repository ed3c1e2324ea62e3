#include "access_rights.h"

#include <nis_prot.h>

#include <utility>

namespace nisplusd {

namespace {

// Groups inside groups: deeper nesting (or a cycle) counts as no member.
constexpr int kMaxGroupDepth = 8;

std::string_view dropNul(std::string_view v) {
  if (!v.empty() && v.back() == '\0') v.remove_suffix(1);
  return v;
}

long columnIndex(const Table& t, std::string_view name) {
  for (size_t i = 0; i < t.columns.size(); ++i) {
    if (sameName(t.columns[i].name, name)) return static_cast<long>(i);
  }
  return -1;
}

std::string_view valueAt(const Entry& e, long column) {
  if (column < 0 || static_cast<size_t>(column) >= e.values.size()) return {};
  return dropNul(e.values[static_cast<size_t>(column)].bytes);
}

// The DES credential of a netname in cred.org_dir of its domain.
const Entry* desCredential(const Namespace& ns, std::string_view netname, const Table*& cred) {
  const size_t at = netname.find('@');
  if (at == std::string_view::npos || at + 1 == netname.size()) return nullptr;
  std::string domain(netname.substr(at + 1));
  if (domain.back() != '.') domain += '.';
  cred = ns.findTable("cred.org_dir." + domain);
  if (!cred) return nullptr;
  const long type = columnIndex(*cred, "auth_type");
  const long name = columnIndex(*cred, "auth_name");
  for (const Entry& e : cred->entries) {
    if (valueAt(e, type) == "DES" && valueAt(e, name) == netname) return &e;
  }
  return nullptr;
}

}  // namespace

std::string desPrincipal(const Namespace& ns, std::string_view netname) {
  const Table* cred = nullptr;
  const Entry* e = desCredential(ns, netname, cred);
  const std::string_view cname = e ? valueAt(*e, columnIndex(*cred, "cname")) : "";
  return cname.empty() ? std::string(kNobody) : std::string(cname);
}

std::string desPublicKey(const Namespace& ns, std::string_view netname) {
  const Table* cred = nullptr;
  const Entry* e = desCredential(ns, netname, cred);
  if (!e) return "";
  std::string_view key = valueAt(*e, columnIndex(*cred, "public_data"));
  return std::string(key.substr(0, key.find(':')));
}

std::string sysPrincipal(const Namespace& ns, uint32_t uid, std::string_view machine) {
  if (uid == 0) {
    std::string_view host = labelOf(machine);
    if (host.empty()) return std::string(kNobody);
    return std::string(host) + "." + ns.root();
  }
  const Table* cred = ns.findTable("cred.org_dir." + ns.root());
  if (!cred) return std::string(kNobody);
  const long cname = columnIndex(*cred, "cname");
  const long type = columnIndex(*cred, "auth_type");
  const long name = columnIndex(*cred, "auth_name");
  const std::string id = std::to_string(uid);
  for (const Entry& e : cred->entries) {
    if (valueAt(e, type) == "LOCAL" && valueAt(e, name) == id && !valueAt(e, cname).empty()) {
      return std::string(valueAt(e, cname));
    }
  }
  return std::string(kNobody);
}

Access::Access(const Namespace& ns, int level, std::string principal)
    : ns_(ns), level_(level), principal_(std::move(principal)) {}

bool Access::grants(uint32_t access, std::string_view owner, std::string_view group,
                    uint32_t rights) const {
  if (level_ == 0) return true;
  uint32_t granted = access >> 24;  // nobody
  if (principal_ != kNobody) {
    granted |= access;  // world
    if (!owner.empty() && sameName(owner, principal_)) granted |= access >> 16;
    if (!group.empty() && memberOf(group)) granted |= access >> 8;
  }
  return (granted & rights & 0xff) == rights;
}

bool Access::grantsColumn(const Table& t, const Entry& e, size_t col, uint32_t rights) const {
  if (level_ == 0) return true;
  return col < t.columns.size() && grants(t.columns[col].rights, e.owner, e.group, rights);
}

bool Access::seesMatch(const Table& t, const Entry& e, const std::vector<Attr>& attrs) const {
  if (attrs.empty() || grants(t, NIS_READ_ACC) || grants(e, NIS_READ_ACC)) return true;
  for (const Attr& a : attrs) {
    const long col = columnIndex(t, a.name);
    if (col < 0 || !grantsColumn(t, e, static_cast<size_t>(col), NIS_READ_ACC)) return false;
  }
  return true;
}

bool Access::memberOf(std::string_view group, int depth) const {
  if (principal_ == kNobody || depth > kMaxGroupDepth || labelOf(group).empty()) return false;
  // The group "admin.d." is the object "admin.groups_dir.d.".
  const std::string object =
      std::string(labelOf(group)) + ".groups_dir." + std::string(parentOf(group));
  const Group* g = ns_.findGroup(object);
  if (!g) return false;
  // An exclusion wins over any membership.
  for (const std::string& m : g->members) {
    if (m.size() > 1 && m[0] == '-' && matches(std::string_view(m).substr(1), depth)) return false;
  }
  for (const std::string& m : g->members) {
    if (!m.empty() && m[0] != '-' && matches(m, depth)) return true;
  }
  return false;
}

// One member: a principal, "*.domain." for every principal of a domain, or
// "@group" for the members of another group.
bool Access::matches(std::string_view member, int depth) const {
  if (member.empty()) return false;
  if (member[0] == '@') return memberOf(member.substr(1), depth + 1);
  if (member.size() > 1 && member[0] == '*' && member[1] == '.') {
    return sameName(parentOf(principal_), member.substr(2));
  }
  return sameName(member, principal_);
}

}  // namespace nisplusd
