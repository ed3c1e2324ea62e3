// The seed/dump text format, its quoting, the namespace rules and the
// request checks on their own, without a server.
#include "seed_format.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "namespace.h"
#include "protocol_helpers.h"
#include "quoting.h"
#include "request_check.h"

namespace nisplusd {
namespace {

Namespace fresh() {
  Namespace ns("d.test.");
  Directory& root = ns.dirs().front();
  root.owner = "o.";
  root.group = "g.";
  root.access = 0x0f;
  root.ttl = 60;
  return ns;
}

std::string loadError(Namespace& ns, const std::string& text) {
  std::string error;
  EXPECT_FALSE(loadSeed(text, ns, error)) << text;
  return error;
}

std::string dumpOf(const Namespace& ns, const std::string& name = "") {
  std::string out;
  EXPECT_TRUE(dumpNamespace(ns, name, out)) << name;
  return out;
}

TEST(Quoting, BytesNamesAndNumbers) {
  EXPECT_EQ(quote(std::string("a\0b", 3)), "\"a\\0b\"");
  EXPECT_EQ(quote("\\\"\n\t\r"), "\"\\\\\\\"\\n\\t\\r\"");
  EXPECT_EQ(quote("\x01\x7f\xff"), "\"\\x01\\x7f\\xff\"");
  EXPECT_EQ(quote("é€😀"), "\"é€😀\"");                       // valid UTF-8 stays readable
  EXPECT_EQ(quote("\xc3"), "\"\\xc3\"");                    // a cut sequence does not
  EXPECT_EQ(quote("\xed\xa0\x80"), "\"\\xed\\xa0\\x80\"");  // nor a surrogate
  EXPECT_EQ(quote("\xc0\xaf"), "\"\\xc0\\xaf\"");           // nor an overlong form
  EXPECT_EQ(nameToken("hosts.org_dir.d.test."), "hosts.org_dir.d.test.");
  EXPECT_EQ(nameToken("a b."), "\"a b.\"");
  EXPECT_EQ(nameToken("k=v."), "\"k=v.\"");
  EXPECT_EQ(nameToken("null"), "\"null\"");
  EXPECT_EQ(nameToken(""), "\"\"");
  EXPECT_EQ(hexNumber(0), "0x0");
  EXPECT_EQ(hexNumber(0xffffffffu), "0xffffffff");
  EXPECT_EQ(hexNumber(0xf01, 8), "0x00000f01");
  EXPECT_EQ(hexNumber(0x23456789, 4), "0x23456789");
}

TEST(SeedFormat, DefaultsComeFromTheDirectoryAndTheTable) {
  Namespace ns = fresh();
  std::string error;
  ASSERT_TRUE(
      loadSeed("directory sub.d.test. access=0x3\n"
               "table t.sub.d.test. type=\"tt\"\n"
               "column a flags=0x8\n"
               "column b\n"
               "entry t.sub.d.test. \"x\\0\" null/0x2\n",
               ns, error))
      << error;
  EXPECT_EQ(dumpOf(ns),
            "directory d.test. owner=\"o.\" group=\"g.\" access=0x0000000f ttl=60\n"
            "directory sub.d.test. owner=\"o.\" group=\"g.\" access=0x00000003 ttl=60\n"
            "table t.sub.d.test. type=\"tt\" sep=0x20 owner=\"o.\" group=\"g.\" access=0x00000003"
            " ttl=60 path=\"\" maxcol=2\n"
            "column a flags=0x8 rights=0x00000000\n"
            "column b flags=0x0 rights=0x00000000\n"
            "entry t.sub.d.test. type=\"tt\" owner=\"o.\" group=\"g.\" access=0x00000003 ttl=60"
            " \"x\\0\" \"\"/0x2\n");
  // A dump loads back to itself.
  Namespace again = fresh();
  ASSERT_TRUE(loadSeed(dumpOf(ns), again, error)) << error;
  EXPECT_EQ(dumpOf(again), dumpOf(ns));
  EXPECT_EQ(dumpOf(ns, "T.SUB.d.test."), dumpOf(again, "t.sub.d.test."));
}

TEST(SeedFormat, MergingReplacesTablesAndKeepsTheRest) {
  Namespace ns = fresh();
  std::string error;
  ASSERT_TRUE(
      loadSeed("table t.d.test. type=\"a\"\ncolumn k flags=0x8\nentry t.d.test. \"1\"\n"
               "table u.d.test. type=\"u\"\ncolumn k\nentry u.d.test. \"u\"\n",
               ns, error));
  ASSERT_TRUE(
      loadSeed("table t.d.test. type=\"b\" maxcol=7\ncolumn k\ncolumn v\n"
               "directory d.test. owner=\"new.\"\n",
               ns, error))
      << error;
  const Table* t = ns.findTable("t.d.test.");
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(t->type, "b");
  EXPECT_EQ(t->maxcol, 7);
  EXPECT_EQ(t->columns.size(), 2u);
  EXPECT_TRUE(t->entries.empty());  // replaced with its entries
  EXPECT_EQ(ns.findTable("u.d.test.")->entries.size(), 1u);
  EXPECT_EQ(ns.dirs().front().owner, "new.");
  EXPECT_EQ(ns.dirs().front().group, "g.");  // attributes not named stay
}

TEST(SeedFormat, ErrorsNameTheLineAndChangeNothing) {
  Namespace ns = fresh();
  const std::string before = dumpOf(ns);
  struct Case {
    const char* text;
    const char* error;
  } cases[] = {
      {"table t.d.test.\nentry t.d.test. \"a\\q\"\n", "line 2: bad escape \\q"},
      {"table t.d.test.\nentry t.d.test. \"a\\x4\"\n", "line 2: bad \\x escape"},
      {"table t.d.test.\nentry t.d.test. \"open\n", "line 2: unterminated string"},
      {"table t.d.test.\nentry t.d.test. bare\n", "line 2: values must be quoted strings or null"},
      {"table t.d.test.\nentry t.d.test. \"v\" owner=\"x\"\n", "line 2: attribute after values"},
      {"table t.d.test.\nentry t.d.test. \"v\"/0xzz\n", "line 2: bad value flags"},
      {"table t.d.test. colour=\"red\"\n", "line 1: unknown attribute colour"},
      {"table t.d.test. sep=0x100\n", "line 1: sep must be one byte"},
      {"table t.d.test. access=\"1\"\n", "line 1: bad number for access"},
      {"column c\n", "line 1: column outside a table"},
      {"# comment\n\nentry nosuch.d.test. \"v\"\n", "line 3: no table nosuch.d.test."},
      {"table t.nodir.d.test.\n", "line 1: directory of t.nodir.d.test. is not served"},
      {"directory a.b.d.test.\n", "line 1: parent directory of a.b.d.test. is not served"},
      {"table d.test.\n", "line 1: a directory has that name"},
      {"frobnicate x\n", "line 1: unknown line kind frobnicate"},
      {"table\n", "line 1: missing name"},
      {"table t.d.test.\ncolumn c\ndirectory t.d.test.\n", "line 3: a table has that name"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(loadError(ns, c.text), c.error) << c.text;
    EXPECT_EQ(dumpOf(ns), before) << c.text;
  }
  std::string out;
  EXPECT_FALSE(dumpNamespace(ns, "nosuch.d.test.", out));
}

TEST(SeedFormat, CommentsAndBlanksAreIgnoredOutsideStrings) {
  Namespace ns = fresh();
  std::string error;
  ASSERT_TRUE(
      loadSeed("  # leading comment\n\ttable t.d.test. type=\"a # b\"  # trailing\r\n"
               "column k flags=8 # decimal works too\n"
               "entry t.d.test. \"#not a comment\\0\"\n",
               ns, error))
      << error;
  const Table* t = ns.findTable("t.d.test.");
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(t->type, "a # b");
  EXPECT_EQ(t->columns.at(0).flags, 8u);
  EXPECT_EQ(t->entries.at(0).values.at(0).bytes, std::string("#not a comment\0", 15));
}

TEST(NamespaceRules, SearchMatchesWithOrWithoutTheTrailingNul) {
  EXPECT_TRUE(valuesMatch(std::string("a\0", 2), "a", false));
  EXPECT_TRUE(valuesMatch("a", std::string("a\0", 2), false));
  EXPECT_FALSE(valuesMatch(std::string("a\0\0", 3), "a", false));
  EXPECT_FALSE(valuesMatch("A", "a", false));
  EXPECT_TRUE(valuesMatch("A", std::string("a\0", 2), true));
  EXPECT_FALSE(valuesMatch("\xc3\x89", "\xc3\xa9", true));  // only ASCII folds
  EXPECT_TRUE(valuesMatch("", std::string(1, '\0'), false));
  EXPECT_TRUE(isWithin("t.sub.d.test.", "d.test."));
  EXPECT_TRUE(isWithin("D.TEST.", "d.test."));
  EXPECT_FALSE(isWithin("xd.test.", "d.test."));
  EXPECT_EQ(parentOf("t.sub.d.test."), "sub.d.test.");
  EXPECT_EQ(parentOf("nodot"), "");
  EXPECT_EQ(labelOf("t.sub.d.test."), "t");
}

TEST(NamespaceRules, EntryUpdates) {
  Namespace ns = fresh();
  std::string error;
  ASSERT_TRUE(
      loadSeed("table t.d.test. type=\"tt\"\ncolumn k flags=0x18\ncolumn v\n"
               "table n.d.test. type=\"nn\"\ncolumn a\ncolumn b\n",
               ns, error));
  auto entry = [](const char* type, std::string k, std::string v) {
    Entry e;
    e.type = type;
    e.values = {Value{std::move(k), 0}, Value{std::move(v), 0}};
    return e;
  };
  EXPECT_EQ(ns.addEntry("t.d.test.", entry("tt", "Key", "1"), false, nullptr), 0);
  EXPECT_EQ(ns.addEntry("t.d.test.", entry("tt", "KEY", "2"), false, nullptr), 14);
  const Entry* stored = nullptr;
  EXPECT_EQ(ns.addEntry("t.d.test.", entry("tt", "key", "3"), true, &stored), 0);  // overwrite
  ASSERT_NE(stored, nullptr);
  EXPECT_EQ(stored->values[1].bytes, "3");
  EXPECT_EQ(ns.findTable("t.d.test.")->entries.size(), 1u);
  EXPECT_EQ(ns.addEntry("t.d.test.", entry("other", "z", "1"), false, nullptr), 24);
  EXPECT_EQ(ns.addEntry("nosuch.d.test.", entry("tt", "z", "1"), false, nullptr), 23);
  EXPECT_EQ(ns.addEntry("d.test.", entry("tt", "z", "1"), false, nullptr), 16);

  // Without searchable columns, every column identifies an entry.
  EXPECT_EQ(ns.addEntry("n.d.test.", entry("nn", "a", "b"), false, nullptr), 0);
  EXPECT_EQ(ns.addEntry("n.d.test.", entry("nn", "a", "c"), false, nullptr), 0);
  EXPECT_EQ(ns.addEntry("n.d.test.", entry("nn", "a", "b"), false, nullptr), 14);

  // EN_MODIFIED is a request marker: never stored.
  Entry flagged = entry("tt", "f", "v");
  flagged.values[1].flags = 8 | 1;
  ASSERT_EQ(ns.addEntry("t.d.test.", flagged, false, &stored), 0);
  EXPECT_EQ(stored->values[1].flags, 1u);

  // A modify that would collide with another entry is refused.
  Entry change = entry("tt", "f", "");
  change.values[0].flags = 8;
  EXPECT_EQ(ns.modifyEntry("t.d.test.", {Attr{"k", "key"}}, change, nullptr), 14);
  EXPECT_EQ(ns.modifyEntry("t.d.test.", {Attr{"v", "x"}}, change, nullptr), 30);
  EXPECT_EQ(ns.modifyEntry("t.d.test.", {Attr{"zz", "x"}}, change, nullptr), 29);
  size_t removed = 0;
  EXPECT_EQ(ns.removeEntries("t.d.test.", {}, false, &removed), 21);
  EXPECT_EQ(ns.removeEntries("t.d.test.", {}, true, &removed), 0);
  EXPECT_EQ(removed, 2u);
}

TEST(NamespaceRules, ObjectsAddAndRemove) {
  Namespace ns = fresh();
  Table t;
  t.name = "t.d.test.";
  EXPECT_EQ(ns.addTable(t), 0);
  EXPECT_EQ(ns.addTable(t), 14);
  Table deep;
  deep.name = "t.x.d.test.";
  EXPECT_EQ(ns.addTable(deep), 20);
  Directory d;
  d.name = "sub.d.test.";
  EXPECT_EQ(ns.addDirectory(d), 0);
  Table inSub;
  inSub.name = "t.sub.d.test.";
  EXPECT_EQ(ns.addTable(inSub), 0);
  EXPECT_EQ(ns.removeObject("sub.d.test."), 37);
  EXPECT_EQ(ns.removeObject("t.sub.d.test."), 0);
  EXPECT_EQ(ns.removeObject("sub.d.test."), 0);
  EXPECT_EQ(ns.removeObject("d.test."), 10);  // the root stays
  EXPECT_EQ(ns.removeObject("gone.d.test."), 2);
  EXPECT_EQ(ns.removeObject("gone.nodir.d.test."), 20);
}

}  // namespace
}  // namespace nisplusd

namespace nisplusd {
namespace {

void setWord(std::string& s, size_t at, uint32_t v) {
  v = htonl(v);
  std::memcpy(&s[at], &v, 4);
}

TEST(RequestCheck, CountsMustFitTheBytesThatAreLeft) {
  const std::string entry = encodedEntryAdd("small.org_dir.d.test.");
  const std::string table = encodedTableAdd("t.org_dir.d.test.");
  EXPECT_TRUE(plausibleIndexedRequest(entry));
  EXPECT_TRUE(plausibleNameRequest(table));
  // Each truncation is caught before any decoding.
  for (size_t cut = 0; cut < entry.size(); cut += 4) {
    EXPECT_FALSE(plausibleIndexedRequest(entry.substr(0, cut))) << cut;
  }
  for (size_t cut = 0; cut < table.size(); cut += 4) {
    EXPECT_FALSE(plausibleNameRequest(table.substr(0, cut))) << cut;
  }
  // The name's length, then the search-attribute count, made huge.
  std::string longName = entry;
  setWord(longName, 0, 0x7fffffff);
  EXPECT_FALSE(plausibleIndexedRequest(longName));
  std::string manyAttrs = entry;
  const size_t nameWords = 1 + (std::string("small.org_dir.d.test.").size() + 3) / 4;
  setWord(manyAttrs, nameWords * 4, 0x10000000);
  EXPECT_FALSE(plausibleIndexedRequest(manyAttrs));
  setWord(manyAttrs, nameWords * 4, 1);
  EXPECT_TRUE(plausibleIndexedRequest(manyAttrs));
  EXPECT_TRUE(plausibleFindDirectory(std::string("\0\0\0\1a\0\0\0\0\0\0\0", 12)));
  EXPECT_FALSE(plausibleFindDirectory(std::string("\0\0\0\5a\0\0\0", 8)));
}

}  // namespace
}  // namespace nisplusd
