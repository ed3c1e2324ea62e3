// Directory objects: the cold-start file, NIS_FINDDIRECTORY and the cache.
//
// The cold-start file names the root directory and its servers. Every other
// directory is found by asking the servers of its closest known ancestor
// with NIS_FINDDIRECTORY; a server may answer with the directory itself or
// with a directory closer to it, which is then asked in turn. Directory
// objects are cached for their ttl, and the whole cache goes when the
// cold-start file changes (modification time, size or inode) or vanishes.
#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>

#include "client_internal.h"
#include "xdr_routines.h"

namespace nisplus_client {

namespace {

// How many directory steps a search may take before it is called a loop.
constexpr int kMaxReferrals = 16;
// Directory objects kept besides the root.
constexpr size_t kCacheCapacity = 64;
// The largest directory object read (a cold-start file, a
// NIS_FINDDIRECTORY answer): one with a dozen servers takes a few KiB.
constexpr size_t kMaxDirectoryObject = size_t{1} << 20;
// Of a directory, the first kMaxServers servers with an address are kept,
// and of each server its first kMaxHostsPerServer distinct addresses: a
// call tries each with a share of its budget, and more could only make
// the shares too small to be of use.
constexpr size_t kMaxServers = 32;
constexpr size_t kMaxHostsPerServer = 8;

bool parseInetAddress(const char* uaddr, std::uint32_t& out) {
  // "a.b.c.d.p1.p2": the first four parts; the port parts are ignored.
  if (uaddr == nullptr) return false;
  std::string_view s(uaddr);
  size_t pos = 0;
  for (int i = 0; i < 4; ++i) {
    pos = s.find('.', pos);
    if (pos == std::string_view::npos) {
      if (i != 3) return false;
      pos = s.size();
      break;
    }
    if (i < 3) ++pos;
  }
  std::string host(s.substr(0, pos));
  in_addr a{};
  if (inet_pton(AF_INET, host.c_str(), &a) != 1) return false;
  out = a.s_addr;
  return true;
}

bool usableEndpoint(const endpoint& ep) {
  if (ep.family == nullptr || strcmp(ep.family, "inet") != 0) return false;
  // "-" means any transport; we speak TCP.
  return ep.proto == nullptr || ep.proto[0] == '\0' || strcmp(ep.proto, "-") == 0 ||
         strcmp(ep.proto, "tcp") == 0;
}

struct CacheEntry {
  std::shared_ptr<const Directory> dir;
  Clock::time_point expires;
};

struct ColdStartStamp {
  bool valid = false;
  timespec mtime{};
  off_t size = 0;
  ino_t ino = 0;
  dev_t dev = 0;

  bool sameAs(const struct stat& st) const {
    return valid && mtime.tv_sec == st.st_mtim.tv_sec && mtime.tv_nsec == st.st_mtim.tv_nsec &&
           size == st.st_size && ino == st.st_ino && dev == st.st_dev;
  }
};

struct Cache {
  std::mutex mu;
  ColdStartStamp stamp;
  std::shared_ptr<const Directory> root;
  std::map<std::string, CacheEntry, NameLess> dirs;  // keyed without regard to case
};

Cache& cache() {
  static Cache* c = new Cache;  // never destroyed: calls may run during exit
  return *c;
}

// The root directory, re-read when the cold-start file has changed.
nis_error currentRoot(std::shared_ptr<const Directory>& root) {
  Cache& c = cache();
  struct stat st {};
  const bool present = stat(kColdStartPath, &st) == 0;
  std::lock_guard lock(c.mu);
  if (!present) {
    c.stamp.valid = false;
    c.root.reset();
    c.dirs.clear();
    return NIS_UNAVAIL;
  }
  if (c.root && c.stamp.sameAs(st)) {
    root = c.root;
    return NIS_SUCCESS;
  }
  c.root.reset();
  c.dirs.clear();
  c.stamp.valid = false;
  auto fresh = std::make_shared<Directory>();
  const nis_error status = readColdStart(kColdStartPath, *fresh);
  if (status != NIS_SUCCESS) return status;
  c.root = fresh;
  c.stamp = ColdStartStamp{true, st.st_mtim, st.st_size, st.st_ino, st.st_dev};
  root = c.root;
  return NIS_SUCCESS;
}

std::shared_ptr<const Directory> cachedLookup(std::string_view name) {
  Cache& c = cache();
  std::lock_guard lock(c.mu);
  auto it = c.dirs.find(name);
  if (it == c.dirs.end()) return nullptr;
  if (Clock::now() >= it->second.expires) {
    c.dirs.erase(it);
    return nullptr;
  }
  return it->second.dir;
}

void remember(const std::shared_ptr<const Directory>& dir) {
  if (dir->ttl == 0) return;  // a ttl of 0 asks not to be cached
  Cache& c = cache();
  const Clock::time_point now = Clock::now();
  std::lock_guard lock(c.mu);
  if (c.dirs.size() >= kCacheCapacity) {
    std::erase_if(c.dirs, [now](const auto& kv) { return now >= kv.second.expires; });
  }
  if (c.dirs.size() >= kCacheCapacity) {
    auto oldest = c.dirs.begin();
    for (auto it = c.dirs.begin(); it != c.dirs.end(); ++it) {
      if (it->second.expires < oldest->second.expires) oldest = it;
    }
    c.dirs.erase(oldest);
  }
  c.dirs[dir->name] = CacheEntry{dir, now + std::chrono::seconds(dir->ttl)};
}

// Asks the servers of `from` where `target` is served. On success `out` is
// the directory the answering server knows that is closest to target.
nis_error askFindDirectory(const Directory& from, const std::string& target,
                           Clock::time_point deadline, Directory& out) {
  const std::string requester = localHostName();
  nis_error fallback = NIS_NAMEUNREACHABLE;
  for (size_t i = 0; i < from.servers.size(); ++i) {
    const ServerAddress& server = from.servers[i];
    if (Clock::now() >= deadline) break;
    fd_args args{const_cast<char*>(target.c_str()), const_cast<char*>(requester.c_str())};
    fd_result reply{};
    const CallOutcome outcome =
        callServer(server, NIS_FINDDIRECTORY, reinterpret_cast<xdrproc_t>(xdr_fd_args), &args,
                   decodeFindDirectoryResult, &reply,
                   attemptDeadline(deadline, from.servers.size() - i), true);
    if (outcome == CallOutcome::kNoMemory) return NIS_NOMEMORY;
    if (outcome != CallOutcome::kReplied) {
      if (outcome == CallOutcome::kBadReply) fallback = NIS_RPCERROR;
      continue;
    }
    const nis_error status = reply.status;
    bool decoded = false;
    if (status == NIS_SUCCESS) {
      decoded = decodeDirectory(reply.dir_data.dir_data_val, reply.dir_data.dir_data_len, out);
    }
    xdr_free(reinterpret_cast<xdrproc_t>(xdr_fd_result), reinterpret_cast<char*>(&reply));
    // Decoding is part of the call: no answer is used past the deadline.
    if (Clock::now() >= deadline) return NIS_NAMEUNREACHABLE;
    if (status == NIS_SUCCESS) {
      if (decoded) return NIS_SUCCESS;
      fallback = NIS_BADOBJECT;
      continue;
    }
    if (status == NIS_NOT_ME || status == NIS_NOSUCHNAME || status == NIS_SYSTEMERROR) {
      fallback = status;
      continue;
    }
    return status;
  }
  return fallback;
}

}  // namespace

bool decodeDirectory(const char* data, std::size_t len, Directory& out) {
  if (data == nullptr || len == 0 || len > kMaxDirectoryObject) return false;
  if (!directoryFits(data, len)) return false;
  directory_obj obj{};
  XDR xdrs;
  xdrmem_create(&xdrs, const_cast<char*>(data), static_cast<u_int>(len), XDR_DECODE);
  const bool ok = xdr_directory_obj(&xdrs, &obj);
  xdr_destroy(&xdrs);
  Directory d;
  bool good = ok && obj.do_name != nullptr && isFullyQualified(obj.do_name);
  if (good) {
    d.name = obj.do_name;
    d.ttl = obj.do_ttl;
    for (u_int i = 0; i < obj.do_servers.do_servers_len && d.servers.size() < kMaxServers; ++i) {
      const nis_server& srv = obj.do_servers.do_servers_val[i];
      ServerAddress sa;
      sa.name = srv.name != nullptr ? srv.name : "";
      // 48 hex digits and a NUL (some servers leave the NUL out).
      if (srv.key_type == NIS_PK_DH && srv.pkey.n_bytes != nullptr &&
          (srv.pkey.n_len == 49 || srv.pkey.n_len == 48)) {
        sa.publicKey.assign(srv.pkey.n_bytes, 48);
        if (sa.publicKey.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
          sa.publicKey.clear();
        }
      }
      // Duplicates are looked for among the few addresses kept: linear in
      // the endpoints, however many the server lists.
      for (u_int j = 0; j < srv.ep.ep_len && sa.hosts.size() < kMaxHostsPerServer; ++j) {
        std::uint32_t host = 0;
        if (!usableEndpoint(srv.ep.ep_val[j]) || !parseInetAddress(srv.ep.ep_val[j].uaddr, host)) {
          continue;
        }
        if (std::find(sa.hosts.begin(), sa.hosts.end(), host) == sa.hosts.end()) {
          sa.hosts.push_back(host);
        }
      }
      if (!sa.hosts.empty()) d.servers.push_back(std::move(sa));
    }
  }
  xdr_free(reinterpret_cast<xdrproc_t>(xdr_directory_obj), reinterpret_cast<char*>(&obj));
  if (!good) return false;
  out = std::move(d);
  return true;
}

nis_error readColdStart(const char* path, Directory& out) {
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return NIS_UNAVAIL;
  std::string data;
  char buf[4096];
  for (;;) {
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0) {
      close(fd);
      return NIS_UNAVAIL;
    }
    if (n == 0) break;
    data.append(buf, static_cast<size_t>(n));
    if (data.size() > kMaxDirectoryObject) break;  // refused below
  }
  close(fd);
  if (!decodeDirectory(data.data(), data.size(), out)) return NIS_COLDSTART_ERR;
  return NIS_SUCCESS;
}

nis_error findDirectoryOf(std::string_view objectName, Clock::time_point deadline,
                          std::shared_ptr<const Directory>& dir) {
  std::shared_ptr<const Directory> root;
  nis_error status = currentRoot(root);
  if (status != NIS_SUCCESS) return status;
  // The root directory object lives with the root servers themselves.
  if (sameName(objectName, root->name)) {
    dir = root;
    return NIS_SUCCESS;
  }
  const std::string target = domainOf(objectName);
  if (sameName(target, root->name)) {
    dir = root;
    return NIS_SUCCESS;
  }
  if (auto hit = cachedLookup(target)) {
    dir = hit;
    return NIS_SUCCESS;
  }
  // Start from the closest cached ancestor of the target, else the root.
  std::shared_ptr<const Directory> from = root;
  for (std::string up = domainOf(target); up != "." && !sameName(up, root->name);
       up = domainOf(up)) {
    if (auto hit = cachedLookup(up)) {
      from = hit;
      break;
    }
  }
  for (int step = 0; step < kMaxReferrals; ++step) {
    auto found = std::make_shared<Directory>();
    status = askFindDirectory(*from, target, deadline, *found);
    if (status != NIS_SUCCESS) return status;
    if (found->servers.empty()) return NIS_NAMEUNREACHABLE;
    if (sameName(found->name, target)) {
      remember(found);
      dir = found;
      return NIS_SUCCESS;
    }
    // A referral must bring us strictly closer to the target.
    if (!isWithin(target, found->name) || sameName(found->name, from->name) ||
        !isWithin(found->name, from->name)) {
      return NIS_NAMEUNREACHABLE;
    }
    remember(found);
    from = found;
  }
  return NIS_NAMEUNREACHABLE;
}

void flushDirectoryCache() {
  Cache& c = cache();
  std::lock_guard lock(c.mu);
  c.root.reset();
  c.dirs.clear();
  c.stamp.valid = false;
}

std::size_t cachedDirectoryCount() {
  Cache& c = cache();
  std::lock_guard lock(c.mu);
  return c.dirs.size() + (c.root ? 1 : 0);
}

void forgetDirectory(std::string_view name) {
  Cache& c = cache();
  std::lock_guard lock(c.mu);
  auto it = c.dirs.find(name);
  if (it != c.dirs.end()) c.dirs.erase(it);
}

}  // namespace nisplus_client
