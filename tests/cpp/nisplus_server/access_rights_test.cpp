// Who a caller is and what an access word grants them, on namespaces read
// from seed text, without a server.
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
  EXPECT_TRUE(
      loadSeed("directory d.test. owner=\"root.d.test.\" access=0x010f0f01\n"
               "directory groups_dir.d.test.\n" +
                   text,
               ns, error))
      << error;
  return ns;
}

TEST(AccessRights, EachCallerGetsItsCategoriesOfTheWord) {
  const Namespace ns = seeded("group staff.groups_dir.d.test. \"ada.d.test.\"\n");
  struct Case {
    int level;
    const char* principal;
    uint32_t access;
    uint32_t rights;
    bool granted;
  } cases[] = {
      // nobody's bits are everyone's; world's need a principal.
      {1, "nobody", 0x01000000, 1, true},
      {1, "nobody", 0x000f0f0f, 1, false},
      {1, "eve.d.test.", 0x00000001, 1, true},
      {1, "eve.d.test.", 0x01000000, 1, true},
      // The owner (compared without case) and the group's members.
      {1, "OWNER.d.test.", 0x00020000, 2, true},
      {1, "eve.d.test.", 0x00020000, 2, false},
      {1, "ada.d.test.", 0x00000400, 4, true},
      {1, "eve.d.test.", 0x00000400, 4, false},
      // Every bit asked for must be granted, from any mix of categories.
      {1, "ada.d.test.", 0x00000801, 9, true},
      {1, "ada.d.test.", 0x00000800, 9, false},
      {1, "owner.d.test.", 0x08010000, 9, true},
      // Level 0 grants everything, level 2 only what the word gives.
      {0, "nobody", 0, 15, true},
      {2, "nobody", 0x0f000000, 15, true},
      {2, "nobody", 0x00ffffff, 1, false},
  };
  for (const Case& c : cases) {
    const Access who(ns, c.level, c.principal);
    EXPECT_EQ(who.grants(c.access, "owner.d.test.", "staff.d.test.", c.rights), c.granted)
        << c.level << " " << c.principal << " " << std::hex << c.access << " " << c.rights;
  }
}

TEST(AccessRights, GroupMembersExclusionsAndNesting) {
  const Namespace ns = seeded(
      "group admin.groups_dir.d.test. \"root.d.test.\" \"@ops.d.test.\" \"-bad.d.test.\"\n"
      "group ops.groups_dir.d.test. \"grace.d.test.\" \"bad.d.test.\" \"@loop.d.test.\"\n"
      "group loop.groups_dir.d.test. \"@ops.d.test.\"\n"
      "group all.groups_dir.d.test. \"*.d.test.\" \"-@ops.d.test.\" \"-eve.d.test.\"\n"
      "group far.groups_dir.d.test. \"*.other.test.d.test.\"\n");
  struct Case {
    const char* principal;
    const char* group;
    bool member;
  } cases[] = {
      {"root.d.test.", "admin.d.test.", true},
      {"ROOT.D.TEST.", "admin.d.test.", true},
      {"grace.d.test.", "admin.d.test.", true},  // through @ops
      {"bad.d.test.", "ops.d.test.", true},
      {"bad.d.test.", "admin.d.test.", false},  // excluded there
      {"eve.d.test.", "admin.d.test.", false},
      {"eve.d.test.", "loop.d.test.", false},  // a cycle ends as no member
      {"grace.d.test.", "loop.d.test.", true},
      {"ada.d.test.", "all.d.test.", true},  // the whole domain
      {"eve.d.test.", "all.d.test.", false},
      {"grace.d.test.", "all.d.test.", false},    // excluded as a group
      {"ada.sub.d.test.", "all.d.test.", false},  // not of that domain
      {"ada.other.test.d.test.", "far.d.test.", true},
      {"nobody", "all.d.test.", false},
      {"ada.d.test.", "nosuch.d.test.", false},
      {"ada.d.test.", "", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Access(ns, 1, c.principal).memberOf(c.group), c.member)
        << c.principal << " in " << c.group;
  }
}

TEST(AccessRights, SysCallersMapThroughLocalCredentials) {
  const std::string cred =
      "directory org_dir.d.test.\n"
      "table cred.org_dir.d.test. type=\"cred_tbl\"\n"
      "column cname flags=0x18\ncolumn auth_type flags=0x8\ncolumn auth_name flags=0x8\n"
      "column public_data\ncolumn private_data\n"
      "entry cred.org_dir.d.test. \"ada.d.test.\\0\" \"DES\\0\" \"1001\\0\" \"k\\0\" \"\\0\"\n"
      "entry cred.org_dir.d.test. \"ada.d.test.\\0\" \"LOCAL\\0\" \"1001\\0\" \"101\\0\" \"\\0\"\n"
      "entry cred.org_dir.d.test. \"unix.1002@d.test\\0\" \"DES\\0\" \"1002\\0\" \"k\\0\" "
      "\"\\0\"\n";
  const Namespace ns = seeded(cred);
  EXPECT_EQ(sysPrincipal(ns, 0, "server"), "server.d.test.");
  EXPECT_EQ(sysPrincipal(ns, 0, "server.example.com"), "server.d.test.");
  EXPECT_EQ(sysPrincipal(ns, 0, ""), "nobody");
  EXPECT_EQ(sysPrincipal(ns, 1001, "server"), "ada.d.test.");
  EXPECT_EQ(sysPrincipal(ns, 1002, "server"), "nobody");  // a DES credential only
  EXPECT_EQ(sysPrincipal(ns, 65534, "server"), "nobody");
  EXPECT_EQ(sysPrincipal(seeded(""), 1001, "server"), "nobody");  // no cred table
}

TEST(AccessRights, ColumnsByTheEntrysOwnerAndSearchesByWhatIsReadable) {
  Namespace ns = seeded(
      "table t.d.test. type=\"t\" owner=\"root.d.test.\" access=0x000f0000\n"
      "column name flags=0x8 rights=0x01000000\n"
      "column secret flags=0x8 rights=0x00030000\n"
      "entry t.d.test. owner=\"ada.d.test.\" access=0 \"ada\\0\" \"s\\0\"\n"
      "entry t.d.test. owner=\"bob.d.test.\" access=0 \"bob\\0\" \"t\\0\"\n"
      "entry t.d.test. owner=\"bob.d.test.\" access=0x00000001 \"carl\\0\" \"u\\0\"\n");
  const Table& t = *ns.findTable("t.d.test.");
  const Entry& ada = t.entries[0];
  const Entry& bob = t.entries[1];
  const Entry& carl = t.entries[2];
  const Access asAda(ns, 1, "ada.d.test.");
  EXPECT_TRUE(asAda.grantsColumn(t, ada, 1, 3));
  EXPECT_FALSE(asAda.grantsColumn(t, bob, 1, 1));
  EXPECT_TRUE(asAda.grantsColumn(t, bob, 0, 1));
  EXPECT_FALSE(asAda.grantsColumn(t, ada, 2, 1));  // past the last column
  EXPECT_TRUE(asAda.seesMatch(t, ada, {Attr{"secret", "s"}}));
  EXPECT_FALSE(asAda.seesMatch(t, bob, {Attr{"Secret", "t"}}));
  EXPECT_TRUE(asAda.seesMatch(t, bob, {Attr{"name", "bob"}}));
  // World may read carl's entry as a whole, so any search may match it.
  EXPECT_TRUE(Access(ns, 1, "eve.d.test.").seesMatch(t, carl, {Attr{"secret", "u"}}));
  EXPECT_FALSE(Access(ns, 1, "nobody").seesMatch(t, carl, {Attr{"secret", "u"}}));
  EXPECT_TRUE(Access(ns, 0, "nobody").seesMatch(t, bob, {Attr{"secret", "t"}}));
}

TEST(AccessRights, GroupObjectsLoadDumpAndTakeTheirNames) {
  Namespace ns = seeded(
      "group g.groups_dir.d.test. access=0x3 flags=0x1 \"ada.d.test.\" \"-@x.d.test.\" "
      "\"*.d.test.\"\n");
  std::string out;
  ASSERT_TRUE(dumpNamespace(ns, "G.groups_dir.d.test.", out));
  EXPECT_EQ(out,
            "group g.groups_dir.d.test. owner=\"root.d.test.\" group=\"\" access=0x00000003 "
            "ttl=0 flags=0x1 \"ada.d.test.\" \"-@x.d.test.\" \"*.d.test.\"\n");
  Namespace again("d.test.");
  std::string error;
  ASSERT_TRUE(loadSeed("directory groups_dir.d.test.\n" + out, again, error)) << error;
  ASSERT_NE(again.findGroup("g.groups_dir.d.test."), nullptr);
  EXPECT_EQ(again.findGroup("g.groups_dir.d.test.")->members.size(), 3u);
  EXPECT_FALSE(loadSeed("table g.groups_dir.d.test.\n", ns, error));
  EXPECT_EQ(error, "line 1: a group has that name");
  EXPECT_FALSE(loadSeed("group h.groups_dir.d.test. null\n", ns, error));
  EXPECT_EQ(error, "line 1: members must be names");
  Table t;
  t.name = "g.groups_dir.d.test.";
  EXPECT_EQ(ns.addTable(t), 14);
  EXPECT_EQ(ns.removeObject("groups_dir.d.test."), 37);  // a group is still there
  EXPECT_EQ(ns.removeObject("g.groups_dir.d.test."), 0);
  EXPECT_EQ(ns.removeObject("groups_dir.d.test."), 0);
}

}  // namespace
}  // namespace nisplusd
