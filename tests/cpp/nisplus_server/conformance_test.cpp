// nisplusd against an independent client: Debian's libnsl NIS+ calls, run
// inside the sandbox where nisplusd serves tests/nisplus/seed.nis. The
// server's own view is read back through nisplusctl (dump, log).
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <rpc/pmap_clnt.h>
#include <rpc/rpc.h>
// After rpc.h, which it needs.
#include <rpc/key_prot.h>
#include <rpcsvc/nis.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "protocol_helpers.h"
#include "secure_rpc.h"

namespace {

const std::string kRoot = "sandbox.test.";
const std::string kOrg = "org_dir.sandbox.test.";
const std::string kSmall = "small.org_dir.sandbox.test.";
const std::string kHosts = "hosts.org_dir.sandbox.test.";
const std::string kMixed = "mixed.org_dir.sandbox.test.";

struct CtlRun {
  int status;
  std::string out;
};

std::string shellQuote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

CtlRun ctlRun(const std::vector<std::string>& args) {
  std::string cmd = NISPLUSCTL;
  for (const std::string& a : args) cmd += " " + shellQuote(a);
  cmd += " 2>&1";
  FILE* p = popen(cmd.c_str(), "r");
  std::string out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  int st = pclose(p);
  return CtlRun{WIFEXITED(st) ? WEXITSTATUS(st) : -1, out};
}

std::string ctl(const std::vector<std::string>& args) {
  CtlRun r = ctlRun(args);
  EXPECT_EQ(r.status, 0) << "nisplusctl failed: " << r.out;
  return r.out;
}

CtlRun loadRun(const std::string& seed) {
  char path[] = "/tmp/conformance-seed-XXXXXX";
  int fd = mkstemp(path);
  EXPECT_GE(fd, 0);
  EXPECT_EQ(write(fd, seed.data(), seed.size()), static_cast<ssize_t>(seed.size()));
  close(fd);
  CtlRun r = ctlRun({"load", path});
  unlink(path);
  return r;
}

void load(const std::string& seed) {
  CtlRun r = loadRun(seed);
  ASSERT_EQ(r.status, 0) << r.out;
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  size_t start = 0;
  while (start < text.size()) {
    size_t nl = text.find('\n', start);
    if (nl == std::string::npos) nl = text.size();
    out.push_back(text.substr(start, nl - start));
    start = nl + 1;
  }
  return out;
}

// The `entry` lines of a table's dump.
std::vector<std::string> entryLines(const std::string& table) {
  std::vector<std::string> out;
  for (const std::string& l : lines(ctl({"dump", table}))) {
    if (l.rfind("entry ", 0) == 0) out.push_back(l);
  }
  return out;
}

struct ResultDeleter {
  void operator()(nis_result* r) const { nis_freeresult(r); }
};
using Result = std::unique_ptr<nis_result, ResultDeleter>;

Result lookup(const std::string& name) { return Result(nis_lookup(name.c_str(), 0)); }
Result list(const std::string& name, unsigned flags = 0) {
  return Result(nis_list(name.c_str(), flags, nullptr, nullptr));
}

std::string value(const nis_object& o, unsigned col) {
  const entry_col& c = o.EN_data.en_cols.en_cols_val[col];
  return c.ec_value.ec_value_val ? std::string(c.ec_value.ec_value_val, c.ec_value.ec_value_len)
                                 : std::string();
}

// An entry object the way a client builds one: values as given (exact
// bytes), flags per column.
struct EntryBuilder {
  std::string type;
  std::vector<std::string> values;
  std::vector<u_int> flags;
  std::vector<entry_col> cols;
  nis_object obj{};

  nis_object* build() {
    cols.assign(values.size(), entry_col{});
    for (size_t i = 0; i < values.size(); ++i) {
      cols[i].ec_flags = i < flags.size() ? flags[i] : 0;
      cols[i].ec_value.ec_value_len = static_cast<u_int>(values[i].size());
      cols[i].ec_value.ec_value_val = values[i].empty() ? nullptr : values[i].data();
    }
    obj = nis_object{};
    obj.zo_data.zo_type = NIS_ENTRY_OBJ;
    obj.EN_data.en_type = type.data();
    obj.EN_data.en_cols.en_cols_len = static_cast<u_int>(cols.size());
    obj.EN_data.en_cols.en_cols_val = cols.data();
    return &obj;
  }
};

std::string withNul(const char* s) { return std::string(s, strlen(s) + 1); }

class Conformance : public ::testing::Test {
 protected:
  void SetUp() override {
    ctl({"reset"});
    ctl({"log", "clear"});
  }
};

// ---- lookups ----

TEST_F(Conformance, LookupReturnsDirectoryAndTableObjects) {
  Result d = lookup(kRoot);
  ASSERT_EQ(d->status, NIS_SUCCESS) << nis_sperrno(d->status);
  ASSERT_EQ(d->objects.objects_len, 1u);
  const nis_object& dir = d->objects.objects_val[0];
  EXPECT_EQ(dir.zo_data.zo_type, NIS_DIRECTORY_OBJ);
  EXPECT_STREQ(dir.DI_data.do_name, kRoot.c_str());
  EXPECT_STREQ(dir.zo_owner, "server.sandbox.test.");
  EXPECT_STREQ(dir.zo_group, "admin.sandbox.test.");
  EXPECT_EQ(dir.zo_access, 0x010f0f01u);

  Result t = lookup(kHosts);
  ASSERT_EQ(t->status, NIS_SUCCESS) << nis_sperrno(t->status);
  ASSERT_EQ(t->objects.objects_len, 1u);
  const nis_object& tab = t->objects.objects_val[0];
  EXPECT_EQ(tab.zo_data.zo_type, NIS_TABLE_OBJ);
  EXPECT_STREQ(tab.zo_name, "hosts");
  EXPECT_STREQ(tab.zo_domain, kOrg.c_str());
  EXPECT_STREQ(tab.TA_data.ta_type, "hosts_tbl");
  EXPECT_EQ(tab.TA_data.ta_sep, ' ');
  EXPECT_EQ(tab.TA_data.ta_maxcol, 4);
  ASSERT_EQ(tab.TA_data.ta_cols.ta_cols_len, 4u);
  const char* names[] = {"cname", "name", "addr", "comment"};
  const u_int flags[] = {TA_SEARCHABLE, TA_SEARCHABLE, TA_SEARCHABLE, 0};
  for (u_int i = 0; i < 4; ++i) {
    EXPECT_STREQ(tab.TA_data.ta_cols.ta_cols_val[i].tc_name, names[i]);
    EXPECT_EQ(tab.TA_data.ta_cols.ta_cols_val[i].tc_flags, flags[i]);
  }
  EXPECT_EQ(tab.zo_ttl, 43200u);
}

TEST_F(Conformance, LookupOfMissingObjects) {
  EXPECT_EQ(lookup("nosuch." + kOrg)->status, NIS_NOTFOUND);
  Result r = lookup("x.nodir." + kRoot);
  EXPECT_NE(r->status, NIS_SUCCESS);
  EXPECT_NE(r->status, NIS_S_SUCCESS);
  EXPECT_EQ(r->objects.objects_len, 0u);
}

// ---- listing ----

TEST_F(Conformance, ListWithoutCriteriaReturnsEveryEntryInOrder) {
  Result r = list(kSmall);
  ASSERT_EQ(r->status, NIS_SUCCESS) << nis_sperrno(r->status);
  ASSERT_EQ(r->objects.objects_len, 3u);
  const char* keys[] = {"one", "two", "three"};
  for (u_int i = 0; i < 3; ++i) {
    const nis_object& o = r->objects.objects_val[i];
    EXPECT_EQ(o.zo_data.zo_type, NIS_ENTRY_OBJ);
    EXPECT_STREQ(o.EN_data.en_type, "small_tbl");
    EXPECT_STREQ(o.zo_name, "small");
    EXPECT_STREQ(o.zo_domain, kOrg.c_str());
    ASSERT_EQ(o.EN_data.en_cols.en_cols_len, 2u);
    EXPECT_EQ(value(o, 0), withNul(keys[i]));
  }
  // Values come back byte for byte: an empty value and a lone NUL differ.
  Result m = list("[name=beta]," + kMixed);
  ASSERT_EQ(m->status, NIS_SUCCESS);
  ASSERT_EQ(m->objects.objects_len, 1u);
  EXPECT_EQ(m->objects.objects_val[0].EN_data.en_cols.en_cols_val[2].ec_value.ec_value_len, 0u);
  Result g = list("[name=gamma]," + kMixed);
  ASSERT_EQ(g->objects.objects_len, 1u);
  EXPECT_EQ(value(g->objects.objects_val[0], 2), std::string(1, '\0'));
}

TEST_F(Conformance, ListWithCriteriaMatchesSearchableColumns) {
  Result r = list("[cname=alpha]," + kHosts);
  ASSERT_EQ(r->status, NIS_SUCCESS);
  ASSERT_EQ(r->objects.objects_len, 2u);  // alpha and its alias
  EXPECT_EQ(value(r->objects.objects_val[1], 1), withNul("build"));

  Result two = list("[cname=beta,name=mail]," + kHosts);
  ASSERT_EQ(two->objects.objects_len, 1u);
  EXPECT_EQ(value(two->objects.objects_val[0], 2), withNul("10.1.0.2"));

  // The search value travels with its NUL; the server's log shows it.
  auto log = lines(ctl({"log"}));
  bool seen = false;
  for (const std::string& l : log) {
    seen = seen ||
           l == "NIS_IBLIST name=" + kHosts + " attrs=cname=\"beta\\0\",name=\"mail\\0\" flags=0x0";
  }
  EXPECT_TRUE(seen) << ctl({"log"});

  EXPECT_EQ(list("[cname=nosuch]," + kHosts)->status, NIS_NOTFOUND);
  EXPECT_EQ(list("[nosuch=x]," + kSmall)->status, NIS_BADATTRIBUTE);
  EXPECT_EQ(list("[value=first]," + kSmall)->status, NIS_NOTSEARCHABLE);
}

TEST_F(Conformance, CaseInsensitiveColumnsOnlyWhereFlagged) {
  Result r = list("[name=ALPHA]," + kMixed);
  ASSERT_EQ(r->status, NIS_SUCCESS);
  ASSERT_EQ(r->objects.objects_len, 1u);
  EXPECT_EQ(value(r->objects.objects_val[0], 0), withNul("Alpha"));
  EXPECT_EQ(list("[code=a1]," + kMixed)->status, NIS_NOTFOUND);
  EXPECT_EQ(list("[code=A1]," + kMixed)->status, NIS_SUCCESS);
  // Non-ASCII bytes compare exactly.
  EXPECT_EQ(list("[name=Ünïcödé]," + kMixed)->status, NIS_SUCCESS);
}

TEST_F(Conformance, ListOfEmptyAndMissingTables) {
  EXPECT_EQ(list("empty." + kOrg)->status, NIS_NOTFOUND);
  Result r = list("nosuch." + kOrg);
  EXPECT_NE(r->status, NIS_SUCCESS);
  EXPECT_EQ(r->objects.objects_len, 0u);
}

TEST_F(Conformance, ListOverUdp) {
  Result r = list("[key=two]," + kSmall, USE_DGRAM);
  ASSERT_EQ(r->status, NIS_SUCCESS) << nis_sperrno(r->status);
  ASSERT_EQ(r->objects.objects_len, 1u);
  EXPECT_EQ(value(r->objects.objects_val[0], 1), withNul("second"));
}

TEST_F(Conformance, LargeListingsOverBothTransports) {
  // About 40 KB of entries: more than one default UDP buffer (8800 bytes).
  const std::string big = "big." + kOrg;
  std::string seed = "table " + big + " type=\"big_tbl\"\ncolumn k flags=0x8\ncolumn v\n";
  for (int i = 0; i < 400; ++i) {
    seed +=
        "entry " + big + " \"k" + std::to_string(i) + "\\0\" \"" + std::string(60, 'v') + "\\0\"\n";
  }
  load(seed);
  Result tcp = list(big);
  ASSERT_EQ(tcp->status, NIS_SUCCESS) << nis_sperrno(tcp->status);
  EXPECT_EQ(tcp->objects.objects_len, 400u);
  EXPECT_EQ(value(tcp->objects.objects_val[399], 0), withNul("k399"));
  // One datagram cannot carry it: the answer says so rather than never coming.
  Result udp = list(big, USE_DGRAM);
  EXPECT_EQ(udp->status, NIS_RES2BIG);
  EXPECT_EQ(udp->objects.objects_len, 0u);
  Result some = list("[k=k7]," + big, USE_DGRAM);
  EXPECT_EQ(some->status, NIS_SUCCESS);
  EXPECT_EQ(some->objects.objects_len, 1u);
}

// ---- table administration ----

// A table object as the bridge builds one: owner and group taken from the
// directory, everything else from the caller.
struct TableBuilder {
  std::vector<std::string> names;
  std::vector<u_int> flags;
  std::vector<table_col> cols;
  std::string type = "t_tbl";
  std::string owner = "server.sandbox.test.";
  std::string group = "admin.sandbox.test.";
  std::string path;
  nis_object obj{};

  nis_object* build(u_int access, u_char sep) {
    cols.assign(names.size(), table_col{});
    for (size_t i = 0; i < names.size(); ++i) {
      cols[i].tc_name = names[i].data();
      cols[i].tc_flags = flags[i];
      cols[i].tc_rights = static_cast<u_int>(i);
    }
    obj = nis_object{};
    obj.zo_owner = owner.data();
    obj.zo_group = group.data();
    obj.zo_access = access;
    obj.zo_data.zo_type = NIS_TABLE_OBJ;
    obj.TA_data.ta_type = type.data();
    obj.TA_data.ta_maxcol = static_cast<int>(cols.size());
    obj.TA_data.ta_sep = sep;
    obj.TA_data.ta_cols.ta_cols_len = static_cast<u_int>(cols.size());
    obj.TA_data.ta_cols.ta_cols_val = cols.data();
    obj.TA_data.ta_path = path.data();
    return &obj;
  }
};

TEST_F(Conformance, AddTableKeepsWhatTheClientSent) {
  TableBuilder tb;
  tb.names = {"key", "val", "note"};
  tb.flags = {TA_SEARCHABLE, 0, TA_SEARCHABLE | TA_CASE};
  const std::string name = "newtab." + kOrg;
  Result r(nis_add(name.c_str(), tb.build(0x00030f01, ':')));
  ASSERT_EQ(r->status, NIS_SUCCESS) << nis_sperrno(r->status);
  EXPECT_EQ(
      ctl({"dump", name}),
      "table " + name +
          " type=\"t_tbl\" sep=0x3a owner=\"server.sandbox.test.\" group=\"admin.sandbox.test.\""
          " access=0x00030f01 ttl=0 path=\"\" maxcol=3\n"
          "column key flags=0x8 rights=0x00000000\n"
          "column val flags=0x0 rights=0x00000001\n"
          "column note flags=0x18 rights=0x00000002\n");
  // The log names the table object too.
  auto log = lines(ctl({"log"}));
  bool seen = false;
  for (const std::string& l : log) {
    seen = seen || l == "NIS_ADD name=" + name + " attrs= flags=0x0 table type=\"t_tbl\" cols=3";
  }
  EXPECT_TRUE(seen) << ctl({"log"});

  Result again(nis_add(name.c_str(), tb.build(0x00030f01, ':')));
  EXPECT_EQ(again->status, NIS_NAMEEXISTS);

  // A table with no columns is accepted as sent.
  TableBuilder none;
  Result z(nis_add(("nocols." + kOrg).c_str(), none.build(0, ' ')));
  EXPECT_EQ(z->status, NIS_SUCCESS);
  EXPECT_NE(ctl({"dump", "nocols." + kOrg}).find("maxcol=0\n"), std::string::npos);
}

TEST_F(Conformance, RemoveTable) {
  EXPECT_EQ(Result(nis_remove(kSmall.c_str(), nullptr))->status, NIS_NOTEMPTY);
  EXPECT_EQ(ctlRun({"dump", kSmall}).status, 0);
  Result r(nis_remove(("empty." + kOrg).c_str(), nullptr));
  EXPECT_EQ(r->status, NIS_SUCCESS) << nis_sperrno(r->status);
  EXPECT_NE(ctlRun({"dump", "empty." + kOrg}).status, 0);
  EXPECT_EQ(lookup("empty." + kOrg)->status, NIS_NOTFOUND);
  EXPECT_EQ(Result(nis_remove(("empty." + kOrg).c_str(), nullptr))->status, NIS_NOTFOUND);
}

// ---- entry updates ----

TEST_F(Conformance, AddEntryStoresExactBytes) {
  EntryBuilder e;
  e.type = "mixed_tbl";
  e.values = {withNul("Zed"), withNul("z9"), std::string("")};
  Result r(nis_add_entry(kMixed.c_str(), e.build(), 0));
  ASSERT_EQ(r->status, NIS_SUCCESS) << nis_sperrno(r->status);
  auto entries = entryLines(kMixed);
  ASSERT_FALSE(entries.empty());
  const std::string& last = entries.back();
  // libnsl fills in the owner (the caller's principal) and the group.
  EXPECT_NE(last.find(" type=\"mixed_tbl\" owner=\""), std::string::npos) << last;
  EXPECT_EQ(last.substr(last.find(" \"Zed")), " \"Zed\\0\" \"z9\\0\" \"\"") << last;

  // The log shows the entry object as received.
  bool seen = false;
  for (const std::string& l : lines(ctl({"log"}))) {
    seen =
        seen || l == "NIS_IBADD name=" + kMixed +
                         " attrs= flags=0x0 entry type=\"mixed_tbl\" cols=3 values=\"Zed\\0\"/0x0 "
                         "\"z9\\0\"/0x0 \"\"/0x0";
  }
  EXPECT_TRUE(seen) << ctl({"log"});

  // A lone NUL stays a lone NUL.
  EntryBuilder n;
  n.type = "mixed_tbl";
  n.values = {withNul("nul"), withNul("n0"), std::string(1, '\0')};
  ASSERT_EQ(Result(nis_add_entry(kMixed.c_str(), n.build(), 0))->status, NIS_SUCCESS);
  Result back = list("[name=nul]," + kMixed);
  ASSERT_EQ(back->objects.objects_len, 1u);
  EXPECT_EQ(value(back->objects.objects_val[0], 2), std::string(1, '\0'));
}

TEST_F(Conformance, AddEntryRejectsDuplicatesAndMisfits) {
  EntryBuilder dup;
  dup.type = "small_tbl";
  dup.values = {withNul("one"), withNul("other value")};
  EXPECT_EQ(Result(nis_add_entry(kSmall.c_str(), dup.build(), 0))->status, NIS_NAMEEXISTS);

  EntryBuilder wrongType;
  wrongType.type = "other_tbl";
  wrongType.values = {withNul("four"), withNul("4")};
  EXPECT_EQ(Result(nis_add_entry(kSmall.c_str(), wrongType.build(), 0))->status, NIS_TYPEMISMATCH);

  EntryBuilder wrongCount;
  wrongCount.type = "small_tbl";
  wrongCount.values = {withNul("four")};
  EXPECT_EQ(Result(nis_add_entry(kSmall.c_str(), wrongCount.build(), 0))->status, NIS_TYPEMISMATCH);
  EXPECT_EQ(entryLines(kSmall).size(), 3u);

  // TA_CASE makes "ALPHA" the same name as "Alpha".
  EntryBuilder caseDup;
  caseDup.type = "mixed_tbl";
  caseDup.values = {withNul("ALPHA"), withNul("A1"), withNul("x")};
  EXPECT_EQ(Result(nis_add_entry(kMixed.c_str(), caseDup.build(), 0))->status, NIS_NAMEEXISTS);
}

TEST_F(Conformance, ModifyChangesOnlyFlaggedColumns) {
  EntryBuilder m;
  m.type = "small_tbl";
  m.values = {withNul("ignored"), withNul("uno")};
  m.flags = {0, EN_MODIFIED};
  Result r(nis_modify_entry(("[key=one]," + kSmall).c_str(), m.build(), 0));
  ASSERT_EQ(r->status, NIS_SUCCESS) << nis_sperrno(r->status);
  auto entries = entryLines(kSmall);
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_NE(entries[0].find("\"one\\0\" \"uno\\0\""), std::string::npos) << entries[0];

  bool seen = false;
  for (const std::string& l : lines(ctl({"log"}))) {
    seen = seen || l == "NIS_IBMODIFY name=" + kSmall +
                            " attrs=key=\"one\\0\" flags=0x0 entry type=\"small_tbl\" cols=2 "
                            "values=\"ignored\\0\"/0x0 \"uno\\0\"/0x8";
  }
  EXPECT_TRUE(seen) << ctl({"log"});

  EXPECT_EQ(Result(nis_modify_entry(("[key=nosuch]," + kSmall).c_str(), m.build(), 0))->status,
            NIS_NOTFOUND);
}

TEST_F(Conformance, ModifyAndRemoveNeedAUniqueMatch) {
  const std::string dups = "dups." + kOrg;
  load("table " + dups +
       " type=\"dups_tbl\"\ncolumn k flags=0x8\ncolumn v\n"
       "entry " +
       dups +
       " \"a\\0\" \"1\\0\"\n"
       "entry " +
       dups +
       " \"a\\0\" \"2\\0\"\n"
       "entry " +
       dups + " \"b\\0\" \"3\\0\"\n");
  EntryBuilder m;
  m.type = "dups_tbl";
  m.values = {withNul("a"), withNul("9")};
  m.flags = {0, EN_MODIFIED};
  EXPECT_EQ(Result(nis_modify_entry(("[k=a]," + dups).c_str(), m.build(), 0))->status,
            NIS_NOTUNIQUE);
  EXPECT_EQ(Result(nis_remove_entry(("[k=a]," + dups).c_str(), nullptr, 0))->status, NIS_NOTUNIQUE);
  EXPECT_EQ(entryLines(dups).size(), 3u);
  EXPECT_EQ(Result(nis_remove_entry(("[k=a]," + dups).c_str(), nullptr, REM_MULTIPLE))->status,
            NIS_SUCCESS);
  auto left = entryLines(dups);
  ASSERT_EQ(left.size(), 1u);
  EXPECT_NE(left[0].find("\"b\\0\" \"3\\0\""), std::string::npos);
}

TEST_F(Conformance, ModifyFillsUpASeededEntryShortOfColumns) {
  const std::string t = "short." + kOrg;
  load("table " + t + " type=\"s_tbl\"\ncolumn k flags=0x8\ncolumn v\nentry " + t + " \"k\\0\"\n");
  Result r = list(t);
  ASSERT_EQ(r->objects.objects_len, 1u);
  EXPECT_EQ(r->objects.objects_val[0].EN_data.en_cols.en_cols_len, 1u);
  EntryBuilder m;
  m.type = "s_tbl";
  m.values = {withNul("k"), withNul("v")};
  m.flags = {0, EN_MODIFIED};
  ASSERT_EQ(Result(nis_modify_entry(("[k=k]," + t).c_str(), m.build(), 0))->status, NIS_SUCCESS);
  auto entries = entryLines(t);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_NE(entries[0].find(" \"k\\0\" \"v\\0\""), std::string::npos) << entries[0];
}

TEST_F(Conformance, RemoveEntry) {
  Result r(nis_remove_entry(("[key=two]," + kSmall).c_str(), nullptr, 0));
  ASSERT_EQ(r->status, NIS_SUCCESS) << nis_sperrno(r->status);
  auto entries = entryLines(kSmall);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_NE(entries[1].find("\"three\\0\""), std::string::npos);
  EXPECT_EQ(Result(nis_remove_entry(("[key=two]," + kSmall).c_str(), nullptr, 0))->status,
            NIS_NOTFOUND);
  EXPECT_EQ(Result(nis_remove_entry(("[value=x]," + kSmall).c_str(), nullptr, 0))->status,
            NIS_NOTSEARCHABLE);
}

// ---- seed, dump, reset ----

TEST_F(Conformance, SeedValuesRoundTripByteForByte) {
  const std::string t = "bytes." + kOrg;
  const std::string seed =
      "table " + t +
      " type=\"b_tbl\" sep=0x9 owner=\"o.\" group=\"g.\" access=0x1 ttl=5 path=\"p\"\n"
      "column k flags=0x8 rights=0x00000007\n"
      "column v flags=0x1 rights=0x00000000\n"
      "entry " +
      t +
      " type=\"b_tbl\" owner=\"eo.\" group=\"eg.\" access=0x00000002 ttl=9"
      " \"a\\\"b\\\\c\\0\" \"\\xff\\x01\\0mid\\n\\t\\r\"/0x1\n"
      "entry " +
      t + " null \"été\\0\"\n";
  load(seed);
  const std::string expected = "table " + t +
                               " type=\"b_tbl\" sep=0x9 owner=\"o.\" group=\"g.\" "
                               "access=0x00000001 ttl=5 path=\"p\" maxcol=2\n"
                               "column k flags=0x8 rights=0x00000007\n"
                               "column v flags=0x1 rights=0x00000000\n"
                               "entry " +
                               t +
                               " type=\"b_tbl\" owner=\"eo.\" group=\"eg.\" access=0x00000002 ttl=9"
                               " \"a\\\"b\\\\c\\0\" \"\\xff\\x01\\0mid\\n\\t\\r\"/0x1\n"
                               "entry " +
                               t +
                               " type=\"b_tbl\" owner=\"o.\" group=\"g.\" access=0x00000001 ttl=5"
                               " \"\" \"été\\0\"\n";
  EXPECT_EQ(ctl({"dump", t}), expected);

  // The client sees the same bytes.
  Result r = list(t);
  ASSERT_EQ(r->status, NIS_SUCCESS);
  ASSERT_EQ(r->objects.objects_len, 2u);
  EXPECT_EQ(value(r->objects.objects_val[0], 1), std::string("\xff\x01\0mid\n\t\r", 9));
  EXPECT_EQ(r->objects.objects_val[0].EN_data.en_cols.en_cols_val[1].ec_flags, 1u);
  EXPECT_STREQ(r->objects.objects_val[0].zo_owner, "eo.");
  EXPECT_EQ(value(r->objects.objects_val[1], 0), "");

  // A whole dump loads back to the same dump.
  std::string whole = ctl({"dump"});
  load(whole);
  EXPECT_EQ(ctl({"dump"}), whole);
}

TEST_F(Conformance, BadSeedChangesNothing) {
  std::string before = ctl({"dump"});
  CtlRun r =
      loadRun("table ok." + kOrg + " type=\"x\"\ncolumn a\nentry nosuch." + kOrg + " \"v\"\n");
  EXPECT_NE(r.status, 0);
  EXPECT_NE(r.out.find("line 3"), std::string::npos) << r.out;
  EXPECT_EQ(ctl({"dump"}), before);
  EXPECT_NE(loadRun("entry " + kSmall + " \"unterminated\n").status, 0);
  EXPECT_NE(loadRun("table t.nodir." + kRoot + "\n").status, 0);
  EXPECT_NE(loadRun("bogus line\n").status, 0);
  EXPECT_EQ(ctl({"dump"}), before);
}

TEST_F(Conformance, ResetRestoresTheSeed) {
  std::string before = ctl({"dump"});
  ASSERT_EQ(Result(nis_remove_entry(("[key=one]," + kSmall).c_str(), nullptr, 0))->status,
            NIS_SUCCESS);
  load("table extra." + kOrg + " type=\"e\"\n");
  ctl({"fault", "NIS_LOOKUP", "5", "13"});
  EXPECT_NE(ctl({"dump"}), before);
  ctl({"reset"});
  EXPECT_EQ(ctl({"dump"}), before);
  EXPECT_EQ(lookup(kSmall)->status, NIS_SUCCESS);  // faults dropped too
}

// ---- fault injection ----

TEST_F(Conformance, FaultWithStatusAppliesCountTimesThenStops) {
  ctl({"fault", "NIS_IBLIST", "2", "20"});
  EXPECT_EQ(list(kSmall)->status, NIS_NOSUCHNAME);
  EXPECT_EQ(list(kSmall)->status, NIS_NOSUCHNAME);
  Result ok = list(kSmall);
  EXPECT_EQ(ok->status, NIS_SUCCESS);
  EXPECT_EQ(ok->objects.objects_len, 3u);
}

TEST_F(Conformance, FaultResultsSSuccessAndNoObject) {
  ctl({"fault", "NIS_IBLIST", "1", "S_SUCCESS"});
  Result s = list(kSmall);
  EXPECT_EQ(s->status, NIS_S_SUCCESS);
  EXPECT_EQ(s->objects.objects_len, 3u);

  // libnsl's nis_lookup and nis_list read the first object of any
  // successful answer (they crash on an empty one): checked on the wire.
  ctl({"fault", "NIS_LOOKUP", "1", "NOOBJECT"});
  RawAnswer raw = rawLookup(kOrg, "tcp");
  ASSERT_TRUE(raw.rpcOk);
  EXPECT_EQ(raw.status, NIS_SUCCESS);
  EXPECT_EQ(raw.objects, 0u);
  RawAnswer normal = rawLookup(kOrg, "udp");
  EXPECT_EQ(normal.status, NIS_SUCCESS);
  EXPECT_EQ(normal.objects, 1u);
  EXPECT_EQ(normal.firstName, "org_dir");

  // A failing update is not carried out.
  ctl({"fault", "NIS_IBREMOVE", "1", "13"});
  EXPECT_EQ(Result(nis_remove_entry(("[key=one]," + kSmall).c_str(), nullptr, 0))->status,
            NIS_NOMEMORY);
  EXPECT_EQ(entryLines(kSmall).size(), 3u);
}

TEST_F(Conformance, FaultForOneNameOnly) {
  ctl({"fault", "NIS_LOOKUP", "1", "41", kHosts});
  EXPECT_EQ(lookup(kSmall)->status, NIS_SUCCESS);
  EXPECT_EQ(lookup(kHosts)->status, NIS_UNAVAIL);
  EXPECT_EQ(lookup(kHosts)->status, NIS_SUCCESS);
  ctl({"fault", "NIS_LOOKUP", "3", "41"});
  ctl({"fault", "clear"});
  EXPECT_EQ(lookup(kHosts)->status, NIS_SUCCESS);
  EXPECT_NE(ctlRun({"fault", "NIS_BOGUS", "1", "2"}).status, 0);
  EXPECT_NE(ctlRun({"fault", "NIS_LOOKUP", "0", "2"}).status, 0);
  EXPECT_NE(ctlRun({"fault", "NIS_LOOKUP", "1", "SOMETIMES"}).status, 0);
}

TEST_F(Conformance, FindDirectoryAnswersOnlyForServedDirectories) {
  RawAnswer root = rawFindDirectory(kRoot);
  ASSERT_TRUE(root.rpcOk);
  EXPECT_EQ(root.status, NIS_SUCCESS);
  EXPECT_EQ(root.dirName, kRoot);
  EXPECT_EQ(root.source, "localhost." + kRoot);
  EXPECT_EQ(rawFindDirectory("ORG_DIR.Sandbox.Test.").dirName, kOrg);
  // A table is not a directory; names outside the root are not ours.
  EXPECT_EQ(rawFindDirectory(kSmall).status, NIS_NOTFOUND);
  EXPECT_EQ(rawFindDirectory("elsewhere.test.").status, NIS_NOSUCHNAME);

  ctl({"fault", "NIS_FINDDIRECTORY", "1", "41", kOrg});
  EXPECT_EQ(rawFindDirectory(kOrg).status, NIS_UNAVAIL);
  EXPECT_EQ(rawFindDirectory(kOrg).status, NIS_SUCCESS);
  auto log = lines(ctl({"log"}));
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log.back(), "NIS_FINDDIRECTORY name=" + kOrg + " attrs= flags=0x0");
}

// ---- robustness ----

u_short serverPort(int proto) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return pmap_getport(&sa, 100300, 3, static_cast<u_int>(proto));
}

// xdr_void takes no parameters, which casts to xdrproc_t warn about.
bool_t noData(XDR*, ...) { return TRUE; }

bool nullprocAnswers(const char* netid) {
  CLIENT* c = clnt_create("127.0.0.1", 100300, 3, netid);
  if (!c) return false;
  timeval tv{5, 0};
  clnt_stat st = clnt_call(c, NULLPROC, noData, nullptr, noData, nullptr, tv);
  clnt_destroy(c);
  return st == RPC_SUCCESS;
}

// Encodes a bare RPC call header for program 100300 followed by `body`.
std::string callMessage(uint32_t proc, const std::string& body) {
  std::string m;
  auto put = [&m](uint32_t v) {
    v = htonl(v);
    m.append(reinterpret_cast<const char*>(&v), 4);
  };
  put(0x1234);  // xid
  put(0);       // CALL
  put(2);
  put(100300);
  put(3);
  put(proc);
  put(0), put(0), put(0), put(0);  // AUTH_NONE credentials and verifier
  return m + body;
}

TEST_F(Conformance, MalformedRequestsNeverStopTheServer) {
  u_short udpPort = serverPort(IPPROTO_UDP);
  u_short tcpPort = serverPort(IPPROTO_TCP);
  ASSERT_NE(udpPort, 0);
  ASSERT_NE(tcpPort, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);

  std::vector<std::string> junk = {
      "x",
      std::string(3000, '\xff'),
      callMessage(5, std::string(7, '\0')),                                  // truncated ib_request
      callMessage(5, std::string("\x7f\xff\xff\xff", 4)),                    // huge name length
      callMessage(2, std::string(12, '\0') + std::string("\0\0\0\x09", 4)),  // odd object
      callMessage(99, ""),                                                   // no such procedure
      callMessage(6, std::string(40, '\x01')),
  };
  int udp = socket(AF_INET, SOCK_DGRAM, 0);
  sa.sin_port = htons(udpPort);
  for (const std::string& j : junk) {
    sendto(udp, j.data(), j.size(), 0, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  }
  close(udp);
  for (const std::string& j : junk) {
    int tcp = socket(AF_INET, SOCK_STREAM, 0);
    sa.sin_port = htons(tcpPort);
    ASSERT_EQ(connect(tcp, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
    uint32_t mark = htonl(0x80000000u | static_cast<uint32_t>(j.size()));
    std::string rec(reinterpret_cast<const char*>(&mark), 4);
    rec += j;
    EXPECT_EQ(write(tcp, rec.data(), rec.size()), static_cast<ssize_t>(rec.size()));
    shutdown(tcp, SHUT_WR);
    pollfd p{tcp, POLLIN, 0};
    poll(&p, 1, 2000);
    close(tcp);
  }
  EXPECT_TRUE(nullprocAnswers("udp"));
  EXPECT_TRUE(nullprocAnswers("tcp"));
  EXPECT_EQ(list(kSmall)->status, NIS_SUCCESS);
}

TEST_F(Conformance, MutatedRequestsNeverStopTheServer) {
  const std::string entryAdd = encodedEntryAdd(kSmall);
  const std::string tableAdd = encodedTableAdd("fuzz." + kOrg);
  ASSERT_FALSE(entryAdd.empty());
  ASSERT_FALSE(tableAdd.empty());
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sa.sin_port = htons(serverPort(IPPROTO_UDP));
  int udp = socket(AF_INET, SOCK_DGRAM, 0);
  std::mt19937 rng(20261208);
  const uint32_t procs[] = {NIS_IBADD, NIS_IBMODIFY, NIS_IBREMOVE, NIS_IBLIST,
                            NIS_ADD,   NIS_LOOKUP,   NIS_REMOVE};
  for (int round = 0; round < 3000; ++round) {
    uint32_t proc = procs[round % 7];
    std::string body =
        proc == NIS_ADD || proc == NIS_LOOKUP || proc == NIS_REMOVE ? tableAdd : entryAdd;
    int edits = 1 + static_cast<int>(rng() % 4);
    for (int e = 0; e < edits; ++e) {
      size_t at = rng() % body.size();
      // Aligned words hold lengths, counts and union discriminants.
      size_t word = at & ~size_t{3};
      static const uint32_t kWords[] = {0, 1, 5, 0x100, 0x7fffffff, 0xffffffff};
      switch (rng() % 4) {
        case 0:
          body[at] = static_cast<char>(rng());
          break;
        case 1:
          body.resize(at);
          break;
        default:
          if (word + 4 <= body.size()) {
            uint32_t v = htonl(kWords[rng() % 6]);
            std::memcpy(&body[word], &v, 4);
          }
      }
      if (body.empty()) body = "x";
    }
    std::string msg = callMessage(proc, body);
    sendto(udp, msg.data(), msg.size(), 0, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    if (round % 100 == 99) {
      // Let the server keep up so the socket buffer drops nothing.
      ASSERT_TRUE(nullprocAnswers("udp")) << "after round " << round;
    }
  }
  close(udp);
  EXPECT_TRUE(nullprocAnswers("tcp"));
  EXPECT_EQ(lookup(kSmall)->status, NIS_SUCCESS);
}

TEST_F(Conformance, AStalledClientDoesNotStallOthers) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sa.sin_port = htons(serverPort(IPPROTO_TCP));
  int tcp = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_EQ(connect(tcp, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
  // Half a record, then silence.
  std::string msg = callMessage(0, "");
  uint32_t mark = htonl(0x80000000u | static_cast<uint32_t>(msg.size()));
  std::string rec(reinterpret_cast<const char*>(&mark), 4);
  rec += msg.substr(0, 10);
  ASSERT_EQ(write(tcp, rec.data(), rec.size()), static_cast<ssize_t>(rec.size()));
  // Let the server take the connection and start on the half record first.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  auto t0 = std::chrono::steady_clock::now();
  Result r = list(kSmall);
  auto ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_EQ(r->status, NIS_SUCCESS);
  // A server blocked on the half record answers no one until libtirpc's 35 s
  // read timeout ends that connection; 10 s leaves a loaded machine room.
  EXPECT_LT(ms, 10000.0);
  close(tcp);
}

TEST_F(Conformance, ObjectsOfTheWrongKindAreRefused) {
  // An entry object sent as a table, and a table object sent as an entry.
  EntryBuilder e;
  e.type = "small_tbl";
  e.values = {withNul("x"), withNul("y")};
  Result a(nis_add(("wrong." + kOrg).c_str(), e.build()));
  EXPECT_NE(a->status, NIS_SUCCESS);
  TableBuilder t;
  t.names = {"key", "value"};
  t.flags = {TA_SEARCHABLE, 0};
  t.type = "small_tbl";
  Result b(nis_add_entry(kSmall.c_str(), t.build(0, ' '), 0));
  EXPECT_NE(b->status, NIS_SUCCESS);
  EXPECT_EQ(entryLines(kSmall).size(), 3u);
  EXPECT_NE(ctlRun({"dump", "wrong." + kOrg}).status, 0);
}

// ---- access rights ----

// This program runs as root: the host's principal server.sandbox.test.,
// owner of the seed, at level 1, and nobody at level 2.
TEST_F(Conformance, RightsOfTheSeedAsNobodyAndAsTheOwner) {
  ctl({"security", "2"});
  Result pw = list("[name=ada],passwd." + kOrg);
  ASSERT_EQ(pw->objects.objects_len, 1u) << nis_sperrno(pw->status);
  const nis_object& ada = pw->objects.objects_val[0];
  EXPECT_EQ(value(ada, 0) + value(ada, 1) + value(ada, 2),
            withNul("ada") + withNul("*NP*") + withNul("1001"));
  const auto before = entryLines(kSmall);
  EntryBuilder e;
  e.type = "small_tbl";
  e.values = {withNul("four"), withNul("fourth")};
  EXPECT_EQ(Result(nis_add_entry(kSmall.c_str(), e.build(), 0))->status, NIS_PERMISSION);
  EXPECT_EQ(Result(nis_remove_entry(("[key=one]," + kSmall).c_str(), nullptr, 0))->status,
            NIS_PERMISSION);
  EXPECT_EQ(entryLines(kSmall), before);

  // At level 1 the same add works; the owner, group and access it left
  // empty become the caller and the table's.
  ctl({"security", "1"});
  ASSERT_EQ(Result(nis_add_entry(kSmall.c_str(), e.build(), 0))->status, NIS_SUCCESS);
  EXPECT_EQ(entryLines(kSmall).back(),
            "entry " + kSmall +
                " type=\"small_tbl\" owner=\"server.sandbox.test.\" group=\"admin.sandbox.test.\""
                " access=0x010f0f01 ttl=0 \"four\\0\" \"fourth\\0\"");
  // Group objects travel with their members.
  Result g = lookup("admin.groups_dir." + kRoot);
  ASSERT_EQ(g->objects.objects_len, 1u) << nis_sperrno(g->status);
  ASSERT_EQ(g->objects.objects_val[0].zo_data.zo_type, NIS_GROUP_OBJ);
  const group_obj& gr = g->objects.objects_val[0].GR_data;
  ASSERT_EQ(gr.gr_members.gr_members_len, 2u);
  EXPECT_STREQ(gr.gr_members.gr_members_val[1], "@operators.sandbox.test.");
}

}  // namespace

// ---- AUTH_DES ----

namespace des {

const std::string kHostNetname = "unix.server@sandbox.test";

// The host's secret key: the sandbox's /etc/.rootkey when it has one (its
// cred entry is seeded), else one made here and entered in cred.
secure_rpc::DhKey hostSecret() {
  std::ifstream in("/etc/.rootkey");
  std::string hex;
  if (in >> hex) {
    if (auto k = secure_rpc::parseKey(hex)) return *k;
  }
  static const secure_rpc::SecretKey made = secure_rpc::newSecretKey();
  load("entry cred.org_dir.sandbox.test. \"server.sandbox.test.\\0\" \"DES\\0\" \"" + kHostNetname +
       "\\0\" \"" + secure_rpc::keyHex(secure_rpc::publicKey(made.bytes)) + ":0\\0\" \"\\0\"\n");
  return made.bytes;
}

secure_rpc::DhKey serverPublic() {
  auto k = secure_rpc::parseKey(lines(ctl({"authdes", "publickey"})).at(0));
  EXPECT_TRUE(k.has_value());
  return k.value_or(secure_rpc::DhKey{});
}

// glibc's key_encryptsession_pk hook: the conversation key sealed under
// the common key of the host's secret and the server's public key.
secure_rpc::DhKey gHookSecret;
cryptkeyres gHookResult;
cryptkeyres* encryptSession(uid_t, char* arg) {
  const auto* a = reinterpret_cast<const cryptkeyarg2*>(arg);
  gHookResult = cryptkeyres{};
  const auto pub = secure_rpc::parseKey(std::string_view(a->remotekey.n_bytes, 48));
  if (!pub) {
    gHookResult.status = KEY_SYSTEMERR;
    return &gHookResult;
  }
  secure_rpc::DesBlock k;
  std::memcpy(k.data(), &a->deskey, 8);
  secure_rpc::ecbEncrypt(secure_rpc::commonDesKey(*pub, gHookSecret), k.data(), k.size());
  std::memcpy(&gHookResult.cryptkeyres_u.deskey, k.data(), 8);
  gHookResult.status = KEY_SUCCESS;
  return &gHookResult;
}

bool_t putRaw(XDR* x, std::string* s) {
  return x->x_ops->x_putbytes(x, s->data(), static_cast<u_int>(s->size()));
}

// The first word of a result; the rest of its record is left unread.
bool_t getStatus(XDR* x, int* out) {
  long v = 0;
  if (!x->x_ops->x_getlong(x, &v)) return FALSE;
  *out = static_cast<int>(v);
  return TRUE;
}

// glibc's old ONC RPC client, still present as compatibility symbols: an
// AUTH_DES client that owes nothing to ours and checks reply verifiers.
struct GlibcClient {
  CLIENT* clnt = nullptr;
  GlibcClient(const secure_rpc::DhKey& secret, std::string serverKey) {
    using TcpCreate = CLIENT* (*)(sockaddr_in*, u_long, u_long, int*, u_int, u_int);
    using PkCreate = AUTH* (*)(const char*, netobj*, u_int, sockaddr*, des_block*);
    auto tcpCreate =
        reinterpret_cast<TcpCreate>(dlvsym(RTLD_DEFAULT, "clnttcp_create", "GLIBC_2.2.5"));
    auto pkCreate =
        reinterpret_cast<PkCreate>(dlvsym(RTLD_DEFAULT, "authdes_pk_create", "GLIBC_2.2.5"));
    auto hook = reinterpret_cast<cryptkeyres* (**)(uid_t, char*)>(
        dlvsym(RTLD_DEFAULT, "__key_encryptsession_pk_LOCAL", "GLIBC_2.2.5"));
    if (!tcpCreate || !pkCreate || !hook) return;
    gHookSecret = secret;
    *hook = encryptSession;
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons(serverPort(IPPROTO_TCP));
    int sock = RPC_ANYSOCK;
    clnt = tcpCreate(&sa, 100300, 3, &sock, 0, 0);
    if (!clnt) return;
    serverKey.push_back('\0');
    netobj pkey{static_cast<u_int>(serverKey.size()), serverKey.data()};
    const auto conv = secure_rpc::newConversationKey();
    des_block ckey;
    std::memcpy(&ckey, conv.data(), 8);
    clnt->cl_auth = pkCreate("unix.localhost@sandbox.test", &pkey, 300, nullptr, &ckey);
  }
  ~GlibcClient() {
    if (clnt) clnt_destroy(clnt);
  }
  // A call whose arguments are raw XDR bytes and whose result is a NIS+
  // status (the first word); both through glibc's own XDR streams.
  clnt_stat call(u_long proc, std::string args, int* status) {
    int ignored = 0;
    if (!status) status = &ignored;
    const timeval timeout{10, 0};
    return clnt->cl_ops->cl_call(clnt, proc, reinterpret_cast<xdrproc_t>(putRaw),
                                 reinterpret_cast<char*>(&args),
                                 proc == NULLPROC ? reinterpret_cast<xdrproc_t>(noData)
                                                  : reinterpret_cast<xdrproc_t>(getStatus),
                                 reinterpret_cast<char*>(status), timeout);
  }
};

struct Counts {
  unsigned long sessions = 0, fullname = 0, nickname = 0, refused = 0;
};
Counts counts() {
  Counts c;
  std::sscanf(ctl({"authdes"}).c_str(), "sessions=%lu fullname=%lu nickname=%lu refused=%lu",
              &c.sessions, &c.fullname, &c.nickname, &c.refused);
  return c;
}

}  // namespace des

TEST_F(Conformance, GlibcAuthDesClientIsTheHostAtLevelTwo) {
  ctl({"security", "2"});
  const auto secret = des::hostSecret();
  des::GlibcClient c(secret, secure_rpc::keyHex(des::serverPublic()));
  ASSERT_NE(c.clnt, nullptr);
  ASSERT_NE(c.clnt->cl_auth, nullptr);
  // glibc believes a reply only when its verifier checks out.
  const des::Counts before = des::counts();
  ASSERT_EQ(c.call(NULLPROC, "", nullptr), RPC_SUCCESS);
  ASSERT_EQ(c.call(NULLPROC, "", nullptr), RPC_SUCCESS);
  des::Counts after = des::counts();
  EXPECT_EQ(after.fullname - before.fullname, 1u);
  EXPECT_EQ(after.nickname - before.nickname, 1u);
  // The add is the host's: nobody may not create in that table.
  int status = -1;
  ASSERT_EQ(c.call(NIS_IBADD, encodedEntryAdd(kSmall), &status), RPC_SUCCESS);
  EXPECT_EQ(status, NIS_SUCCESS);
  EXPECT_NE(entryLines(kSmall).back().find("owner=\"server.sandbox.test.\""), std::string::npos);
  // A server that forgot the nickname refuses it; glibc starts again with
  // its fullname and the call goes through.
  ctl({"authdes", "forget"});
  ASSERT_EQ(c.call(NULLPROC, "", nullptr), RPC_SUCCESS);
  after = des::counts();
  EXPECT_EQ(after.fullname - before.fullname, 2u);
  EXPECT_GE(after.refused - before.refused, 1u);
}

namespace des {

// One AUTH_DES call over a fresh TCP connection: the rejection's
// auth_stat, or 0 with the reply verifier's body when accepted.
int rawCall(const std::vector<std::uint8_t>& cred, const std::array<std::uint8_t, 12>& verf,
            std::string* replyVerf) {
  std::string m;
  auto put = [&m](uint32_t v) {
    v = htonl(v);
    m.append(reinterpret_cast<const char*>(&v), 4);
  };
  put(0x4321), put(0), put(2), put(100300), put(3), put(NULLPROC);
  put(AUTH_DES), put(static_cast<uint32_t>(cred.size()));
  m.append(reinterpret_cast<const char*>(cred.data()), cred.size());
  put(AUTH_DES), put(12);
  m.append(reinterpret_cast<const char*>(verf.data()), verf.size());
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sa.sin_port = htons(serverPort(IPPROTO_TCP));
  timeval tv{10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  const uint32_t mark = htonl(0x80000000U | static_cast<uint32_t>(m.size()));
  std::string out(reinterpret_cast<const char*>(&mark), 4);
  out += m;
  std::string in;
  if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 &&
      write(fd, out.data(), out.size()) == static_cast<ssize_t>(out.size())) {
    char buf[512];
    ssize_t n;
    // The whole record, as its mark announces it.
    size_t want = 4;
    while (in.size() < want && (n = read(fd, buf, sizeof buf)) > 0) {
      in.append(buf, static_cast<size_t>(n));
      uint32_t m = 0;
      if (in.size() >= 4) std::memcpy(&m, in.data(), 4);
      want = 4 + (ntohl(m) & 0x7fffffffU);
    }
  }
  close(fd);
  auto word = [&in](size_t i) {
    uint32_t v = 0;
    if (in.size() >= 4 + 4 * (i + 1)) std::memcpy(&v, in.data() + 4 + 4 * i, 4);
    return ntohl(v);
  };
  // xid, REPLY, then MSG_DENIED AUTH_ERROR why, or MSG_ACCEPTED verifier.
  if (word(2) == MSG_DENIED) return word(3) == AUTH_ERROR ? static_cast<int>(word(4)) : -1;
  if (replyVerf && word(4) == 12 && in.size() >= 4 + 20 + 12) *replyVerf = in.substr(24, 12);
  return 0;
}

}  // namespace des

// Replays, stale or forged stamps, unknown nicknames and wrong keys, each
// refused with its status before the server does anything.
TEST_F(Conformance, AuthDesRefusesReplaysAndWrongKeys) {
  const auto secret = des::hostSecret();
  const auto common = secure_rpc::commonDesKey(des::serverPublic(), secret);
  const auto conv = secure_rpc::newConversationKey();
  secure_rpc::DesBlock sealedConv = conv;
  secure_rpc::ecbEncrypt(common, sealedConv.data(), sealedConv.size());
  timeval tv{};
  gettimeofday(&tv, nullptr);
  const secure_rpc::Timestamp t0{static_cast<uint32_t>(tv.tv_sec),
                                 static_cast<uint32_t>(tv.tv_usec)};
  auto fullname = [&](secure_rpc::Timestamp t, const secure_rpc::DesBlock& sealed) {
    const auto seal = secure_rpc::sealFullname(conv, t, 300);
    return std::make_pair(secure_rpc::fullnameCredential(des::kHostNetname, sealed, seal.w1),
                          secure_rpc::clientVerifier(seal));
  };
  const auto [cred, verf] = fullname(t0, sealedConv);
  std::string reply;
  ASSERT_EQ(des::rawCall(cred, verf, &reply), 0);
  const auto nick = secure_rpc::checkReplyVerifier(
      conv, t0, reinterpret_cast<const std::uint8_t*>(reply.data()), reply.size());
  ASSERT_TRUE(nick.has_value()) << "the reply verifier does not answer the call";
  const auto nickCred = secure_rpc::nicknameCredential(*nick);
  auto nickVerf = [&](secure_rpc::Timestamp t) {
    return secure_rpc::clientVerifier(secure_rpc::sealNickname(conv, t));
  };
  const secure_rpc::Timestamp t1{t0.sec, t0.usec + 1 < 1000000 ? t0.usec + 1 : 0};
  const secure_rpc::Timestamp next{t0.sec + 1, t0.usec};
  ASSERT_EQ(des::rawCall(nickCred, nickVerf(next), nullptr), 0);

  secure_rpc::DesBlock wrongSeal = conv;  // sealed under a key the server does not share
  secure_rpc::ecbEncrypt(
      secure_rpc::commonDesKey(des::serverPublic(), secure_rpc::newSecretKey().bytes),
      wrongSeal.data(), wrongSeal.size());
  const std::array<std::uint8_t, 4> unknownNick{0xde, 0xad, 0xbe, 0xef};
  const struct {
    const char* what;
    std::vector<std::uint8_t> cred;
    std::array<std::uint8_t, 12> verf;
    int expected;
  } cases[] = {
      {"the same nickname call again", nickCred, nickVerf(next), AUTH_REJECTEDVERF},
      {"an earlier stamp", nickCred, nickVerf(t1), AUTH_REJECTEDVERF},
      {"a stamp older than the window", nickCred, nickVerf({t0.sec - 400, 0}), AUTH_REJECTEDVERF},
      {"the first fullname call again", cred, verf, AUTH_REJECTEDCRED},
      {"an unknown nickname", secure_rpc::nicknameCredential(unknownNick),
       nickVerf({t0.sec + 2, 0}), AUTH_REJECTEDCRED},
      {"a conversation key under a wrong secret key", fullname({t0.sec + 3, 0}, wrongSeal).first,
       fullname({t0.sec + 3, 0}, wrongSeal).second, AUTH_BADCRED},
      {"a garbled credential", {0, 0, 0, 7}, verf, AUTH_BADCRED},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(des::rawCall(c.cred, c.verf, nullptr), c.expected) << c.what;
  }
  // The nickname still works after all that.
  EXPECT_EQ(des::rawCall(nickCred, nickVerf({t0.sec + 4, 0}), nullptr), 0);
}
