// Test-only stand-in for clntudp_create, linked into the conformance test so
// that Debian's libnsl NIS+ client can bind to a server at all.
//
// libnsl's fastest-server ping builds a UDP client with clntudp_create and
// then treats its private data as glibc's UDP client record: it writes the
// next xid into cu_outbuf, the target address into cu_raddr, sends with a
// zero timeout, and receives with a null argument routine, reading the
// reply's xid from cu_inbuf. libtirpc's handle has another layout, so the
// first bind crashes. For program 100300 with a caller-supplied socket this
// returns a handle with the layout libnsl reads; its sends go out as real
// NULLPROC calls through a libtirpc client on the same socket, and the xids
// of the replies are handed back the way libnsl reads them. Every other
// call goes to libtirpc's own clntudp_create.
#include <arpa/inet.h>
#include <dlfcn.h>
#include <poll.h>
#include <rpc/rpc.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>
#include <vector>

namespace {

// glibc's private UDP client record, as libnsl was compiled against it.
struct CuData {
  int cu_sock;
  bool_t cu_closeit;
  sockaddr_in cu_raddr;
  int cu_rlen;
  timeval cu_wait;
  timeval cu_total;
  rpc_err cu_error;
  XDR cu_outxdrs;
  u_int cu_xdrpos;
  u_int cu_sendsz;
  char* cu_outbuf;
  u_int cu_recvsz;
  char cu_inbuf[1];
};
// The offsets libnsl's code uses on x86-64.
static_assert(offsetof(CuData, cu_raddr) == 0x8);
static_assert(offsetof(CuData, cu_outbuf) == 0x88);
static_assert(offsetof(CuData, cu_inbuf) == 0x94);

constexpr u_int kBufSize = 8800;

// CLIENT's operations table (a struct nested in CLIENT's declaration).
using ClntOps = std::remove_pointer_t<decltype(CLIENT::cl_ops)>;

struct PingClient {
  CLIENT client;  // first: libnsl holds a CLIENT*
  ClntOps ops;
  u_long prog;
  u_long vers;
  timeval wait;
  CuData* cu;
  std::vector<uint32_t> answered;  // raw xids whose replies came in while sending
  char outbuf[kBufSize];
};

using CreateFn = CLIENT* (*)(sockaddr_in*, u_long, u_long, timeval, int*);

CreateFn realCreate() {
  static CreateFn fn = reinterpret_cast<CreateFn>(dlsym(RTLD_NEXT, "clntudp_create"));
  return fn;
}

PingClient* self(CLIENT* c) { return reinterpret_cast<PingClient*>(c); }

clnt_stat pingCall(CLIENT* c, rpcproc_t proc, xdrproc_t xargs, void* argsp, xdrproc_t xres,
                   void* resp, timeval timeout) {
  PingClient* p = self(c);
  CuData* cu = p->cu;
  if (xargs != nullptr) {
    // Send: like glibc, the stored xid is bumped by one first.
    uint32_t raw;
    std::memcpy(&raw, cu->cu_outbuf, sizeof raw);
    ++raw;
    std::memcpy(cu->cu_outbuf, &raw, sizeof raw);
    sockaddr_in addr = cu->cu_raddr;
    int sock = cu->cu_sock;
    CLIENT* real = realCreate()(&addr, p->prog, p->vers, p->wait, &sock);
    if (!real) return RPC_CANTSEND;
    // The wire carries the stored bytes as they are; libnsl compares the
    // reply's raw bytes with them.
    uint32_t xid = ntohl(raw);
    clnt_control(real, CLSET_XID, reinterpret_cast<char*>(&xid));
    // libtirpc sends nothing with a zero timeout (glibc sends and returns),
    // so wait briefly for the answer here and hand it to the next receive.
    timeval brief{0, 200000};
    clnt_stat st = clnt_call(real, proc, xargs, reinterpret_cast<char*>(argsp), xres,
                             reinterpret_cast<char*>(resp), brief);
    clnt_destroy(real);
    if (st == RPC_SUCCESS) p->answered.push_back(raw);
    return RPC_TIMEDOUT;
  }
  if (!p->answered.empty()) {
    uint32_t raw = p->answered.front();
    p->answered.erase(p->answered.begin());
    std::memcpy(cu->cu_inbuf, &raw, sizeof raw);
    return RPC_SUCCESS;
  }
  // Receive only: wait for any reply and leave it in cu_inbuf.
  int ms = static_cast<int>(timeout.tv_sec * 1000 + timeout.tv_usec / 1000);
  pollfd pfd{cu->cu_sock, POLLIN, 0};
  while (true) {
    int n = poll(&pfd, 1, ms);
    if (n <= 0) return RPC_TIMEDOUT;
    ssize_t got = recv(cu->cu_sock, cu->cu_inbuf, cu->cu_recvsz, 0);
    if (got < 0) return RPC_CANTRECV;
    uint32_t type;
    if (got >= 8) {
      std::memcpy(&type, cu->cu_inbuf + 4, sizeof type);
      if (ntohl(type) == REPLY) return RPC_SUCCESS;
    }
  }
}

void pingAbort(CLIENT*) {}
void pingGeterr(CLIENT*, rpc_err* e) { std::memset(e, 0, sizeof *e); }
bool_t pingFreeres(CLIENT*, xdrproc_t, void*) { return TRUE; }
bool_t pingControl(CLIENT*, u_int, void*) { return FALSE; }

void pingDestroy(CLIENT* c) {
  PingClient* p = self(c);
  std::free(p->cu);
  delete p;
}

}  // namespace

extern "C" CLIENT* clntudp_create(sockaddr_in* raddr, u_long prog, u_long vers, timeval wait,
                                  int* sockp) {
  if (prog != 100300 || !sockp || *sockp == RPC_ANYSOCK) {
    return realCreate()(raddr, prog, vers, wait, sockp);
  }
  auto* p = new (std::nothrow) PingClient{};
  auto* cu = static_cast<CuData*>(std::calloc(1, sizeof(CuData) + kBufSize));
  if (!p || !cu) {
    delete p;
    std::free(cu);
    return nullptr;
  }
  cu->cu_sock = *sockp;
  cu->cu_raddr = *raddr;
  cu->cu_rlen = sizeof cu->cu_raddr;
  cu->cu_wait = wait;
  cu->cu_sendsz = kBufSize;
  cu->cu_outbuf = p->outbuf;
  cu->cu_recvsz = kBufSize;
  p->cu = cu;
  p->prog = prog;
  p->vers = vers;
  p->wait = wait;
  p->ops.cl_call = pingCall;
  p->ops.cl_abort = pingAbort;
  p->ops.cl_geterr = pingGeterr;
  p->ops.cl_freeres = pingFreeres;
  p->ops.cl_destroy = pingDestroy;
  p->ops.cl_control = pingControl;
  p->client.cl_ops = &p->ops;
  p->client.cl_private = cu;
  p->client.cl_auth = authnone_create();
  return &p->client;
}
