// The floor the bridge is compared with: the same NIS+ requests made from
// C++ straight through libnsl's own client, timed per call, with the results
// freed and nothing converted.
//
//   raw_nis_bench list   NAME ROWS ITERATIONS WARMUP   nis_list of NAME (must give ROWS objects),
//                                                      timed alone and with nis_freeresult, and
//                                                      the page faults of each list + free
//   raw_nis_bench lookup NAME ITERATIONS WARMUP        nis_lookup of NAME
//   raw_nis_bench add    TABLE TYPE COUNT              nis_add_entry of COUNT new 8-column
//                                                      entries, then nis_remove_entry of each
//
// Built twice: raw_nis_bench against libnsl (with the clntudp_create stand-in),
// layer_nis_bench against libnamestore's own NIS+ client layer, which tells the
// layer's share of the bridge's cost from the JNI share.
//
// Each prints one "RESULT raw op=... n=.. median_us=.. p90_us=.. mean_us=.." line and,
// with $BENCH_SAMPLES set, appends every sample to that file as "KEY microseconds".
#include <rpcsvc/nis.h>
#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#ifndef BENCH_CLIENT
#define BENCH_CLIENT "raw"
#endif

namespace {

struct ResultDeleter {
  void operator()(nis_result* r) const { nis_freeresult(r); }
};
using Result = std::unique_ptr<nis_result, ResultDeleter>;

// Minor page faults of the process so far.
long long minorFaults() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return ru.ru_minflt;
}

long long nowNanos() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

bool succeeded(const nis_result* r) {
  return r != nullptr && (r->status == NIS_SUCCESS || r->status == NIS_S_SUCCESS);
}

// Appends the samples as "KEY microseconds" lines to $BENCH_SAMPLES, if set
// (nanoseconds divided by 1000; counts are saved with divisor 1).
void saveSamples(const std::string& key, const std::vector<long long>& ns, double divisor = 1e3) {
  const char* file = std::getenv("BENCH_SAMPLES");
  if (file == nullptr || *file == '\0') return;
  FILE* out = std::fopen(file, "a");
  if (out == nullptr) {
    std::perror("raw_nis_bench: samples file");
    std::exit(1);
  }
  for (long long v : ns) {
    std::fprintf(out, "%s %.3f\n", key.c_str(), static_cast<double>(v) / divisor);
  }
  std::fclose(out);
}

void printSummary(const std::string& fields, std::vector<long long> ns) {
  std::sort(ns.begin(), ns.end());
  auto pct = [&](double p) {
    size_t rank = static_cast<size_t>(p / 100.0 * static_cast<double>(ns.size()) + 0.999999);
    rank = std::clamp<size_t>(rank, 1, ns.size());
    return static_cast<double>(ns[rank - 1]) / 1e3;
  };
  double mean = 0;
  for (long long v : ns) mean += static_cast<double>(v);
  mean /= static_cast<double>(ns.size());
  std::printf("RESULT " BENCH_CLIENT " %s n=%zu median_us=%.1f p90_us=%.1f mean_us=%.1f\n",
              fields.c_str(), ns.size(), pct(50), pct(90), mean / 1e3);
  std::fflush(stdout);
}

// Median and mean of counts per call (page faults).
void printCounts(const std::string& fields, std::vector<long long> counts) {
  std::sort(counts.begin(), counts.end());
  double mean = 0;
  for (long long v : counts) mean += static_cast<double>(v);
  mean /= static_cast<double>(counts.size());
  std::printf("RESULT " BENCH_CLIENT " %s n=%zu median=%lld mean=%.1f\n", fields.c_str(),
              counts.size(), counts[(counts.size() - 1) / 2], mean);
  std::fflush(stdout);
}

int fail(const std::string& what, const nis_result* r) {
  std::fprintf(stderr, "raw_nis_bench: %s: %s\n", what.c_str(),
               r != nullptr ? nis_sperrno(r->status) : "no result");
  return 1;
}

int benchList(const std::string& name, unsigned rows, int iterations, int warmup) {
  std::vector<long long> call;
  std::vector<long long> withFree;
  std::vector<long long> faults;
  for (int i = -warmup; i < iterations; ++i) {
    const long long f0 = minorFaults();
    const long long t0 = nowNanos();
    Result r(nis_list(name.c_str(), 0, nullptr, nullptr));
    const long long t1 = nowNanos();
    if (!succeeded(r.get())) return fail("nis_list " + name, r.get());
    if (r->objects.objects_len != rows) {
      std::fprintf(stderr, "raw_nis_bench: %s gave %u objects, not %u\n", name.c_str(),
                   r->objects.objects_len, rows);
      return 1;
    }
    r.reset();
    const long long t2 = nowNanos();
    const long long f1 = minorFaults();
    if (i >= 0) {
      call.push_back(t1 - t0);
      withFree.push_back(t2 - t0);
      faults.push_back(f1 - f0);
    }
  }
  printSummary("op=list name=" + name + " rows=" + std::to_string(rows), call);
  printSummary("op=list+free name=" + name + " rows=" + std::to_string(rows), withFree);
  saveSamples(BENCH_CLIENT ":list:" + std::to_string(rows), call);
  saveSamples(BENCH_CLIENT ":listfree:" + std::to_string(rows), withFree);
  printCounts("op=faults name=" + name + " rows=" + std::to_string(rows), faults);
  saveSamples(BENCH_CLIENT ":faults:" + std::to_string(rows), faults, 1);
  return 0;
}

int benchLookup(const std::string& name, int iterations, int warmup) {
  std::vector<long long> ns;
  for (int i = -warmup; i < iterations; ++i) {
    const long long t0 = nowNanos();
    Result r(nis_lookup(name.c_str(), 0));
    const long long t1 = nowNanos();
    if (!succeeded(r.get())) return fail("nis_lookup " + name, r.get());
    if (i >= 0) ns.push_back(t1 - t0);
  }
  printSummary("op=lookup name=" + name, ns);
  saveSamples(BENCH_CLIENT ":lookup:-", ns);
  return 0;
}

// An 8-column entry the way a client sends one: each value with its NUL.
struct Entry {
  std::vector<std::string> values;
  std::vector<entry_col> cols;
  std::string type;
  nis_object obj{};

  Entry(const std::string& tableType, int id) : type(tableType) {
    for (int c = 0; c < 8; ++c) {
      std::string v = "add" + std::to_string(id) + "c" + std::to_string(c);
      values.push_back(std::string(v.c_str(), v.size() + 1));
    }
    cols.assign(values.size(), entry_col{});
    for (size_t c = 0; c < values.size(); ++c) {
      cols[c].ec_value.ec_value_len = static_cast<u_int>(values[c].size());
      cols[c].ec_value.ec_value_val = values[c].data();
    }
    obj.zo_data.zo_type = NIS_ENTRY_OBJ;
    obj.EN_data.en_type = type.data();
    obj.EN_data.en_cols.en_cols_len = static_cast<u_int>(cols.size());
    obj.EN_data.en_cols.en_cols_val = cols.data();
  }
};

int benchAdd(const std::string& table, const std::string& type, int count) {
  std::vector<long long> adds;
  std::vector<long long> removes;
  for (int i = 0; i < count; ++i) {
    Entry e(type, i);
    const long long t0 = nowNanos();
    Result r(nis_add_entry(table.c_str(), &e.obj, 0));
    const long long t1 = nowNanos();
    if (!succeeded(r.get())) return fail("nis_add_entry " + table, r.get());
    adds.push_back(t1 - t0);
  }
  for (int i = 0; i < count; ++i) {
    const std::string name = "[c0=add" + std::to_string(i) + "c0]," + table;
    const long long t0 = nowNanos();
    Result r(nis_remove_entry(name.c_str(), nullptr, 0));
    const long long t1 = nowNanos();
    if (!succeeded(r.get())) return fail("nis_remove_entry " + name, r.get());
    removes.push_back(t1 - t0);
  }
  printSummary("op=add name=" + table, adds);
  printSummary("op=remove name=" + table, removes);
  saveSamples(BENCH_CLIENT ":add:-", adds);
  saveSamples(BENCH_CLIENT ":remove:-", removes);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string op = argc > 1 ? argv[1] : "";
  if (op == "list" && argc == 6) {
    return benchList(argv[2], static_cast<unsigned>(std::atoi(argv[3])), std::atoi(argv[4]),
                     std::atoi(argv[5]));
  }
  if (op == "lookup" && argc == 5)
    return benchLookup(argv[2], std::atoi(argv[3]), std::atoi(argv[4]));
  if (op == "add" && argc == 5) return benchAdd(argv[2], argv[3], std::atoi(argv[4]));
  std::fprintf(stderr,
               "usage: raw_nis_bench list NAME ROWS ITERATIONS WARMUP | lookup NAME ITERATIONS "
               "WARMUP | add TABLE TYPE COUNT\n");
  return 2;
}
