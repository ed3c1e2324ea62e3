// The NIS+ client calls, with the prototypes and memory rules of
// <rpcsvc/nis.h>: every call returns a nis_result allocated here, never
// null, which the caller frees with nis_freeresult. Failures found before
// any server answered come back as a result carrying only a status:
//   NIS_BADNAME        malformed, relative or indexed-where-not-allowed name
//   NIS_BADOBJECT      a missing object or one that cannot be encoded
//   NIS_UNAVAIL        no cold-start file
//   NIS_COLDSTART_ERR  a cold-start file that does not decode
//   NIS_NAMEUNREACHABLE no server of the directory could be reached in time
//   NIS_RPCERROR       a server's reply did not decode
//   NIS_NOMEMORY       out of memory
//
// Objects sent by nis_add, nis_add_entry, nis_modify_entry and the remove
// calls are sent as a copy in which only unset fields are filled, as the
// system client does; a field the caller set is never changed:
//   zo_name    (null or "")  the leaf of the object's (table's) name
//   zo_domain  (null or "")  the directory holding the object (table)
//   zo_owner   (null or "")  this process's principal: the host's name
//                            ("host.domain.") for root, else "nobody"
//   zo_group   (null or "")  $NIS_GROUP, or "" when it is unset
//   any other string field that is null (ta_type, ta_path, tc_name,
//   en_type, do_name, li_name) is sent as "".
#include <sys/time.h>

#include <cstdlib>
#include <cstring>
#include <new>

#include "client_internal.h"
#include "xdr_routines.h"

namespace nisplus_client {

namespace {

char kEmpty[] = "";

char* orEmpty(char* s) { return s != nullptr ? s : kEmpty; }

std::uint32_t microsSince(Clock::time_point start) {
  return static_cast<std::uint32_t>(
      std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count());
}

// A copy of a caller's object, ready to be encoded (see the file comment).
// The copy shares the caller's strings and values; it owns only the
// strings it fills in and the column arrays it had to repair.
class PreparedObject {
 public:
  // objectName: the full name of the object, or of the table for entries.
  nis_error prepare(const nis_object* src, std::string_view objectName) {
    if (src == nullptr) return NIS_BADOBJECT;
    obj_ = *src;
    if (obj_.zo_name == nullptr || obj_.zo_name[0] == '\0') {
      name_ = leafOf(objectName);
      obj_.zo_name = name_.data();
    }
    if (obj_.zo_domain == nullptr || obj_.zo_domain[0] == '\0') {
      domain_ = domainOf(objectName);
      obj_.zo_domain = domain_.data();
    }
    if (obj_.zo_owner == nullptr || obj_.zo_owner[0] == '\0') {
      owner_ = localPrincipal();
      obj_.zo_owner = owner_.data();
    }
    if (obj_.zo_group == nullptr || obj_.zo_group[0] == '\0') {
      const char* env = getenv("NIS_GROUP");
      group_ = env != nullptr ? env : "";
      obj_.zo_group = group_.data();
    }
    switch (obj_.zo_data.zo_type) {
      case NIS_BOGUS_OBJ:
      case NIS_NO_OBJ:
        return NIS_SUCCESS;
      case NIS_TABLE_OBJ:
        return prepareTable();
      case NIS_ENTRY_OBJ:
        return prepareEntry();
      case NIS_DIRECTORY_OBJ: {
        directory_obj& d = obj_.zo_data.objdata_u.di_data;
        d.do_name = orEmpty(d.do_name);
        return arrayOk(d.do_servers.do_servers_len, d.do_servers.do_servers_val) &&
                       arrayOk(d.do_armask.do_armask_len, d.do_armask.do_armask_val)
                   ? NIS_SUCCESS
                   : NIS_BADOBJECT;
      }
      case NIS_GROUP_OBJ: {
        group_obj& g = obj_.zo_data.objdata_u.gr_data;
        return arrayOk(g.gr_members.gr_members_len, g.gr_members.gr_members_val) ? NIS_SUCCESS
                                                                                 : NIS_BADOBJECT;
      }
      case NIS_LINK_OBJ: {
        link_obj& l = obj_.zo_data.objdata_u.li_data;
        l.li_name = orEmpty(l.li_name);
        return arrayOk(l.li_attrs.li_attrs_len, l.li_attrs.li_attrs_val) ? NIS_SUCCESS
                                                                         : NIS_BADOBJECT;
      }
      case NIS_PRIVATE_OBJ: {
        auto& p = obj_.zo_data.objdata_u.po_data;
        return arrayOk(p.po_data_len, p.po_data_val) ? NIS_SUCCESS : NIS_BADOBJECT;
      }
    }
    return NIS_BADOBJECT;
  }

  nis_object* get() { return &obj_; }

 private:
  template <typename T>
  static bool arrayOk(u_int len, const T* val) {
    return len == 0 || val != nullptr;
  }

  nis_error prepareTable() {
    table_obj& t = obj_.zo_data.objdata_u.ta_data;
    t.ta_type = orEmpty(t.ta_type);
    t.ta_path = orEmpty(t.ta_path);
    if (!arrayOk(t.ta_cols.ta_cols_len, t.ta_cols.ta_cols_val)) return NIS_BADOBJECT;
    bool repair = false;
    for (u_int i = 0; i < t.ta_cols.ta_cols_len; ++i) {
      repair = repair || t.ta_cols.ta_cols_val[i].tc_name == nullptr;
    }
    if (repair) {
      tableCols_.assign(t.ta_cols.ta_cols_val, t.ta_cols.ta_cols_val + t.ta_cols.ta_cols_len);
      for (table_col& c : tableCols_) c.tc_name = orEmpty(c.tc_name);
      t.ta_cols.ta_cols_val = tableCols_.data();
    }
    return NIS_SUCCESS;
  }

  nis_error prepareEntry() {
    entry_obj& e = obj_.zo_data.objdata_u.en_data;
    e.en_type = orEmpty(e.en_type);
    if (!arrayOk(e.en_cols.en_cols_len, e.en_cols.en_cols_val)) return NIS_BADOBJECT;
    for (u_int i = 0; i < e.en_cols.en_cols_len; ++i) {
      const entry_col& c = e.en_cols.en_cols_val[i];
      if (c.ec_value.ec_value_val == nullptr && c.ec_value.ec_value_len != 0) {
        return NIS_BADOBJECT;
      }
    }
    return NIS_SUCCESS;
  }

  nis_object obj_{};
  std::string name_, domain_, owner_, group_;
  std::vector<table_col> tableCols_;
};

// Whether a request reads the namespace or changes it.
enum class Access { kRead, kUpdate };

// Sends one request to the servers of the directory holding objectName.
// A read goes to the next server when one cannot be reached or answers
// NIS_NOT_ME, NIS_NOSUCHNAME or NIS_SYSTEMERROR. An update goes to the
// directory's master alone, with the whole budget, and its answer stands:
// replicas only ever answer NIS_NOTMASTER, and a master that is merely slow
// may still carry the change out after its caller has given up on it.
// With progress, the results go to it as they arrive and it decodes the
// reply (ObjectStream: a result with the status only).
nis_result* callDirectory(std::string_view objectName, rpcproc_t proc, xdrproc_t xdrArgs,
                          const void* args, unsigned flags, Access access, Clock::time_point start,
                          ReplyProgress* progress = nullptr) {
  const bool update = access == Access::kUpdate;
  // Refuse what would not encode before anything reaches a server.
  if (xdr_sizeof(xdrArgs, const_cast<void*>(args)) == 0) return makeResult(NIS_BADOBJECT);
  const Clock::time_point deadline = start + kCallBudget;
  std::shared_ptr<const Directory> dir;
  nis_error status = findDirectoryOf(objectName, deadline, dir);
  if (status != NIS_SUCCESS) return makeResult(status);

  size_t count = dir->servers.size();
  if ((update || (flags & MASTER_ONLY) != 0) && count > 1) count = 1;
  nis_error fallback = NIS_NAMEUNREACHABLE;
  nis_result* kept = nullptr;  // the last NOT_ME/NOSUCHNAME/SYSTEMERROR answer
  for (size_t i = 0; i < count; ++i) {
    nis_result* res = nullptr;
    const CallOutcome outcome =
        callServer(dir->servers[i], proc, xdrArgs, args, decodeNisResult, &res,
                   attemptDeadline(deadline, count - i), !update, progress);
    if (outcome == CallOutcome::kNoMemory) {
      nis_freeresult(kept);
      return makeResult(NIS_NOMEMORY);
    }
    if (outcome != CallOutcome::kReplied) {
      if (outcome == CallOutcome::kBadReply) fallback = NIS_RPCERROR;
      if (Clock::now() >= deadline) break;
      continue;
    }
    const int status = statusOf(res);
    if (status == NIS_NOT_ME || status == NIS_NOSUCHNAME || status == NIS_SYSTEMERROR) {
      if (status == NIS_NOT_ME) forgetDirectory(dir->name);
      nis_freeresult(kept);
      kept = res;
      continue;
    }
    nis_freeresult(kept);
    res->cticks = microsSince(start);
    return res;
  }
  if (kept != nullptr) {
    kept->cticks = microsSince(start);
    return kept;
  }
  return makeResult(fallback);
}

// Search attributes as the protocol carries them: each value with its
// terminating NUL, as the system client sends it.
std::vector<nis_attr> toAttrs(const IndexedName& in) {
  std::vector<nis_attr> out(in.attrs.size());
  for (size_t i = 0; i < in.attrs.size(); ++i) {
    out[i].zattr_ndx = const_cast<char*>(in.attrs[i].name.c_str());
    out[i].zattr_val.zattr_val_len = static_cast<u_int>(in.attrs[i].value.size() + 1);
    out[i].zattr_val.zattr_val_val = const_cast<char*>(in.attrs[i].value.c_str());
  }
  return out;
}

// A name of a single object (no search part), fully qualified.
bool plainName(const char* name) {
  return name != nullptr && name[0] != '[' && isFullyQualified(name) &&
         strpbrk(name, "[]=,") == nullptr;
}

nis_result* nameCall(const char* name, const nis_object* obj, bool needObject, unsigned flags,
                     rpcproc_t proc, Access access) {
  const Clock::time_point start = Clock::now();
  if (!plainName(name)) return makeResult(NIS_BADNAME);
  PreparedObject prepared;
  ns_request req{};
  req.ns_name = const_cast<char*>(name);
  if (obj != nullptr || needObject) {
    const nis_error st = prepared.prepare(obj, name);
    if (st != NIS_SUCCESS) return makeResult(st);
    req.ns_object.ns_object_len = 1;
    req.ns_object.ns_object_val = prepared.get();
  }
  return callDirectory(name, proc, reinterpret_cast<xdrproc_t>(xdr_ns_request), &req, flags, access,
                       start);
}

nis_result* tableCall(const char* name, const nis_object* obj, bool needObject, unsigned flags,
                      rpcproc_t proc, Access access, IndexedName* parsedOut = nullptr,
                      ReplyProgress* progress = nullptr) {
  const Clock::time_point start = Clock::now();
  IndexedName parsed;
  if (parseIndexedName(name, parsed) != NIS_SUCCESS || !isFullyQualified(parsed.table) ||
      strpbrk(parsed.table.c_str(), "[]=,") != nullptr) {
    return makeResult(NIS_BADNAME);
  }
  std::vector<nis_attr> attrs = toAttrs(parsed);
  PreparedObject prepared;
  ib_request req{};
  req.ibr_name = const_cast<char*>(parsed.table.c_str());
  req.ibr_srch.ibr_srch_len = static_cast<u_int>(attrs.size());
  req.ibr_srch.ibr_srch_val = attrs.empty() ? nullptr : attrs.data();
  req.ibr_flags = flags;
  if (obj != nullptr || needObject) {
    const nis_error st = prepared.prepare(obj, parsed.table);
    if (st != NIS_SUCCESS) return makeResult(st);
    req.ibr_obj.ibr_obj_len = 1;
    req.ibr_obj.ibr_obj_val = prepared.get();
  }
  nis_result* res = callDirectory(parsed.table, proc, reinterpret_cast<xdrproc_t>(xdr_ib_request),
                                  &req, flags, access, start, progress);
  if (parsedOut != nullptr) *parsedOut = std::move(parsed);
  return res;
}

template <typename F>
nis_result* guarded(F&& f) {
  try {
    nis_result* res = f();
    return res != nullptr ? res : makeResult(NIS_NOMEMORY);
  } catch (...) {
    return makeResult(NIS_NOMEMORY);
  }
}

}  // namespace

nis_result* listEntries(const char* name, EntrySink& sink) {
  return guarded([&]() -> nis_result* {
    ObjectStream stream(sink);
    nis_result* res =
        tableCall(name, nullptr, false, 0, NIS_IBLIST, Access::kRead, nullptr, &stream);
    if (res != nullptr && stream.noMemory()) {
      freeResult(res);
      return makeResult(NIS_NOMEMORY);
    }
    return res;
  });
}

}  // namespace nisplus_client

using namespace nisplus_client;

// Defined inside extern "C" so the compiler checks each definition against
// the declaration of <rpcsvc/nis.h>: a differing prototype would not build.
extern "C" {

nis_result* nis_lookup(const_nis_name name, unsigned int flags) {
  // Of the flags only MASTER_ONLY matters here: links and expansion of
  // partial names are not offered.
  return guarded([&] { return nameCall(name, nullptr, false, flags, NIS_LOOKUP, Access::kRead); });
}

nis_result* nis_add(const_nis_name name, const nis_object* obj) {
  return guarded([&] { return nameCall(name, obj, true, 0, NIS_ADD, Access::kUpdate); });
}

nis_result* nis_remove(const_nis_name name, const nis_object* obj) {
  return guarded([&] { return nameCall(name, obj, false, 0, NIS_REMOVE, Access::kUpdate); });
}

nis_result* nis_list(const_nis_name name, unsigned int flags,
                     int (*callback)(const_nis_name, const nis_object*, const void*),
                     const void* userdata) {
  return guarded([&]() -> nis_result* {
    IndexedName parsed;
    nis_result* res = tableCall(name, nullptr, false, flags, NIS_IBLIST, Access::kRead, &parsed);
    if (callback == nullptr || res == nullptr ||
        (statusOf(res) != NIS_SUCCESS && statusOf(res) != NIS_S_SUCCESS)) {
      return res;
    }
    // With a callback the entries go to it, one by one, until it returns
    // non-zero; the result then carries NIS_CBRESULTS and no objects.
    for (u_int i = 0; i < res->objects.objects_len; ++i) {
      if (callback(parsed.table.c_str(), &res->objects.objects_val[i], userdata) != 0) break;
    }
    dropObjects(res);
    res->status = NIS_CBRESULTS;
    return res;
  });
}

nis_result* nis_add_entry(const_nis_name table_name, const nis_object* obj, unsigned int flags) {
  return guarded(
      [&] { return tableCall(table_name, obj, true, flags, NIS_IBADD, Access::kUpdate); });
}

nis_result* nis_modify_entry(const_nis_name name, const nis_object* obj, unsigned int flags) {
  return guarded([&] { return tableCall(name, obj, true, flags, NIS_IBMODIFY, Access::kUpdate); });
}

nis_result* nis_remove_entry(const_nis_name table_name, const nis_object* obj, unsigned int flags) {
  return guarded(
      [&] { return tableCall(table_name, obj, false, flags, NIS_IBREMOVE, Access::kUpdate); });
}

void nis_freeresult(nis_result* result) { freeResult(result); }

}  // extern "C"
