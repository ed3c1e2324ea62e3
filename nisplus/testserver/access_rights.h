// Who a caller is, and what NIS+ access rights grant them. An access word
// holds four groups of the bits read, modify, create and destroy: nobody in
// bits 24-31, owner in 16-23, group in 8-15, world in 0-7. Every caller
// gets nobody's rights; a caller with a principal also gets world's, the
// owner's when it owns the object and the group's when it belongs to the
// object's group.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "namespace.h"

namespace nisplusd {

// The principal of a caller the server cannot name.
inline constexpr std::string_view kNobody = "nobody";

// Security levels, as the system server takes them with -S: 0 grants
// everything, 1 believes AUTH_SYS and AUTH_DES, 2 believes only AUTH_DES.
inline constexpr int kMaxLevel = 2;

// The principal of an AUTH_SYS caller: uid 0 is the host, named by the
// first label of the caller's machine name in the root directory's domain;
// any other uid is the cname of its LOCAL credential in cred.org_dir of the
// root directory; anyone else is nobody.
std::string sysPrincipal(const Namespace& ns, uint32_t uid, std::string_view machine);

// The principal of a DES netname (unix.HOST@DOMAIN or unix.UID@DOMAIN):
// the cname of its DES credential in cred.org_dir.DOMAIN., or nobody.
std::string desPrincipal(const Namespace& ns, std::string_view netname);
// The public key of a DES netname from that credential's public_data (48
// hex digits; anything after a ':' dropped), or "".
std::string desPublicKey(const Namespace& ns, std::string_view netname);

// What one caller may do in one namespace at one security level.
class Access {
 public:
  Access(const Namespace& ns, int level, std::string principal);

  const std::string& principal() const { return principal_; }

  // Whether an object with this owner, group and access word grants all
  // the bits of `rights` to this caller.
  bool grants(uint32_t access, std::string_view owner, std::string_view group,
              uint32_t rights) const;
  bool grants(const Directory& d, uint32_t rights) const {
    return grants(d.access, d.owner, d.group, rights);
  }
  bool grants(const Table& t, uint32_t rights) const {
    return grants(t.access, t.owner, t.group, rights);
  }
  bool grants(const Entry& e, uint32_t rights) const {
    return grants(e.access, e.owner, e.group, rights);
  }

  // Whether the caller has `rights` on column `col` of entry e of table t,
  // by the column's rights and the entry's owner and group.
  bool grantsColumn(const Table& t, const Entry& e, size_t col, uint32_t rights) const;
  // Whether a search on these columns may match entry e for this caller:
  // it reads the table, the entry, or every column searched. Otherwise a
  // search would tell values the caller cannot read.
  bool seesMatch(const Table& t, const Entry& e, const std::vector<Attr>& attrs) const;

  // Whether the caller belongs to the NIS+ group of that name.
  bool memberOf(std::string_view group) const { return memberOf(group, 0); }

 private:
  bool memberOf(std::string_view group, int depth) const;
  bool matches(std::string_view member, int depth) const;

  const Namespace& ns_;
  int level_;
  std::string principal_;
};

}  // namespace nisplusd
