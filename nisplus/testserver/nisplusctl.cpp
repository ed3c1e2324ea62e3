// nisplusctl: sends one command to a running nisplusd over its control
// socket and prints the answer. See README.md.
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "control_wire.h"
#include "secure_rpc.h"

namespace {

bool readFile(const std::string& path, std::string& out) {
  std::stringstream text;
  if (path == "-") {
    text << std::cin.rdbuf();
    out = text.str();
    return true;
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  text << in.rdbuf();
  out = text.str();
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::string path = "/run/nisplusd.ctl";
  int i = 1;
  if (i + 1 < argc && std::strcmp(argv[i], "--control") == 0) {
    path = argv[i + 1];
    i += 2;
  }
  std::vector<std::string> args(argv + i, argv + argc);
  if (args.empty()) {
    std::fprintf(stderr,
                 "usage: nisplusctl [--control PATH] dump [NAME] | load FILE | reset |\n"
                 "       fault PROC COUNT RESULT [NAME] | fault clear | log | log clear |\n"
                 "       authdes [forget | publickey | corrupt COUNT] | keypair\n");
    return 2;
  }
  // Made here, not by the server: a host's secret key is none of its business.
  if (args[0] == "keypair" && args.size() == 1) {
    const secure_rpc::SecretKey secret = secure_rpc::newSecretKey();
    std::printf("%s %s\n", secure_rpc::keyHex(secret.bytes).c_str(),
                secure_rpc::keyHex(secure_rpc::publicKey(secret.bytes)).c_str());
    return 0;
  }
  // The server may not see the caller's files: send the seed text itself.
  if (args[0] == "load" && args.size() == 2) {
    std::string text;
    if (!readFile(args[1], text)) {
      std::fprintf(stderr, "nisplusctl: cannot read %s\n", args[1].c_str());
      return 1;
    }
    args[1] = std::move(text);
  }

  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un sa{};
  sa.sun_family = AF_UNIX;
  if (fd < 0 || path.size() >= sizeof sa.sun_path) {
    std::fprintf(stderr, "nisplusctl: bad control path %s\n", path.c_str());
    return 1;
  }
  std::memcpy(sa.sun_path, path.c_str(), path.size() + 1);
  if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    std::fprintf(stderr, "nisplusctl: cannot connect to %s: %s\n", path.c_str(),
                 std::strerror(errno));
    return 1;
  }
  if (!controlwire::writeAll(fd, controlwire::encode(args)) || shutdown(fd, SHUT_WR) != 0) {
    std::fprintf(stderr, "nisplusctl: cannot send the command: %s\n", std::strerror(errno));
    return 1;
  }
  // A stopped (SIGSTOP) server accepts but never answers: give up in time.
  timeval limit{30, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  std::string reply;
  char buf[65536];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) reply.append(buf, static_cast<size_t>(n));
  close(fd);
  if (n < 0 || reply.empty()) {
    std::fprintf(stderr, "nisplusctl: no answer from nisplusd (stopped?)\n");
    return 1;
  }
  std::string text = reply.substr(1);
  if (reply[0] != '0') {
    std::fprintf(stderr, "nisplusctl: %s\n", text.c_str());
    return 1;
  }
  std::fwrite(text.data(), 1, text.size(), stdout);
  return 0;
}
