// Helpers of the NIS+ client layer's tests: results that free themselves,
// objects to send, and nisplusd's own view of what it received.
#pragma once

#include <rpcsvc/nis.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace nctest {

struct ResultDeleter {
  void operator()(nis_result* r) const { nis_freeresult(r); }
};
using Result = std::unique_ptr<nis_result, ResultDeleter>;

// The root directory served in the sandbox ("sandbox.test.").
std::string rootDir();
// "org_dir." + rootDir().
std::string orgDir();

// Runs a shell command; returns its standard output, exit status in *rc.
std::string shell(const std::string& cmd, int* rc = nullptr);
// nisplusctl with these arguments (already quoted as needed); fails the
// test on a non-zero exit.
std::string ctl(const std::string& args);
// Merges seed text into the server's namespace.
void load(const std::string& seedText);
// Requests the server received since the last clearLog(), one per line.
std::vector<std::string> serverLog();
void clearLog();
// How many logged requests start with proc (e.g. "NIS_FINDDIRECTORY").
size_t countLogged(const std::vector<std::string>& log, const std::string& proc);

// A value as nisplusd's seed/dump format writes it ("a\0" for a C string).
std::string seedValue(const std::string& bytes);

// Column values of an entry object, as byte strings of their full length.
std::vector<std::string> values(const nis_object& entry);

// An entry object pointing into vals (each value sent with its NUL).
struct EntryBuilder {
  explicit EntryBuilder(std::string type, std::vector<std::string> vals);
  nis_object obj{};
  std::string type;
  std::vector<std::string> vals;
  std::vector<entry_col> cols;
};

// Milliseconds since start.
double msSince(std::chrono::steady_clock::time_point start);

// nisplusd's process ID in the sandbox.
int serverPid();

}  // namespace nctest
