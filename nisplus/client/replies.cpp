// Decoding of server replies, bounded by the bytes that came.
//
// A reply is read whole into memory first (one RPC record). Every count in
// it is then checked against the bytes that remain before anything is
// allocated for it: an array element takes a known minimum of bytes on the
// wire, so a count the rest of the record cannot hold is refused at once,
// whatever it announces. A nis_result is decoded in two passes over the
// record with one walker: the first checks everything and adds up the room
// the structures need, the second lays them out in one block of that size.
// Strings and opaque values stay in the record itself: each is moved four
// bytes down over its own length word, which always leaves room for a
// terminating NUL after it. The result is then two allocations, its block
// and the record, whatever its size, and nis_freeresult frees both.
//
// The walker follows nis.x and XDR (RFC 4506) and keeps the limits of
// rpcgen's routines: tc_name and ta_type at most 64 bytes, netobj (cookie,
// pkey) at most 1024, a zero-length opaque decodes to a null pointer, a
// zero-length string to "".
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>

#include "client_internal.h"
#include "xdr_routines.h"

namespace nisplus_client {

namespace {

constexpr std::uint32_t kNoLimit = ~0U;
constexpr std::uint32_t kShortStringMax = 64;  // tc_name, ta_type
constexpr std::uint32_t kNetobjMax = 1024;     // MAX_NETOBJ_SZ of <rpc/xdr.h>

// The fewest bytes one array element takes on the wire.
constexpr size_t kWireObject = 36;    // oid, four names, access, ttl, type
constexpr size_t kWireServer = 16;    // name, endpoint count, key type, key
constexpr size_t kWireEndpoint = 12;  // three strings
constexpr size_t kWireTableCol = 12;  // name, flags, rights
constexpr size_t kWireEntryCol = 8;   // flags, value
constexpr size_t kWireAttr = 8;       // name, value
constexpr size_t kWireMask = 8;       // rights, type
constexpr size_t kWireName = 4;

constexpr size_t kAlign = alignof(std::max_align_t);
constexpr size_t alignUp(size_t n) { return (n + kAlign - 1) & ~(kAlign - 1); }

// The block of a nis_result: the result first (its address is the one the
// caller holds and frees), then the record its strings point into, then the
// structures.
struct ResultBlock {
  nis_result result;
  char* record;
};
constexpr size_t kBlockHeader = alignUp(sizeof(ResultBlock));

// Walks XDR data in memory. In the checking pass (kFill false) it only
// reads, refuses anything the data cannot hold and adds up structBytes();
// its structures are scratch. In the filling pass, over data the first pass
// accepted, it writes the structures into the arena and moves strings into
// place in the data. Both passes take the same steps, so the second needs
// exactly the room the first counted.
template <bool kFill>
class Walker {
 public:
  Walker(char* data, size_t len, char* arena = nullptr)
      : p_(data), len_(len), left_(len), arena_(arena) {}

  size_t structBytes() const { return structBytes_; }
  // Gives up, as late(), once deadline has passed (checked every few
  // thousand array elements).
  void until(Clock::time_point deadline) { deadline_ = deadline; }
  bool late() const { return late_; }
  // Bytes walked so far.
  size_t consumed() const { return len_ - left_; }
  // In the checking pass: the values of an entry's columns are appended to
  // columns as they are walked (pointing into the unchanged data).
  void captureColumns(std::vector<ColumnValue>* columns) { columns_ = columns; }

  bool result(nis_result& r) {
    return status(r.status) &&
           array(kWireObject, r.objects.objects_val, r.objects.objects_len,
                 [this](nis_object& o) { return object(o); }) &&
           resultTail(r);
  }

  // What follows a nis_result's objects: the cookie and the ticks.
  bool resultTail(nis_result& r) {
    return bytes(r.cookie.n_bytes, r.cookie.n_len, kNetobjMax) && u32(r.zticks) && u32(r.dticks) &&
           u32(r.aticks) && u32(r.cticks);
  }

  bool directory(directory_obj& d) {
    return string(d.do_name) && enumeration(d.do_type) &&
           array(kWireServer, d.do_servers.do_servers_val, d.do_servers.do_servers_len,
                 [this](nis_server& s) { return server(s); }) &&
           u32(d.do_ttl) &&
           array(kWireMask, d.do_armask.do_armask_val, d.do_armask.do_armask_len,
                 [this](oar_mask& m) { return u32(m.oa_rights) && enumeration(m.oa_otype); });
  }

  // The start of a nis_result: its status and the count of its objects.
  bool header(nis_error& s, std::uint32_t& objects) { return status(s) && u32(objects); }

  bool findDirectoryResult() {
    nis_error st{};
    char* source = nullptr;
    char* data = nullptr;
    u_int len = 0;
    return status(st) && string(source) && bytes(data, len, kNoLimit) && bytes(data, len, kNoLimit);
  }

  bool object(nis_object& o) {
    if (!u32(o.zo_oid.ctime) || !u32(o.zo_oid.mtime) || !string(o.zo_name) || !string(o.zo_owner) ||
        !string(o.zo_group) || !string(o.zo_domain) || !u32(o.zo_access) || !u32(o.zo_ttl) ||
        !enumeration(o.zo_data.zo_type)) {
      return false;
    }
    // A server may send any type: read it as the number it is, since a
    // value outside zotypes may not be read through the enum.
    std::uint32_t type = 0;
    std::memcpy(&type, &o.zo_data.zo_type, sizeof type);
    auto& u = o.zo_data.objdata_u;
    switch (type) {
      case NIS_DIRECTORY_OBJ:
        return directory(u.di_data);
      case NIS_GROUP_OBJ:
        return u32(u.gr_data.gr_flags) &&
               array(kWireName, u.gr_data.gr_members.gr_members_val,
                     u.gr_data.gr_members.gr_members_len,
                     [this](nis_name& member) { return string(member); });
      case NIS_TABLE_OBJ:
        return table(u.ta_data);
      case NIS_ENTRY_OBJ:
        return string(u.en_data.en_type) &&
               array(kWireEntryCol, u.en_data.en_cols.en_cols_val, u.en_data.en_cols.en_cols_len,
                     [this](entry_col& c) { return entryColumn(c); });
      case NIS_LINK_OBJ:
        return enumeration(u.li_data.li_rtype) &&
               array(kWireAttr, u.li_data.li_attrs.li_attrs_val, u.li_data.li_attrs.li_attrs_len,
                     [this](nis_attr& a) {
                       return string(a.zattr_ndx) &&
                              bytes(a.zattr_val.zattr_val_val, a.zattr_val.zattr_val_len, kNoLimit);
                     }) &&
               string(u.li_data.li_name);
      case NIS_PRIVATE_OBJ:
        return bytes(u.po_data.po_data_val, u.po_data.po_data_len, kNoLimit);
      default:
        // NIS_NO_OBJ, NIS_BOGUS_OBJ and types this client does not know
        // carry no data.
        return true;
    }
  }

 private:
  bool u32(std::uint32_t& v) {
    if (left_ < 4) return false;
    const auto* b = reinterpret_cast<const unsigned char*>(p_);
    v = (std::uint32_t{b[0]} << 24) | (std::uint32_t{b[1]} << 16) | (std::uint32_t{b[2]} << 8) |
        b[3];
    p_ += 4;
    left_ -= 4;
    return true;
  }

  // A reply's status: only the values a server can send.
  bool status(nis_error& s) {
    std::uint32_t v = 0;
    if (!u32(v) || v > kLastStatus) return false;
    std::memcpy(&s, &v, sizeof v);
    return true;
  }

  // Enums and signed ints: any 32-bit value, as rpcgen reads them.
  template <typename T>
  bool enumeration(T& field) {
    static_assert(sizeof(T) == 4);
    std::uint32_t v = 0;
    if (!u32(v)) return false;
    std::memcpy(&field, &v, 4);
    return true;
  }

  // A length and its bytes, padded to a word. Returns the bytes' position
  // in out (moved down over the length word in the filling pass, with a NUL
  // after them).
  bool counted(std::uint32_t max, char*& out, std::uint32_t& n) {
    char* const lengthWord = p_;
    if (!u32(n) || n > max) return false;
    const size_t padded = (static_cast<size_t>(n) + 3) & ~size_t{3};
    if (padded > left_) return false;
    if constexpr (kFill) {
      std::memmove(lengthWord, p_, n);
      lengthWord[n] = '\0';
    }
    out = lengthWord;
    p_ += padded;
    left_ -= padded;
    return true;
  }

  bool string(char*& s, std::uint32_t max = kNoLimit) {
    std::uint32_t n = 0;
    char* at = nullptr;
    // n + 1 bytes are needed in memory: a length of 2^32 - 1 is refused,
    // as rpcgen's routine refuses it.
    if (!counted(max, at, n) || n == kNoLimit) return false;
    s = kFill ? at : nullptr;
    return true;
  }

  bool bytes(char*& val, u_int& len, std::uint32_t max) {
    std::uint32_t n = 0;
    char* at = nullptr;
    if (!counted(max, at, n)) return false;
    len = n;
    val = kFill && n != 0 ? at : nullptr;
    return true;
  }

  // A counted array whose elements take at least minWire bytes each.
  template <typename T, typename Each>
  bool array(size_t minWire, T*& val, u_int& len, Each&& each) {
    std::uint32_t n = 0;
    if (!u32(n) || n > left_ / minWire) return false;
    len = n;
    val = nullptr;
    if (n == 0) return true;
    const size_t room = alignUp(static_cast<size_t>(n) * sizeof(T));
    if constexpr (kFill) {
      val = reinterpret_cast<T*>(arena_);
      arena_ += room;
      // The structures are C structs: malloc's block holds them as they
      // are assigned.
      for (std::uint32_t i = 0; i < n; ++i) {
        val[i] = T{};
        if (!each(val[i]) || pastDeadline(i)) return false;
      }
    } else {
      structBytes_ += room;
      T scratch{};
      for (std::uint32_t i = 0; i < n; ++i) {
        if (!each(scratch) || pastDeadline(i)) return false;
      }
    }
    return true;
  }

  bool pastDeadline(std::uint32_t i) {
    if ((i & 4095) != 4095 || deadline_ == Clock::time_point::max()) return false;
    late_ = Clock::now() >= deadline_;
    return late_;
  }

  bool server(nis_server& s) {
    return string(s.name) &&
           array(kWireEndpoint, s.ep.ep_val, s.ep.ep_len,
                 [this](endpoint& e) {
                   return string(e.uaddr) && string(e.family) && string(e.proto);
                 }) &&
           u32(s.key_type) && bytes(s.pkey.n_bytes, s.pkey.n_len, kNetobjMax);
  }

  bool table(table_obj& t) {
    std::uint32_t sep = 0;
    const bool ok =
        string(t.ta_type, kShortStringMax) && enumeration(t.ta_maxcol) && u32(sep) &&
        array(kWireTableCol, t.ta_cols.ta_cols_val, t.ta_cols.ta_cols_len,
              [this](table_col& c) {
                return string(c.tc_name, kShortStringMax) && u32(c.tc_flags) && u32(c.tc_rights);
              }) &&
        string(t.ta_path);
    t.ta_sep = static_cast<u_char>(sep);
    return ok;
  }

  bool entryColumn(entry_col& c) {
    if (!u32(c.ec_flags)) return false;
    char* const lengthWord = p_;
    if (!bytes(c.ec_value.ec_value_val, c.ec_value.ec_value_len, kNoLimit)) return false;
    if constexpr (!kFill) {
      if (columns_ != nullptr) {
        const u_int n = c.ec_value.ec_value_len;
        columns_->push_back(ColumnValue{n != 0 ? lengthWord + 4 : nullptr, n});
      }
    }
    return true;
  }

  char* p_;
  size_t len_;
  size_t left_;
  char* arena_;
  size_t structBytes_ = 0;
  std::vector<ColumnValue>* columns_ = nullptr;
  Clock::time_point deadline_ = Clock::time_point::max();
  bool late_ = false;
};

}  // namespace

nis_result* makeResult(nis_error status) {
  auto* block = static_cast<ResultBlock*>(calloc(1, kBlockHeader));
  if (block == nullptr) return nullptr;
  block->result.status = status;
  return &block->result;
}

void freeResult(nis_result* result) {
  if (result == nullptr) return;
  auto* block = reinterpret_cast<ResultBlock*>(result);
  free(block->record);
  free(block);
}

const char* replyRecordOf(const nis_result* result) {
  return reinterpret_cast<const ResultBlock*>(result)->record;
}

void dropObjects(nis_result* result) {
  // The objects live in the result's block: they go with it.
  result->objects.objects_len = 0;
  result->objects.objects_val = nullptr;
}

Decoded decodeNisResult(Record& record, size_t offset, void* out) {
  char* const body = record.data + offset;
  const size_t len = record.size - offset;
  Walker<false> check(body, len);
  check.until(record.deadline);
  nis_result scratch{};
  if (!check.result(scratch)) return check.late() ? Decoded::kLate : Decoded::kMalformed;
  auto* block = static_cast<ResultBlock*>(malloc(kBlockHeader + check.structBytes()));
  if (block == nullptr) return Decoded::kNoMemory;
  Walker<true> fill(body, len, reinterpret_cast<char*>(block) + kBlockHeader);
  fill.until(record.deadline);
  block->result = nis_result{};
  // Fails only when late: the same steps passed above. The record's
  // strings are then half moved, and it goes with the failed call.
  if (!fill.result(block->result)) {
    free(block);
    return Decoded::kLate;
  }
  block->record = record.release();
  *static_cast<nis_result**>(out) = &block->result;
  return Decoded::kOk;
}

Decoded decodeFindDirectoryResult(Record& record, size_t offset, void* out) {
  char* const body = record.data + offset;
  const size_t len = record.size - offset;
  // Every length checked against the data first: rpcgen's routine
  // allocates what a length announces before it reads the bytes.
  if (!Walker<false>(body, len).findDirectoryResult()) return Decoded::kMalformed;
  XDR xdrs;
  xdrmem_create(&xdrs, body, static_cast<u_int>(len), XDR_DECODE);
  auto* res = static_cast<fd_result*>(out);
  const bool ok = xdr_fd_result(&xdrs, res);
  xdr_destroy(&xdrs);
  if (ok) return Decoded::kOk;
  xdr_free(reinterpret_cast<xdrproc_t>(xdr_fd_result), reinterpret_cast<char*>(res));
  *res = fd_result{};
  return Decoded::kMalformed;
}

namespace {

// The status-only result of a listing whose reply check passed.
Decoded statusResult(const nis_result& scratch, void* out) {
  nis_result* res = makeResult(NIS_SUCCESS);
  if (res == nullptr) return Decoded::kNoMemory;
  // A status the check accepted (a nis_error value), copied as a number.
  std::memcpy(&res->status, &scratch.status, sizeof res->status);
  res->zticks = scratch.zticks;
  res->dticks = scratch.dticks;
  res->aticks = scratch.aticks;
  *static_cast<nis_result**>(out) = res;
  return Decoded::kOk;
}

}  // namespace

Decoded decodeListingStatus(Record& record, size_t offset, void* out) {
  Walker<false> check(record.data + offset, record.size - offset);
  check.until(record.deadline);
  nis_result scratch{};
  if (!check.result(scratch)) return check.late() ? Decoded::kLate : Decoded::kMalformed;
  return statusResult(scratch, out);
}

Decoded ObjectStream::decode(Record& record, size_t offset, void* out) {
  const size_t size = record.size - offset;
  // Every object was walked as it came, in this very reply: only what
  // follows them is left to check. Otherwise the whole reply is checked.
  if (!headerRead_ || left_ != 0 || noMemory_ || size != completeSize_) {
    return decodeListingStatus(record, offset, out);
  }
  nis_result scratch{};
  std::uint32_t objects = 0;
  Walker<false> head(record.data + offset, size);
  Walker<false> tail(record.data + offset + next_, size - next_);
  if (!head.header(scratch.status, objects) || !tail.resultTail(scratch)) {
    return Decoded::kMalformed;
  }
  return statusResult(scratch, out);
}

void ObjectStream::started() {
  completeSize_ = kIncomplete;
  headerRead_ = false;
  stopped_ = false;
  noMemory_ = false;
  next_ = 0;
  left_ = 0;
  retryAt_ = 0;
}

void ObjectStream::arrived(const char* results, size_t size, bool complete) {
  if (complete) completeSize_ = size;
  if (stopped_) return;
  try {
    if (!headerRead_) {
      // The status, then the count of objects.
      if (size < 8) return;
      Walker<false> head(const_cast<char*>(results), 8);
      nis_error status{};
      std::uint32_t count = 0;
      if (!head.header(status, count)) {
        // A status no server sends: nothing of this reply is handed over.
        stopped_ = true;
        return;
      }
      headerRead_ = true;
      next_ = 8;
      left_ = count;
      if (!sink_.begin(count)) stopped_ = true;
    }
    while (!stopped_ && left_ > 0) {
      if (!complete && size < retryAt_) return;
      Walker<false> walk(const_cast<char*>(results + next_), size - next_);
      columns_.clear();
      walk.captureColumns(&columns_);
      nis_object scratch{};
      if (!walk.object(scratch)) {
        // Not all of it is here yet (or it is malformed, which the check
        // of the whole reply will tell). It is walked again once twice as
        // many of its bytes have come, so that an object of any size costs
        // at most about twice its walk.
        retryAt_ = next_ + 2 * (size - next_) + 1;
        if (complete) stopped_ = true;
        return;
      }
      std::uint32_t type = 0;
      std::memcpy(&type, &scratch.zo_data.zo_type, sizeof type);
      next_ += walk.consumed();
      --left_;
      if (!sink_.object(type, columns_.data(), static_cast<u_int>(columns_.size()))) {
        stopped_ = true;
      }
    }
  } catch (const std::bad_alloc&) {
    noMemory_ = true;
    stopped_ = true;
  }
}

bool directoryFits(const char* data, size_t len) {
  // The checking pass only reads.
  directory_obj scratch{};
  return Walker<false>(const_cast<char*>(data), len).directory(scratch);
}

}  // namespace nisplus_client
