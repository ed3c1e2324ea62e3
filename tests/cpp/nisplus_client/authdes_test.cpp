// The layer against nisplusd at security level 2, where only AUTH_DES
// callers are principals: it talks as the host when root's secret key is
// at hand, and as nobody (AUTH_SYS) without it. Runs only in a sandbox
// that gave /etc a private overlay with the host's key in /etc/.rootkey
// (sandbox.sh --nisplus-security 2): the tests move and replace that file.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "client_internal.h"
#include "secure_rpc.h"
#include "test_support.h"

namespace {

using nctest::ctl;
using nctest::Result;

constexpr const char* kKey = "/etc/.rootkey";
constexpr const char* kKeyAway = "/etc/.rootkey.away";

struct Counts {
  unsigned long sessions = 0, fullname = 0, nickname = 0, refused = 0;
};
Counts counts() {
  Counts c;
  std::sscanf(ctl("authdes").c_str(), "sessions=%lu fullname=%lu nickname=%lu refused=%lu",
              &c.sessions, &c.fullname, &c.nickname, &c.refused);
  return c;
}

std::string small() { return "small." + nctest::orgDir(); }

// Adds an entry keyed k to the small table; the status.
int add(const std::string& k) {
  nctest::EntryBuilder e("small_tbl", {k, "v"});
  return Result(nis_add_entry(small().c_str(), &e.obj, 0))->status;
}

std::string dumpSmall() { return ctl("dump " + small()); }

class AuthDes : public ::testing::Test {
 protected:
  void SetUp() override {
    struct stat st {};
    if (getenv("NISPLUSD_PID") == nullptr || stat(kKey, &st) != 0) {
      GTEST_SKIP() << "needs the sandbox at level 2 with the host's key";
    }
    ctl("reset");
    nisplus_client::closeIdleConnections();
  }
  void TearDown() override {
    struct stat st {};
    if (stat(kKeyAway, &st) == 0) rename(kKeyAway, kKey);
  }
};

TEST_F(AuthDes, FullnameOnceThenNicknamesAndANewConversationWhenForgotten) {
  const Counts before = counts();
  ASSERT_EQ(add("des1"), NIS_SUCCESS);
  ASSERT_EQ(add("des2"), NIS_SUCCESS);
  Result listed(nis_list(small().c_str(), 0, nullptr, nullptr));
  ASSERT_EQ(listed->status, NIS_SUCCESS);
  Counts after = counts();
  // One connection: one fullname, then nicknames (the directory search
  // may add calls of its own).
  EXPECT_EQ(after.fullname - before.fullname, 1u);
  EXPECT_GE(after.nickname - before.nickname, 2u);
  EXPECT_EQ(after.refused, before.refused);
  // Written as the host, whose entries they are.
  EXPECT_NE(dumpSmall().find("owner=\"server.sandbox.test.\" group=\"admin.sandbox.test.\" "
                             "access=0x010f0f01 ttl=0 \"des2\\0\""),
            std::string::npos)
      << dumpSmall();

  // The server forgets the nickname: the call goes again with a fullname.
  ctl("authdes forget");
  ASSERT_EQ(add("des3"), NIS_SUCCESS);
  after = counts();
  EXPECT_EQ(after.fullname - before.fullname, 2u);
  EXPECT_EQ(after.refused - before.refused, 1u);
}

// A reply whose verifier does not answer the request is not believed,
// even when it says the call succeeded; the next call starts afresh.
TEST_F(AuthDes, AReplyWithAForgedVerifierIsNotBelieved) {
  ASSERT_EQ(add("before"), NIS_SUCCESS);
  ctl("authdes corrupt 1");
  EXPECT_EQ(add("forged"), NIS_RPCERROR);
  EXPECT_EQ(Result(nis_list(small().c_str(), 0, nullptr, nullptr))->status, NIS_SUCCESS);
}

TEST_F(AuthDes, WithoutTheKeyOrWithAWrongOneTheHostCannotWrite) {
  ASSERT_EQ(add("known"), NIS_SUCCESS);
  // Moved away: AUTH_SYS, so nobody at level 2, who may read but not add.
  ASSERT_EQ(rename(kKey, kKeyAway), 0);
  EXPECT_EQ(add("nokey"), NIS_PERMISSION);
  EXPECT_EQ(Result(nis_list(small().c_str(), 0, nullptr, nullptr))->status, NIS_SUCCESS);
  // Another key, as keylogin -r would write it: the server's check of the
  // credential fails and nothing is done.
  {
    const secure_rpc::SecretKey other = secure_rpc::newSecretKey();
    std::ofstream out(kKey);
    out << secure_rpc::keyHex(other.bytes) << "\n";
  }
  ASSERT_EQ(chmod(kKey, 0600), 0);
  const Counts before = counts();
  EXPECT_EQ(add("wrongkey"), NIS_RPCERROR);
  EXPECT_GT(counts().refused, before.refused);
  unlink(kKey);
  // The key back: the host again, on a file read anew.
  ASSERT_EQ(rename(kKeyAway, kKey), 0);
  EXPECT_EQ(add("back"), NIS_SUCCESS);
  const std::string dump = dumpSmall();
  EXPECT_EQ(dump.find("nokey"), std::string::npos);
  EXPECT_EQ(dump.find("wrongkey"), std::string::npos);
  EXPECT_NE(dump.find("back"), std::string::npos);
}

}  // namespace
