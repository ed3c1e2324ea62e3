#include "server.h"

#include <rpc/auth_unix.h>
#include <rpcsvc/nis_tags.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <utility>

#include "access_rights.h"
#include "quoting.h"
#include "request_check.h"
#include "seed_format.h"

namespace nisplusd {

Server* theServer = nullptr;

namespace {

// Storage for one reply: the XDR structures point into it and into the
// namespace, which stays unchanged until the reply has been sent.
class Arena {
 public:
  char* str(std::string s) {
    strings_.push_back(std::move(s));
    return strings_.back().data();
  }
  // Points into a string the arena does not own (the namespace's).
  static char* ref(const std::string& s) { return const_cast<char*>(s.c_str()); }

  template <typename T>
  T* array(size_t n) {
    auto v = std::make_shared<std::vector<T>>(n);
    keep_.push_back(v);
    return v->data();
  }

 private:
  std::deque<std::string> strings_;
  std::vector<std::shared_ptr<void>> keep_;
};

// A request's arguments: copied raw from the transport, checked, then
// decoded from the copy; freed with the guard.
class Arguments {
 public:
  Arguments(xdrproc_t proc, char* target) : proc_(proc), target_(target) {}
  ~Arguments() {
    if (decoded_) xdr_free(proc_, target_);
  }
  Arguments(const Arguments&) = delete;
  Arguments& operator=(const Arguments&) = delete;

  bool decode(SVCXPRT* xprt, bool (*plausible)(const std::string&)) {
    std::string raw;
    if (!svc_getargs(xprt, captureArguments, reinterpret_cast<char*>(&raw)) || !plausible(raw)) {
      return false;
    }
    XDR x;
    xdrmem_create(&x, raw.data(), static_cast<u_int>(raw.size()), XDR_DECODE);
    decoded_ = true;  // a half-decoded request owns what it got so far
    bool ok = proc_(&x, target_);
    xdr_destroy(&x);
    return ok;
  }

 private:
  xdrproc_t proc_;
  char* target_;
  bool decoded_ = false;
};

// The object type as sent: any 32-bit value, which the zotypes enum cannot
// hold without undefined behaviour.
uint32_t objectType(const nis_object& o) {
  uint32_t v;
  std::memcpy(&v, &o.zo_data.zo_type, sizeof v);
  return v;
}

// xdr_void has no parameters, which xdrproc_t's casts warn about.
bool_t encodeNothing(XDR*, ...) { return TRUE; }

std::string text(const char* p) { return p ? std::string(p) : std::string(); }

std::string bytes(u_int len, const char* p) { return p ? std::string(p, len) : std::string(); }

std::vector<Attr> attrsOf(const ib_request& r) {
  std::vector<Attr> out;
  for (u_int i = 0; i < r.ibr_srch.ibr_srch_len; ++i) {
    const nis_attr& a = r.ibr_srch.ibr_srch_val[i];
    out.push_back(
        Attr{text(a.zattr_ndx), bytes(a.zattr_val.zattr_val_len, a.zattr_val.zattr_val_val)});
  }
  return out;
}

Entry entryOf(const nis_object& o) {
  const entry_obj& en = o.EN_data;
  Entry e;
  e.type = text(en.en_type);
  e.owner = text(o.zo_owner);
  e.group = text(o.zo_group);
  e.access = o.zo_access;
  e.ttl = o.zo_ttl;
  for (u_int i = 0; i < en.en_cols.en_cols_len; ++i) {
    const entry_col& c = en.en_cols.en_cols_val[i];
    e.values.push_back(Value{bytes(c.ec_value.ec_value_len, c.ec_value.ec_value_val), c.ec_flags});
  }
  return e;
}

Table tableOf(const std::string& name, const nis_object& o) {
  const table_obj& ta = o.TA_data;
  Table t;
  t.name = name;
  t.type = text(ta.ta_type);
  t.owner = text(o.zo_owner);
  t.group = text(o.zo_group);
  t.access = o.zo_access;
  t.ttl = o.zo_ttl;
  t.sep = ta.ta_sep;
  t.maxcol = ta.ta_maxcol;
  t.path = text(ta.ta_path);
  for (u_int i = 0; i < ta.ta_cols.ta_cols_len; ++i) {
    const table_col& c = ta.ta_cols.ta_cols_val[i];
    t.columns.push_back(Column{text(c.tc_name), c.tc_flags, c.tc_rights});
  }
  return t;
}

void header(nis_object& o, Arena& a, const std::string& name, const std::string& owner,
            const std::string& group, uint32_t access, uint32_t ttl, const Oid& oid) {
  o.zo_oid.ctime = oid.ctime;
  o.zo_oid.mtime = oid.mtime;
  o.zo_name = a.str(std::string(labelOf(name)));
  o.zo_domain = a.str(std::string(parentOf(name)));
  o.zo_owner = Arena::ref(owner);
  o.zo_group = Arena::ref(group);
  o.zo_access = access;
  o.zo_ttl = ttl;
}

nis_object tableObject(const Table& t, Arena& a) {
  nis_object o{};
  header(o, a, t.name, t.owner, t.group, t.access, t.ttl, t.oid);
  o.zo_data.zo_type = NIS_TABLE_OBJ;
  table_obj& ta = o.TA_data;
  ta.ta_type = Arena::ref(t.type);
  ta.ta_maxcol = t.maxcol;
  ta.ta_sep = t.sep;
  ta.ta_path = Arena::ref(t.path);
  ta.ta_cols.ta_cols_len = static_cast<u_int>(t.columns.size());
  ta.ta_cols.ta_cols_val = a.array<table_col>(t.columns.size());
  for (size_t i = 0; i < t.columns.size(); ++i) {
    table_col& c = ta.ta_cols.ta_cols_val[i];
    c.tc_name = Arena::ref(t.columns[i].name);
    c.tc_flags = t.columns[i].flags;
    c.tc_rights = t.columns[i].rights;
  }
  return o;
}

nis_object entryObject(const Table& t, const Entry& e, Arena& a) {
  nis_object o{};
  header(o, a, t.name, e.owner, e.group, e.access, e.ttl, e.oid);
  o.zo_data.zo_type = NIS_ENTRY_OBJ;
  entry_obj& en = o.EN_data;
  en.en_type = Arena::ref(e.type);
  en.en_cols.en_cols_len = static_cast<u_int>(e.values.size());
  en.en_cols.en_cols_val = a.array<entry_col>(e.values.size());
  for (size_t i = 0; i < e.values.size(); ++i) {
    entry_col& c = en.en_cols.en_cols_val[i];
    c.ec_flags = e.values[i].flags;
    c.ec_value.ec_value_len = static_cast<u_int>(e.values[i].bytes.size());
    c.ec_value.ec_value_val = Arena::ref(e.values[i].bytes);
  }
  return o;
}

nis_object groupObject(const Group& g, Arena& a) {
  nis_object o{};
  header(o, a, g.name, g.owner, g.group, g.access, g.ttl, g.oid);
  o.zo_data.zo_type = NIS_GROUP_OBJ;
  group_obj& gr = o.GR_data;
  gr.gr_flags = g.flags;
  gr.gr_members.gr_members_len = static_cast<u_int>(g.members.size());
  gr.gr_members.gr_members_val = a.array<nis_name>(g.members.size());
  for (size_t i = 0; i < g.members.size(); ++i) {
    gr.gr_members.gr_members_val[i] = Arena::ref(g.members[i]);
  }
  return o;
}

const char* procName(u_long proc) {
  switch (proc) {
    case NIS_LOOKUP:
      return "NIS_LOOKUP";
    case NIS_ADD:
      return "NIS_ADD";
    case NIS_MODIFY:
      return "NIS_MODIFY";
    case NIS_REMOVE:
      return "NIS_REMOVE";
    case NIS_IBLIST:
      return "NIS_IBLIST";
    case NIS_IBADD:
      return "NIS_IBADD";
    case NIS_IBMODIFY:
      return "NIS_IBMODIFY";
    case NIS_IBREMOVE:
      return "NIS_IBREMOVE";
    case NIS_IBFIRST:
      return "NIS_IBFIRST";
    case NIS_IBNEXT:
      return "NIS_IBNEXT";
    case NIS_FINDDIRECTORY:
      return "NIS_FINDDIRECTORY";
    case NIS_STATUS:
      return "NIS_STATUS";
    case NIS_DUMPLOG:
      return "NIS_DUMPLOG";
    case NIS_DUMP:
      return "NIS_DUMP";
    case NIS_CALLBACK:
      return "NIS_CALLBACK";
    case NIS_CPTIME:
      return "NIS_CPTIME";
    case NIS_CHECKPOINT:
      return "NIS_CHECKPOINT";
    case NIS_PING:
      return "NIS_PING";
    case NIS_SERVSTATE:
      return "NIS_SERVSTATE";
    case NIS_MKDIR:
      return "NIS_MKDIR";
    case NIS_RMDIR:
      return "NIS_RMDIR";
    case NIS_UPDKEYS:
      return "NIS_UPDKEYS";
    default:
      return nullptr;
  }
}

bool knownProc(const std::string& name) {
  for (u_long p = 1; p <= NIS_UPDKEYS; ++p) {
    const char* n = procName(p);
    if (n && name == n) return true;
  }
  return false;
}

std::string entrySummary(const nis_object* o) {
  if (!o) return "";
  const uint32_t type = objectType(*o);
  std::string s =
      " entry type=" + quote(text(type == NIS_ENTRY_OBJ ? o->EN_data.en_type : nullptr));
  if (type != NIS_ENTRY_OBJ) return s + " cols=0 objtype=" + std::to_string(type);
  const entry_obj& en = o->EN_data;
  s += " cols=" + std::to_string(en.en_cols.en_cols_len);
  for (u_int i = 0; i < en.en_cols.en_cols_len; ++i) {
    const entry_col& c = en.en_cols.en_cols_val[i];
    s += i == 0 ? " values=" : " ";
    s += quote(bytes(c.ec_value.ec_value_len, c.ec_value.ec_value_val)) + "/" +
         hexNumber(c.ec_flags);
  }
  return s;
}

}  // namespace

Server::Server(Namespace ns, std::string serverName, int level,
               const secure_rpc::SecretKey& dhSecret)
    : ns_(ns),
      initial_(std::move(ns)),
      serverName_(std::move(serverName)),
      level_(level),
      initialLevel_(level),
      dhSecret_(dhSecret),
      dhPublic_(secure_rpc::keyHex(secure_rpc::publicKey(dhSecret_.bytes))) {}

directory_obj Server::directoryObject(const Directory& d, std::vector<std::string>& keep,
                                      std::vector<endpoint>& eps, nis_server& srv) const {
  keep = {"127.0.0.1.0.111", "inet", "-", "udp", "tcp"};
  eps.assign(3, endpoint{});
  for (size_t i = 0; i < 3; ++i) {
    eps[i].uaddr = keep[0].data();
    eps[i].family = keep[1].data();
    eps[i].proto = keep[2 + i].data();
  }
  srv = nis_server{};
  srv.name = const_cast<char*>(serverName_.c_str());
  srv.ep.ep_len = static_cast<u_int>(eps.size());
  srv.ep.ep_val = eps.data();
  // Clients that hold a secret key talk AUTH_DES to a server with a DH key.
  srv.key_type = NIS_PK_DH;
  srv.pkey.n_len = static_cast<u_int>(dhPublic_.size() + 1);
  srv.pkey.n_bytes = const_cast<char*>(dhPublic_.c_str());
  directory_obj o{};
  o.do_name = const_cast<char*>(d.name.c_str());
  o.do_type = NIS;
  o.do_servers.do_servers_len = 1;
  o.do_servers.do_servers_val = &srv;
  o.do_ttl = d.ttl;
  return o;
}

void Server::record(const char* proc, const std::string& name, const std::vector<Attr>& attrs,
                    uint32_t flags, const std::string& extra) {
  std::string line = std::string(proc) + " name=" + nameToken(name) + " attrs=";
  for (size_t i = 0; i < attrs.size(); ++i) {
    if (i) line += ",";
    line += attrs[i].name + "=" + quote(attrs[i].value);
  }
  line += " flags=" + hexNumber(flags) + extra;
  log_.push_back(std::move(line));
}

const Server::Fault* Server::takeFault(const char* proc, const std::string& name) {
  for (auto it = faults_.begin(); it != faults_.end(); ++it) {
    if (it->proc != proc || (!it->name.empty() && !sameName(it->name, name))) continue;
    fired_ = *it;
    if (--it->remaining <= 0) faults_.erase(it);
    return &fired_;
  }
  return nullptr;
}

void Server::dispatch(svc_req* rq, SVCXPRT* xprt) { theServer->serve(rq, xprt); }

namespace {

// libtirpc's datagram buffer (UDPMSGSIZE) less the RPC reply header.
constexpr u_long kDatagramPayload = 8800 - 64;

// One decoded name or indexed request, as the handlers see it.
struct Request {
  u_long proc = 0;
  std::string name;
  std::vector<Attr> attrs;
  uint32_t flags = 0;
  const nis_object* obj = nullptr;  // the first object sent, if any
};

struct Outcome {
  int status = NIS_SUCCESS;
  std::vector<nis_object> objects;
};

// A directory as an object of a lookup or listing answer.
nis_object directoryEntry(const Server& server, const Directory& d, Arena& a) {
  nis_object o{};
  header(o, a, d.name, d.owner, d.group, d.access, d.ttl, d.oid);
  o.zo_data.zo_type = NIS_DIRECTORY_OBJ;
  auto* keep = a.array<std::vector<std::string>>(1);
  auto* eps = a.array<std::vector<endpoint>>(1);
  auto* srv = a.array<nis_server>(1);
  o.DI_data = server.directoryObject(d, *keep, *eps, *srv);
  return o;
}

// Lookup needs read on the object or on the directory that holds it.
bool mayLookUp(const Namespace& ns, const Access& who, const std::string& name, uint32_t access,
               const std::string& owner, const std::string& group) {
  if (who.grants(access, owner, group, NIS_READ_ACC)) return true;
  const Directory* d = ns.findDir(parentOf(name));
  return d && who.grants(*d, NIS_READ_ACC);
}

Outcome lookup(const Server& server, const Namespace& ns, const Request& r, const Access& who,
               Arena& a) {
  Outcome out;
  if (r.name.empty() || r.name.find('[') != std::string::npos) {
    out.status = NIS_BADNAME;
  } else if (const Directory* d = ns.findDir(r.name)) {
    if (mayLookUp(ns, who, d->name, d->access, d->owner, d->group)) {
      out.objects.push_back(directoryEntry(server, *d, a));
    } else {
      out.status = NIS_PERMISSION;
    }
  } else if (const Table* t = ns.findTable(r.name)) {
    if (mayLookUp(ns, who, t->name, t->access, t->owner, t->group)) {
      out.objects.push_back(tableObject(*t, a));
    } else {
      out.status = NIS_PERMISSION;
    }
  } else if (const Group* g = ns.findGroup(r.name)) {
    if (mayLookUp(ns, who, g->name, g->access, g->owner, g->group)) {
      out.objects.push_back(groupObject(*g, a));
    } else {
      out.status = NIS_PERMISSION;
    }
  } else {
    out.status = ns.missingStatus(r.name);
  }
  return out;
}

// Creating an object needs create on its directory; an owner or group
// sent empty becomes the caller and the directory's group.
Outcome addObject(Namespace& ns, const Request& r, const Access& who, Arena& a) {
  Outcome out;
  const uint32_t type = r.obj ? objectType(*r.obj) : 0;
  if (type != NIS_TABLE_OBJ && type != NIS_DIRECTORY_OBJ) {
    out.status = NIS_BADOBJECT;
    return out;
  }
  const Directory* dir = ns.findDir(parentOf(r.name));
  if (dir && !who.grants(*dir, NIS_CREATE_ACC)) {
    out.status = NIS_PERMISSION;
    return out;
  }
  const std::string defaultGroup = dir ? dir->group : std::string();
  auto fill = [&](std::string& owner, std::string& group) {
    if (owner.empty()) owner = who.principal();
    if (group.empty()) group = defaultGroup;
  };
  if (type == NIS_TABLE_OBJ) {
    Table t = tableOf(r.name, *r.obj);
    fill(t.owner, t.group);
    out.status = ns.addTable(std::move(t));
    if (out.status == NIS_SUCCESS) out.objects.push_back(tableObject(*ns.findTable(r.name), a));
  } else {
    Directory d;
    d.name = r.name;
    d.owner = text(r.obj->zo_owner);
    d.group = text(r.obj->zo_group);
    d.access = r.obj->zo_access;
    d.ttl = r.obj->zo_ttl;
    fill(d.owner, d.group);
    out.status = ns.addDirectory(std::move(d));
  }
  return out;
}

// Removing an object needs destroy on its directory.
int removeObject(Namespace& ns, const Request& r, const Access& who) {
  if (!ns.exists(r.name)) return ns.missingStatus(r.name);
  const Directory* dir = ns.findDir(parentOf(r.name));
  if (dir && !who.grants(*dir, NIS_DESTROY_ACC)) return NIS_PERMISSION;
  return ns.removeObject(r.name);
}

// The matching entries a caller may see matched (Access::seesMatch).
int visibleMatches(const Table& t, const Request& r, const Access& who, std::vector<size_t>& out) {
  std::vector<size_t> hits;
  if (int st = Namespace::select(t, r.attrs, hits); st != NIS_SUCCESS) return st;
  out.clear();
  for (size_t i : hits) {
    if (who.seesMatch(t, t.entries[i], r.attrs)) out.push_back(i);
  }
  return NIS_SUCCESS;
}

// The value sent for a column the caller may not read, with the NUL that
// clients store after every value.
const std::string kNoPermission("*NP*\0", 5);

// Entries as the caller may read them: whole with read on the table or the
// entry, else column by column with *NP* for the others; an entry with no
// readable column is left out.
void readableEntries(const Table& t, const std::vector<size_t>& hits, const Access& who, Arena& a,
                     std::vector<nis_object>& out) {
  const bool wholeTable = who.grants(t, NIS_READ_ACC);
  for (size_t i : hits) {
    const Entry& e = t.entries[i];
    if (wholeTable || who.grants(e, NIS_READ_ACC)) {
      out.push_back(entryObject(t, e, a));
      continue;
    }
    Entry* shown = a.array<Entry>(1);
    *shown = e;
    bool any = false;
    for (size_t c = 0; c < shown->values.size(); ++c) {
      if (who.grantsColumn(t, e, c, NIS_READ_ACC)) {
        any = true;
      } else {
        shown->values[c] = Value{kNoPermission, 0};
      }
    }
    if (any) out.push_back(entryObject(t, *shown, a));
  }
}

Outcome list(const Server& server, const Namespace& ns, const Request& r, const Access& who,
             Arena& a) {
  Outcome out;
  if (const Table* t = ns.findTable(r.name)) {
    std::vector<size_t> hits;
    out.status = visibleMatches(*t, r, who, hits);
    readableEntries(*t, hits, who, a, out.objects);
    if (out.status == NIS_SUCCESS && out.objects.empty()) out.status = NIS_NOTFOUND;
  } else if (const Directory* dir = ns.findDir(r.name)) {
    // A directory lists its subdirectories, groups and tables.
    if (!r.attrs.empty()) {
      out.status = NIS_BADATTRIBUTE;
      return out;
    }
    if (!who.grants(*dir, NIS_READ_ACC)) {
      out.status = NIS_PERMISSION;
      return out;
    }
    for (const Directory& d : ns.dirs()) {
      if (sameName(parentOf(d.name), r.name)) out.objects.push_back(directoryEntry(server, d, a));
    }
    for (const Group& g : ns.groups()) {
      if (sameName(parentOf(g.name), r.name)) out.objects.push_back(groupObject(g, a));
    }
    for (const Table& t : ns.tables()) {
      if (sameName(parentOf(t.name), r.name)) out.objects.push_back(tableObject(t, a));
    }
    if (out.objects.empty()) out.status = NIS_NOTFOUND;
  } else {
    out.status = ns.findDir(parentOf(r.name)) ? NIS_NOSUCHTABLE : NIS_NOSUCHNAME;
  }
  return out;
}

// Add needs create on the table, and modify on the table or the entry it
// replaces when it overwrites one. Owner, group and access sent empty
// become the caller and the table's group and access.
int addEntry(Namespace& ns, const Request& r, const Access& who, const Entry** stored) {
  const Table* t = ns.findTable(r.name);
  Entry e = entryOf(*r.obj);
  const bool overwrite = (r.flags & ADD_OVERWRITE) != 0;
  if (t) {
    if (!who.grants(*t, NIS_CREATE_ACC)) return NIS_PERMISSION;
    if (e.owner.empty()) e.owner = who.principal();
    if (e.group.empty()) e.group = t->group;
    if (e.access == 0) e.access = t->access;
    const long dup = overwrite ? Namespace::findDuplicate(*t, e.values, -1) : -1;
    if (dup >= 0 && !who.grants(*t, NIS_MODIFY_ACC) &&
        !who.grants(t->entries[static_cast<size_t>(dup)], NIS_MODIFY_ACC)) {
      return NIS_PERMISSION;
    }
  }
  return ns.addEntry(r.name, std::move(e), overwrite, stored);
}

// Modify needs modify on the table, on the entry, or on every column it
// changes.
int modifyEntry(Namespace& ns, const Request& r, const Access& who, const Entry** stored) {
  const Table* t = ns.findTable(r.name);
  if (!t) return ns.modifyEntry(r.name, r.attrs, entryOf(*r.obj), stored);
  std::vector<size_t> hits;
  if (int st = visibleMatches(*t, r, who, hits); st != NIS_SUCCESS) return st;
  if (hits.empty()) return NIS_NOTFOUND;
  if (hits.size() > 1) return NIS_NOTUNIQUE;
  const Entry& e = t->entries[hits[0]];
  const Entry change = entryOf(*r.obj);
  bool allowed = who.grants(*t, NIS_MODIFY_ACC) || who.grants(e, NIS_MODIFY_ACC);
  for (size_t c = 0; !allowed && c <= change.values.size(); ++c) {
    if (c == change.values.size()) {
      allowed = true;  // every changed column grants it
    } else if ((change.values[c].flags & EN_MODIFIED) &&
               !who.grantsColumn(*t, e, c, NIS_MODIFY_ACC)) {
      break;
    }
  }
  if (!allowed) return NIS_PERMISSION;
  return ns.modifyEntryAt(r.name, hits[0], change, stored);
}

// Remove needs destroy on the table or on every entry it removes.
int removeEntries(Namespace& ns, const Request& r, const Access& who) {
  const bool multiple = (r.flags & REM_MULTIPLE) != 0;
  const Table* t = ns.findTable(r.name);
  if (!t) return ns.removeEntries(r.name, r.attrs, multiple, nullptr);
  std::vector<size_t> hits;
  if (int st = visibleMatches(*t, r, who, hits); st != NIS_SUCCESS) return st;
  if (hits.empty()) return NIS_NOTFOUND;
  if (hits.size() > 1 && !multiple) return NIS_NOTUNIQUE;
  if (!who.grants(*t, NIS_DESTROY_ACC)) {
    for (size_t i : hits) {
      if (!who.grants(t->entries[i], NIS_DESTROY_ACC)) return NIS_PERMISSION;
    }
  }
  ns.removeEntriesAt(r.name, hits);
  return NIS_SUCCESS;
}

Outcome updateEntry(Namespace& ns, const Request& r, const Access& who, Arena& a) {
  Outcome out;
  const Table* t = ns.findTable(r.name);
  const Entry* stored = nullptr;
  if (!r.obj) {
    out.status = NIS_BADOBJECT;
  } else if (objectType(*r.obj) != NIS_ENTRY_OBJ) {
    out.status = t ? NIS_TYPEMISMATCH : NIS_NOSUCHTABLE;
  } else if (r.proc == NIS_IBADD) {
    out.status = addEntry(ns, r, who, &stored);
  } else {
    out.status = modifyEntry(ns, r, who, &stored);
  }
  if (out.status == NIS_SUCCESS && stored) out.objects.push_back(entryObject(*t, *stored, a));
  return out;
}

// What the log shows of the object a request carries.
std::string objectSummary(const Request& r) {
  if (r.proc == NIS_IBADD || r.proc == NIS_IBMODIFY) return entrySummary(r.obj);
  if (r.proc == NIS_ADD && r.obj && objectType(*r.obj) == NIS_TABLE_OBJ) {
    return " table type=" + quote(text(r.obj->TA_data.ta_type)) +
           " cols=" + std::to_string(r.obj->TA_data.ta_cols.ta_cols_len);
  }
  return "";
}

}  // namespace

void Server::serve(svc_req* rq, SVCXPRT* xprt) {
  const u_long proc = rq->rq_proc;
  if (proc == NULLPROC) {
    svc_sendreply(xprt, encodeNothing, nullptr);
    return;
  }
  if (proc == NIS_FINDDIRECTORY) {
    findDirectory(xprt);
    return;
  }
  const bool nameRequest = proc == NIS_LOOKUP || proc == NIS_ADD || proc == NIS_REMOVE;
  const bool ibRequest =
      proc == NIS_IBLIST || proc == NIS_IBADD || proc == NIS_IBMODIFY || proc == NIS_IBREMOVE;
  if (!nameRequest && !ibRequest) {
    svcerr_noproc(xprt);
    return;
  }

  ns_request ns{};
  ib_request ib{};
  xdrproc_t argProc = nameRequest ? reinterpret_cast<xdrproc_t>(xdr_ns_request)
                                  : reinterpret_cast<xdrproc_t>(xdr_ib_request);
  char* argPtr = nameRequest ? reinterpret_cast<char*>(&ns) : reinterpret_cast<char*>(&ib);
  Arguments args(argProc, argPtr);
  if (!args.decode(xprt, nameRequest ? plausibleNameRequest : plausibleIndexedRequest)) {
    svcerr_decode(xprt);
    return;
  }
  Request r;
  r.proc = proc;
  if (nameRequest) {
    r.name = text(ns.ns_name);
    if (ns.ns_object.ns_object_len > 0) r.obj = ns.ns_object.ns_object_val;
  } else {
    r.name = text(ib.ibr_name);
    r.attrs = attrsOf(ib);
    r.flags = ib.ibr_flags;
    if (ib.ibr_obj.ibr_obj_len > 0) r.obj = ib.ibr_obj.ibr_obj_val;
  }
  const char* pname = procName(proc);
  record(pname, r.name, r.attrs, r.flags, objectSummary(r));

  Arena arena;
  Outcome out;
  const Access who(ns_, level_, callerPrincipal(rq));
  const Fault* f = takeFault(pname, r.name);
  if (f && f->kind != FaultKind::SSuccess) {
    out.status = f->kind == FaultKind::Status ? f->status : NIS_SUCCESS;
  } else if (proc == NIS_LOOKUP) {
    out = lookup(*this, ns_, r, who, arena);
  } else if (proc == NIS_ADD) {
    out = addObject(ns_, r, who, arena);
  } else if (proc == NIS_REMOVE) {
    out.status = removeObject(ns_, r, who);
  } else if (proc == NIS_IBLIST) {
    out = list(*this, ns_, r, who, arena);
  } else if (proc == NIS_IBADD || proc == NIS_IBMODIFY) {
    out = updateEntry(ns_, r, who, arena);
  } else {
    out.status = removeEntries(ns_, r, who);
  }
  if (f && f->kind == FaultKind::SSuccess) out.status = NIS_S_SUCCESS;

  nis_result res{};
  res.status = static_cast<nis_error>(out.status);
  res.objects.objects_len = static_cast<u_int>(out.objects.size());
  res.objects.objects_val = out.objects.data();
  // An answer too big for one datagram would never arrive: say so instead.
  if (xprt == datagram_ &&
      xdr_sizeof(reinterpret_cast<xdrproc_t>(xdr_nis_result), &res) > kDatagramPayload) {
    res = nis_result{};
    res.status = NIS_RES2BIG;
  }
  svc_sendreply(xprt, reinterpret_cast<xdrproc_t>(xdr_nis_result), reinterpret_cast<char*>(&res));
}

std::string Server::callerPrincipal(const svc_req* rq) const {
  // An AUTH_DES caller passed checkDes, which left its netname here.
  if (rq->rq_cred.oa_flavor == kCheckedDesFlavor && rq->rq_clntcred) {
    return desPrincipal(ns_, static_cast<const char*>(static_cast<void*>(rq->rq_clntcred)));
  }
  // Level 2 believes only AUTH_DES; at level 0 the principal still names
  // the owner of what the caller creates.
  if (level_ == 2 || rq->rq_cred.oa_flavor != AUTH_SYS || !rq->rq_clntcred) {
    return std::string(kNobody);
  }
  const auto* sys = static_cast<const authsys_parms*>(static_cast<void*>(rq->rq_clntcred));
  return sysPrincipal(ns_, sys->aup_uid, text(sys->aup_machname));
}

void Server::findDirectory(SVCXPRT* xprt) {
  fd_args args{};
  Arguments decoded(reinterpret_cast<xdrproc_t>(xdr_fd_args), reinterpret_cast<char*>(&args));
  if (!decoded.decode(xprt, plausibleFindDirectory)) {
    svcerr_decode(xprt);
    return;
  }
  const char* pname = procName(NIS_FINDDIRECTORY);
  std::string name = text(args.dir_name);
  record(pname, name, {}, 0, "");
  const Fault* f = takeFault(pname, name);
  fd_result res{};
  res.source = const_cast<char*>(serverName_.c_str());
  std::vector<char> data;
  const Directory* d = ns_.findDir(name);
  if (f && f->kind != FaultKind::SSuccess) {
    res.status = f->kind == FaultKind::Status ? static_cast<nis_error>(f->status) : NIS_SUCCESS;
  } else if (d) {
    // dir_data is the XDR of the directory object.
    std::vector<std::string> keep;
    std::vector<endpoint> eps;
    nis_server srv;
    directory_obj dobj = directoryObject(*d, keep, eps, srv);
    u_long size = xdr_sizeof(reinterpret_cast<xdrproc_t>(xdr_directory_obj), &dobj);
    data.resize(size);
    XDR x;
    xdrmem_create(&x, data.data(), static_cast<u_int>(size), XDR_ENCODE);
    bool ok = xdr_directory_obj(&x, &dobj);
    xdr_destroy(&x);
    res.status = ok ? NIS_SUCCESS : NIS_SYSTEMERROR;
    if (ok) {
      res.dir_data.dir_data_len = static_cast<u_int>(data.size());
      res.dir_data.dir_data_val = data.data();
    }
  } else {
    // libnsl also asks about table names: they must not look like directories.
    res.status = isWithin(name, ns_.root()) ? NIS_NOTFOUND : NIS_NOSUCHNAME;
  }
  if (f && f->kind == FaultKind::SSuccess) res.status = NIS_S_SUCCESS;
  svc_sendreply(xprt, reinterpret_cast<xdrproc_t>(xdr_fd_result), reinterpret_cast<char*>(&res));
}

bool Server::control(const std::vector<std::string>& args, std::string& out) {
  out.clear();
  const std::string cmd = args.empty() ? "" : args[0];
  if (cmd == "dump" && args.size() <= 2) {
    if (dumpNamespace(ns_, args.size() == 2 ? args[1] : "", out)) return true;
    out = "no such directory or table: " + args[1];
    return false;
  }
  if (cmd == "load" && args.size() == 2) {
    std::string error;
    if (loadSeed(args[1], ns_, error)) return true;
    out = error;
    return false;
  }
  if (cmd == "reset" && args.size() == 1) {
    ns_ = initial_;
    level_ = initialLevel_;
    faults_.clear();
    desSessions_.clear();
    corruptVerifiers_ = 0;
    return true;
  }
  if (cmd == "authdes" && args.size() == 1) {
    out = "sessions=" + std::to_string(desSessions_.size()) +
          " fullname=" + std::to_string(desCounts_.fullname) +
          " nickname=" + std::to_string(desCounts_.nickname) +
          " refused=" + std::to_string(desCounts_.refused) + "\n";
    return true;
  }
  if (cmd == "authdes" && args.size() == 2 && args[1] == "forget") {
    desSessions_.clear();
    return true;
  }
  if (cmd == "authdes" && args.size() == 3 && args[1] == "corrupt") {
    char* end = nullptr;
    const long n = std::strtol(args[2].c_str(), &end, 10);
    if (args[2].empty() || *end || n <= 0) {
      out = "COUNT must be a positive number";
      return false;
    }
    corruptVerifiers_ = n;
    return true;
  }
  if (cmd == "authdes" && args.size() == 2 && args[1] == "publickey") {
    out = dhPublic_ + "\n";
    return true;
  }
  if (cmd == "security" && args.size() == 1) {
    out = std::to_string(level_) + "\n";
    return true;
  }
  if (cmd == "security" && args.size() == 2) {
    const int level = parseLevel(args[1]);
    if (level < 0) {
      out = "LEVEL must be 0, 1 or 2";
      return false;
    }
    level_ = level;
    return true;
  }
  if (cmd == "principal" && (args.size() == 2 || args.size() == 3)) {
    char* end = nullptr;
    const unsigned long uid = std::strtoul(args[1].c_str(), &end, 10);
    if (args[1].empty() || *end || uid > 0xffffffffUL) {
      out = "UID must be a number";
      return false;
    }
    // By default the machine this server runs on, which every caller
    // shares: loopback only.
    char host[256] = {};
    if (args.size() == 2 && gethostname(host, sizeof host - 1) != 0) host[0] = '\0';
    const std::string machine = args.size() == 3 ? args[2] : std::string(host);
    out = sysPrincipal(ns_, static_cast<uint32_t>(uid), machine) + "\n";
    return true;
  }
  if (cmd == "log" && args.size() == 1) {
    for (const std::string& l : log_) out += l + "\n";
    return true;
  }
  if (cmd == "log" && args.size() == 2 && args[1] == "clear") {
    log_.clear();
    return true;
  }
  if (cmd == "ping" && args.size() == 1) {
    out = "ok\n";
    return true;
  }
  if (cmd == "fault" && args.size() == 2 && args[1] == "clear") {
    faults_.clear();
    return true;
  }
  if (cmd == "fault" && (args.size() == 4 || args.size() == 5)) {
    Fault f;
    f.proc = args[1];
    if (!knownProc(f.proc)) {
      out = "unknown procedure " + f.proc;
      return false;
    }
    char* end = nullptr;
    f.remaining = std::strtol(args[2].c_str(), &end, 10);
    if (args[2].empty() || *end || f.remaining <= 0) {
      out = "COUNT must be a positive number";
      return false;
    }
    const std::string& r = args[3];
    if (r == "S_SUCCESS") {
      f.kind = FaultKind::SSuccess;
    } else if (r == "NOOBJECT") {
      f.kind = FaultKind::NoObject;
    } else {
      long v = std::strtol(r.c_str(), &end, 10);
      if (r.empty() || *end) {
        out = "RESULT must be a number, S_SUCCESS or NOOBJECT";
        return false;
      }
      f.status = static_cast<int>(v);
    }
    if (args.size() == 5) f.name = args[4];
    faults_.push_back(std::move(f));
    return true;
  }
  out =
      "usage: dump [NAME] | load FILE | reset | fault PROC COUNT RESULT [NAME] | fault clear | "
      "log | log clear | security [LEVEL] | principal UID [MACHINE] | authdes [forget | publickey "
      "| corrupt COUNT]";
  return false;
}

int parseLevel(const std::string& text) {
  if (text.size() != 1 || text[0] < '0' || text[0] > '0' + kMaxLevel) return -1;
  return text[0] - '0';
}

}  // namespace nisplusd
