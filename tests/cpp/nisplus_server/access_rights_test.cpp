// NIS+ group membership and the uid-to-principal map, on namespaces read
// from seed text, without a server. (What the rights grant is tested end to
// end, through the bridge, in CallerRightsTest.)
#include "access_rights.h"

#include <gtest/gtest.h>

#include <string>

#include "namespace.h"
#include "seed_format.h"

namespace nisplusd {
namespace {

Namespace seeded(const std::string& text) {
  Namespace ns("d.test.");
  std::string error;
  EXPECT_TRUE(loadSeed("directory d.test.\ndirectory groups_dir.d.test.\n" + text, ns, error))
      << error;
  return ns;
}

TEST(AccessRights, GroupMembersExclusionsAndNesting) {
  const Namespace ns = seeded(
      "group admin.groups_dir.d.test. \"root.d.test.\" \"@ops.d.test.\" \"-bad.d.test.\"\n"
      "group ops.groups_dir.d.test. \"grace.d.test.\" \"bad.d.test.\" \"@loop.d.test.\"\n"
      "group loop.groups_dir.d.test. \"@ops.d.test.\"\n"
      "group all.groups_dir.d.test. \"*.d.test.\" \"-@ops.d.test.\" \"-eve.d.test.\"\n");
  struct Case {
    const char* principal;
    const char* group;
    bool member;
  } cases[] = {
      {"ROOT.D.TEST.", "admin.d.test.", true},   // names compare without case
      {"grace.d.test.", "admin.d.test.", true},  // through @ops
      {"bad.d.test.", "ops.d.test.", true},
      {"bad.d.test.", "admin.d.test.", false},    // excluded there
      {"grace.d.test.", "loop.d.test.", true},    // a cycle that still finds grace
      {"eve.d.test.", "loop.d.test.", false},     // and one that ends
      {"ada.d.test.", "all.d.test.", true},       // the whole domain
      {"eve.d.test.", "all.d.test.", false},      // but eve
      {"grace.d.test.", "all.d.test.", false},    // and the members of ops
      {"ada.sub.d.test.", "all.d.test.", false},  // not of that domain
      {"nobody", "all.d.test.", false},
      {"ada.d.test.", "nosuch.d.test.", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Access(ns, 1, c.principal).memberOf(c.group), c.member)
        << c.principal << " in " << c.group;
  }
  // A group's rights come with membership; level 0 grants without it.
  EXPECT_TRUE(Access(ns, 1, "grace.d.test.").grants(0x0400, "x.", "admin.d.test.", 4));
  EXPECT_FALSE(Access(ns, 1, "bad.d.test.").grants(0x0400, "x.", "admin.d.test.", 4));
  EXPECT_TRUE(Access(ns, 0, "nobody").grants(0, "x.", "admin.d.test.", 15));
}

TEST(AccessRights, SysCallersMapThroughLocalCredentials) {
  const Namespace ns = seeded(
      "directory org_dir.d.test.\n"
      "table cred.org_dir.d.test. type=\"cred_tbl\"\n"
      "column cname flags=0x18\ncolumn auth_type flags=0x8\ncolumn auth_name flags=0x8\n"
      "column public_data\ncolumn private_data\n"
      "entry cred.org_dir.d.test. \"ada.d.test.\\0\" \"DES\\0\" \"1001\\0\" \"k\\0\" \"\\0\"\n"
      "entry cred.org_dir.d.test. \"ada.d.test.\\0\" \"LOCAL\\0\" \"1001\\0\" \"101\\0\" \"\\0\"\n"
      "entry cred.org_dir.d.test. \"unix.1002@d.test\\0\" \"DES\\0\" \"1002\\0\" \"k\\0\" "
      "\"\\0\"\n");
  EXPECT_EQ(sysPrincipal(ns, 0, "server.example.com"), "server.d.test.");
  EXPECT_EQ(sysPrincipal(ns, 0, ""), "nobody");
  EXPECT_EQ(sysPrincipal(ns, 1001, "server"), "ada.d.test.");
  EXPECT_EQ(sysPrincipal(ns, 1002, "server"), "nobody");          // a DES credential only
  EXPECT_EQ(sysPrincipal(seeded(""), 1001, "server"), "nobody");  // no cred table
}

TEST(AccessRights, GroupObjectsLoadDumpAndHoldTheirDirectory) {
  Namespace ns = seeded("group g.groups_dir.d.test. flags=0x1 \"ada.d.test.\" \"-@x.d.test.\"\n");
  std::string out;
  ASSERT_TRUE(dumpNamespace(ns, "G.groups_dir.d.test.", out));
  EXPECT_EQ(out,
            "group g.groups_dir.d.test. owner=\"\" group=\"\" access=0x00000000 ttl=0 flags=0x1 "
            "\"ada.d.test.\" \"-@x.d.test.\"\n");
  std::string error;
  EXPECT_FALSE(loadSeed("table g.groups_dir.d.test.\n", ns, error));
  EXPECT_EQ(ns.removeObject("groups_dir.d.test."), 37);  // NIS_NOTEMPTY
  EXPECT_EQ(ns.removeObject("g.groups_dir.d.test."), 0);
}

}  // namespace
}  // namespace nisplusd
