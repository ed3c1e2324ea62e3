// The rpcgen XDR routines of nis.x (target nisplus_protocol), declared with
// the types of <rpcsvc/nis.h>. The two headers cannot meet in one file, but
// their structures have the same layout (the layer's tests compare them),
// so the routines encode and decode <rpcsvc/nis.h>'s structures directly.
#pragma once

#include <rpcsvc/nis.h>

extern "C" {
bool_t xdr_nis_object(XDR*, nis_object*);
bool_t xdr_directory_obj(XDR*, directory_obj*);
bool_t xdr_nis_result(XDR*, nis_result*);
bool_t xdr_ns_request(XDR*, ns_request*);
bool_t xdr_ib_request(XDR*, ib_request*);
bool_t xdr_fd_args(XDR*, fd_args*);
bool_t xdr_fd_result(XDR*, fd_result*);
}
