// Sizes and field offsets of the NIS+ protocol structures, as one header
// lays them out: "struct.field" -> offset, "struct" -> size.
#pragma once

#include <map>
#include <string>

using Layout = std::map<std::string, size_t>;

Layout systemHeaderLayout();     // <rpcsvc/nis.h>, what callers compile against
Layout generatedHeaderLayout();  // rpcgen's nis_prot.h, what the XDR routines use
