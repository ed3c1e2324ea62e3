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
