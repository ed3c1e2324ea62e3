// nisplusd: serves one NIS+ root directory from memory for tests and the
// demo. See README.md.
#include <arpa/inet.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <rpc/pmap_clnt.h>
#include <rpc/rpc_com.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "control_wire.h"
#include "seed_format.h"
#include "server.h"

// libtirpc takes AUTH_DES only through its own handler, which asks a
// keyserv that does not exist and refuses every call; it lets no one
// register another. Every call header it reads passes through here (it
// calls this through its PLT, and nisplusd exports it), so an AUTH_DES
// call is relabelled to a flavor whose handler, ours, checks it as DES.
extern "C" bool_t xdr_callmsg(XDR* xdrs, rpc_msg* msg) {
  using Decoder = bool_t (*)(XDR*, rpc_msg*);
  static const auto real = reinterpret_cast<Decoder>(dlsym(RTLD_NEXT, "xdr_callmsg"));
  if (real == nullptr || !real(xdrs, msg)) return FALSE;
  if (xdrs->x_op == XDR_DECODE && msg->rm_direction == CALL &&
      msg->rm_call.cb_cred.oa_flavor == AUTH_DES) {
    msg->rm_call.cb_cred.oa_flavor = nisplusd::kCheckedDesFlavor;
  }
  return TRUE;
}

namespace {

volatile sig_atomic_t stopRequested = 0;

void onSignal(int) { stopRequested = 1; }

void usage() {
  std::fprintf(stderr,
               "usage: nisplusd --domain NAME. [--seed FILE] [--control PATH] [--ready-file PATH]\n"
               "                [--cold-start FILE] [--server-name NAME] [-S 0|1|2]\n"
               "                [--key-file FILE]\n");
}

int loopbackSocket(int type) {
  int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
      (type == SOCK_STREAM && listen(fd, SOMAXCONN) != 0)) {
    close(fd);
    return -1;
  }
  return fd;
}

bool writeColdStart(const nisplusd::Server& server, const std::string& path) {
  std::vector<std::string> keep;
  std::vector<endpoint> eps;
  nis_server srv;
  directory_obj d = server.directoryObject(server.space().dirs().front(), keep, eps, srv);
  std::string dir = path.substr(0, path.rfind('/'));
  if (!dir.empty()) mkdir(dir.c_str(), 0755);
  std::string tmp = path + ".tmp";
  FILE* f = std::fopen(tmp.c_str(), "w");
  if (!f) return false;
  XDR x;
  xdrstdio_create(&x, f, XDR_ENCODE);
  bool ok = xdr_directory_obj(&x, &d);
  xdr_destroy(&x);
  ok = (std::fclose(f) == 0) && ok;
  return ok && std::rename(tmp.c_str(), path.c_str()) == 0;
}

// The server's Diffie-Hellman secret key: from FILE when it holds one, else
// a new one, written to FILE (mode 600) so that a restart keeps it, as
// clients have it in their cached directory objects.
bool serverKey(const std::string& path, secure_rpc::SecretKey& key) {
  if (path.empty()) {
    key = secure_rpc::newSecretKey();
    return true;
  }
  std::ifstream in(path);
  std::string hex;
  if (in >> hex) {
    const auto k = secure_rpc::parseKey(hex);
    if (!k) return false;
    key.bytes = *k;
    return true;
  }
  key = secure_rpc::newSecretKey();
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  const std::string text = secure_rpc::keyHex(key.bytes) + "\n";
  const bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  return close(fd) == 0 && ok;
}

int controlSocket(const std::string& path) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un sa{};
  sa.sun_family = AF_UNIX;
  if (fd < 0 || path.size() >= sizeof sa.sun_path) return -1;
  std::memcpy(sa.sun_path, path.c_str(), path.size() + 1);
  unlink(path.c_str());
  if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || listen(fd, 16) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// One control connection: read the request to its end, answer, close.
void serveControl(nisplusd::Server& server, int listener) {
  int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) return;
  timeval tv{5, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  std::string request;
  char buf[65536];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) request.append(buf, static_cast<size_t>(n));
  std::string answer;
  bool ok = false;
  std::vector<std::string> args;
  if (n == 0 && controlwire::decode(request, args)) {
    ok = server.control(args, answer);
  } else {
    answer = "malformed control request";
  }
  std::string reply = (ok ? "0" : "1") + answer;
  controlwire::writeAll(fd, reply);
  close(fd);
}

}  // namespace

int main(int argc, char** argv) {
  std::string domain, seed, controlPath, readyFile, serverName, keyFile;
  int level = 0;
  std::string coldStart = "/var/nis/NIS_COLD_START";
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (i + 1 >= argc) {
      usage();
      return 2;
    }
    std::string v = argv[++i];
    if (a == "--domain") {
      domain = v;
    } else if (a == "--seed") {
      seed = v;
    } else if (a == "--control") {
      controlPath = v;
    } else if (a == "--ready-file") {
      readyFile = v;
    } else if (a == "--cold-start") {
      coldStart = v;
    } else if (a == "--server-name") {
      serverName = v;
    } else if (a == "--key-file") {
      keyFile = v;
    } else if (a == "-S") {
      if ((level = nisplusd::parseLevel(v)) < 0) {
        usage();
        return 2;
      }
    } else {
      usage();
      return 2;
    }
  }
  if (domain.empty()) {
    usage();
    return 2;
  }
  if (domain.back() != '.') domain += '.';
  if (serverName.empty()) serverName = "localhost." + domain;

  nisplusd::Namespace ns(domain);
  nisplusd::Directory& root = ns.dirs().front();
  root.owner = root.group = "admin." + domain;
  root.access = 0x010f0f01;
  root.ttl = 3600;
  root.oid.ctime = root.oid.mtime = nisplusd::now();
  if (!seed.empty()) {
    std::ifstream in(seed, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    std::string error;
    if (!in || !nisplusd::loadSeed(text.str(), ns, error)) {
      std::fprintf(stderr, "nisplusd: %s: %s\n", seed.c_str(), in ? error.c_str() : "cannot read");
      return 1;
    }
  }
  secure_rpc::SecretKey dhSecret;
  if (!serverKey(keyFile, dhSecret)) {
    std::fprintf(stderr, "nisplusd: %s: no key and cannot make one\n", keyFile.c_str());
    return 1;
  }
  nisplusd::Server server(std::move(ns), serverName, level, dhSecret);
  nisplusd::theServer = &server;

  signal(SIGPIPE, SIG_IGN);
  struct sigaction sa {};
  sa.sa_handler = onSignal;
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);

  // Non-blocking record reads on TCP: a client that stalls halfway through
  // a request must not stall everyone else.
  int maxRecord = 1 << 20;
  rpc_control(RPC_SVC_CONNMAXREC_SET, &maxRecord);
  int udp = loopbackSocket(SOCK_DGRAM);
  int tcp = loopbackSocket(SOCK_STREAM);
  SVCXPRT* udpX = udp >= 0 ? svcudp_bufcreate(udp, 0, 0) : nullptr;
  SVCXPRT* tcpX = tcp >= 0 ? svctcp_create(tcp, 0, 0) : nullptr;
  if (!udpX || !tcpX) {
    std::fprintf(stderr, "nisplusd: cannot create the RPC transports\n");
    return 1;
  }
  server.setDatagramTransport(udpX);
  if (svc_auth_reg(nisplusd::kCheckedDesFlavor, nisplusd::Server::authenticateDes) != 0) {
    std::fprintf(stderr, "nisplusd: cannot take AUTH_DES\n");
    return 1;
  }
  pmap_unset(NIS_PROG, NIS_VERSION);
  if (!svc_register(udpX, NIS_PROG, NIS_VERSION, nisplusd::Server::dispatch, IPPROTO_UDP) ||
      !svc_register(tcpX, NIS_PROG, NIS_VERSION, nisplusd::Server::dispatch, IPPROTO_TCP)) {
    std::fprintf(stderr, "nisplusd: cannot register with rpcbind\n");
    return 1;
  }
  if (!writeColdStart(server, coldStart)) {
    std::fprintf(stderr, "nisplusd: cannot write %s: %s\n", coldStart.c_str(),
                 std::strerror(errno));
    pmap_unset(NIS_PROG, NIS_VERSION);
    return 1;
  }
  int ctl = -1;
  if (!controlPath.empty() && (ctl = controlSocket(controlPath)) < 0) {
    std::fprintf(stderr, "nisplusd: cannot listen on %s: %s\n", controlPath.c_str(),
                 std::strerror(errno));
    pmap_unset(NIS_PROG, NIS_VERSION);
    return 1;
  }
  if (!readyFile.empty()) {
    int fd = open(readyFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd >= 0) close(fd);
  }

  std::vector<pollfd> fds;
  while (!stopRequested) {
    fds.assign(svc_pollfd, svc_pollfd + svc_max_pollfd);
    const size_t rpcCount = fds.size();
    if (ctl >= 0) fds.push_back(pollfd{ctl, POLLIN, 0});
    int n = poll(fds.data(), fds.size(), 1000);
    if (n < 0) {
      if (errno == EINTR) continue;
      std::perror("nisplusd: poll");
      break;
    }
    if (n == 0) continue;
    if (ctl >= 0 && fds.back().revents != 0) serveControl(server, ctl);
    // libtirpc walks the array until it has seen that many ready descriptors.
    int ready = 0;
    for (size_t i = 0; i < rpcCount; ++i) ready += fds[i].revents != 0;
    if (ready > 0) svc_getreq_poll(fds.data(), ready);
  }
  pmap_unset(NIS_PROG, NIS_VERSION);
  if (!controlPath.empty()) unlink(controlPath.c_str());
  return 0;
}
