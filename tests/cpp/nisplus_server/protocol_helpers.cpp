#include "protocol_helpers.h"

#include <nis_prot.h>

#include <cstdio>

bool readColdStart(const std::string& path, ColdStart& out) {
  FILE* f = std::fopen(path.c_str(), "r");
  if (!f) return false;
  directory_obj d{};
  XDR x;
  xdrstdio_create(&x, f, XDR_DECODE);
  bool ok = xdr_directory_obj(&x, &d);
  xdr_destroy(&x);
  std::fclose(f);
  if (!ok) return false;
  out.dirName = d.do_name;
  out.ttl = d.do_ttl;
  for (u_int i = 0; i < d.do_servers.do_servers_len; ++i) {
    const nis_server& s = d.do_servers.do_servers_val[i];
    out.serverNames.push_back(s.name);
    out.keyTypes.push_back(s.key_type);
    out.publicKeys.emplace_back(s.pkey.n_bytes ? s.pkey.n_bytes : "", s.pkey.n_len);
    for (u_int e = 0; i == 0 && e < s.ep.ep_len; ++e) {
      out.endpoints.push_back({s.ep.ep_val[e].uaddr, s.ep.ep_val[e].family, s.ep.ep_val[e].proto});
    }
  }
  xdr_free(reinterpret_cast<xdrproc_t>(xdr_directory_obj), reinterpret_cast<char*>(&d));
  return true;
}

namespace {

CLIENT* connect(const char* netid) {
  return clnt_create("127.0.0.1", NIS_PROG, NIS_VERSION, netid);
}

}  // namespace

RawAnswer rawLookup(const std::string& name, const char* netid) {
  RawAnswer a;
  CLIENT* c = connect(netid);
  if (!c) return a;
  ns_request req{};
  req.ns_name = const_cast<char*>(name.c_str());
  nis_result res{};
  timeval tv{5, 0};
  a.rpcOk = clnt_call(c, NIS_LOOKUP, reinterpret_cast<xdrproc_t>(xdr_ns_request),
                      reinterpret_cast<char*>(&req), reinterpret_cast<xdrproc_t>(xdr_nis_result),
                      reinterpret_cast<char*>(&res), tv) == RPC_SUCCESS;
  if (a.rpcOk) {
    a.status = res.status;
    a.objects = res.objects.objects_len;
    if (a.objects > 0) a.firstName = res.objects.objects_val[0].zo_name;
    xdr_free(reinterpret_cast<xdrproc_t>(xdr_nis_result), reinterpret_cast<char*>(&res));
  }
  clnt_destroy(c);
  return a;
}

RawAnswer rawFindDirectory(const std::string& name) {
  RawAnswer a;
  CLIENT* c = connect("udp");
  if (!c) return a;
  fd_args args{};
  args.dir_name = const_cast<char*>(name.c_str());
  args.requester = const_cast<char*>("");
  fd_result res{};
  timeval tv{5, 0};
  a.rpcOk = clnt_call(c, NIS_FINDDIRECTORY, reinterpret_cast<xdrproc_t>(xdr_fd_args),
                      reinterpret_cast<char*>(&args), reinterpret_cast<xdrproc_t>(xdr_fd_result),
                      reinterpret_cast<char*>(&res), tv) == RPC_SUCCESS;
  if (a.rpcOk) {
    a.status = res.status;
    a.source = res.source ? res.source : "";
    if (res.dir_data.dir_data_len > 0) {
      directory_obj d{};
      XDR x;
      xdrmem_create(&x, res.dir_data.dir_data_val, res.dir_data.dir_data_len, XDR_DECODE);
      if (xdr_directory_obj(&x, &d)) a.dirName = d.do_name;
      xdr_destroy(&x);
      xdr_free(reinterpret_cast<xdrproc_t>(xdr_directory_obj), reinterpret_cast<char*>(&d));
    }
    xdr_free(reinterpret_cast<xdrproc_t>(xdr_fd_result), reinterpret_cast<char*>(&res));
  }
  clnt_destroy(c);
  return a;
}

namespace {

template <typename T>
std::string encode(bool_t (*fn)(XDR*, T*), T* value) {
  u_long size = xdr_sizeof(reinterpret_cast<xdrproc_t>(fn), value);
  std::string out(size, '\0');
  XDR x;
  xdrmem_create(&x, out.data(), static_cast<u_int>(size), XDR_ENCODE);
  bool ok = fn(&x, value);
  xdr_destroy(&x);
  return ok ? out : std::string();
}

}  // namespace

std::string encodedEntryAdd(const std::string& table) {
  char v0[] = "key", v1[] = "value";
  entry_col cols[2] = {};
  cols[0].ec_value.ec_value_len = sizeof v0;
  cols[0].ec_value.ec_value_val = v0;
  cols[1].ec_value.ec_value_len = sizeof v1;
  cols[1].ec_value.ec_value_val = v1;
  char type[] = "small_tbl", empty[] = "", name[] = "small";
  nis_object o{};
  o.zo_name = name;
  o.zo_owner = empty;
  o.zo_group = empty;
  o.zo_domain = empty;
  o.zo_data.zo_type = NIS_ENTRY_OBJ;
  o.zo_data.objdata_u.en_data.en_type = type;
  o.zo_data.objdata_u.en_data.en_cols.en_cols_len = 2;
  o.zo_data.objdata_u.en_data.en_cols.en_cols_val = cols;
  char attrName[] = "key", attrVal[] = "key";
  nis_attr attr{};
  attr.zattr_ndx = attrName;
  attr.zattr_val.zattr_val_len = sizeof attrVal;
  attr.zattr_val.zattr_val_val = attrVal;
  ib_request r{};
  r.ibr_name = const_cast<char*>(table.c_str());
  r.ibr_srch.ibr_srch_len = 1;
  r.ibr_srch.ibr_srch_val = &attr;
  r.ibr_obj.ibr_obj_len = 1;
  r.ibr_obj.ibr_obj_val = &o;
  return encode(xdr_ib_request, &r);
}

std::string encodedTableAdd(const std::string& name) {
  char c0[] = "key", c1[] = "value", type[] = "fuzz_tbl", empty[] = "";
  table_col cols[2] = {};
  cols[0].tc_name = c0;
  cols[0].tc_flags = TA_SEARCHABLE;
  cols[1].tc_name = c1;
  nis_object o{};
  o.zo_name = empty;
  o.zo_owner = empty;
  o.zo_group = empty;
  o.zo_domain = empty;
  o.zo_data.zo_type = NIS_TABLE_OBJ;
  table_obj& t = o.zo_data.objdata_u.ta_data;
  t.ta_type = type;
  t.ta_maxcol = 2;
  t.ta_sep = ' ';
  t.ta_cols.ta_cols_len = 2;
  t.ta_cols.ta_cols_val = cols;
  t.ta_path = empty;
  ns_request r{};
  r.ns_name = const_cast<char*>(name.c_str());
  r.ns_object.ns_object_len = 1;
  r.ns_object.ns_object_val = &o;
  return encode(xdr_ns_request, &r);
}
