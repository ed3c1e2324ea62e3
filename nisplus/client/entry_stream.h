// Listing a table's entries as they arrive, for libnamestore's flat
// listing: the same request as nis_list(name, 0, NULL, NULL), but each
// object of the reply goes to a sink as soon as its bytes are in, so that
// the caller's work on it overlaps the reception of the rest, and no
// nis_result of every object is built.
//
// Every object handed over has been checked against the bytes it came in,
// as the reply decoder checks it; the reply as a whole is checked when it
// is complete, and the returned status says whether it was sound.
#pragma once

#include <rpcsvc/nis.h>

#include <cstddef>
#include <cstdint>

namespace nisplus_client {

// One column value as it came: `size` bytes, not NUL-terminated, valid only
// during the call that hands it over. A value of length 0 has bytes null.
struct ColumnValue {
  const char* bytes;
  std::size_t size;
};

class EntrySink {
 public:
  // A reply begins that announces `objects` objects (a count the reply may
  // not hold: nothing should be sized by it before the objects came).
  // Anything handed over before belongs to an earlier reply to the same
  // request (a server that could not answer it) and is void. False stops
  // the hand-over for this reply.
  virtual bool begin(u_int objects) = 0;
  // The next object in reply order: its type as the number the server sent
  // and, for an entry, its columns. False stops the hand-over.
  virtual bool object(std::uint32_t type, const ColumnValue* columns, u_int count) = 0;

 protected:
  ~EntrySink() = default;
};

// Lists name (a table, or an indexed name) as nis_list(name, 0, NULL, NULL)
// does and hands its objects to sink. The result, freed with
// nis_freeresult, carries the listing's status; its objects are not the
// caller's to read (the layer keeps none). When the status is NIS_SUCCESS
// or NIS_S_SUCCESS, sink was given every object of its last begin(),
// unless it stopped the hand-over itself.
nis_result* listEntries(const char* name, EntrySink& sink);

}  // namespace nisplus_client
