// nisplusd's state and request handling: the namespace, the snapshot taken
// at start, the request log, injected faults, the RPC dispatcher and the
// control commands. Everything runs on the one thread of the main loop.
#pragma once

#include <nis_prot.h>

#include <string>
#include <vector>

#include "namespace.h"

namespace nisplusd {

class Server {
 public:
  // level: the security level (access_rights.h), also restored by reset.
  Server(Namespace ns, std::string serverName, int level);

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

 private:
  enum class FaultKind { Status, SSuccess, NoObject };
  struct Fault {
    std::string proc;
    long remaining = 0;
    FaultKind kind = FaultKind::Status;
    int status = 0;
    std::string name;  // empty: any name
  };
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
};

// A security level as text ("0" to "2"), or -1.
int parseLevel(const std::string& text);

// The server the dispatcher talks to; set once by main.
extern Server* theServer;

}  // namespace nisplusd
