// nisplusd's state and request handling: the namespace, the snapshot taken
// at start, the request log, injected faults, the RPC dispatcher and the
// control commands. Everything runs on the one thread of the main loop.
#pragma once

#include <nis_prot.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "namespace.h"
#include "secure_rpc.h"

namespace nisplusd {

// The credential flavor AUTH_DES calls carry inside nisplusd, between the
// decoding of their header and our check (see nisplusd.cpp); its handler
// checks any call that carries it as AUTH_DES.
inline constexpr int kCheckedDesFlavor = 0x40000003;

class Server {
 public:
  // level: the security level (access_rights.h), also restored by reset;
  // dhSecret: the server's Diffie-Hellman secret key.
  Server(Namespace ns, std::string serverName, int level, const secure_rpc::SecretKey& dhSecret);

  // The directory object of a served directory, as clients and the
  // cold-start file see it. Points into the server's storage and `keep`.
  directory_obj directoryObject(const Directory& d, std::vector<std::string>& keep,
                                std::vector<endpoint>& eps, nis_server& srv) const;

  const Namespace& space() const { return ns_; }

  // Answers one control command; false with an error message in out on failure.
  bool control(const std::vector<std::string>& args, std::string& out);

  // Replies on this transport must fit one datagram (libtirpc: 8800 bytes).
  void setDatagramTransport(SVCXPRT* xprt) { datagram_ = xprt; }

  // The RPC dispatcher registered for program 100300 version 3.
  static void dispatch(svc_req* rq, SVCXPRT* xprt);
  // Checks an AUTH_DES call before dispatch (registered with svc_auth_reg
  // for kCheckedDesFlavor):
  // the caller's netname goes to rq_clntcred, the reply verifier to the
  // transport's xp_verf.
  static auth_stat authenticateDes(svc_req* rq, rpc_msg* msg);

 private:
  enum class FaultKind { Status, SSuccess, NoObject };
  struct Fault {
    std::string proc;
    long remaining = 0;
    FaultKind kind = FaultKind::Status;
    int status = 0;
    std::string name;  // empty: any name
  };
  // A conversation a client opened with a fullname credential, found
  // again by the nickname the server gave it.
  struct DesSession {
    std::string netname;
    secure_rpc::DesBlock key{};
    std::uint32_t window = 0;
    secure_rpc::Timestamp last;
    std::uint64_t used = 0;  // when last used, for evicting the oldest
  };
  struct DesCounts {
    std::uint64_t fullname = 0, nickname = 0, refused = 0;
  };
  auth_stat checkDes(svc_req* rq, rpc_msg* msg);
  auth_stat openDesSession(const secure_rpc::Credential& cred, const std::uint8_t* verf,
                           std::uint32_t& nickname);
  void serve(svc_req* rq, SVCXPRT* xprt);
  void findDirectory(SVCXPRT* xprt);
  // The caller's principal at the present level (kNobody when none).
  std::string callerPrincipal(const svc_req* rq) const;
  const Fault* takeFault(const char* proc, const std::string& name);
  void record(const char* proc, const std::string& name, const std::vector<Attr>& attrs,
              uint32_t flags, const std::string& extra);

  Namespace ns_;
  Namespace initial_;
  std::string serverName_;
  std::vector<std::string> log_;
  std::vector<Fault> faults_;
  Fault fired_;  // the fault applied to the current request
  SVCXPRT* datagram_ = nullptr;
  int level_;
  int initialLevel_;
  // The server's Diffie-Hellman key pair, made at start; the public key
  // (48 hex digits and a NUL) goes out in every directory object.
  secure_rpc::SecretKey dhSecret_;
  std::string dhPublic_;
  std::map<std::uint32_t, DesSession> desSessions_;
  std::uint32_t nextNickname_ = 1;
  std::uint64_t desUses_ = 0;
  DesCounts desCounts_;
  long corruptVerifiers_ = 0;  // replies still to be sent with a forged verifier
};

// A security level as text ("0" to "2"), or -1.
int parseLevel(const std::string& text);

// The server the dispatcher talks to; set once by main.
extern Server* theServer;

}  // namespace nisplusd
