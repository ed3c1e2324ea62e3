// nisplusd's start and stop, in a sandbox with rpcbind but no server: how
// long until it is ready, what it leaves for clients, and what a bad seed
// does.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <rpc/pmap_clnt.h>
#include <rpc/rpc.h>
#include <rpcsvc/nis.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "protocol_helpers.h"

namespace {

pid_t spawn(const std::vector<std::string>& args) {
  pid_t pid = fork();
  if (pid == 0) {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  return pid;
}

bool exists(const char* path) {
  struct stat st;
  return stat(path, &st) == 0;
}

u_short registeredPort(int proto) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return pmap_getport(&sa, 100300, 3, static_cast<u_int>(proto));
}

int waitExit(pid_t pid) {
  int st = 0;
  for (int i = 0; i < 6000; ++i) {  // up to a minute
    if (waitpid(pid, &st, WNOHANG) == pid)
      return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill(pid, SIGKILL);
  waitpid(pid, &st, 0);
  return -1;
}

TEST(Startup, ReadyWithinTheCallBudgetAndUsableByLibnsl) {
  const char* ready = "/run/startup.ready";
  unlink(ready);
  unlink("/var/nis/NIS_COLD_START");
  auto t0 = std::chrono::steady_clock::now();
  pid_t pid = spawn({NISPLUSD, "--domain", "sandbox.test.", "--seed", SERVER_SEED, "--control",
                     "/run/startup.ctl", "--ready-file", ready});
  ASSERT_GT(pid, 0);
  while (!exists(ready) && std::chrono::steady_clock::now() - t0 < std::chrono::seconds(60)) {
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  auto ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
  ASSERT_TRUE(exists(ready));
  // Ready before a client started with it would give up: the client's 5 s
  // call budget, plus the 1.5 s a timed wait may end late on a loaded machine.
  EXPECT_LT(ms, 5000.0 + 1500.0);

  // Everything a client needs is in place once the ready file exists.
  EXPECT_TRUE(exists("/var/nis/NIS_COLD_START"));
  EXPECT_NE(registeredPort(IPPROTO_UDP), 0);
  EXPECT_NE(registeredPort(IPPROTO_TCP), 0);

  // The cold-start file holds the root directory object.
  ColdStart cs;
  ASSERT_TRUE(readColdStart("/var/nis/NIS_COLD_START", cs));
  EXPECT_EQ(cs.dirName, "sandbox.test.");
  EXPECT_EQ(cs.ttl, 3600u);
  ASSERT_EQ(cs.serverNames.size(), 1u);
  // Its Diffie-Hellman public key: 48 hex digits and a NUL.
  EXPECT_EQ(cs.keyTypes[0], static_cast<unsigned>(NIS_PK_DH));
  ASSERT_EQ(cs.publicKeys[0].size(), 49u);
  EXPECT_EQ(cs.publicKeys[0].find_first_not_of("0123456789abcdef"), 48u);
  EXPECT_EQ(cs.publicKeys[0].back(), '\0');
  ASSERT_EQ(cs.endpoints.size(), 3u);
  const char* protos[] = {"-", "udp", "tcp"};
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(cs.endpoints[i].uaddr, "127.0.0.1.0.111");
    EXPECT_EQ(cs.endpoints[i].family, "inet");
    EXPECT_EQ(cs.endpoints[i].proto, protos[i]);
  }

  nis_result* r = nis_list("[key=one],small.org_dir.sandbox.test.", 0, nullptr, nullptr);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->status, NIS_SUCCESS) << nis_sperrno(r->status);
  EXPECT_EQ(r->objects.objects_len, 1u);
  nis_freeresult(r);
  r = nis_list("[key=two],small.org_dir.sandbox.test.", USE_DGRAM, nullptr, nullptr);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->status, NIS_SUCCESS) << nis_sperrno(r->status);
  EXPECT_EQ(r->objects.objects_len, 1u);
  nis_freeresult(r);

  // SIGTERM: exits 0 and leaves rpcbind clean.
  ASSERT_EQ(kill(pid, SIGTERM), 0);
  EXPECT_EQ(waitExit(pid), 0);
  EXPECT_EQ(registeredPort(IPPROTO_UDP), 0);
  EXPECT_EQ(registeredPort(IPPROTO_TCP), 0);
  EXPECT_FALSE(exists("/run/startup.ctl"));
}

TEST(Startup, BadSeedOrArgumentsFailWithoutGettingReady) {
  const char* ready = "/run/startup-bad.ready";
  const char* seed = "/run/bad.nis";
  std::ofstream(seed) << "directory sandbox.test.\ntable t.nodir.sandbox.test. type=\"x\"\n";
  pid_t pid = spawn({NISPLUSD, "--domain", "sandbox.test.", "--seed", seed, "--ready-file", ready});
  EXPECT_EQ(waitExit(pid), 1);
  EXPECT_FALSE(exists(ready));
  EXPECT_EQ(registeredPort(IPPROTO_TCP), 0);

  pid = spawn({NISPLUSD, "--seed", SERVER_SEED});
  EXPECT_EQ(waitExit(pid), 2);
  pid = spawn({NISPLUSD, "--domain", "sandbox.test.", "--seed", "/nonexistent/seed"});
  EXPECT_EQ(waitExit(pid), 1);
}

TEST(Startup, WithoutSeedServesAnEmptyRoot) {
  const char* ready = "/run/startup-empty.ready";
  unlink(ready);
  pid_t pid = spawn({NISPLUSD, "--domain", "other.test", "--control", "/run/empty.ctl",
                     "--ready-file", ready, "--cold-start", "/run/cold"});
  for (int i = 0; i < 30000 && !exists(ready); ++i) {  // up to a minute
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  ASSERT_TRUE(exists(ready));
  EXPECT_TRUE(exists("/run/cold"));
  FILE* p = popen(NISPLUSCTL " --control /run/empty.ctl dump", "r");
  char buf[512] = {};
  size_t n = fread(buf, 1, sizeof buf - 1, p);
  pclose(p);
  EXPECT_EQ(std::string(buf, n),
            "directory other.test. owner=\"admin.other.test.\" group=\"admin.other.test.\" "
            "access=0x010f0f01 ttl=3600\n");
  kill(pid, SIGTERM);
  EXPECT_EQ(waitExit(pid), 0);
}

}  // namespace
