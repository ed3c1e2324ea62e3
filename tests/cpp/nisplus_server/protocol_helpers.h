// Talks to nisplusd with the XDR routines generated from nis.x, kept out of
// the test sources that include libnsl's own nis.h (same types, other header).
#pragma once

#include <string>
#include <vector>

struct ColdStartEndpoint {
  std::string uaddr, family, proto;
};

struct ColdStart {
  std::string dirName;
  std::vector<std::string> serverNames;
  std::vector<unsigned> keyTypes;
  std::vector<std::string> publicKeys;       // pkey bytes, NUL included
  std::vector<ColdStartEndpoint> endpoints;  // of the first server
  unsigned ttl = 0;
};

bool readColdStart(const std::string& path, ColdStart& out);

// Direct calls to the server with the generated XDR routines, for answers
// libnsl cannot take (it dereferences the first object of a successful
// lookup) or does not show (NIS_FINDDIRECTORY).
struct RawAnswer {
  bool rpcOk = false;
  int status = -1;
  unsigned objects = 0;
  std::string firstName;  // zo_name of the first object
  std::string source;     // NIS_FINDDIRECTORY: the answering server
  std::string dirName;    // NIS_FINDDIRECTORY: do_name decoded from dir_data
};

RawAnswer rawLookup(const std::string& name, const char* netid);
RawAnswer rawFindDirectory(const std::string& name);

// XDR bodies of well-formed requests, for mutation: an NIS_IBADD of an
// entry into `table` (two columns) and an NIS_ADD of a two-column table.
std::string encodedEntryAdd(const std::string& table);
std::string encodedTableAdd(const std::string& name);
