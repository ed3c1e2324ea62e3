// Secure RPC (AUTH_DES) pieces shared by the client layer and nisplusd:
// Diffie-Hellman keys over the 192-bit modulus, the DES key drawn from a
// common key, and the credential and verifier bodies as they travel.
//
// DES comes from nettle and the modular exponentiation from GMP; what is
// ours is only where the DES key sits in the common key and its parity.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace secure_rpc {

// A Diffie-Hellman key, public or secret: 192 bits, big-endian.
using DhKey = std::array<std::uint8_t, 24>;
using DesBlock = std::array<std::uint8_t, 8>;

// The window a client asks for, in seconds (as the system client does).
inline constexpr std::uint32_t kWindow = 300;
// Longest netname a credential may carry.
inline constexpr size_t kMaxNetname = 255;

// Overwrites len bytes at p in a way the compiler keeps.
void wipe(void* p, size_t len);

// A DhKey that is wiped when it goes.
struct SecretKey {
  DhKey bytes{};
  SecretKey() = default;
  SecretKey(const SecretKey&) = default;
  SecretKey& operator=(const SecretKey&) = default;
  ~SecretKey() { wipe(bytes.data(), bytes.size()); }
};

// 48 hex digits (either case) as a key; nullopt for anything else.
std::optional<DhKey> parseKey(std::string_view hex);
// A key as 48 lowercase hex digits.
std::string keyHex(const DhKey& key);

// The public key of a secret key: 3 ^ secret mod the modulus.
DhKey publicKey(const DhKey& secret);
// A fresh secret key from the kernel's random source.
SecretKey newSecretKey();

// The DES key two parties share: peer's public key ^ own secret mod the
// modulus; of its bytes B[0..23] (big-endian), B[15] down to B[8], each
// turned into the odd-parity ASCII value of its low seven bits.
DesBlock commonDesKey(const DhKey& peerPublic, const DhKey& ownSecret);
// The parity step alone: bit 7 cleared, bit 0 the odd parity of bits 1-7.
std::uint8_t asciiParity(std::uint8_t b);

// DES over whole blocks in place (len a multiple of 8).
void ecbEncrypt(const DesBlock& key, std::uint8_t* data, size_t len);
void ecbDecrypt(const DesBlock& key, std::uint8_t* data, size_t len);
// CBC with a zero initial vector.
void cbcEncrypt(const DesBlock& key, std::uint8_t* data, size_t len);
void cbcDecrypt(const DesBlock& key, std::uint8_t* data, size_t len);

// A conversation key: random, odd parity in bit 0 of each byte.
DesBlock newConversationKey();

struct Timestamp {
  std::uint32_t sec = 0;
  std::uint32_t usec = 0;
  bool operator==(const Timestamp&) const = default;
  auto operator<=>(const Timestamp&) const = default;
};

// What a client sends with one call, sealed under the conversation key.
// Fullname: CBC of {sec, usec, window, window - 1}; w1 travels in the
// credential, w2 in the verifier. Nickname: ECB of {sec, usec}, w2 zero.
struct ClientSeal {
  DesBlock stamp{};
  std::array<std::uint8_t, 4> w1{};
  std::array<std::uint8_t, 4> w2{};
};
ClientSeal sealFullname(const DesBlock& conversation, Timestamp t, std::uint32_t window);
ClientSeal sealNickname(const DesBlock& conversation, Timestamp t);

// The credential bodies (XDR of authdes_cred) and the client's verifier
// body (XDR of the sealed timestamp and w2).
std::vector<std::uint8_t> fullnameCredential(std::string_view netname,
                                             const DesBlock& sealedConversation,
                                             const std::array<std::uint8_t, 4>& w1);
std::vector<std::uint8_t> nicknameCredential(const std::array<std::uint8_t, 4>& nickname);
std::array<std::uint8_t, 12> clientVerifier(const ClientSeal& seal);

// The server's reply verifier: ECB of {sec - 1, usec}, then the nickname.
std::array<std::uint8_t, 12> replyVerifier(const DesBlock& conversation, Timestamp t,
                                           const std::array<std::uint8_t, 4>& nickname);
// Whether a reply verifier answers the call sealed with timestamp t; the
// nickname it names, if so.
std::optional<std::array<std::uint8_t, 4>> checkReplyVerifier(const DesBlock& conversation,
                                                              Timestamp t, const std::uint8_t* body,
                                                              size_t len);

// A credential as a server reads it.
struct Credential {
  bool fullname = false;
  std::string netname;            // fullname only
  DesBlock sealedConversation{};  // fullname only
  std::array<std::uint8_t, 4> w1{};
  std::array<std::uint8_t, 4> nickname{};
};
std::optional<Credential> parseCredential(const std::uint8_t* body, size_t len);

// The netname of the host: unix.HOST@DOMAIN, with HOST the hostname up to
// its first dot and DOMAIN the rest of it, else the domain name (without a
// trailing dot). Empty when there is no domain.
std::string hostNetname();

}  // namespace secure_rpc
