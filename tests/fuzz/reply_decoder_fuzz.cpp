// The decoder of server replies. The first byte picks the reply type, the
// rest is its XDR as a server would send it after the RPC header:
//   even: a nis_result (every call but NIS_FINDDIRECTORY)
//   odd:  an fd_result (NIS_FINDDIRECTORY)
// For any bytes:
// - the decoder never reads outside the reply and leaks nothing (ASan);
// - a nis_result it accepts has every string NUL-terminated and every
//   value inside the reply record (with a NUL after it), a null pointer
//   exactly for an empty value, and encodes to the same bytes as the
//   result rpcgen's routine decodes from the same reply, which must accept
//   it too;
// - an fd_result it accepts is rpcgen's decoding of the same bytes;
// - the streamed walk of a nis_result, fed the bytes in pieces (each time
//   in a buffer of exactly the bytes so far), reads nothing past them,
//   hands over exactly the decoder's objects when the decoder accepts the
//   reply (and the status-only decoder agrees with it either way), and
//   never more objects than the bytes held.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "client_internal.h"
#include "xdr_routines.h"

using nisplus_client::Decoded;
using nisplus_client::Record;

namespace {

struct Bounds {
  const char* begin;
  const char* end;

  void string(const char* s) const {
    if (s == nullptr || s < begin || s >= end) abort();
    if (memchr(s, '\0', static_cast<size_t>(end - s)) == nullptr) abort();
  }
  void value(const char* v, u_int len) const {
    if ((v == nullptr) != (len == 0)) abort();
    if (v == nullptr) return;
    if (v < begin || len >= static_cast<size_t>(end - v) || v[len] != '\0') abort();
  }
};

void checkObject(const Bounds& b, const nis_object& o) {
  b.string(o.zo_name);
  b.string(o.zo_owner);
  b.string(o.zo_group);
  b.string(o.zo_domain);
  const auto& u = o.zo_data.objdata_u;
  std::uint32_t type = 0;  // any number a server sent, not only zotypes
  std::memcpy(&type, &o.zo_data.zo_type, sizeof type);
  switch (type) {
    case NIS_ENTRY_OBJ:
      b.string(u.en_data.en_type);
      for (u_int i = 0; i < u.en_data.en_cols.en_cols_len; ++i) {
        const entry_col& c = u.en_data.en_cols.en_cols_val[i];
        b.value(c.ec_value.ec_value_val, c.ec_value.ec_value_len);
      }
      break;
    case NIS_TABLE_OBJ:
      b.string(u.ta_data.ta_type);
      b.string(u.ta_data.ta_path);
      for (u_int i = 0; i < u.ta_data.ta_cols.ta_cols_len; ++i) {
        b.string(u.ta_data.ta_cols.ta_cols_val[i].tc_name);
      }
      break;
    case NIS_DIRECTORY_OBJ:
      b.string(u.di_data.do_name);
      for (u_int i = 0; i < u.di_data.do_servers.do_servers_len; ++i) {
        const nis_server& s = u.di_data.do_servers.do_servers_val[i];
        b.string(s.name);
        b.value(s.pkey.n_bytes, s.pkey.n_len);
        for (u_int j = 0; j < s.ep.ep_len; ++j) {
          b.string(s.ep.ep_val[j].uaddr);
          b.string(s.ep.ep_val[j].family);
          b.string(s.ep.ep_val[j].proto);
        }
      }
      break;
    case NIS_GROUP_OBJ:
      for (u_int i = 0; i < u.gr_data.gr_members.gr_members_len; ++i) {
        b.string(u.gr_data.gr_members.gr_members_val[i]);
      }
      break;
    case NIS_LINK_OBJ:
      b.string(u.li_data.li_name);
      for (u_int i = 0; i < u.li_data.li_attrs.li_attrs_len; ++i) {
        b.string(u.li_data.li_attrs.li_attrs_val[i].zattr_ndx);
        b.value(u.li_data.li_attrs.li_attrs_val[i].zattr_val.zattr_val_val,
                u.li_data.li_attrs.li_attrs_val[i].zattr_val.zattr_val_len);
      }
      break;
    case NIS_PRIVATE_OBJ:
      b.value(u.po_data.po_data_val, u.po_data.po_data_len);
      break;
    default:
      break;
  }
}

std::string encode(nis_result* r) {
  const unsigned long size = xdr_sizeof(reinterpret_cast<xdrproc_t>(xdr_nis_result), r);
  std::string out(size, '\0');
  XDR x;
  xdrmem_create(&x, out.data(), static_cast<u_int>(out.size()), XDR_ENCODE);
  if (!xdr_nis_result(&x, r)) abort();
  xdr_destroy(&x);
  return out;
}

// A record holding the reply as the transport leaves it: malloc'd bytes.
void fill(Record& rec, const uint8_t* data, size_t size) {
  rec.data = static_cast<char*>(malloc(size == 0 ? 1 : size));
  if (rec.data == nullptr) abort();
  if (size != 0) memcpy(rec.data, data, size);
  rec.size = rec.capacity = size;
}

using Objects = std::vector<std::pair<std::uint32_t, std::vector<std::string>>>;

struct Collected final : nisplus_client::EntrySink {
  int begins = 0;
  Objects objects;
  bool begin(u_int) override {
    ++begins;
    objects.clear();
    return true;
  }
  bool object(std::uint32_t type, const nisplus_client::ColumnValue* columns,
              u_int count) override {
    std::vector<std::string> v;
    for (u_int i = 0; i < count; ++i) {
      if ((columns[i].bytes == nullptr) != (columns[i].size == 0)) abort();
      v.emplace_back(columns[i].bytes != nullptr ? columns[i].bytes : "", columns[i].size);
    }
    objects.emplace_back(type, std::move(v));
    return true;
  }
};

// The objects a decoded result holds, as a sink is given them.
Objects objectsOf(const nis_result& r) {
  Objects out;
  for (u_int j = 0; j < r.objects.objects_len; ++j) {
    const nis_object& o = r.objects.objects_val[j];
    std::uint32_t type = 0;
    std::memcpy(&type, &o.zo_data.zo_type, sizeof type);
    std::vector<std::string> v;
    if (type == NIS_ENTRY_OBJ) {
      const entry_obj& e = o.zo_data.objdata_u.en_data;
      for (u_int i = 0; i < e.en_cols.en_cols_len; ++i) {
        const auto& value = e.en_cols.en_cols_val[i].ec_value;
        v.emplace_back(value.ec_value_val != nullptr ? value.ec_value_val : "", value.ec_value_len);
      }
    }
    out.emplace_back(type, std::move(v));
  }
  return out;
}

// The streamed walk over data arriving `piece` bytes at a time.
void stream(nisplus_client::ObjectStream& stream, const uint8_t* data, size_t size, size_t piece) {
  stream.started();
  for (size_t have = 0;;) {
    have = std::min(size, have + piece);
    const bool complete = have == size;
    char* buf = static_cast<char*>(malloc(have == 0 ? 1 : have));
    if (buf == nullptr) abort();
    if (have != 0) memcpy(buf, data, have);
    stream.arrived(buf, have, complete);
    free(buf);
    if (complete) break;
  }
}

// Whether a status-only result was decoded, and its status.
std::pair<bool, int> statusOf(Decoded d, nis_result* r) {
  if (d != Decoded::kOk) return {false, 0};
  const int status = nisplus_client::statusOf(r);
  if (r->objects.objects_len != 0) abort();
  nis_freeresult(r);
  return {true, status};
}

void nisResult(const uint8_t* data, size_t size, size_t piece) {
  Collected sink;
  nisplus_client::ObjectStream walk(sink);
  stream(walk, data, size, piece);
  if (sink.begins > 1) abort();
  // The stream's own decoding of the complete reply, and the status-only
  // decoder's, agree with the full decoder.
  Record streamedRecord;
  fill(streamedRecord, data, size);
  nis_result* streamedResult = nullptr;
  const auto streamedStatus =
      statusOf(walk.decode(streamedRecord, 0, &streamedResult), streamedResult);
  Record status;
  fill(status, data, size);
  nis_result* statusOnly = nullptr;
  const auto statusOnlyStatus =
      statusOf(nisplus_client::decodeListingStatus(status, 0, &statusOnly), statusOnly);
  Record rec;
  fill(rec, data, size);
  nis_result* mine = nullptr;
  const Decoded decoded = nisplus_client::decodeNisResult(rec, 0, &mine);
  const std::pair<bool, int> fullStatus{
      decoded == Decoded::kOk, decoded == Decoded::kOk ? nisplus_client::statusOf(mine) : 0};
  if (streamedStatus != fullStatus || statusOnlyStatus != fullStatus) abort();
  // Every object takes at least 36 bytes on the wire.
  if (sink.objects.size() > size / 36) abort();
  if (decoded != Decoded::kOk) return;
  if (objectsOf(*mine) != sink.objects) abort();
  // The record now belongs to the result; its strings point into it.
  const char* record = nisplus_client::replyRecordOf(mine);
  const Bounds b{record, record + size};
  b.value(mine->cookie.n_bytes, mine->cookie.n_len);
  for (u_int i = 0; i < mine->objects.objects_len; ++i)
    checkObject(b, mine->objects.objects_val[i]);

  std::string copy(reinterpret_cast<const char*>(data), size);
  nis_result theirs{};
  XDR x;
  xdrmem_create(&x, copy.data(), static_cast<u_int>(copy.size()), XDR_DECODE);
  if (!xdr_nis_result(&x, &theirs)) abort();
  xdr_destroy(&x);
  if (encode(mine) != encode(&theirs)) abort();
  xdr_free(reinterpret_cast<xdrproc_t>(xdr_nis_result), reinterpret_cast<char*>(&theirs));
  nis_freeresult(mine);
}

void findDirectoryResult(const uint8_t* data, size_t size) {
  Record rec;
  fill(rec, data, size);
  fd_result mine{};
  if (nisplus_client::decodeFindDirectoryResult(rec, 0, &mine) != Decoded::kOk) return;
  if (mine.source == nullptr) abort();
  if ((mine.dir_data.dir_data_val == nullptr) != (mine.dir_data.dir_data_len == 0)) abort();
  if (mine.dir_data.dir_data_len > size) abort();
  xdr_free(reinterpret_cast<xdrproc_t>(xdr_fd_result), reinterpret_cast<char*>(&mine));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  if ((data[0] & 1) == 0) {
    // The other bits of the first byte choose how the reply is cut.
    nisResult(data + 1, size - 1, (data[0] >> 1) + 1u);
  } else {
    findDirectoryResult(data + 1, size - 1);
  }
  return 0;
}
