#include "request_check.h"

#include <arpa/inet.h>

#include <cstdarg>
#include <cstdint>
#include <cstring>

namespace nisplusd {

namespace {

// Walks XDR data without allocating anything.
class Walker {
 public:
  explicit Walker(const std::string& raw) : p_(raw.data()), left_(raw.size()) {}

  bool u32(uint32_t* out = nullptr) {
    if (left_ < 4) return false;
    uint32_t v;
    std::memcpy(&v, p_, 4);
    if (out) *out = ntohl(v);
    skip(4);
    return true;
  }
  // string<>, opaque<> and netobj: a length, the bytes, padding to 4.
  bool bytes() {
    uint32_t n;
    if (!u32(&n) || n > left_) return false;
    size_t padded = (static_cast<size_t>(n) + 3) & ~size_t{3};
    if (padded > left_) return false;
    skip(padded);
    return true;
  }
  // Every element takes at least 4 bytes, which bounds any honest count.
  template <typename Each>
  bool array(Each each) {
    uint32_t n;
    if (!u32(&n) || n > left_ / 4) return false;
    for (uint32_t i = 0; i < n; ++i) {
      if (!each()) return false;
    }
    return true;
  }

  bool attr() { return bytes() && bytes(); }
  bool server() {
    return bytes() && array([this] { return bytes() && bytes() && bytes(); }) && u32() && bytes();
  }
  bool object() {
    // oid, name, owner, group, domain, access, ttl
    if (!(u32() && u32() && bytes() && bytes() && bytes() && bytes() && u32() && u32())) {
      return false;
    }
    uint32_t type;
    if (!u32(&type)) return false;
    switch (type) {
      case 2:  // directory
        return bytes() && u32() && array([this] { return server(); }) && u32() &&
               array([this] { return u32() && u32(); });
      case 3:  // group
        return u32() && array([this] { return bytes(); });
      case 4:  // table
        return bytes() && u32() && u32() && array([this] { return bytes() && u32() && u32(); }) &&
               bytes();
      case 5:  // entry
        return bytes() && array([this] { return u32() && bytes(); });
      case 6:  // link
        return u32() && array([this] { return attr(); }) && bytes();
      case 7:  // private
        return bytes();
      default:
        return true;
    }
  }
  bool done() const { return left_ == 0; }

 private:
  void skip(size_t n) {
    p_ += n;
    left_ -= n;
  }
  const char* p_;
  size_t left_;
};

}  // namespace

bool_t captureArguments(XDR* xdrs, ...) {
  if (xdrs->x_op != XDR_DECODE) return TRUE;
  va_list ap;
  va_start(ap, xdrs);
  auto* out = static_cast<std::string*>(va_arg(ap, void*));
  va_end(ap);
  int32_t v;
  while (XDR_GETINT32(xdrs, &v)) {
    uint32_t wire = htonl(static_cast<uint32_t>(v));  // back to network order
    out->append(reinterpret_cast<const char*>(&wire), sizeof wire);
  }
  return TRUE;
}

bool plausibleNameRequest(const std::string& raw) {
  Walker w(raw);
  return w.bytes() && w.array([&w] { return w.object(); });
}

bool plausibleIndexedRequest(const std::string& raw) {
  Walker w(raw);
  return w.bytes() && w.array([&w] { return w.attr(); }) && w.u32() &&
         w.array([&w] { return w.object(); }) && w.array([&w] { return w.server(); }) && w.u32() &&
         w.bytes();
}

bool plausibleFindDirectory(const std::string& raw) {
  Walker w(raw);
  return w.bytes() && w.bytes();
}

}  // namespace nisplusd
