// A program for the launchers to start. It reports how it was started to
// the file named by LAUNCH_PROBE_OUT (standard output when unset), one fact
// per line, strings in hex so that every byte can be compared:
//
//   pid N | ppid N | sid N | pgid N | uid REAL EFFECTIVE | gid REAL EFFECTIVE
//   saved UID GID | groups G... | umask OCTAL | cwd PATH | argc N | arg I HEX
//   env HEX | fd N TARGET | sigblk N | sigign N | capinh N | capprm N
//   capeff N | capamb N (decimal: those fields of /proc/self/status)
//   started NANOSECONDS (CLOCK_MONOTONIC on entering main)
//
// The report appears at once (written to a temporary name, then renamed),
// so a test polling for the file never reads half of it.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern char** environ;

namespace {

std::string hex(const char* s) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(s); *p != 0; ++p) {
    out += kDigits[*p >> 4];
    out += kDigits[*p & 15];
  }
  return out;
}

std::string report(int argc, char** argv, const timespec& started) {
  std::string r;
  auto line = [&r](const std::string& s) { r += s + "\n"; };
  line("pid " + std::to_string(getpid()));
  line("ppid " + std::to_string(getppid()));
  line("sid " + std::to_string(getsid(0)));
  line("pgid " + std::to_string(getpgrp()));
  line("uid " + std::to_string(getuid()) + " " + std::to_string(geteuid()));
  line("gid " + std::to_string(getgid()) + " " + std::to_string(getegid()));
  uid_t ru = 0, eu = 0, su = 0;
  gid_t rg = 0, eg = 0, sg = 0;
  getresuid(&ru, &eu, &su);
  getresgid(&rg, &eg, &sg);
  line("saved " + std::to_string(su) + " " + std::to_string(sg));
  std::vector<gid_t> groups(static_cast<size_t>(getgroups(0, nullptr)) + 1);
  const int n = getgroups(static_cast<int>(groups.size()), groups.data());
  std::string g = "groups";
  for (int i = 0; i < n; ++i) g += " " + std::to_string(groups[static_cast<size_t>(i)]);
  line(g);
  const mode_t mask = umask(0);
  umask(mask);
  char octal[16];
  snprintf(octal, sizeof octal, "%03o", static_cast<unsigned>(mask));
  line(std::string("umask ") + octal);
  char cwd[4096];
  line(std::string("cwd ") + (getcwd(cwd, sizeof cwd) != nullptr ? cwd : "?"));
  line("argc " + std::to_string(argc));
  for (int i = 0; i < argc; ++i) line("arg " + std::to_string(i) + " " + hex(argv[i]));
  for (char** e = environ; *e != nullptr; ++e) line("env " + hex(*e));
  if (DIR* d = opendir("/proc/self/fd")) {
    const int own = dirfd(d);
    while (dirent* de = readdir(d)) {
      if (de->d_name[0] == '.') continue;
      const int fd = atoi(de->d_name);
      if (fd == own) continue;
      char target[4096];
      const std::string link = std::string("/proc/self/fd/") + de->d_name;
      const ssize_t len = readlink(link.c_str(), target, sizeof target - 1);
      target[len < 0 ? 0 : len] = '\0';
      line("fd " + std::to_string(fd) + " " + target);
    }
    closedir(d);
  }
  // The signal mask, ignored signals and capabilities the program was
  // started with.
  if (FILE* status = fopen("/proc/self/status", "re")) {
    static const char* const kFields[][2] = {{"SigBlk", "sigblk"}, {"SigIgn", "sigign"},
                                             {"CapInh", "capinh"}, {"CapPrm", "capprm"},
                                             {"CapEff", "capeff"}, {"CapAmb", "capamb"}};
    char buf[512];
    while (fgets(buf, sizeof buf, status) != nullptr) {
      for (const auto& f : kFields) {
        const std::string prefix = std::string(f[0]) + ":";
        if (strncmp(buf, prefix.c_str(), prefix.size()) != 0) continue;
        line(std::string(f[1]) + " " + std::to_string(strtoull(buf + prefix.size(), nullptr, 16)));
      }
    }
    fclose(status);
  }
  line("started " +
       std::to_string(static_cast<long long>(started.tv_sec) * 1000000000LL + started.tv_nsec));
  return r;
}

bool writeFile(const std::string& path, const std::string& text) {
  // A new file only: nothing planted under that name is followed or reused.
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  ok = close(fd) == 0 && ok;
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  timespec started;
  clock_gettime(CLOCK_MONOTONIC, &started);
  // Taken before anything else opens a descriptor.
  const std::string text = report(argc, argv, started);
  const char* out = getenv("LAUNCH_PROBE_OUT");
  if (out == nullptr) {
    fputs(text.c_str(), stdout);
    return 0;
  }
  const std::string tmp = std::string(out) + ".tmp" + std::to_string(getpid());
  if (!writeFile(tmp, text) || rename(tmp.c_str(), out) != 0) {
    perror("launch_probe");
    return 1;
  }
  return 0;
}
