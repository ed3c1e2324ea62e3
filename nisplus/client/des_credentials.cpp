// Root's secret key and the DES keys it shares with servers.
//
// The key file is read once, and again only when stat shows it changed
// (device, inode, size, modification or change time); the key is never
// written anywhere, and every copy of it or of a key drawn from it is
// wiped once it is no longer needed.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <mutex>

#include "client_internal.h"
#include "secure_rpc.h"

namespace nisplus_client {

namespace {

struct FileStamp {
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = -1;
  timespec mtime{}, ctime{};
  bool operator==(const FileStamp& o) const {
    return dev == o.dev && ino == o.ino && size == o.size && mtime.tv_sec == o.mtime.tv_sec &&
           mtime.tv_nsec == o.mtime.tv_nsec && ctime.tv_sec == o.ctime.tv_sec &&
           ctime.tv_nsec == o.ctime.tv_nsec;
  }
};

FileStamp stampOf(const struct stat& st) {
  return FileStamp{st.st_dev, st.st_ino, st.st_size, st.st_mtim, st.st_ctim};
}

// The key in the file: 48 hex digits, maybe a newline after them. A file
// that another user owns or may write is not root's key.
std::optional<secure_rpc::SecretKey> readKey(int fd, const struct stat& st) {
  if (!S_ISREG(st.st_mode) || st.st_uid != 0 || (st.st_mode & 022) != 0) return std::nullopt;
  char buf[64];
  ssize_t n = 0;
  size_t got = 0;
  while (got < sizeof buf && (n = read(fd, buf + got, sizeof buf - got)) > 0) {
    got += static_cast<size_t>(n);
  }
  std::optional<secure_rpc::SecretKey> key;
  size_t len = got;
  while (len > 48 && (buf[len - 1] == '\n' || buf[len - 1] == '\r')) --len;
  if (n >= 0 && len == 48) {
    if (auto k = secure_rpc::parseKey(std::string_view(buf, len))) {
      key.emplace();
      key->bytes = *k;
      secure_rpc::wipe(k->data(), k->size());
    }
  }
  secure_rpc::wipe(buf, sizeof buf);
  return key;
}

struct RootKeyState {
  std::mutex mu;
  bool known = false;  // stamp describes what was read last
  FileStamp stamp;
  std::optional<secure_rpc::SecretKey> secret;
  std::string netname;
  std::uint64_t generation = 0;
  // Common DES keys by server public key, for this secret key.
  std::map<std::string, secure_rpc::DesBlock> common;

  void forget() {
    secret.reset();
    for (auto& kv : common) secure_rpc::wipe(kv.second.data(), kv.second.size());
    common.clear();
    ++generation;
  }

  // Brings the key up to date with the file; false when there is no key.
  bool refresh() {
    struct stat st {};
    if (stat(kRootKeyPath, &st) != 0) {
      if (known || secret) forget();
      known = false;
      return false;
    }
    if (known && stampOf(st) == stamp) return secret.has_value();
    forget();
    known = true;
    stamp = stampOf(st);
    const int fd = open(kRootKeyPath, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return false;  // not root: no key; looked at again when it changes
    struct stat opened {};
    if (fstat(fd, &opened) == 0) {
      // What was read is what the stamp describes (it may have been
      // replaced in between: then it is read again next time).
      stamp = stampOf(opened);
      secret = readKey(fd, opened);
    }
    close(fd);
    netname = secure_rpc::hostNetname();
    return secret.has_value();
  }
};

RootKeyState& rootKey() {
  static auto* s = new RootKeyState;  // never destroyed: calls may run during exit
  return *s;
}

}  // namespace

DesIdentity::~DesIdentity() { secure_rpc::wipe(common.data(), common.size()); }

std::optional<DesIdentity> desIdentityFor(const std::string& serverPublicKey) {
  if (serverPublicKey.empty()) return std::nullopt;
  RootKeyState& s = rootKey();
  std::lock_guard lock(s.mu);
  if (!s.refresh() || s.netname.empty()) return std::nullopt;
  auto it = s.common.find(serverPublicKey);
  if (it == s.common.end()) {
    const auto peer = secure_rpc::parseKey(serverPublicKey);
    if (!peer) return std::nullopt;
    // The power is done once per server and key, not per connection.
    it = s.common.emplace(serverPublicKey, secure_rpc::commonDesKey(*peer, s.secret->bytes)).first;
  }
  std::optional<DesIdentity> id(std::in_place);
  id->netname = s.netname;
  id->common = it->second;
  id->generation = s.generation;
  return id;
}

}  // namespace nisplus_client
