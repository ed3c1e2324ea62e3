// Misbehaving peers for the client layer's fault tests. Each listens on a
// loopback address of its own (127.0.0.x) at the port number nisplusd is
// registered on: the portmapper answers on every address, so a client sent
// to 127.0.0.x by its cold-start file connects to the peer.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace nctest {

// The TCP port nisplusd is registered on (from rpcinfo), or 0.
int registeredTcpPort();

// Reads exactly n bytes; false on end of stream or error.
bool readFull(int fd, void* buf, std::size_t n);

// A listening socket on addr at nisplusd's port number; -1 on failure.
// receiveBuffer > 0 sets SO_RCVBUF before listen (accepted sockets inherit it).
int listenAt(const char* addr, int receiveBuffer = 0, int backlog = 16);

// Base of the peers: one thread that the destructor stops.
class Peer {
 public:
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;
  bool ok() const { return listener_ >= 0; }

 protected:
  Peer() = default;
  ~Peer();
  void start(const char* addr, int receiveBuffer = 0);
  // Stops the thread; every derived destructor calls it first.
  void halt();
  virtual void serve() = 0;
  // Sleeps for d unless the peer is being stopped; false when stopping.
  bool pause(std::chrono::milliseconds d) const;
  // The next accepted connection, or -1 once stopping.
  int acceptOne() const;
  std::atomic<bool> stop_{false};
  int listener_ = -1;
  std::thread thread_;
  std::vector<int> fds_;  // closed by the destructor
  std::mutex fdsMu_;
  void keep(int fd);
};

// A TCP relay from addr to nisplusd at 127.0.0.1. Every chunk the client
// sends is held for `delay` first. After blackHole(), the connections open
// at that moment forward nothing more in either direction and stay open
// (a NAT that forgot them); connections made later are relayed as before.
class Relay final : public Peer {
 public:
  explicit Relay(const char* addr, std::chrono::milliseconds delay = {});
  ~Relay();
  void blackHole() { ++holeGeneration_; }
  // The hold for chunks read from now on.
  void setDelay(std::chrono::milliseconds delay) { delay_ = delay; }
  // Chunks received from clients (one per request on loopback: each is a
  // single small write), forwarded or not.
  int requests() const { return requests_.load(); }

 private:
  void serve() override;
  void pump(int client, int server, int generation);
  std::atomic<std::chrono::milliseconds> delay_;
  std::atomic<int> requests_{0};
  std::atomic<int> holeGeneration_{0};
  std::vector<std::thread> pumps_;  // only the serving thread adds to it
};

// Reads the first request, then sends a complete, well-formed NIS+ reply
// with another transaction id every `every`, `count` times, then nothing.
class WrongXidDripper : public Peer {
 public:
  WrongXidDripper(const char* addr, std::chrono::milliseconds every, int count);
  ~WrongXidDripper();

 private:
  void serve() override;
  std::chrono::milliseconds every_;
  int count_;
};

// Accepts one connection with a small receive buffer and reads `chunk`
// bytes from it every `every`, for at most `lifetime`; never answers.
class SlowReader : public Peer {
 public:
  SlowReader(const char* addr, size_t chunk, std::chrono::milliseconds every,
             std::chrono::milliseconds lifetime);
  ~SlowReader();

 private:
  void serve() override;
  size_t chunk_;
  std::chrono::milliseconds every_;
  std::chrono::milliseconds lifetime_;
};

// Answers every request on every connection with an accepted, successful
// RPC reply to its transaction whose results are `body`, bytes as given
// (a whole record, however malformed the results). With drip, the record
// goes out drip bytes at a time, a millisecond apart.
//
// With `announce`, the record mark announces that many bytes instead (one
// last fragment), the reply goes out as before, and the connection is left
// open: a record larger than it ever becomes.
class CannedReplier : public Peer {
 public:
  CannedReplier(const char* addr, std::string body, size_t drip = 0, uint32_t announce = 0);
  ~CannedReplier();
  int requests() const { return requests_.load(); }

 private:
  void serve() override;
  void answer(int conn);
  std::string body_;
  size_t drip_;
  uint32_t announce_;
  std::atomic<int> requests_{0};
};

// A server address whose connects are never answered: a listener on addr
// at nisplusd's port number whose accept queue is full, so the kernel drops
// every further SYN (the portmapper at addr still answers).
class Unanswered final : public Peer {
 public:
  explicit Unanswered(const char* addr);
  ~Unanswered();

 private:
  void serve() override {}
};

}  // namespace nctest
