// The client layer's parts that need no server: indexed names, name
// arithmetic, cold-start decoding, and the structure layouts it relies on.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <vector>

#include "client_internal.h"
#include "layout.h"
#include "test_support.h"
#include "xdr_routines.h"

using namespace nisplus_client;

namespace {

TEST(Layout, GeneratedXdrStructuresMatchTheSystemHeader) {
  const Layout sys = systemHeaderLayout();
  const Layout gen = generatedHeaderLayout();
  ASSERT_EQ(sys.size(), gen.size());
  ASSERT_GT(sys.size(), 100u);
  for (const auto& [key, value] : sys) {
    ASSERT_TRUE(gen.count(key)) << key;
    EXPECT_EQ(value, gen.at(key)) << key;
  }
}

TEST(IndexedName, PlainNameHasNoAttributes) {
  IndexedName n;
  ASSERT_EQ(NIS_SUCCESS, parseIndexedName("hosts.org_dir.x.", n));
  EXPECT_TRUE(n.attrs.empty());
  EXPECT_EQ("hosts.org_dir.x.", n.table);
}

TEST(IndexedName, SplitsAttributesAndTable) {
  IndexedName n;
  ASSERT_EQ(NIS_SUCCESS, parseIndexedName("[name=alpha,addr=10.0.0.1],hosts.org_dir.x.", n));
  ASSERT_EQ(2u, n.attrs.size());
  EXPECT_EQ("name", n.attrs[0].name);
  EXPECT_EQ("alpha", n.attrs[0].value);
  EXPECT_EQ("addr", n.attrs[1].name);
  EXPECT_EQ("10.0.0.1", n.attrs[1].value);
  EXPECT_EQ("hosts.org_dir.x.", n.table);
}

TEST(IndexedName, CommaAfterBracketIsOptionalAndValuesMayBeEmpty) {
  IndexedName n;
  ASSERT_EQ(NIS_SUCCESS, parseIndexedName("[comment=]hosts.org_dir.x.", n));
  ASSERT_EQ(1u, n.attrs.size());
  EXPECT_EQ("", n.attrs[0].value);
  EXPECT_EQ("hosts.org_dir.x.", n.table);
  ASSERT_EQ(NIS_SUCCESS, parseIndexedName("[],hosts.org_dir.x.", n));
  EXPECT_TRUE(n.attrs.empty());
  EXPECT_EQ("hosts.org_dir.x.", n.table);
}

TEST(IndexedName, ValuesKeepSpacesAndOtherBytes) {
  IndexedName n;
  ASSERT_EQ(NIS_SUCCESS, parseIndexedName("[comment=a b\xc3\xa9.],t.d.", n));
  ASSERT_EQ(1u, n.attrs.size());
  EXPECT_EQ("a b\xc3\xa9.", n.attrs[0].value);
}

TEST(IndexedName, ValuesSplitAtTheFirstEqualsAndATrailingCommaEndsTheList) {
  IndexedName n;
  ASSERT_EQ(NIS_SUCCESS, parseIndexedName("[a=b=c,d=[e,],t.d.", n));
  ASSERT_EQ(2u, n.attrs.size());
  EXPECT_EQ("a", n.attrs[0].name);
  EXPECT_EQ("b=c", n.attrs[0].value);
  EXPECT_EQ("d", n.attrs[1].name);
  EXPECT_EQ("[e", n.attrs[1].value);
  ASSERT_EQ(NIS_SUCCESS, parseIndexedName("[=v],t.d.", n));
  ASSERT_EQ(1u, n.attrs.size());
  EXPECT_EQ("", n.attrs[0].name);
}

TEST(IndexedName, MalformedNamesAreBadNames) {
  const char* bad[] = {
      "[name=alpha,hosts.org_dir.x.",  // no closing bracket
      "[name=alpha]",                  // no table
      "[name=alpha],",                 // no table after the comma
      "[name],t.d.",                   // no '='
      "[a=b,,c=d],t.d.",               // empty pair
      "[,a=b],t.d.",                   // leading comma
      "[a=b,c],t.d.",                  // a comma inside a value
      "[a=[b]],t.d.",                  // the search part ends at the first ']'
      "[a=b]],t.d.",                   // stray bracket in the table name
      "t[a=b].d.",                     // search part not in front
      "t=d.",                          // separator in a plain name
      "",
  };
  for (const char* name : bad) {
    IndexedName n;
    EXPECT_EQ(NIS_BADNAME, parseIndexedName(name, n)) << '"' << name << '"';
  }
  IndexedName n;
  EXPECT_EQ(NIS_BADNAME, parseIndexedName(nullptr, n));
}

TEST(Names, LeafDomainAndContainment) {
  EXPECT_EQ("hosts", leafOf("hosts.org_dir.x."));
  EXPECT_EQ("org_dir.x.", domainOf("hosts.org_dir.x."));
  EXPECT_EQ("x.", domainOf("org_dir.x."));
  EXPECT_EQ(".", domainOf("x."));
  EXPECT_TRUE(isWithin("hosts.org_dir.x.", "x."));
  EXPECT_TRUE(isWithin("x.", "x."));
  EXPECT_FALSE(isWithin("hosts.org_dir.xx.", "x."));
  EXPECT_FALSE(isWithin("x.", "org_dir.x."));
  EXPECT_TRUE(isFullyQualified("a.b."));
  EXPECT_FALSE(isFullyQualified("a.b"));
  EXPECT_FALSE(isFullyQualified(""));
  EXPECT_FALSE(isFullyQualified(".a."));
  EXPECT_FALSE(isFullyQualified(std::string(NIS_MAXNAMELEN, 'a') + "."));
}

TEST(Names, LocalPrincipalIsFullyQualified) {
  const std::string host = localHostName();
  EXPECT_TRUE(isFullyQualified(host)) << host;
  if (geteuid() == 0) {
    EXPECT_EQ(host, localPrincipal());
  }
}

// XDR of a directory object with the given servers' endpoints.
std::string encodeDirectory(const char* name, std::vector<std::vector<endpoint>> servers,
                            uint32_t ttl = 3600) {
  std::vector<nis_server> srv(servers.size());
  for (size_t i = 0; i < servers.size(); ++i) {
    srv[i].name = const_cast<char*>("server.x.");
    srv[i].ep.ep_len = static_cast<u_int>(servers[i].size());
    srv[i].ep.ep_val = servers[i].data();
  }
  directory_obj d{};
  d.do_name = const_cast<char*>(name);
  d.do_type = NIS;
  d.do_servers.do_servers_len = static_cast<u_int>(srv.size());
  d.do_servers.do_servers_val = srv.data();
  d.do_ttl = ttl;
  std::string buf(8192, '\0');
  XDR x;
  xdrmem_create(&x, buf.data(), static_cast<u_int>(buf.size()), XDR_ENCODE);
  EXPECT_TRUE(xdr_directory_obj(&x, &d));
  buf.resize(xdr_getpos(&x));
  xdr_destroy(&x);
  return buf;
}

endpoint ep(const char* uaddr, const char* family, const char* proto) {
  return endpoint{const_cast<char*>(uaddr), const_cast<char*>(family), const_cast<char*>(proto)};
}

TEST(Directory, DecodesInetEndpointsIgnoringTheirPort) {
  const std::string data =
      encodeDirectory("x.",
                      {{ep("127.0.0.1.0.111", "inet", "-"), ep("127.0.0.1.2.3", "inet", "udp"),
                        ep("127.0.0.2.0.111", "inet", "tcp"), ep("/tmp/s", "loopback", "-")},
                       {ep("bogus", "inet", "-")}},
                      77);
  Directory d;
  ASSERT_TRUE(decodeDirectory(data.data(), data.size(), d));
  EXPECT_EQ("x.", d.name);
  EXPECT_EQ(77u, d.ttl);
  // The second server has no usable endpoint and is dropped.
  ASSERT_EQ(1u, d.servers.size());
  EXPECT_EQ("server.x.", d.servers[0].name);
  ASSERT_EQ(2u, d.servers[0].hosts.size());
  EXPECT_EQ(htonl(0x7f000001), d.servers[0].hosts[0]);
  EXPECT_EQ(htonl(0x7f000002), d.servers[0].hosts[1]);
}

TEST(Directory, RejectsGarbageAndTruncatedData) {
  const std::string data = encodeDirectory("x.", {{ep("127.0.0.1.0.111", "inet", "-")}});
  Directory d;
  EXPECT_FALSE(decodeDirectory(data.data(), data.size() / 2, d));
  EXPECT_FALSE(decodeDirectory("\xff\xff\xff\xff garbage", 12, d));
  EXPECT_FALSE(decodeDirectory(nullptr, 0, d));
  // A relative directory name is no root.
  const std::string rel = encodeDirectory("x", {{ep("127.0.0.1.0.111", "inet", "-")}});
  EXPECT_FALSE(decodeDirectory(rel.data(), rel.size(), d));
}

long maxRssKb() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return ru.ru_maxrss;
}

// Sets the XDR word at offset to value.
void putWord(std::string& data, size_t offset, uint32_t value) {
  for (int i = 0; i < 4; ++i) data[offset + i] = static_cast<char>(value >> (24 - 8 * i));
}

TEST(Directory, CountsTheDataCannotHoldAreRefusedBeforeAllocation) {
  const std::string data = encodeDirectory("x.", {{ep("127.0.0.1.0.111", "inet", "-")}});
  Directory d;
  ASSERT_TRUE(decodeDirectory(data.data(), data.size(), d));
  // The server count follows the name ("x.": 4 + 4 bytes) and do_type; the
  // endpoint count follows the server's name ("server.x.": 4 + 12 bytes).
  const size_t serverCount = 12;
  const size_t endpointCount = serverCount + 4 + 4 + 12;
  ASSERT_EQ(1, data[serverCount + 3]);
  ASSERT_EQ(1, data[endpointCount + 3]);
  // 4M servers or endpoints pass the XDR routines' own size check, which
  // would have them allocate and clear some 200 MB before running out of
  // data: the process must not grow by anything like that.
  const long before = maxRssKb();
  for (size_t at : {serverCount, endpointCount}) {
    std::string huge = data;
    putWord(huge, at, 0x00400000);
    EXPECT_FALSE(decodeDirectory(huge.data(), huge.size(), d)) << at;
  }
  EXPECT_LT(maxRssKb() - before, 64 * 1024) << "kB of peak growth";
  // A name longer than the data.
  std::string longName = data;
  putWord(longName, 0, 0x7f000000);
  EXPECT_FALSE(decodeDirectory(longName.data(), longName.size(), d));
}

TEST(Directory, ColdStartFileStatuses) {
  char path[] = "/tmp/nisplus-client-cold-XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  const std::string good = encodeDirectory("x.", {{ep("127.0.0.1.0.111", "inet", "-")}});
  std::ofstream(path, std::ios::binary) << good;
  Directory d;
  EXPECT_EQ(NIS_SUCCESS, readColdStart(path, d));
  EXPECT_EQ("x.", d.name);
  std::ofstream(path, std::ios::binary) << "not xdr";
  EXPECT_EQ(NIS_COLDSTART_ERR, readColdStart(path, d));
  unlink(path);
  EXPECT_EQ(NIS_UNAVAIL, readColdStart(path, d));
}

TEST(Results, FreeResultAcceptsNullAndStatusOnlyResults) {
  nis_freeresult(nullptr);
  nis_result* r = makeResult(NIS_NOTFOUND);
  ASSERT_NE(nullptr, r);
  EXPECT_EQ(NIS_NOTFOUND, r->status);
  EXPECT_EQ(0u, r->objects.objects_len);
  nis_freeresult(r);
}

// Decoding is part of a call: a reply whose decoding would end past the
// call's deadline is given up (kLate), by the full decoder and by the
// status-only one of the streamed listing, and decodes when time is left.
TEST(Results, DecodingEndsAtTheDeadline) {
  constexpr std::uint32_t kObjects = 10000;
  std::vector<std::uint32_t> words = {NIS_SUCCESS, kObjects};
  for (std::uint32_t i = 0; i < kObjects; ++i) {
    // oid, four empty names, access, ttl, NIS_NO_OBJ
    for (std::uint32_t w : {1u, 2u, 0u, 0u, 0u, 0u, 0u, 0u, 1u}) words.push_back(w);
  }
  for (int i = 0; i < 5; ++i) words.push_back(0);  // cookie, four ticks
  using nisplus_client::Decoded;
  using nisplus_client::Record;
  const nisplus_client::Clock::time_point passed =
      nisplus_client::Clock::now() - std::chrono::milliseconds(1);
  for (const auto decode : {nisplus_client::decodeNisResult, nisplus_client::decodeListingStatus}) {
    for (const bool late : {true, false}) {
      Record record;
      record.size = record.capacity = words.size() * 4;
      record.data = static_cast<char*>(malloc(record.size));
      ASSERT_NE(nullptr, record.data);
      for (size_t i = 0; i < words.size(); ++i) {
        const std::uint32_t n = htonl(words[i]);
        memcpy(record.data + 4 * i, &n, 4);
      }
      if (late) record.deadline = passed;
      nis_result* r = nullptr;
      EXPECT_EQ(late ? Decoded::kLate : Decoded::kOk, decode(record, 0, &r)) << late;
      EXPECT_EQ(late, r == nullptr);
      nis_freeresult(r);
    }
  }
}

TEST(Calls, MalformedNamesNeverReachTheNetwork) {
  const TransportStats before = transportStats();
  const char* bad[] = {"[name=a,hosts.org_dir.x.", "[a]t.d.", "relative.name", "", "[a=b],rel"};
  for (const char* name : bad) {
    nctest::Result r(nis_list(name, 0, nullptr, nullptr));
    ASSERT_NE(nullptr, r);
    EXPECT_EQ(NIS_BADNAME, r->status) << name;
    nctest::Result l(nis_lookup(name, 0));
    EXPECT_EQ(NIS_BADNAME, l->status) << name;
    nctest::Result rm(nis_remove_entry(name, nullptr, 0));
    EXPECT_EQ(NIS_BADNAME, rm->status) << name;
  }
  nctest::Result l(nis_lookup(nullptr, 0));
  EXPECT_EQ(NIS_BADNAME, l->status);
  // Indexed names are for table calls only.
  nctest::Result idx(nis_lookup("[a=b],t.d.", 0));
  EXPECT_EQ(NIS_BADNAME, idx->status);
  // Add calls need an object.
  nctest::Result add(nis_add("t.d.", nullptr));
  EXPECT_EQ(NIS_BADOBJECT, add->status);
  nctest::Result adde(nis_add_entry("t.d.", nullptr, 0));
  EXPECT_EQ(NIS_BADOBJECT, adde->status);
  nctest::Result mod(nis_modify_entry("[a=b],t.d.", nullptr, 0));
  EXPECT_EQ(NIS_BADOBJECT, mod->status);
  // An entry whose column claims bytes it does not have.
  nctest::EntryBuilder e("t", {"a"});
  e.cols[0].ec_value.ec_value_val = nullptr;
  nctest::Result broken(nis_add_entry("t.d.", &e.obj, 0));
  EXPECT_EQ(NIS_BADOBJECT, broken->status);
  EXPECT_EQ(before.calls, transportStats().calls);
}

}  // namespace
