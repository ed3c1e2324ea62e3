// Known answers for the Secure RPC pieces. The expected values were worked
// out apart from this code: the Diffie-Hellman numbers and the DES key with
// Python's big integers, the DES blocks with OpenSSL's legacy DES.
#include "secure_rpc.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

using secure_rpc::DesBlock;
using secure_rpc::DhKey;

std::string hex(const std::uint8_t* p, size_t n) {
  std::string s;
  static constexpr char d[] = "0123456789abcdef";
  for (size_t i = 0; i < n; ++i) {
    s += d[p[i] >> 4];
    s += d[p[i] & 15];
  }
  return s;
}

template <typename C>
std::string hex(const C& c) {
  return hex(c.data(), c.size());
}

DhKey key(const char* h) {
  auto k = secure_rpc::parseKey(h);
  EXPECT_TRUE(k.has_value()) << h;
  return k.value_or(DhKey{});
}

constexpr char kSecretA[] = "0123456789abcdef0123456789abcdef0123456789abcdef";
constexpr char kPublicA[] = "0893b637888aaa67c2507a72dce1d4107d4523d579cbb14a";
constexpr char kSecretB[] = "2a3c0096259d34e238b5d2a8a01c529a37c5d86b6d0f7986";
constexpr char kPublicB[] = "1601d46157191776898448d9150246a1fa2261be90e1fe83";
// The common key is 6e75925e06b473f3 0b508b69c9fce8f8 463f765f5fe5ec6f:
// bytes 15 down to 8, each with the ASCII parity.
constexpr char kCommonDes[] = "79687c49680b510b";

TEST(SecureRpc, KeysAndTheCommonDesKey) {
  EXPECT_EQ(secure_rpc::keyHex(secure_rpc::publicKey(key(kSecretA))), kPublicA);
  EXPECT_EQ(secure_rpc::keyHex(secure_rpc::publicKey(key(kSecretB))), kPublicB);
  EXPECT_EQ(hex(secure_rpc::commonDesKey(key(kPublicB), key(kSecretA))), kCommonDes);
  EXPECT_EQ(hex(secure_rpc::commonDesKey(key(kPublicA), key(kSecretB))), kCommonDes);
  for (const char* bad : {"", "0123", "0123456789abcdef0123456789abcdef0123456789abcdeg",
                          "0123456789abcdef0123456789abcdef0123456789abcdef0"}) {
    EXPECT_FALSE(secure_rpc::parseKey(bad).has_value()) << bad;
  }
}

// The parity table is where implementations go wrong: glibc still carries
// the original one among its compatibility symbols.
TEST(SecureRpc, ParityMatchesTheOriginalTable) {
  using SetParity = void (*)(char*);
  auto glibc = reinterpret_cast<SetParity>(dlvsym(RTLD_DEFAULT, "des_setparity", "GLIBC_2.2.5"));
  ASSERT_NE(glibc, nullptr) << dlerror();
  for (int b = 0; b < 256; b += 8) {
    char block[8];
    for (int i = 0; i < 8; ++i) block[i] = static_cast<char>(b + i);
    glibc(block);
    for (int i = 0; i < 8; ++i) {
      EXPECT_EQ(static_cast<std::uint8_t>(block[i]),
                secure_rpc::asciiParity(static_cast<std::uint8_t>(b + i)))
          << b + i;
    }
  }
}

TEST(SecureRpc, CredentialAndVerifiers) {
  const DesBlock conv{0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef};
  // First call: CBC of {sec, usec, 300, 299}.
  const auto full = secure_rpc::sealFullname(conv, {1600000000, 123456}, 300);
  EXPECT_EQ(hex(full.stamp) + hex(full.w1) + hex(full.w2), "358214b89c29488498eadee1b3305fc8");
  // Later calls: ECB of {sec, usec}, w2 zero.
  const auto nick = secure_rpc::sealNickname(conv, {1600000001, 5});
  EXPECT_EQ(hex(secure_rpc::clientVerifier(nick)), "f44ab5d0145ac5ed00000000");
  // The conversation key under the common key, in the fullname credential.
  DesBlock sealed = conv;
  const auto common = secure_rpc::commonDesKey(key(kPublicB), key(kSecretA));
  secure_rpc::ecbEncrypt(common, sealed.data(), sealed.size());
  EXPECT_EQ(hex(sealed), "8acf43ca59c5f0fa");
  const auto cred = secure_rpc::fullnameCredential("unix.server@sandbox.test", sealed, full.w1);
  EXPECT_EQ(hex(cred),
            "00000000"
            "00000018" +
                hex(reinterpret_cast<const std::uint8_t*>("unix.server@sandbox.test"), 24) +
                "8acf43ca59c5f0fa98eadee1");
  const auto parsed = secure_rpc::parseCredential(cred.data(), cred.size());
  ASSERT_TRUE(parsed.has_value());
  EXPECT_EQ(parsed->netname, "unix.server@sandbox.test");
  EXPECT_EQ(hex(parsed->sealedConversation) + hex(parsed->w1), "8acf43ca59c5f0fa98eadee1");

  // The reply to the call stamped {1600000001, 5}: ECB of {sec - 1, usec}.
  const std::array<std::uint8_t, 4> nickname{0, 0, 0, 7};
  const auto reply = secure_rpc::replyVerifier(conv, {1600000001, 5}, nickname);
  EXPECT_EQ(hex(reply), "e6bc7ab2946e12c100000007");
  EXPECT_EQ(secure_rpc::checkReplyVerifier(conv, {1600000001, 5}, reply.data(), reply.size()),
            nickname);
  // A verifier for another call, under another key or cut short is not believed.
  EXPECT_FALSE(secure_rpc::checkReplyVerifier(conv, {1600000001, 6}, reply.data(), reply.size()));
  EXPECT_FALSE(secure_rpc::checkReplyVerifier(common, {1600000001, 5}, reply.data(), reply.size()));
  EXPECT_FALSE(secure_rpc::checkReplyVerifier(conv, {1600000001, 5}, reply.data(), 8));
}

}  // namespace
