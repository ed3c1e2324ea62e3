// AUTH_DES on nisplusd: the credential and verifier of a call are checked
// before dispatch, by the handler of kCheckedDesFlavor (nisplusd.cpp says
// why not of AUTH_DES itself); the caller's netname is left in
// rq_clntcred, where callerPrincipal finds it.
#include <sys/time.h>

#include <algorithm>
#include <cstring>

#include "access_rights.h"
#include "server.h"

namespace nisplusd {

namespace {

// Conversations kept at once; a new one beyond that evicts the one used
// least recently, whose client then gets AUTH_REJECTEDCRED and starts again.
constexpr size_t kMaxDesSessions = 64;
constexpr std::uint32_t kMicro = 1000000;

std::uint32_t be32(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
         std::uint32_t{p[3]};
}

secure_rpc::Timestamp now() {
  timeval tv{};
  gettimeofday(&tv, nullptr);
  return {static_cast<std::uint32_t>(tv.tv_sec), static_cast<std::uint32_t>(tv.tv_usec)};
}

// Whether t lies outside window seconds around now.
bool outsideWindow(secure_rpc::Timestamp t, std::uint32_t window) {
  const std::uint64_t n = now().sec;
  return std::uint64_t{t.sec} + window < n || t.sec > n + window;
}

}  // namespace

auth_stat Server::authenticateDes(svc_req* rq, rpc_msg* msg) {
  return theServer->checkDes(rq, msg);
}

auth_stat Server::checkDes(svc_req* rq, rpc_msg* msg) {
  const opaque_auth& verf = msg->rm_call.cb_verf;
  const auto cred = secure_rpc::parseCredential(
      reinterpret_cast<const std::uint8_t*>(rq->rq_cred.oa_base), rq->rq_cred.oa_length);
  auth_stat why = AUTH_OK;
  std::uint32_t nickname = 0;
  if (!cred) {
    why = AUTH_BADCRED;
  } else if (verf.oa_flavor != AUTH_DES || verf.oa_length != 12 || verf.oa_base == nullptr) {
    why = AUTH_BADVERF;
  } else if (cred->fullname) {
    why = openDesSession(*cred, reinterpret_cast<const std::uint8_t*>(verf.oa_base), nickname);
  } else {
    std::memcpy(&nickname, cred->nickname.data(), sizeof nickname);
    auto it = desSessions_.find(nickname);
    if (it == desSessions_.end()) {
      why = AUTH_REJECTEDCRED;  // forgotten, or never given: start again
    } else {
      std::uint8_t stamp[8];
      std::memcpy(stamp, verf.oa_base, 8);
      secure_rpc::ecbDecrypt(it->second.key, stamp, sizeof stamp);
      const secure_rpc::Timestamp t{be32(stamp), be32(stamp + 4)};
      if (t.usec >= kMicro) {
        why = AUTH_BADVERF;
      } else if (t <= it->second.last || outsideWindow(t, it->second.window)) {
        why = AUTH_REJECTEDVERF;  // a replay, or too old
      } else {
        it->second.last = t;
        ++desCounts_.nickname;
      }
    }
  }
  if (why != AUTH_OK) {
    ++desCounts_.refused;
    return why;
  }
  DesSession& s = desSessions_[nickname];
  s.used = ++desUses_;
  // The reply verifier goes where the call's was: libtirpc keeps that
  // buffer until the reply has been sent.
  std::array<std::uint8_t, 4> nick{};
  std::memcpy(nick.data(), &nickname, sizeof nickname);
  auto reply = secure_rpc::replyVerifier(s.key, s.last, nick);
  // A forger who does not know the conversation key (a test asked for it).
  if (corruptVerifiers_ > 0) {
    --corruptVerifiers_;
    reply[0] ^= 1;
  }
  std::memcpy(verf.oa_base, reply.data(), reply.size());
  rq->rq_xprt->xp_verf.oa_flavor = AUTH_DES;
  rq->rq_xprt->xp_verf.oa_base = verf.oa_base;
  rq->rq_xprt->xp_verf.oa_length = static_cast<u_int>(reply.size());
  // rq_clntcred has room for RQCRED_SIZE (400) bytes; a netname is at most 255.
  std::memcpy(rq->rq_clntcred, s.netname.c_str(), s.netname.size() + 1);
  return AUTH_OK;
}

auth_stat Server::openDesSession(const secure_rpc::Credential& cred, const std::uint8_t* verf,
                                 std::uint32_t& nickname) {
  const auto peer = secure_rpc::parseKey(desPublicKey(ns_, cred.netname));
  if (!peer) return AUTH_BADCRED;  // no DES credential: no key to talk with
  secure_rpc::DesBlock key = cred.sealedConversation;
  secure_rpc::DesBlock common = secure_rpc::commonDesKey(*peer, dhSecret_.bytes);
  secure_rpc::ecbDecrypt(common, key.data(), key.size());
  secure_rpc::wipe(common.data(), common.size());
  std::uint8_t buf[16];
  std::memcpy(buf, verf, 8);
  std::memcpy(buf + 8, cred.w1.data(), 4);
  std::memcpy(buf + 12, verf + 8, 4);
  secure_rpc::cbcDecrypt(key, buf, sizeof buf);
  const secure_rpc::Timestamp t{be32(buf), be32(buf + 4)};
  const std::uint32_t window = be32(buf + 8);
  // Sealed under another key (a wrong secret key on either side), the
  // window and its check do not agree.
  if (be32(buf + 12) != window - 1 || window == 0) return AUTH_BADCRED;
  if (t.usec >= kMicro) return AUTH_BADVERF;
  if (outsideWindow(t, window)) return AUTH_REJECTEDVERF;
  // The same conversation key again: a replayed credential unless later.
  auto same = std::find_if(desSessions_.begin(), desSessions_.end(), [&](const auto& kv) {
    return kv.second.key == key && kv.second.netname == cred.netname;
  });
  if (same != desSessions_.end()) {
    if (t <= same->second.last) return AUTH_REJECTEDCRED;
    nickname = same->first;
  } else {
    if (desSessions_.size() >= kMaxDesSessions) {
      desSessions_.erase(std::min_element(
          desSessions_.begin(), desSessions_.end(),
          [](const auto& a, const auto& b) { return a.second.used < b.second.used; }));
    }
    nickname = nextNickname_++;
    if (nextNickname_ == 0) nextNickname_ = 1;
  }
  DesSession& s = desSessions_[nickname];
  s.netname = cred.netname;
  s.key = key;
  s.window = window;
  s.last = t;
  ++desCounts_.fullname;
  return AUTH_OK;
}

}  // namespace nisplusd
