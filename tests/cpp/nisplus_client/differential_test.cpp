// Indexed names through libnsl's own client and through ours, against the
// same nisplusd: where libnsl sends a listing, ours must send the same
// request (table, attributes, values) and come back with the same status.
// The few names libnsl refuses or mishandles are listed with what ours does
// instead. libnsl runs in a child process per name (libnsl_list_probe), so
// a crash of libnsl ends only that child.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "client_internal.h"
#include "test_support.h"

using namespace nctest;
using nisplus_client::statusOf;

namespace {

// What one client did with one name.
struct Outcome {
  std::string status;                 // the result's status, or how the probe ended
  std::vector<std::string> listings;  // the NIS_IBLIST requests the server logged
};

std::vector<std::string> loggedListings() {
  std::vector<std::string> out;
  for (const std::string& line : serverLog()) {
    if (line.rfind("NIS_IBLIST ", 0) == 0) out.push_back(line.substr(strlen("NIS_IBLIST ")));
  }
  return out;
}

// Runs libnsl_list_probe NAME; its stdout is the status it printed.
Outcome libnslList(const std::string& name) {
  clearLog();
  Outcome out;
  int fds[2];
  if (pipe(fds) != 0) {
    ADD_FAILURE() << "pipe: " << strerror(errno);
    return out;
  }
  std::string probe = LIBNSL_LIST_PROBE;
  std::string arg = name;
  char* argv[] = {probe.data(), arg.data(), nullptr};
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(fds[1], 1);
    close(fds[0]);
    close(fds[1]);
    // A libnsl that hangs is ended by SIGALRM (kept across exec); its
    // calls here take milliseconds when it works at all.
    alarm(10);
    execv(argv[0], argv);
    _exit(127);
  }
  close(fds[1]);
  std::string printed;
  char buf[256];
  for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) != 0;) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    printed.append(buf, static_cast<size_t>(n));
  }
  close(fds[0]);
  int ws = 0;
  while (waitpid(pid, &ws, 0) < 0 && errno == EINTR) {
  }
  if (WIFSIGNALED(ws) && WTERMSIG(ws) == SIGALRM) {
    out.status = "no answer in 10 s";
  } else if (WIFSIGNALED(ws)) {
    out.status = std::string("crash (") + strsignal(WTERMSIG(ws)) + ")";
  } else if (!WIFEXITED(ws) || WEXITSTATUS(ws) != 0) {
    out.status = "exit " + std::to_string(WEXITSTATUS(ws));
  } else {
    while (!printed.empty() && printed.back() == '\n') printed.pop_back();
    out.status = printed;
  }
  out.listings = loggedListings();
  return out;
}

Outcome ourList(const std::string& name) {
  clearLog();
  Result r(nis_list(name.c_str(), 0, nullptr, nullptr));
  Outcome out;
  out.status = std::to_string(statusOf(r.get()));
  out.listings = loggedListings();
  return out;
}

std::string joined(const std::vector<std::string>& v) {
  std::string s;
  for (const std::string& x : v) s += (s.empty() ? "" : " | ") + x;
  return s.empty() ? "-" : s;
}

// Shortens a long name for the printed table.
std::string shown(const std::string& name) {
  return name.size() <= 60 ? name : name.substr(0, 40) + "...(" + std::to_string(name.size()) + ")";
}

struct Case {
  std::string name;
  // libnsl's answer to this name is not what a caller should get (it
  // crashes, refuses a sound name or sends something else than was
  // written); then ours must give ourStatus and send ourAttrs (or nothing).
  bool keepOurs = false;
  int ourStatus = 0;
  const char* ourAttrs = nullptr;  // the logged "attrs=..." of our listing
};

}  // namespace

TEST(IndexedNameDifferential, OursSendsWhatLibnslSendsWhereverLibnslListsTheName) {
  if (getenv("NISPLUSD_PID") == nullptr) GTEST_SKIP() << "needs the sandbox with nisplusd";
  ctl("fault clear");
  const std::string t = "hosts." + orgDir();
  const std::string longValue(900, 'v');
  const std::string tooLong(1100, 'w');
  std::string manyPairs;
  for (int i = 0; i < 100; ++i) manyPairs += "name=alpha,";
  const std::vector<Case> corpus = {
      {"[name=alpha]," + t},
      {"[name=alpha,]," + t},
      {"[name=a=b]," + t},
      {"[name=]," + t},
      {"[name=alpha,addr=]," + t},
      {"[name= alpha ]," + t},
      {"[ name=alpha]," + t},
      {"[name=\"alpha\"]," + t},
      {"[name='al,pha']," + t},
      {"[name=al]pha]," + t},
      {"[name=al[pha]," + t},
      {"[name=alpha,addr=10.0.0.1]," + t},
      {"[addr=10.0.0.2,name=beta,cname=beta]," + t},
      {"[name=alpha,,addr=10.0.0.1]," + t},
      {"[,name=alpha]," + t},
      {"[=alpha]," + t},
      {"[name]," + t},
      {"[]," + t},
      {t},
      {"[name=alpha," + t},
      {"[[name=alpha]]," + t},
      {"[name=" + longValue + "]," + t},
      {"[name=" + tooLong + "]," + t},
      {"[name=\xc3\xa9\t\\x]," + t},
      {"[name=alpha][addr=x]," + t},
      {"[name=alpha] ," + t},
      {"[name=alpha]]," + t},
      {"[" + manyPairs + "]," + t},
      {"[name=alpha],hosts.org_dir.SANDBOX.Test."},
      {"["},
      // libnsl sends what is no NIS+ name (empty, not fully qualified, or
      // with a bracket or comma left in it) and the server refuses it;
      // ours refuses it before any traffic.
      {"name=alpha]," + t, true, NIS_BADNAME},
      {"[name=alpha],," + t, true, NIS_BADNAME},
      {"[name=alpha],", true, NIS_BADNAME},
      {"[name=alpha],hosts.org_dir.sandbox.test", true, NIS_BADNAME},
      {"]", true, NIS_BADNAME},
      {"", true, NIS_BADNAME},
      // libnsl refuses the search part without the comma after it.
      {"[name=alpha]" + t, true, NIS_SUCCESS, R"(attrs=name="alpha\0")"},
      // libnsl does not come back (a directory spelt in another case).
      {"[name=alpha],HOSTS.Org_Dir." + rootDir(), true, NIS_SUCCESS, R"(attrs=name="alpha\0")"},
  };
  printf("[corpus] name | libnsl: status, request | ours: status, request\n");
  for (const Case& c : corpus) {
    const Outcome ref = libnslList(c.name);
    const Outcome ours = ourList(c.name);
    printf("[corpus] %s | libnsl: %s, %s | ours: %s, %s\n", shown(c.name).c_str(),
           ref.status.c_str(), joined(ref.listings).c_str(), ours.status.c_str(),
           joined(ours.listings).c_str());
    if (!c.keepOurs) {
      EXPECT_EQ(ref.listings, ours.listings) << c.name;
      EXPECT_EQ(ref.status, ours.status) << c.name;
      continue;
    }
    EXPECT_TRUE(ref.status != ours.status || ref.listings != ours.listings)
        << c.name << ": libnsl now does what ours does";
    EXPECT_EQ(std::to_string(c.ourStatus), ours.status) << c.name;
    if (c.ourAttrs == nullptr) {
      EXPECT_TRUE(ours.listings.empty()) << c.name;
    } else {
      ASSERT_EQ(1u, ours.listings.size()) << c.name;
      EXPECT_NE(std::string::npos, ours.listings[0].find(c.ourAttrs)) << c.name;
    }
  }
}
