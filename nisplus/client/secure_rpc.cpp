#include "secure_rpc.h"

#include <gmp.h>
#include <nettle/cbc.h>
#include <nettle/des.h>
#include <sys/random.h>
#include <unistd.h>

#include <cstring>

namespace secure_rpc {

namespace {

// The modulus and base of Secure RPC's Diffie-Hellman keys.
constexpr char kModulusHex[] = "d4a0ba0250b6fd2ec626e7efd637df76c716e22d0944b88b";
constexpr unsigned long kBase = 3;

// A GMP integer that is wiped and freed when it goes.
class Big {
 public:
  Big() { mpz_init(v_); }
  ~Big() {
    const size_t n = mpz_size(v_);
    if (n > 0) wipe(mpz_limbs_modify(v_, static_cast<mp_size_t>(n)), n * sizeof(mp_limb_t));
    mpz_clear(v_);
  }
  Big(const Big&) = delete;
  Big& operator=(const Big&) = delete;
  mpz_ptr get() { return v_; }

  void load(const DhKey& k) { mpz_import(v_, k.size(), 1, 1, 1, 0, k.data()); }
  // The value as 24 big-endian bytes; it is below the modulus, so it fits.
  DhKey store() {
    DhKey out{};
    size_t n = 0;
    std::uint8_t buf[32] = {};
    mpz_export(buf, &n, 1, 1, 1, 0, v_);
    if (n <= out.size()) std::memcpy(out.data() + out.size() - n, buf, n);
    wipe(buf, sizeof buf);
    return out;
  }

 private:
  mpz_t v_;
};

// base ^ exponent mod the modulus. The exponent is a secret key: GMP's
// side-channel silent power (the modulus is odd, as it needs).
DhKey power(const DhKey& base, const DhKey& exponent) {
  Big b, e, m, r;
  b.load(base);
  e.load(exponent);
  mpz_set_str(m.get(), kModulusHex, 16);
  // mpz_powm_sec wants a positive exponent.
  if (mpz_sgn(e.get()) == 0) {
    mpz_set_ui(r.get(), 1);
  } else {
    mpz_powm_sec(r.get(), b.get(), e.get(), m.get());
  }
  return r.store();
}

void putBe32(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v >> 24);
  p[1] = static_cast<std::uint8_t>(v >> 16);
  p[2] = static_cast<std::uint8_t>(v >> 8);
  p[3] = static_cast<std::uint8_t>(v);
}

std::uint32_t getBe32(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
         std::uint32_t{p[3]};
}

// A DES context that is wiped when it goes.
struct Des {
  des_ctx ctx{};
  explicit Des(const DesBlock& key) {
    // A weak key still gets its schedule; the parties agreed on it anyway.
    des_set_key(&ctx, key.data());
  }
  ~Des() { wipe(&ctx, sizeof ctx); }
  Des(const Des&) = delete;
  Des& operator=(const Des&) = delete;
};

void randomBytes(std::uint8_t* p, size_t len) {
  while (len > 0) {
    const ssize_t n = getrandom(p, len, 0);
    if (n <= 0) continue;  // EINTR; the pool is always ready after boot
    p += n;
    len -= static_cast<size_t>(n);
  }
}

}  // namespace

void wipe(void* p, size_t len) { explicit_bzero(p, len); }

std::optional<DhKey> parseKey(std::string_view hex) {
  if (hex.size() != 48) return std::nullopt;
  DhKey k{};
  for (size_t i = 0; i < 48; ++i) {
    const char c = hex[i];
    int v = 0;
    if (c >= '0' && c <= '9') {
      v = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      v = c - 'a' + 10;
    } else if (c >= 'A' && c <= 'F') {
      v = c - 'A' + 10;
    } else {
      wipe(k.data(), k.size());
      return std::nullopt;
    }
    k[i / 2] = static_cast<std::uint8_t>(k[i / 2] | (v << (i % 2 == 0 ? 4 : 0)));
  }
  return k;
}

std::string keyHex(const DhKey& key) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string s;
  s.reserve(48);
  for (std::uint8_t b : key) {
    s += kDigits[b >> 4];
    s += kDigits[b & 15];
  }
  return s;
}

DhKey publicKey(const DhKey& secret) {
  DhKey base{};
  base.back() = kBase;
  return power(base, secret);
}

SecretKey newSecretKey() {
  SecretKey k;
  randomBytes(k.bytes.data(), k.bytes.size());
  return k;
}

std::uint8_t asciiParity(std::uint8_t b) {
  const std::uint8_t v = b & 0x7e;
  // An even count of ones in bits 1-6 needs bit 0 set.
  return static_cast<std::uint8_t>(v | ((__builtin_popcount(v) & 1) == 0 ? 1 : 0));
}

DesBlock commonDesKey(const DhKey& peerPublic, const DhKey& ownSecret) {
  DhKey common = power(peerPublic, ownSecret);
  DesBlock key{};
  for (size_t i = 0; i < key.size(); ++i) key[i] = asciiParity(common[15 - i]);
  wipe(common.data(), common.size());
  return key;
}

void ecbEncrypt(const DesBlock& key, std::uint8_t* data, size_t len) {
  Des d(key);
  des_encrypt(&d.ctx, len, data, data);
}

void ecbDecrypt(const DesBlock& key, std::uint8_t* data, size_t len) {
  Des d(key);
  des_decrypt(&d.ctx, len, data, data);
}

void cbcEncrypt(const DesBlock& key, std::uint8_t* data, size_t len) {
  Des d(key);
  std::uint8_t iv[DES_BLOCK_SIZE] = {};
  cbc_encrypt(&d.ctx, reinterpret_cast<nettle_cipher_func*>(des_encrypt), DES_BLOCK_SIZE, iv, len,
              data, data);
}

void cbcDecrypt(const DesBlock& key, std::uint8_t* data, size_t len) {
  Des d(key);
  std::uint8_t iv[DES_BLOCK_SIZE] = {};
  cbc_decrypt(&d.ctx, reinterpret_cast<nettle_cipher_func*>(des_decrypt), DES_BLOCK_SIZE, iv, len,
              data, data);
}

DesBlock newConversationKey() {
  DesBlock k{};
  randomBytes(k.data(), k.size());
  des_fix_parity(k.size(), k.data(), k.data());
  return k;
}

ClientSeal sealFullname(const DesBlock& conversation, Timestamp t, std::uint32_t window) {
  std::uint8_t buf[16];
  putBe32(buf, t.sec);
  putBe32(buf + 4, t.usec);
  putBe32(buf + 8, window);
  putBe32(buf + 12, window - 1);
  cbcEncrypt(conversation, buf, sizeof buf);
  ClientSeal s;
  std::memcpy(s.stamp.data(), buf, 8);
  std::memcpy(s.w1.data(), buf + 8, 4);
  std::memcpy(s.w2.data(), buf + 12, 4);
  return s;
}

ClientSeal sealNickname(const DesBlock& conversation, Timestamp t) {
  ClientSeal s;
  putBe32(s.stamp.data(), t.sec);
  putBe32(s.stamp.data() + 4, t.usec);
  ecbEncrypt(conversation, s.stamp.data(), s.stamp.size());
  return s;
}

std::vector<std::uint8_t> fullnameCredential(std::string_view netname,
                                             const DesBlock& sealedConversation,
                                             const std::array<std::uint8_t, 4>& w1) {
  const size_t padded = (netname.size() + 3) & ~size_t{3};
  std::vector<std::uint8_t> b(4 + 4 + padded + 8 + 4, 0);
  putBe32(b.data(), 0);  // ADN_FULLNAME
  putBe32(b.data() + 4, static_cast<std::uint32_t>(netname.size()));
  std::memcpy(b.data() + 8, netname.data(), netname.size());
  std::memcpy(b.data() + 8 + padded, sealedConversation.data(), 8);
  std::memcpy(b.data() + 16 + padded, w1.data(), 4);
  return b;
}

std::vector<std::uint8_t> nicknameCredential(const std::array<std::uint8_t, 4>& nickname) {
  std::vector<std::uint8_t> b(8, 0);
  putBe32(b.data(), 1);  // ADN_NICKNAME
  std::memcpy(b.data() + 4, nickname.data(), 4);
  return b;
}

std::array<std::uint8_t, 12> clientVerifier(const ClientSeal& seal) {
  std::array<std::uint8_t, 12> v{};
  std::memcpy(v.data(), seal.stamp.data(), 8);
  std::memcpy(v.data() + 8, seal.w2.data(), 4);
  return v;
}

std::array<std::uint8_t, 12> replyVerifier(const DesBlock& conversation, Timestamp t,
                                           const std::array<std::uint8_t, 4>& nickname) {
  std::array<std::uint8_t, 12> v{};
  putBe32(v.data(), t.sec - 1);
  putBe32(v.data() + 4, t.usec);
  ecbEncrypt(conversation, v.data(), 8);
  std::memcpy(v.data() + 8, nickname.data(), 4);
  return v;
}

std::optional<std::array<std::uint8_t, 4>> checkReplyVerifier(const DesBlock& conversation,
                                                              Timestamp t, const std::uint8_t* body,
                                                              size_t len) {
  if (body == nullptr || len != 12) return std::nullopt;
  std::uint8_t stamp[8];
  std::memcpy(stamp, body, 8);
  ecbDecrypt(conversation, stamp, 8);
  if (getBe32(stamp) + 1 != t.sec || getBe32(stamp + 4) != t.usec) return std::nullopt;
  std::array<std::uint8_t, 4> nick{};
  std::memcpy(nick.data(), body + 8, 4);
  return nick;
}

std::optional<Credential> parseCredential(const std::uint8_t* body, size_t len) {
  if (body == nullptr || len < 8) return std::nullopt;
  Credential c;
  const std::uint32_t kind = getBe32(body);
  if (kind == 1) {
    if (len != 8) return std::nullopt;
    std::memcpy(c.nickname.data(), body + 4, 4);
    return c;
  }
  if (kind != 0) return std::nullopt;
  const std::uint32_t n = getBe32(body + 4);
  if (n == 0 || n > kMaxNetname) return std::nullopt;
  const size_t padded = (n + 3) & ~size_t{3};
  if (len != 8 + padded + 12) return std::nullopt;
  c.fullname = true;
  c.netname.assign(reinterpret_cast<const char*>(body + 8), n);
  if (c.netname.find('\0') != std::string::npos) return std::nullopt;
  std::memcpy(c.sealedConversation.data(), body + 8 + padded, 8);
  std::memcpy(c.w1.data(), body + 16 + padded, 4);
  return c;
}

std::string hostNetname() {
  char host[256] = {};
  if (gethostname(host, sizeof host - 1) != 0 || host[0] == '\0') return "";
  std::string h(host);
  std::string domain;
  if (const size_t dot = h.find('.'); dot != std::string::npos) {
    domain = h.substr(dot + 1);
    h.resize(dot);
  } else {
    char dom[256] = {};
    if (getdomainname(dom, sizeof dom - 1) == 0) domain = dom;
    if (domain == "(none)") domain.clear();
  }
  while (!domain.empty() && domain.back() == '.') domain.pop_back();
  if (h.empty() || domain.empty()) return "";
  return "unix." + h + "@" + domain;
}

}  // namespace secure_rpc
