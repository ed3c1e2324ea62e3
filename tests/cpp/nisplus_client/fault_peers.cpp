#include "fault_peers.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <sstream>

#include "test_support.h"

namespace nctest {

int registeredTcpPort() {
  std::istringstream in(shell("rpcinfo -p 127.0.0.1"));
  for (std::string line; std::getline(in, line);) {
    std::istringstream f(line);
    std::string prog, vers, proto, port;
    f >> prog >> vers >> proto >> port;
    if (prog == "100300" && proto == "tcp") return std::stoi(port);
  }
  return 0;
}

bool readFull(int fd, void* buf, size_t n) {
  auto* p = static_cast<char*>(buf);
  while (n > 0) {
    const ssize_t r = read(fd, p, n);
    if (r <= 0) return false;
    p += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

namespace {

sockaddr_in addressOf(const char* addr, int port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, addr, &sa.sin_addr);
  return sa;
}

bool writeFull(int fd, const void* buf, size_t n) {
  const auto* p = static_cast<const char*>(buf);
  while (n > 0) {
    const ssize_t w = send(fd, p, n, MSG_NOSIGNAL);
    if (w <= 0) return false;
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

}  // namespace

int listenAt(const char* addr, int receiveBuffer, int backlog) {
  const int port = registeredTcpPort();
  if (port == 0) return -1;
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  const int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (receiveBuffer > 0)
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
  const sockaddr_in sa = addressOf(addr, port);
  if (bind(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0 ||
      listen(fd, backlog) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

Peer::~Peer() {
  if (listener_ >= 0) close(listener_);
  for (int fd : fds_) close(fd);
}

void Peer::start(const char* addr, int receiveBuffer) {
  listener_ = listenAt(addr, receiveBuffer);
  if (listener_ >= 0) thread_ = std::thread([this] { serve(); });
}

void Peer::halt() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
}

bool Peer::pause(std::chrono::milliseconds d) const {
  const auto until = std::chrono::steady_clock::now() + d;
  while (!stop_) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= until) return true;
    std::this_thread::sleep_for(
        std::min<std::chrono::steady_clock::duration>(until - now, std::chrono::milliseconds(20)));
  }
  return false;
}

int Peer::acceptOne() const {
  while (!stop_) {
    pollfd p{listener_, POLLIN, 0};
    if (poll(&p, 1, 20) == 1) {
      const int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) return fd;
    }
  }
  return -1;
}

void Peer::keep(int fd) {
  std::lock_guard lock(fdsMu_);
  fds_.push_back(fd);
}

// ---- Relay ----

Relay::Relay(const char* addr, std::chrono::milliseconds delay) : delay_(delay) { start(addr); }

Relay::~Relay() {
  halt();
  for (std::thread& t : pumps_) t.join();
}

void Relay::serve() {
  for (;;) {
    const int client = acceptOne();
    if (client < 0) return;
    const int server = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in sa = addressOf("127.0.0.1", registeredTcpPort());
    if (server < 0 || connect(server, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
      close(client);
      if (server >= 0) close(server);
      continue;
    }
    keep(client);
    keep(server);
    pumps_.emplace_back(
        [this, client, server, g = holeGeneration_.load()] { pump(client, server, g); });
  }
}

void Relay::pump(int client, int server, int generation) {
  char buf[65536];
  while (!stop_) {
    if (holeGeneration_ != generation) {
      pause(std::chrono::milliseconds(20));  // black-holed: hold everything
      continue;
    }
    pollfd p[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
    if (poll(p, 2, 20) <= 0) continue;
    for (int i = 0; i < 2; ++i) {
      if ((p[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
      const ssize_t n = read(p[i].fd, buf, sizeof buf);
      if (n <= 0) return;  // either side closed: the test is over with it
      if (i == 0) ++requests_;
      if (i == 0 && delay_.load().count() > 0 && !pause(delay_.load())) return;
      if (holeGeneration_ != generation) break;  // swallowed by the hole
      if (!writeFull(i == 0 ? server : client, buf, static_cast<size_t>(n))) return;
    }
  }
}

// ---- WrongXidDripper ----

WrongXidDripper::WrongXidDripper(const char* addr, std::chrono::milliseconds every, int count)
    : every_(every), count_(count) {
  start(addr);
}

WrongXidDripper::~WrongXidDripper() { halt(); }

void WrongXidDripper::serve() {
  const int conn = acceptOne();
  if (conn < 0) return;
  keep(conn);
  uint32_t mark = 0;
  if (!readFull(conn, &mark, 4)) return;
  std::string request(ntohl(mark) & 0x7fffffff, '\0');
  if (request.size() < 4 || !readFull(conn, request.data(), request.size())) return;
  uint32_t xid = 0;
  memcpy(&xid, request.data(), 4);
  for (int i = 0; i < count_ && pause(every_); ++i) {
    // An accepted, successful reply carrying a nis_result with status 0 and
    // no objects, for a transaction nobody sent.
    std::vector<uint32_t> reply = {htonl(ntohl(xid) + 1 + static_cast<uint32_t>(i))};
    for (uint32_t w : {1u, 0u, 0u, 0u, 0u, 0u, 0u, 0u, 0u, 0u, 0u, 0u}) reply.push_back(htonl(w));
    const uint32_t replyMark = htonl(0x80000000u | static_cast<uint32_t>(reply.size() * 4));
    if (!writeFull(conn, &replyMark, 4) || !writeFull(conn, reply.data(), reply.size() * 4)) return;
  }
}

// ---- SlowReader ----

SlowReader::SlowReader(const char* addr, size_t chunk, std::chrono::milliseconds every,
                       std::chrono::milliseconds lifetime)
    : chunk_(chunk), every_(every), lifetime_(lifetime) {
  start(addr, 4096);
}

SlowReader::~SlowReader() { halt(); }

void SlowReader::serve() {
  const int conn = acceptOne();
  if (conn < 0) return;
  keep(conn);
  const auto end = std::chrono::steady_clock::now() + lifetime_;
  std::string buf(chunk_, '\0');
  while (std::chrono::steady_clock::now() < end && pause(every_)) {
    if (recv(conn, buf.data(), buf.size(), MSG_DONTWAIT) == 0) return;
  }
}

// ---- CannedReplier ----

CannedReplier::CannedReplier(const char* addr, std::string body, size_t drip, uint32_t announce)
    : body_(std::move(body)), drip_(drip), announce_(announce) {
  start(addr);
}

CannedReplier::~CannedReplier() { halt(); }

void CannedReplier::serve() {
  for (;;) {
    const int conn = acceptOne();
    if (conn < 0) return;
    keep(conn);
    answer(conn);
  }
}

void CannedReplier::answer(int conn) {
  // The client closes a connection after a reply it cannot decode; one
  // connection at a time is all a test's calls need.
  while (!stop_) {
    pollfd p{conn, POLLIN, 0};
    if (poll(&p, 1, 20) <= 0) continue;
    uint32_t mark = 0;
    if (!readFull(conn, &mark, 4)) return;
    std::string request(ntohl(mark) & 0x7fffffff, '\0');
    if (request.size() < 4 || !readFull(conn, request.data(), request.size())) return;
    ++requests_;
    std::string reply(request.data(), 4);      // the transaction id, as it came
    for (uint32_t w : {1u, 0u, 0u, 0u, 0u}) {  // REPLY, ACCEPTED, null verifier, SUCCESS
      const uint32_t n = htonl(w);
      reply.append(reinterpret_cast<const char*>(&n), 4);
    }
    reply += body_;
    const uint32_t replyMark =
        htonl(0x80000000u | (announce_ != 0 ? announce_ : static_cast<uint32_t>(reply.size())));
    reply.insert(0, reinterpret_cast<const char*>(&replyMark), 4);
    const size_t piece = drip_ != 0 ? drip_ : reply.size();
    for (size_t at = 0; at < reply.size(); at += piece) {
      if (at != 0 && !pause(std::chrono::milliseconds(1))) return;
      if (!writeFull(conn, reply.data() + at, std::min(piece, reply.size() - at))) return;
    }
  }
}

// ---- Unanswered ----

Unanswered::Unanswered(const char* addr) {
  listener_ = listenAt(addr, 0, 0);
  if (listener_ < 0) return;
  // Connections of our own fill the queue (backlog 0 holds one or two);
  // the first connect left hanging shows it is full.
  const sockaddr_in sa = addressOf(addr, registeredTcpPort());
  for (int i = 0; i < 8; ++i) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) break;
    keep(fd);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0) continue;
    pollfd p{fd, POLLOUT, 0};
    if (poll(&p, 1, 100) == 0) return;  // hanging: full
  }
  close(listener_);
  listener_ = -1;  // never filled: not ok()
}

Unanswered::~Unanswered() { halt(); }

}  // namespace nctest
