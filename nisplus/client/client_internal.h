// Internals of libnamestore's NIS+ client layer.
//
// The layer offers the NIS+ client calls of <rpcsvc/nis.h> (nis_lookup,
// nis_list, nis_add, nis_remove, nis_add_entry, nis_modify_entry,
// nis_remove_entry, nis_freeresult) on top of libtirpc, so that callers read
// exactly like clients of the system library. Everything here has hidden
// visibility: libnamestore exports none of it. The pieces below are declared
// here so the layer's own tests can reach them.
#pragma once

#include <rpcsvc/nis.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "entry_stream.h"

namespace nisplus_client {

using Clock = std::chrono::steady_clock;

// Every public call finishes within this budget, whatever its peers do:
// directory search, port lookup, connect and the call itself share it.
constexpr std::chrono::milliseconds kCallBudget{5000};

// The largest reply record accepted (all fragments together): far above
// any listing a NIS+ server keeps (10,000 entries of 8 columns take about
// 2 MiB), and low enough that every length and count of a reply fits in a
// u_int and a jsize. A larger record is refused as soon as its record marks
// announce it, before its bytes are read: NIS_RPCERROR.
constexpr std::size_t kMaxReplyRecord = std::size_t{256} << 20;

// The statuses a NIS+ server can send: the nis_error values, NIS_SUCCESS to
// NIS_DUMPLATER. A reply with any other status does not decode
// (NIS_RPCERROR), so no caller sees a number it may read as something else.
constexpr std::uint32_t kLastStatus = NIS_DUMPLATER;

// The one hard-coded path of the client: XDR of the root directory_obj.
constexpr const char* kColdStartPath = "/var/nis/NIS_COLD_START";

// ---- names ----

struct SearchAttr {
  std::string name;
  std::string value;
};

struct IndexedName {
  std::vector<SearchAttr> attrs;  // empty for a plain name
  std::string table;              // the object or table name after the search part
};

// Splits "[col=value,...],table.dir." (or a plain name) into its search
// attributes and table name, as the system client does: no escaping, the
// search part ends at the first ']', pairs split on ',' and each at its
// first '=' (a value may hold '=' and '['), a trailing comma is dropped.
// The comma after ']' is optional. Returns NIS_SUCCESS or NIS_BADNAME.
nis_error parseIndexedName(const char* name, IndexedName& out);

// A name the layer sends: non-empty, fully qualified (ends in '.'), no
// longer than NIS_MAXNAMELEN.
bool isFullyQualified(std::string_view name);
// The first label of a name ("hosts" of "hosts.org_dir.x.").
std::string leafOf(std::string_view name);
// The name without its first label ("org_dir.x." of "hosts.org_dir.x.");
// "." for a single-label name.
std::string domainOf(std::string_view name);
// NIS+ names are case-insensitive: every comparison of names ignores ASCII
// case, while the caller's spelling is what goes on the wire.
bool sameName(std::string_view a, std::string_view b);
// Orders names without regard to ASCII case (for maps keyed by name).
struct NameLess {
  using is_transparent = void;
  bool operator()(std::string_view a, std::string_view b) const;
};
// True when name equals dir or lies below it.
bool isWithin(std::string_view name, std::string_view dir);

// This host's NIS+ directory ("domain.") or "" when the host has no domain.
std::string localDirectory();
// This host's principal name, fully qualified ("host.domain.").
std::string localHostName();
// The principal an AUTH_SYS caller acts as: the host for root, else "nobody".
std::string localPrincipal();

// ---- secure RPC ----

// Where root's secret key lives, as `keylogin -r` writes it.
constexpr const char* kRootKeyPath = "/etc/.rootkey";

// What an AUTH_DES caller needs to talk to one server: its netname, and
// the DES key it shares with that server. `generation` changes whenever
// the secret key file does, so connections made with an older key go.
struct DesIdentity {
  std::string netname;
  std::array<std::uint8_t, 8> common{};
  std::uint64_t generation = 0;
  ~DesIdentity();
};

// The identity to use with a server of that public key: none when the
// server has no key, the host has no netname, or root's secret key file
// is missing, unreadable or not a 48-hex-digit key owned by root that no
// one else may write. The file is read again only when it changes (stat).
std::optional<DesIdentity> desIdentityFor(const std::string& serverPublicKey);

// ---- directories ----

struct ServerAddress {
  std::string name;                  // the server's NIS+ name
  std::vector<std::uint32_t> hosts;  // IPv4 addresses, network byte order
  // Its Diffie-Hellman public key (48 hex digits) when its entry has
  // key_type NIS_PK_DH, else empty: calls to it may then go AUTH_DES.
  std::string publicKey;
};

struct Directory {
  std::string name;
  std::vector<ServerAddress> servers;  // master first
  std::uint32_t ttl = 0;
};

// Decodes the XDR of a directory_obj (a cold-start file, or the dir_data of
// a NIS_FINDDIRECTORY reply). Only inet endpoints are kept; of each uaddr
// only the four address parts count, the port always comes from the
// portmapper. Returns false on malformed data.
bool decodeDirectory(const char* data, std::size_t len, Directory& out);

// Reads a cold-start file: NIS_UNAVAIL when it is missing or unreadable,
// NIS_COLDSTART_ERR when its contents do not decode, else NIS_SUCCESS.
nis_error readColdStart(const char* path, Directory& out);

// Finds the directory that holds objectName (its parent, or the root itself
// when objectName is the root) and returns it in dir. Uses the cache, asks
// servers with NIS_FINDDIRECTORY otherwise.
nis_error findDirectoryOf(std::string_view objectName, Clock::time_point deadline,
                          std::shared_ptr<const Directory>& dir);

// Drops one cached directory object, after one of its servers disowned it.
void forgetDirectory(std::string_view name);
// Drops every cached directory object (the root included).
void flushDirectoryCache();
// How many directory objects are cached now (root included), for tests.
std::size_t cachedDirectoryCount();

// ---- replies ----

// One RPC record as it came off the wire, in memory from malloc, so that a
// decoded result may keep it (its strings point into it).
struct Record {
  char* data = nullptr;
  std::size_t size = 0;
  std::size_t capacity = 0;
  // When decoding must have ended: the call's deadline (decoding is part
  // of the call).
  Clock::time_point deadline = Clock::time_point::max();
  Record() = default;
  Record(const Record&) = delete;
  Record& operator=(const Record&) = delete;
  ~Record() { std::free(data); }
  // Hands the bytes over; the record is empty afterwards.
  char* release() {
    char* d = data;
    data = nullptr;
    size = capacity = 0;
    return d;
  }
};

// kLate: the record's deadline passed before decoding ended.
enum class Decoded { kOk, kMalformed, kNoMemory, kLate };

// Decodes a reply's results, which start at offset in record, into out.
// Nothing is allocated for a count before the bytes that remain are known
// to hold it; on failure out is left as it was (empty).
using ReplyDecoder = Decoded (*)(Record& record, std::size_t offset, void* out);

// A nis_result reply; out is a nis_result**. The result takes the record
// over and is freed with nis_freeresult.
Decoded decodeNisResult(Record& record, std::size_t offset, void* out);
// A NIS_FINDDIRECTORY reply; out is a zeroed fd_result, freed with xdr_free.
Decoded decodeFindDirectoryResult(Record& record, std::size_t offset, void* out);
// Sees the results of a call's reply while its record arrives, before the
// record is decoded.
class ReplyProgress {
 public:
  // A reply to the call begins; any before it (on a connection that was
  // then lost, or from another server) is void.
  virtual void started() = 0;
  // The results' bytes received so far, all of them from the first (the
  // pointer may change between calls); complete once the record is whole.
  virtual void arrived(const char* results, std::size_t size, bool complete) = 0;
  // Decodes the complete reply (results from offset), in place of the
  // call's decoder, with what it learnt on the way.
  virtual Decoded decode(Record& record, std::size_t offset, void* out) = 0;

 protected:
  ~ReplyProgress() = default;
};

// Walks the objects of a nis_result reply as they arrive, each checked as
// the reply decoder checks it, and hands them to an EntrySink. Its decode
// gives a result with the status alone, as decodeListingStatus does, but
// checks only the rest of the reply when every object was walked.
class ObjectStream final : public ReplyProgress {
 public:
  explicit ObjectStream(EntrySink& sink) : sink_(sink) {}
  void started() override;
  void arrived(const char* results, std::size_t size, bool complete) override;
  Decoded decode(Record& record, std::size_t offset, void* out) override;
  // The walk stopped for want of memory.
  bool noMemory() const { return noMemory_; }

 private:
  static constexpr std::size_t kIncomplete = ~std::size_t{0};
  EntrySink& sink_;
  std::vector<ColumnValue> columns_;
  std::size_t completeSize_ = kIncomplete;  // the results' size once complete
  std::size_t next_ = 0;                    // where the next object begins
  std::size_t retryAt_ = 0;  // the size at which an incomplete object is walked again
  std::uint32_t left_ = 0;   // objects still to come
  bool headerRead_ = false;
  bool stopped_ = false;
  bool noMemory_ = false;
};

// A NIS_IBLIST reply whose objects went to an ObjectStream; out is a
// nis_result**. The reply is checked whole; the result carries its status
// and no objects.
Decoded decodeListingStatus(Record& record, std::size_t offset, void* out);
// Whether len bytes can hold the directory_obj they begin with: every count
// and length fits in the data.
bool directoryFits(const char* data, std::size_t len);

// ---- transport ----

enum class CallOutcome {
  kReplied,      // the server answered; the reply is decoded
  kUnreachable,  // no port, no connection, timed out, or connection lost
  kBadReply,     // the arguments did not encode or the reply did not decode
  kNoMemory,     // the reply came but there was no memory to decode it
};

// A read on a reused connection that has not begun to answer after this
// long (or twice the time the server's replies have taken to begin of
// late, if more) goes out on a fresh connection as well. A NIS+ server on its LAN begins a reply
// within a few milliseconds (0.5-0.9 ms on loopback, tens of ms for a large
// listing), so a healthy server is seldom asked twice, while a connection
// dropped on the way costs this, not half the budget.
constexpr std::chrono::milliseconds kHedgeFloor{100};
// An update goes out on a pooled connection only if that connection
// answered this recently; otherwise on a fresh one, never hedged: a
// connection that answered a moment ago is alive, while one idle for
// longer may have been dropped on the way without a word.
constexpr std::chrono::seconds kJustAnswered{1};
// An update's share for reaching an address that is not the server's last
// (port lookup and connect): a connect not answered within a second is
// taken as dead, and the time goes to the next address.
constexpr std::chrono::seconds kConnectLimit{1};

// One RPC to one server of a directory, over a pooled TCP connection with
// AUTH_SYS credentials, bounded by deadline. The reply is decoded into
// result with decode; with progress, its results are shown to progress
// while they arrive, and progress decodes them. A read (idempotent) gives
// each of the server's addresses an equal share of the time left and may
// go out twice at one address (hedged); an update waits for its answer
// until deadline at the address that took it and goes out once.
CallOutcome callServer(const ServerAddress& server, rpcproc_t proc, xdrproc_t xdrArgs,
                       const void* args, ReplyDecoder decode, void* result,
                       Clock::time_point deadline, bool idempotent,
                       ReplyProgress* progress = nullptr);

// The deadline of one attempt when `left` servers (this one included) may
// still be tried before `deadline`: an equal share of the time left, so a
// server that never answers cannot starve the ones after it.
Clock::time_point attemptDeadline(Clock::time_point deadline, size_t left);

// Closes every pooled connection.
void closeIdleConnections();

// Counters for tests and benchmarks.
struct TransportStats {
  std::uint64_t connectionsOpened = 0;
  std::uint64_t portLookups = 0;
  std::uint64_t calls = 0;
};
TransportStats transportStats();

// ---- results ----

// A fresh result carrying only a status, as every failure without a server
// reply returns it; freed with nis_freeresult like any other. Every result
// of the layer is one block (plus the reply record its strings point into).
nis_result* makeResult(nis_error status);
// What nis_freeresult does.
void freeResult(nis_result* result);
// Takes the objects out of a result (they stay allocated until it is freed).
void dropObjects(nis_result* result);
// The reply record a decoded result's strings point into (null for a result
// made by makeResult), for tests.
const char* replyRecordOf(const nis_result* result);

// A result's status as a plain number. A server may answer any 32-bit
// value, and one past the last nis_error may not be read through the enum.
inline int statusOf(const nis_result* res) {
  int status = 0;
  std::memcpy(&status, &res->status, sizeof status);
  return status;
}

}  // namespace nisplus_client
