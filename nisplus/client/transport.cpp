// TCP transport to NIS+ servers: port lookup, pooled connections, bounded
// calls.
//
// A server's port always comes from the portmapper at its address (GETPORT
// over TCP to port 111). Connections carry AUTH_DES credentials as the
// host when the server has a Diffie-Hellman key and root's secret key is
// at hand, else AUTH_SYS, and are kept in a small pool per address, so a
// busy caller pays the port lookup and the handshake once; a pooled
// connection that the peer has closed is noticed before it is used and
// replaced, and one idle for too long is retired, since a firewall or NAT
// on the way may have forgotten it.
//
// The RPC exchange itself is done here rather than by libtirpc's TCP
// client, which restarts its wait with the full timeout on every read and
// keeps reading until a reply with its transaction id comes: a peer that
// drips replies to other calls, or reads our request slowly, could hold a
// caller for ever. Here every read and write of a call waits only until the
// call's one deadline, so no call outlives its budget, whatever the peer
// does. Sockets are non-blocking and sends use MSG_NOSIGNAL: a peer that
// went away costs an error, never a SIGPIPE. A reply is read whole into
// memory, growing with the bytes that actually come (not with the lengths a
// record mark announces), up to kMaxReplyRecord, and decoded from there, so
// that its decoder can check every count against the data (replies.cpp). A
// call may also show the results to a ReplyProgress while they arrive (the
// streamed listing).
//
// A pooled connection may have been dropped on the way without a word (a
// firewall or NAT forgot it): nothing ever answers on it. A read on one
// that has not begun to answer within the hedging delay goes out on a
// fresh connection too, and the first reply to begin is taken; a slow but
// live reply keeps its place until the deadline. An update is never sent
// twice: it goes out on a connection that has just answered, or a fresh
// one, and once any byte of it has left this process no other connection
// or address gets it.
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <rpc/rpc.h>
#include <sys/time.h>
// After rpc.h, which it needs.
#include <rpc/pmap_prot.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

#include "client_internal.h"
#include "secure_rpc.h"

namespace nisplus_client {

namespace {

constexpr in_port_t kPortmapperPort = 111;
// Idle connections kept per server address; more concurrent callers open
// extra connections and close them afterwards.
constexpr size_t kMaxIdlePerHost = 8;
// An idle connection older than this is closed instead of reused: state
// kept for it on the way (firewall, NAT) may be gone without a FIN or RST.
constexpr std::chrono::seconds kMaxIdleAge{60};
// TCP keepalive on pooled connections: first probe after this much silence,
// then every kKeepaliveInterval, given up after kKeepaliveProbes.
constexpr int kKeepaliveIdleSeconds = 20;
constexpr int kKeepaliveIntervalSeconds = 5;
constexpr int kKeepaliveProbes = 3;
// The request buffer of one connection, and the room a reply buffer starts
// with; a connection keeps a reply buffer no larger than that between calls.
constexpr u_int kSendBuffer = 8 * 1024;
constexpr size_t kReceiveBuffer = size_t{64} * 1024;
// RPC record marking: the last-fragment bit and the fragment length.
constexpr std::uint32_t kLastFragment = 0x80000000U;
// The bytes of an accepted reply's header: at least xid, direction, reply
// status, verifier flavour and length, accept status; at most that with a
// verifier body of MAX_AUTH_BYTES.
constexpr size_t kMinReplyHeader = 24;
constexpr size_t kMaxReplyHeader = kMinReplyHeader + MAX_AUTH_BYTES;

std::atomic<std::uint64_t> gConnectionsOpened{0};
std::atomic<std::uint64_t> gPortLookups{0};
std::atomic<std::uint64_t> gCalls{0};

// Milliseconds left before deadline, rounded up, 0 when it has passed.
int remainingMs(Clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now()).count();
  if (left <= 0) return 0;
  return left > 3600000000LL ? 3600000 : static_cast<int>((left + 999) / 1000);
}

// Waits until fd is ready for events or deadline passes; false on timeout
// or error.
bool waitFor(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    const int ms = remainingMs(deadline);
    if (ms == 0) return false;
    pollfd p{fd, events, 0};
    const int rc = poll(&p, 1, ms);
    if (rc > 0) return true;
    if (rc < 0 && errno != EINTR) return false;
  }
}

// A connected, non-blocking TCP socket to host:port, or -1; the connect
// waits until deadline at most.
int connectTcp(std::uint32_t host, in_port_t port, Clock::time_point deadline) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return -1;
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = host;
  int rc = connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  if (rc != 0 && errno == EINPROGRESS) {
    int err = 0;
    socklen_t len = sizeof err;
    rc = waitFor(fd, POLLOUT, deadline) && getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 &&
                 err == 0
             ? 0
             : -1;
  }
  if (rc != 0) {
    close(fd);
    return -1;
  }
  const int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

// How a call's RPC reply maps to a client status.
clnt_stat replyStatus(const rpc_msg& reply) {
  if (reply.rm_reply.rp_stat == MSG_DENIED) {
    return reply.rjcted_rply.rj_stat == RPC_MISMATCH ? RPC_VERSMISMATCH : RPC_AUTHERROR;
  }
  if (reply.rm_reply.rp_stat != MSG_ACCEPTED) return RPC_CANTDECODERES;
  switch (reply.acpted_rply.ar_stat) {
    case SUCCESS:
      return RPC_SUCCESS;
    case PROG_UNAVAIL:
      return RPC_PROGUNAVAIL;
    case PROG_MISMATCH:
      return RPC_PROGVERSMISMATCH;
    case PROC_UNAVAIL:
      return RPC_PROCUNAVAIL;
    case GARBAGE_ARGS:
      return RPC_CANTDECODEARGS;
    case SYSTEM_ERR:
      return RPC_SYSTEMERROR;
  }
  return RPC_CANTDECODERES;
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

// The AUTH_DES conversation of one connection with its server: a fullname
// credential on its first call (and after the server refused one), then
// the nickname the server gave. A server takes the timestamps of one
// nickname only in increasing order; calls on one connection never
// overlap, so theirs arrive in the order they were made, which calls on
// several connections sharing a nickname could not promise.
class DesConversation {
 public:
  explicit DesConversation(const DesIdentity& id) : id_(id) { restart(); }
  ~DesConversation() { secure_rpc::wipe(conversation_.data(), conversation_.size()); }
  DesConversation(const DesConversation&) = delete;
  DesConversation& operator=(const DesConversation&) = delete;

  // The next call goes with a fullname credential and a new conversation key.
  void restart() {
    conversation_ = secure_rpc::newConversationKey();
    nickname_.reset();
  }

  // The credential and verifier of one request, with a timestamp of its
  // own, later than any sent before on this connection.
  bool marshal(XDR* x) {
    timeval tv{};
    gettimeofday(&tv, nullptr);
    secure_rpc::Timestamp t{static_cast<std::uint32_t>(tv.tv_sec),
                            static_cast<std::uint32_t>(tv.tv_usec)};
    if (t <= sent_) {
      t = sent_.usec + 1 < 1000000 ? secure_rpc::Timestamp{sent_.sec, sent_.usec + 1}
                                   : secure_rpc::Timestamp{sent_.sec + 1, 0};
    }
    sent_ = t;
    secure_rpc::ClientSeal seal;
    std::vector<std::uint8_t> cred;
    if (nickname_) {
      seal = secure_rpc::sealNickname(conversation_, t);
      cred = secure_rpc::nicknameCredential(*nickname_);
    } else {
      seal = secure_rpc::sealFullname(conversation_, t, secure_rpc::kWindow);
      secure_rpc::DesBlock sealed = conversation_;
      secure_rpc::ecbEncrypt(id_.common, sealed.data(), sealed.size());
      cred = secure_rpc::fullnameCredential(id_.netname, sealed, seal.w1);
    }
    auto verf = secure_rpc::clientVerifier(seal);
    opaque_auth c{AUTH_DES, reinterpret_cast<caddr_t>(cred.data()),
                  static_cast<u_int>(cred.size())};
    opaque_auth v{AUTH_DES, reinterpret_cast<caddr_t>(verf.data()),
                  static_cast<u_int>(verf.size())};
    return xdr_opaque_auth(x, &c) && xdr_opaque_auth(x, &v);
  }

  // Whether the reply verifier answers the request sent last; it names the
  // nickname for the next ones.
  bool validate(const opaque_auth& verf) {
    if (verf.oa_flavor != AUTH_DES) return false;
    const auto nick = secure_rpc::checkReplyVerifier(
        conversation_, sent_, reinterpret_cast<const std::uint8_t*>(verf.oa_base), verf.oa_length);
    if (!nick) return false;
    nickname_ = *nick;
    return true;
  }

 private:
  DesIdentity id_;
  secure_rpc::DesBlock conversation_{};
  std::optional<std::array<std::uint8_t, 4>> nickname_;
  secure_rpc::Timestamp sent_;
};

// A refusal after which a new conversation may succeed: the server forgot
// the nickname or took the timestamp for a replay.
bool worthRestarting(const rpc_msg& reply) {
  return reply.rm_reply.rp_stat == MSG_DENIED && reply.rjcted_rply.rj_stat == AUTH_ERROR &&
         (reply.rjcted_rply.rj_why == AUTH_REJECTEDCRED ||
          reply.rjcted_rply.rj_why == AUTH_REJECTEDVERF);
}

// Decodes nothing: the reply's header is read first, its results after the
// transaction id has been checked.
bool_t headerOnly(XDR* /*xdrs*/, ...) { return TRUE; }

// One TCP connection speaking ONC RPC with record marking (RFC 5531) to one
// program of one server. Every read and write of a call waits at most
// until that call's deadline.
class RpcStream {
 public:
  // Calls carry des's credentials when given, else auth's; identity names
  // them for the pool.
  RpcStream(int fd, std::uint32_t host, rpcprog_t prog, rpcvers_t vers, AUTH* auth,
            std::unique_ptr<DesConversation> des = nullptr, std::string identity = "")
      : host_(host),
        fd_(fd),
        prog_(prog),
        vers_(vers),
        auth_(auth),
        des_(std::move(des)),
        identity_(std::move(identity)) {
    xid_ = static_cast<std::uint32_t>(Clock::now().time_since_epoch().count()) ^
           (static_cast<std::uint32_t>(fd) << 16);
    xdrrec_create(&xdrs_, kSendBuffer, kSendBuffer, this, readSome, writeSome);
  }
  ~RpcStream() {
    xdr_destroy(&xdrs_);
    if (auth_ != nullptr) auth_destroy(auth_);
    close(fd_);
  }
  RpcStream(const RpcStream&) = delete;
  RpcStream& operator=(const RpcStream&) = delete;

  std::uint32_t host() const { return host_; }
  const std::string& identity() const { return identity_; }
  // Whether a reply's verifier failed: nothing more is believed from it.
  bool distrusted() const { return distrusted_; }
  // Whether any byte came from the peer during the last call.
  bool receivedAny() const { return received_; }
  // Whether any byte of the last call's request left this process.
  bool sentAny() const { return sent_; }
  Clock::time_point lastUsed() const { return lastUsed_; }

  // An idle connection must have nothing to read: readable means the peer
  // closed it (or sent something nobody asked for).
  bool stillIdle() const {
    pollfd p{fd_, POLLIN | POLLRDHUP, 0};
    return poll(&p, 1, 0) == 0;
  }

  // One call: send, then receive. On any status but RPC_SUCCESS, the
  // RPC-level refusals (connectionSurvives) excepted, the stream is no
  // longer usable. A reply that came but could not be decoded for want of
  // memory sets noMemory().
  clnt_stat call(rpcproc_t proc, xdrproc_t xdrArgs, const void* args, ReplyDecoder decode,
                 void* result, Clock::time_point deadline, ReplyProgress* progress) {
    const clnt_stat sent = send(proc, xdrArgs, args, deadline);
    if (sent != RPC_SUCCESS) return sent;
    return receive(decode, result, deadline, progress);
  }

  // Sends a request; its reply is read by receive.
  clnt_stat send(rpcproc_t proc, xdrproc_t xdrArgs, const void* args, Clock::time_point deadline) {
    proc_ = proc;
    xdrArgs_ = xdrArgs;
    args_ = args;
    restarted_ = false;
    return sendRequest(deadline);
  }

  // Reads and decodes the reply to the request sent last, until deadline.
  // When the server refused an AUTH_DES conversation it may take a new one
  // for (a forgotten nickname, a timestamp it took for a replay), the
  // request goes again once, with a fullname credential: it was not
  // carried out.
  clnt_stat receive(ReplyDecoder decode, void* result, Clock::time_point deadline,
                    ReplyProgress* progress) {
    for (;;) {
      bool restart = false;
      const clnt_stat stat = receiveOnce(decode, result, deadline, progress, restart);
      if (!restart) return stat;
      restarted_ = true;
      des_->restart();
      const clnt_stat sent = sendRequest(deadline);
      if (sent != RPC_SUCCESS) return sent;
    }
  }

  int fd() const { return fd_; }
  // When the last reply completed on this connection (epoch if none did).
  Clock::time_point lastAnswered() const { return lastAnswered_; }
  // How long the last request waited for the first byte of its reply.
  Clock::duration firstByteWait() const { return firstByteAt_ - sentAt_; }

  bool noMemory() const { return noMemory_; }

 private:
  clnt_stat ioStatus() const { return timedOut_ ? RPC_TIMEDOUT : RPC_CANTRECV; }

  clnt_stat sendRequest(Clock::time_point deadline) {
    deadline_ = deadline;
    timedOut_ = ioFailed_ = sent_ = received_ = noMemory_ = tooLarge_ = false;
    lastUsed_ = sentAt_ = Clock::now();
    XDR* x = &xdrs_;
    x->x_op = XDR_ENCODE;
    rpc_msg msg{};
    msg.rm_xid = ++xid_;
    msg.rm_direction = CALL;
    msg.rm_call.cb_rpcvers = RPC_MSG_VERSION;
    msg.rm_call.cb_prog = prog_;
    msg.rm_call.cb_vers = vers_;
    u_int32_t procedure = proc_;
    const bool encoded = xdr_callhdr(x, &msg) && xdr_u_int32_t(x, &procedure) &&
                         (des_ ? des_->marshal(x) : AUTH_MARSHALL(auth_, x)) &&
                         xdrArgs_(x, static_cast<char*>(const_cast<void*>(args_)));
    if (!encoded) return ioFailed_ ? ioStatus() : RPC_CANTENCODEARGS;
    if (!xdrrec_endofrecord(x, TRUE)) return ioStatus();
    return RPC_SUCCESS;
  }

  clnt_stat receiveOnce(ReplyDecoder decode, void* result, Clock::time_point deadline,
                        ReplyProgress* progress, bool& restart) {
    deadline_ = deadline;
    rpc_msg reply{};
    size_t bodyOffset = 0;
    for (;;) {
      if (!readRecord(xid_, progress)) return tooLarge_ ? RPC_CANTDECODERES : ioStatus();
      const bool decoded = decodeHeader(reply, bodyOffset);
      if (decoded && reply.rm_xid == xid_) break;
      freeVerifier(reply);
      // A reply to another call, or a record that is no reply: skip it.
    }
    clnt_stat stat = replyStatus(reply);
    restart = des_ && !restarted_ && worthRestarting(reply);
    if (stat == RPC_SUCCESS) {
      if (des_ ? !des_->validate(reply.acpted_rply.ar_verf)
               : !AUTH_VALIDATE(auth_, &reply.acpted_rply.ar_verf)) {
        // Not from the server, or not to this request: not believed.
        stat = RPC_AUTHERROR;
        distrusted_ = true;
      } else {
        record_.deadline = deadline;
        const Decoded d = progress != nullptr ? progress->decode(record_, bodyOffset, result)
                                              : decode(record_, bodyOffset, result);
        noMemory_ = d == Decoded::kNoMemory;
        // Decoding is part of the call: one that ran out of time is a call
        // that timed out.
        timedOut_ = d == Decoded::kLate;
        if (d != Decoded::kOk) stat = timedOut_ ? RPC_TIMEDOUT : RPC_CANTDECODERES;
      }
    }
    freeVerifier(reply);
    if (restart) return stat;
    // A large reply buffer is not kept for the next call.
    if (record_.capacity > kReceiveBuffer) std::free(record_.release());
    lastUsed_ = Clock::now();
    if (stat == RPC_SUCCESS || connectionSurvives(stat)) lastAnswered_ = lastUsed_;
    return stat;
  }

  // The header of the reply in record_ (the whole record or its start);
  // its results begin at offset. The verifier is freed with freeVerifier.
  bool decodeHeader(rpc_msg& reply, size_t& offset) {
    reply = rpc_msg{};
    reply.acpted_rply.ar_verf = _null_auth;
    reply.acpted_rply.ar_results.where = nullptr;
    reply.acpted_rply.ar_results.proc = headerOnly;
    XDR header;
    xdrmem_create(&header, record_.data, static_cast<u_int>(record_.size), XDR_DECODE);
    const bool decoded = xdr_replymsg(&header, &reply);
    offset = xdr_getpos(&header);
    xdr_destroy(&header);
    return decoded;
  }

  // Called as the record arrives: once its header shows the accepted reply
  // to call xid, the results so far go to progress.
  void watch(std::uint32_t xid, ReplyProgress* progress, bool complete) {
    if (watch_ == Watch::kHeader) {
      if (record_.size < kMinReplyHeader && !complete) return;
      rpc_msg reply{};
      size_t offset = 0;
      const bool decoded = decodeHeader(reply, offset);
      const bool ours = decoded && reply.rm_xid == xid && replyStatus(reply) == RPC_SUCCESS;
      freeVerifier(reply);
      if (!decoded && !complete && record_.size < kMaxReplyHeader) return;  // more to come
      if (!ours) {
        watch_ = Watch::kNone;
        return;
      }
      resultsOffset_ = offset;
      watch_ = Watch::kResults;
      progress->started();
    }
    if (watch_ == Watch::kResults) {
      progress->arrived(record_.data + resultsOffset_, record_.size - resultsOffset_, complete);
    }
  }

  void freeVerifier(rpc_msg& reply) {
    if (reply.rm_reply.rp_stat != MSG_ACCEPTED) return;
    opaque_auth& verf = reply.acpted_rply.ar_verf;
    if (verf.oa_base == nullptr) return;
    XDR x{};
    x.x_op = XDR_FREE;
    xdr_opaque_auth(&x, &verf);
  }

  // Whatever the socket has, up to len bytes, waiting until the deadline
  // for at least one; -1 (never 0) on end of stream, error or timeout.
  int receive(void* buf, size_t len) {
    for (;;) {
      const ssize_t n = recv(fd_, buf, len, 0);
      if (n > 0) {
        if (!received_) firstByteAt_ = Clock::now();
        received_ = true;
        return static_cast<int>(n);
      }
      if (n < 0 && errno == EINTR) continue;
      if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) break;
      if (!waitFor(fd_, POLLIN, deadline_)) {
        timedOut_ = remainingMs(deadline_) == 0;
        break;
      }
    }
    ioFailed_ = true;
    return -1;
  }

  bool receiveFull(void* buf, size_t len) {
    auto* p = static_cast<char*>(buf);
    while (len > 0) {
      const int n = receive(p, len);
      if (n < 0) return false;
      p += n;
      len -= static_cast<size_t>(n);
    }
    return true;
  }

  // Reads one whole record (all its fragments) into record_. The buffer
  // grows with the bytes received, at most doubling, so a fragment length
  // that announces more than comes costs no more than twice what came.
  // With progress, the results of the reply to call xid go to it as they
  // come (see watch).
  bool readRecord(std::uint32_t xid, ReplyProgress* progress) {
    record_.size = 0;
    watch_ = progress != nullptr ? Watch::kHeader : Watch::kNone;
    for (;;) {
      std::uint32_t mark = 0;
      if (!receiveFull(&mark, sizeof mark)) return false;
      mark = ntohl(mark);
      const bool last = (mark & kLastFragment) != 0;
      size_t fragment = mark & ~kLastFragment;
      // Refused on the announcement: none of its bytes is read.
      if (fragment > kMaxReplyRecord - record_.size) {
        tooLarge_ = ioFailed_ = true;
        return false;
      }
      while (fragment > 0) {
        if (record_.size == record_.capacity) {
          size_t grown = record_.capacity == 0 ? kReceiveBuffer : record_.capacity * 2;
          // The last fragment says how much is left: no more room than that.
          if (last) grown = std::min(grown, record_.size + fragment);
          char* bigger = static_cast<char*>(std::realloc(record_.data, grown));
          if (bigger == nullptr) {
            ioFailed_ = true;
            return false;
          }
          record_.data = bigger;
          record_.capacity = grown;
        }
        const size_t room = std::min(fragment, record_.capacity - record_.size);
        const int n = receive(record_.data + record_.size, room);
        if (n < 0) return false;
        record_.size += static_cast<size_t>(n);
        fragment -= static_cast<size_t>(n);
        if (watch_ != Watch::kNone && fragment > 0) watch(xid, progress, false);
      }
      if (watch_ != Watch::kNone) watch(xid, progress, last);
      if (last) return true;
    }
  }

  // xdrrec's input; never used, since replies are read by readRecord.
  static int readSome(void* /*self*/, void* /*buf*/, int /*len*/) { return -1; }

  // xdrrec's output: all len bytes, or -1.
  static int writeSome(void* self, void* buf, int len) {
    auto* s = static_cast<RpcStream*>(self);
    const char* p = static_cast<const char*>(buf);
    size_t left = static_cast<size_t>(len);
    while (left > 0) {
      const ssize_t n = ::send(s->fd_, p, left, MSG_NOSIGNAL);
      if (n > 0) {
        s->sent_ = true;
        p += n;
        left -= static_cast<size_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
        s->ioFailed_ = true;
        return -1;
      }
      if (!waitFor(s->fd_, POLLOUT, s->deadline_)) {
        s->timedOut_ = remainingMs(s->deadline_) == 0;
        s->ioFailed_ = true;
        return -1;
      }
    }
    return len;
  }

  std::uint32_t host_;
  int fd_;
  rpcprog_t prog_;
  rpcvers_t vers_;
  AUTH* auth_;
  std::unique_ptr<DesConversation> des_;
  std::string identity_;
  // The request of the call under way, for its one resend.
  rpcproc_t proc_ = 0;
  xdrproc_t xdrArgs_ = nullptr;
  const void* args_ = nullptr;
  bool restarted_ = false;
  bool distrusted_ = false;
  XDR xdrs_{};
  std::uint32_t xid_ = 0;
  Clock::time_point deadline_{};
  Clock::time_point lastUsed_{};
  Clock::time_point lastAnswered_{};
  Clock::time_point sentAt_{};
  Clock::time_point firstByteAt_{};
  bool timedOut_ = false;
  bool ioFailed_ = false;
  bool sent_ = false;
  bool received_ = false;
  bool noMemory_ = false;
  bool tooLarge_ = false;  // the reply's record marks announced more than kMaxReplyRecord
  Record record_;
  // How far the record being read has been shown to a ReplyProgress.
  enum class Watch { kNone, kHeader, kResults };
  Watch watch_ = Watch::kNone;
  size_t resultsOffset_ = 0;
};

Decoded decodePort(Record& record, size_t offset, void* out) {
  XDR xdrs;
  xdrmem_create(&xdrs, record.data + offset, static_cast<u_int>(record.size - offset), XDR_DECODE);
  const bool ok = xdr_u_long(&xdrs, static_cast<u_long*>(out));
  xdr_destroy(&xdrs);
  return ok ? Decoded::kOk : Decoded::kMalformed;
}

// The port of NIS+ over TCP at host, from its portmapper; 0 when unknown.
in_port_t lookupPort(std::uint32_t host, Clock::time_point deadline) {
  ++gPortLookups;
  const int fd = connectTcp(host, kPortmapperPort, deadline);
  if (fd < 0) return 0;
  RpcStream pmap(fd, host, PMAPPROG, PMAPVERS, authnone_create());
  struct pmap query {
    NIS_PROG, NIS_VERSION, IPPROTO_TCP, 0
  };
  u_long port = 0;
  const clnt_stat stat = pmap.call(PMAPPROC_GETPORT, reinterpret_cast<xdrproc_t>(xdr_pmap), &query,
                                   decodePort, &port, deadline, nullptr);
  if (stat != RPC_SUCCESS || port == 0 || port > 65535) return 0;
  return static_cast<in_port_t>(port);
}

using Connection = RpcStream;

struct Pool {
  std::mutex mu;
  std::multimap<std::uint32_t, std::unique_ptr<Connection>> idle;
  // Per address: how long its replies have recently taken to begin.
  std::map<std::uint32_t, Clock::duration> firstByte;
};

Pool& pool() {
  static Pool* p = new Pool;  // never destroyed: calls may run during exit
  return *p;
}

// A pooled connection to host that speaks as identity, or null. With a
// limit, only one whose last reply came at most that long ago; the others
// stay for reads. One made under another identity (root's key came, went
// or changed) is dropped on the way.
std::unique_ptr<Connection> takeIdle(std::uint32_t host, Clock::duration silentAtMost,
                                     const std::string& identity) {
  Pool& p = pool();
  for (;;) {
    std::unique_ptr<Connection> conn;
    {
      std::lock_guard lock(p.mu);
      const Clock::time_point now = Clock::now();
      auto [first, last] = p.idle.equal_range(host);
      auto it = std::find_if(first, last, [&](const auto& kv) {
        return kv.second->identity() != identity || silentAtMost == Clock::duration::max() ||
               now - kv.second->lastAnswered() <= silentAtMost;
      });
      if (it == last) return nullptr;
      conn = std::move(it->second);
      p.idle.erase(it);
    }
    if (conn->identity() == identity && Clock::now() - conn->lastUsed() < kMaxIdleAge &&
        conn->stillIdle()) {
      return conn;
    }
    // Closed by the peer, idle for too long or made as someone else: drop
    // it (outside the lock) and look on.
  }
}

// How long a read on a reused connection waits for the first byte of its
// reply before it goes out on a fresh connection too: twice the time the
// server's replies have taken to begin of late, and never less than
// kHedgeFloor. A server that is slow for every request is not asked twice
// for each; one slow reply among fast ones moves the delay by an eighth.
Clock::duration hedgeDelay(std::uint32_t host) {
  Pool& p = pool();
  std::lock_guard lock(p.mu);
  auto it = p.firstByte.find(host);
  const Clock::duration seen = it != p.firstByte.end() ? it->second : Clock::duration::zero();
  return std::max<Clock::duration>(kHedgeFloor, 2 * seen);
}

// Records how long a reply took to begin: a moving average that gives
// each new reply an eighth of the weight (as TCP smooths its round trips).
void observeFirstByte(std::uint32_t host, Clock::duration wait) {
  Pool& p = pool();
  std::lock_guard lock(p.mu);
  auto [it, first] = p.firstByte.try_emplace(host, wait);
  if (!first) it->second += (wait - it->second) / 8;
}

void keepAlive(int fd) {
  const int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &kKeepaliveIdleSeconds, sizeof kKeepaliveIdleSeconds);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &kKeepaliveIntervalSeconds,
             sizeof kKeepaliveIntervalSeconds);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &kKeepaliveProbes, sizeof kKeepaliveProbes);
}

// Who a call speaks as: AUTH_DES as the host when the server has a key and
// root's secret key is at hand, else AUTH_SYS (identity "").
struct Speaker {
  std::optional<DesIdentity> des;
  std::string identity;
};

Speaker speakerFor(const ServerAddress& server) {
  Speaker s;
  s.des = desIdentityFor(server.publicKey);
  if (s.des) s.identity = std::to_string(s.des->generation) + ":" + server.publicKey;
  return s;
}

std::unique_ptr<Connection> openConnection(std::uint32_t host, const Speaker& who,
                                           Clock::time_point deadline) {
  const in_port_t port = lookupPort(host, deadline);
  if (port == 0) return nullptr;
  const int fd = connectTcp(host, port, deadline);
  if (fd < 0) return nullptr;
  keepAlive(fd);
  ++gConnectionsOpened;
  if (who.des) {
    return std::make_unique<Connection>(fd, host, NIS_PROG, NIS_VERSION, nullptr,
                                        std::make_unique<DesConversation>(*who.des), who.identity);
  }
  AUTH* auth = authunix_create_default();
  if (auth == nullptr) auth = authnone_create();
  return std::make_unique<Connection>(fd, host, NIS_PROG, NIS_VERSION, auth);
}

void putBack(std::unique_ptr<Connection> conn) {
  Pool& p = pool();
  std::lock_guard lock(p.mu);
  if (p.idle.count(conn->host()) < kMaxIdlePerHost) {
    p.idle.emplace(conn->host(), std::move(conn));
    return;
  }
  // Too many idle ones already: conn is closed as it goes out of scope;
  // closing under the lock costs only a close().
}

// What a finished exchange on conn means for its call; conn goes back to
// the pool when it is still usable.
CallOutcome settle(std::unique_ptr<Connection> conn, clnt_stat stat) {
  if (stat == RPC_SUCCESS) {
    observeFirstByte(conn->host(), conn->firstByteWait());
    putBack(std::move(conn));
    return CallOutcome::kReplied;
  }
  // A decoder that fails leaves its result empty.
  if (conn->noMemory()) return CallOutcome::kNoMemory;
  if (stat == RPC_CANTENCODEARGS || stat == RPC_CANTDECODERES) return CallOutcome::kBadReply;
  if (connectionSurvives(stat)) {
    if (!conn->distrusted()) putBack(std::move(conn));
    return CallOutcome::kBadReply;
  }
  return CallOutcome::kUnreachable;  // the connection is lost
}

struct Request {
  rpcproc_t proc;
  xdrproc_t xdrArgs;
  const void* args;
  ReplyDecoder decode;
  void* result;
  ReplyProgress* progress;
};

// The index of the first of conns with something to read (or closed), or
// -1 once until has passed.
int firstReadable(const std::vector<std::unique_ptr<Connection>>& conns, Clock::time_point until) {
  pollfd p[2]{};
  const size_t n = std::min<size_t>(conns.size(), 2);
  for (size_t i = 0; i < n; ++i) p[i] = pollfd{conns[i]->fd(), POLLIN, 0};
  for (;;) {
    const int ms = remainingMs(until);
    if (ms == 0) return -1;
    const int rc = poll(p, n, ms);
    if (rc < 0 && errno != EINTR) return -1;
    for (size_t i = 0; rc > 0 && i < n; ++i) {
      if (p[i].revents != 0) return static_cast<int>(i);
    }
  }
}

// A read at one address, within deadline. It goes out on a pooled
// connection if there is one; when that has not begun to answer within the
// hedging delay, the same request goes out on a fresh connection as well,
// and the reply that begins first is taken (a pooled connection that a
// firewall or NAT dropped without a word never answers; one whose server is
// merely slow stays in the race until the deadline). No result: nothing
// came from this address in time, try the next.
std::optional<CallOutcome> readAt(std::uint32_t host, const Speaker& who, const Request& rq,
                                  Clock::time_point deadline) {
  std::vector<std::unique_ptr<Connection>> racing;  // requests in flight, at most two
  bool hedged = false;                              // a fresh connection was tried: no further one
  auto launch = [&](std::unique_ptr<Connection> conn) -> std::optional<CallOutcome> {
    ++gCalls;
    const clnt_stat stat = conn->send(rq.proc, rq.xdrArgs, rq.args, deadline);
    if (stat == RPC_CANTENCODEARGS) return CallOutcome::kBadReply;
    if (stat == RPC_SUCCESS) racing.push_back(std::move(conn));
    return std::nullopt;
  };
  auto hedge = [&]() -> std::optional<CallOutcome> {
    hedged = true;
    std::unique_ptr<Connection> fresh = openConnection(host, who, deadline);
    if (!fresh) return std::nullopt;
    return launch(std::move(fresh));
  };
  if (std::unique_ptr<Connection> pooled = takeIdle(host, Clock::duration::max(), who.identity)) {
    if (auto bad = launch(std::move(pooled))) return bad;
  }
  for (;;) {
    if (racing.empty()) {
      if (hedged) return std::nullopt;
      if (auto bad = hedge()) return bad;
      continue;
    }
    // The reused connection alone until the hedge goes out, then both.
    const Clock::time_point until =
        hedged ? deadline : std::min(Clock::now() + hedgeDelay(host), attemptDeadline(deadline, 2));
    const int i = firstReadable(racing, until);
    if (i < 0) {
      if (hedged) return std::nullopt;  // this address's time is spent
      if (auto bad = hedge()) return bad;
      continue;
    }
    std::unique_ptr<Connection> conn = std::move(racing[static_cast<size_t>(i)]);
    racing.erase(racing.begin() + i);
    const clnt_stat stat = conn->receive(rq.decode, rq.result, deadline, rq.progress);
    const bool lost = stat != RPC_SUCCESS && stat != RPC_CANTDECODERES && !conn->noMemory() &&
                      !connectionSurvives(stat);
    // Any answer is this address's; a request still racing is dropped
    // with its connection.
    if (!lost) return settle(std::move(conn), stat);
    // Lost before its reply was whole. A reused connection closed before
    // any reply came was dead before the call: a fresh one takes it. One
    // that broke off a reply leaves only what is still racing.
    if (conn->receivedAny()) hedged = true;
  }
}

// An update at one address. It goes out once: on a pooled connection that
// has just answered (known to be alive), else on a fresh one. Once any
// byte of it has left this process, the answer, or the lack of one, is
// final: the server may have carried it out. No result: none of it left,
// try the next address.
std::optional<CallOutcome> updateAt(std::uint32_t host, const Speaker& who, const Request& rq,
                                    Clock::time_point connectDeadline, Clock::time_point deadline) {
  std::unique_ptr<Connection> conn = takeIdle(host, kJustAnswered, who.identity);
  for (bool fresh = conn == nullptr;; fresh = true) {
    if (fresh) conn = openConnection(host, who, connectDeadline);
    if (!conn) return std::nullopt;
    ++gCalls;
    clnt_stat stat = conn->send(rq.proc, rq.xdrArgs, rq.args, deadline);
    if (stat == RPC_SUCCESS) stat = conn->receive(rq.decode, rq.result, deadline, rq.progress);
    if (stat == RPC_CANTENCODEARGS) return CallOutcome::kBadReply;
    if (conn->sentAny()) return settle(std::move(conn), stat);
    // Refused before any byte went: a pooled connection closed meanwhile
    // gets a fresh one, once.
    if (fresh) return std::nullopt;
  }
}

}  // namespace

CallOutcome callServer(const ServerAddress& server, rpcproc_t proc, xdrproc_t xdrArgs,
                       const void* args, ReplyDecoder decode, void* result,
                       Clock::time_point deadline, bool idempotent, ReplyProgress* progress) {
  const Request rq{proc, xdrArgs, args, decode, result, progress};
  const Speaker who = speakerFor(server);
  const size_t count = server.hosts.size();
  for (size_t h = 0; h < count; ++h) {
    if (remainingMs(deadline) == 0) break;
    const std::uint32_t host = server.hosts[h];
    std::optional<CallOutcome> done;
    if (idempotent) {
      // A read may go out again: each address gets an equal share of the
      // time left, so one that never answers leaves time to the others.
      done = readAt(host, who, rq, attemptDeadline(deadline, count - h));
    } else {
      // An update waits for its answer until the deadline, at whichever
      // address took it; only reaching an address is bounded by a share,
      // so an address that never answers the connect leaves time to the
      // next one.
      const Clock::time_point connectDeadline =
          h + 1 == count
              ? deadline
              : std::min(attemptDeadline(deadline, count - h), Clock::now() + kConnectLimit);
      done = updateAt(host, who, rq, connectDeadline, deadline);
    }
    if (done) return *done;
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
