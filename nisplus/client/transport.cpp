// TCP transport to NIS+ servers: port lookup, pooled connections, bounded
// calls.
//
// A server's port always comes from the portmapper at its address (GETPORT
// over TCP to port 111). Connections carry AUTH_SYS credentials and are
// kept in a small pool per address, so a busy caller pays the port lookup
// and the handshake once; a pooled connection that the peer has closed is
// noticed before it is used and replaced. Every step is bounded by the
// caller's deadline, so a dead or stopped server costs at most that.
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <rpc/rpc.h>
// After rpc.h, which it needs.
#include <rpc/pmap_prot.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <map>
#include <mutex>

#include "client_internal.h"

namespace nisplus_client {

namespace {

constexpr in_port_t kPortmapperPort = 111;
// Idle connections kept per server address; more concurrent callers open
// extra connections and close them afterwards.
constexpr size_t kMaxIdlePerHost = 8;

std::atomic<std::uint64_t> gConnectionsOpened{0};
std::atomic<std::uint64_t> gPortLookups{0};
std::atomic<std::uint64_t> gCalls{0};

// Milliseconds left before deadline, 0 when it has passed.
int remainingMs(Clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  if (left <= 0) return 0;
  return left > 3600000 ? 3600000 : static_cast<int>(left);
}

timeval toTimeval(int ms) {
  timeval tv{};
  tv.tv_sec = ms / 1000;
  tv.tv_usec = static_cast<suseconds_t>(ms % 1000) * 1000;
  return tv;
}

// libtirpc writes to its sockets with write(): a peer that has gone away
// would raise SIGPIPE and end the whole process. Keep it blocked in this
// thread during a call and swallow one that was raised here.
class SigpipeGuard {
 public:
  SigpipeGuard() {
    sigemptyset(&pipe_);
    sigaddset(&pipe_, SIGPIPE);
    sigset_t pending;
    sigpending(&pending);
    wasPending_ = sigismember(&pending, SIGPIPE) == 1;
    pthread_sigmask(SIG_BLOCK, &pipe_, &old_);
  }
  ~SigpipeGuard() {
    if (!wasPending_) {
      sigset_t pending;
      sigpending(&pending);
      if (sigismember(&pending, SIGPIPE) == 1) {
        const timespec zero{};
        sigtimedwait(&pipe_, nullptr, &zero);
      }
    }
    pthread_sigmask(SIG_SETMASK, &old_, nullptr);
  }
  SigpipeGuard(const SigpipeGuard&) = delete;
  SigpipeGuard& operator=(const SigpipeGuard&) = delete;

 private:
  sigset_t pipe_{};
  sigset_t old_{};
  bool wasPending_ = false;
};

// A connected TCP socket to host:port, or -1. Non-blocking connect, bounded
// by deadline; the socket is left blocking with a send timeout.
int connectTcp(std::uint32_t host, in_port_t port, Clock::time_point deadline) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return -1;
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = host;
  int rc = connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  if (rc != 0 && errno == EINPROGRESS) {
    pollfd p{fd, POLLOUT, 0};
    do {
      rc = poll(&p, 1, remainingMs(deadline));
    } while (rc < 0 && errno == EINTR);
    int err = 0;
    socklen_t len = sizeof err;
    if (rc == 1 && getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0) {
      rc = 0;
    } else {
      rc = -1;
    }
  }
  if (rc != 0) {
    close(fd);
    return -1;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  const int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  // Receives are bounded by the RPC timeout; bound sends too, in case a
  // stopped peer lets its receive window fill.
  const timeval send = toTimeval(static_cast<int>(kCallBudget.count()));
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &send, sizeof send);
  return fd;
}

// An RPC client over an already connected socket; closes fd on failure.
CLIENT* clientOver(int fd, std::uint32_t host, in_port_t port, rpcprog_t prog, rpcvers_t vers) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = host;
  netbuf raddr{sizeof sa, sizeof sa, &sa};
  CLIENT* clnt = clnt_vc_create(fd, &raddr, prog, vers, 0, 0);
  if (clnt == nullptr) {
    close(fd);
    return nullptr;
  }
  clnt_control(clnt, CLSET_FD_CLOSE, nullptr);
  return clnt;
}

// The port of NIS+ over TCP at host, from its portmapper; 0 when unknown.
in_port_t lookupPort(std::uint32_t host, Clock::time_point deadline) {
  ++gPortLookups;
  const int fd = connectTcp(host, kPortmapperPort, deadline);
  if (fd < 0) return 0;
  CLIENT* clnt = clientOver(fd, host, kPortmapperPort, PMAPPROG, PMAPVERS);
  if (clnt == nullptr) return 0;
  timeval tv = toTimeval(remainingMs(deadline));
  clnt_control(clnt, CLSET_TIMEOUT, reinterpret_cast<char*>(&tv));
  pmap query{NIS_PROG, NIS_VERSION, IPPROTO_TCP, 0};
  u_long port = 0;
  clnt_stat stat;
  {
    SigpipeGuard guard;
    stat = clnt_call(clnt, PMAPPROC_GETPORT, reinterpret_cast<xdrproc_t>(xdr_pmap),
                     reinterpret_cast<char*>(&query), reinterpret_cast<xdrproc_t>(xdr_u_long),
                     reinterpret_cast<char*>(&port), tv);
  }
  clnt_destroy(clnt);
  if (stat != RPC_SUCCESS || port == 0 || port > 65535) return 0;
  return static_cast<in_port_t>(port);
}

struct Connection {
  std::uint32_t host = 0;
  CLIENT* clnt = nullptr;

  Connection() = default;
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  ~Connection() {
    if (clnt == nullptr) return;
    if (clnt->cl_auth != nullptr) auth_destroy(clnt->cl_auth);
    clnt_destroy(clnt);
  }

  int fd() const {
    int fd = -1;
    clnt_control(clnt, CLGET_FD, reinterpret_cast<char*>(&fd));
    return fd;
  }

  // An idle connection must have nothing to read: readable means the peer
  // closed it (or sent something nobody asked for).
  bool stillIdle() const {
    pollfd p{fd(), POLLIN | POLLRDHUP, 0};
    return poll(&p, 1, 0) == 0;
  }
};

struct Pool {
  std::mutex mu;
  std::multimap<std::uint32_t, std::unique_ptr<Connection>> idle;
};

Pool& pool() {
  static Pool* p = new Pool;  // never destroyed: calls may run during exit
  return *p;
}

std::unique_ptr<Connection> takeIdle(std::uint32_t host) {
  Pool& p = pool();
  for (;;) {
    std::unique_ptr<Connection> conn;
    {
      std::lock_guard lock(p.mu);
      auto it = p.idle.find(host);
      if (it == p.idle.end()) return nullptr;
      conn = std::move(it->second);
      p.idle.erase(it);
    }
    if (conn->stillIdle()) return conn;
    // Closed by the peer while idle: drop it (outside the lock) and look on.
  }
}

std::unique_ptr<Connection> openConnection(std::uint32_t host, Clock::time_point deadline) {
  const in_port_t port = lookupPort(host, deadline);
  if (port == 0) return nullptr;
  const int fd = connectTcp(host, port, deadline);
  if (fd < 0) return nullptr;
  CLIENT* clnt = clientOver(fd, host, port, NIS_PROG, NIS_VERSION);
  if (clnt == nullptr) return nullptr;
  AUTH* auth = authunix_create_default();
  if (auth != nullptr) {
    auth_destroy(clnt->cl_auth);
    clnt->cl_auth = auth;
  }
  ++gConnectionsOpened;
  auto conn = std::make_unique<Connection>();
  conn->host = host;
  conn->clnt = clnt;
  return conn;
}

void putBack(std::unique_ptr<Connection> conn) {
  Pool& p = pool();
  std::lock_guard lock(p.mu);
  if (p.idle.count(conn->host) < kMaxIdlePerHost) {
    p.idle.emplace(conn->host, std::move(conn));
    return;
  }
  // Too many idle ones already: conn is closed as it goes out of scope;
  // closing under the lock costs only a close().
}

// Replies that leave the connection usable although the call failed.
bool connectionSurvives(clnt_stat stat) {
  switch (stat) {
    case RPC_PROCUNAVAIL:
    case RPC_PROGUNAVAIL:
    case RPC_PROGVERSMISMATCH:
    case RPC_AUTHERROR:
    case RPC_CANTDECODEARGS:
      return true;
    default:
      return false;
  }
}

}  // namespace

CallOutcome callServer(const ServerAddress& server, rpcproc_t proc, xdrproc_t xdrArgs,
                       const void* args, xdrproc_t xdrResult, void* result,
                       Clock::time_point deadline, bool idempotent) {
  for (size_t h = 0; h < server.hosts.size(); ++h) {
    const std::uint32_t host = server.hosts[h];
    const Clock::time_point hostDeadline = attemptDeadline(deadline, server.hosts.size() - h);
    bool retried = false;
    for (;;) {
      if (remainingMs(hostDeadline) == 0) break;  // this address's share is spent
      std::unique_ptr<Connection> conn = takeIdle(host);
      const bool reused = conn != nullptr;
      if (!conn) conn = openConnection(host, hostDeadline);
      if (!conn) break;  // next address
      timeval tv = toTimeval(remainingMs(hostDeadline));
      if (tv.tv_sec == 0 && tv.tv_usec == 0) {
        putBack(std::move(conn));
        break;
      }
      clnt_control(conn->clnt, CLSET_TIMEOUT, reinterpret_cast<char*>(&tv));
      ++gCalls;
      clnt_stat stat;
      {
        SigpipeGuard guard;
        stat = clnt_call(conn->clnt, proc, xdrArgs, static_cast<char*>(const_cast<void*>(args)),
                         xdrResult, static_cast<char*>(result), tv);
      }
      if (stat == RPC_SUCCESS) {
        putBack(std::move(conn));
        return CallOutcome::kReplied;
      }
      // Whatever was decoded before the failure goes; pointers end up null.
      xdr_free(xdrResult, static_cast<char*>(result));
      if (stat == RPC_CANTENCODEARGS || stat == RPC_CANTDECODERES) return CallOutcome::kBadReply;
      if (connectionSurvives(stat)) {
        putBack(std::move(conn));
        return CallOutcome::kBadReply;
      }
      conn.reset();
      // A pooled connection can die between the idle check and the call;
      // a read is safe to send again on a fresh one.
      if (reused && idempotent && !retried && stat != RPC_TIMEDOUT) {
        retried = true;
        continue;
      }
      break;
    }
  }
  return CallOutcome::kUnreachable;
}

Clock::time_point attemptDeadline(Clock::time_point deadline, size_t left) {
  const Clock::time_point now = Clock::now();
  if (left <= 1 || deadline <= now) return deadline;
  return now + (deadline - now) / static_cast<int>(left);
}

void closeIdleConnections() {
  Pool& p = pool();
  std::multimap<std::uint32_t, std::unique_ptr<Connection>> doomed;
  {
    std::lock_guard lock(p.mu);
    doomed.swap(p.idle);
  }
}

TransportStats transportStats() {
  return TransportStats{gConnectionsOpened.load(), gPortLookups.load(), gCalls.load()};
}

}  // namespace nisplus_client
