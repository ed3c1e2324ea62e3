#include "alloc_meter.h"

#include <malloc.h>

#include <cstdint>

extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void __libc_free(void*);
void* __libc_memalign(size_t, size_t);
}

namespace {

// Per thread, so that peers serving the test on other threads do not count.
thread_local bool tCounting = false;
thread_local std::int64_t tLive = 0;
thread_local std::int64_t tPeak = 0;
thread_local std::size_t tAllocations = 0;

void counted(void* p) {
  if (!tCounting || p == nullptr) return;
  tLive += static_cast<std::int64_t>(malloc_usable_size(p));
  if (tLive > tPeak) tPeak = tLive;
  ++tAllocations;
}

void released(void* p) {
  if (tCounting && p != nullptr) tLive -= static_cast<std::int64_t>(malloc_usable_size(p));
}

}  // namespace

extern "C" {

void* malloc(size_t n) {
  void* p = __libc_malloc(n);
  counted(p);
  return p;
}

void* calloc(size_t n, size_t size) {
  void* p = __libc_calloc(n, size);
  counted(p);
  return p;
}

void* realloc(void* old, size_t n) {
  released(old);
  void* p = __libc_realloc(old, n);
  if (p == nullptr && n != 0) {
    counted(old);  // the old block stays
    return nullptr;
  }
  counted(p);
  return p;
}

void free(void* p) {
  released(p);
  __libc_free(p);
}

int posix_memalign(void** out, size_t align, size_t n) {
  void* p = __libc_memalign(align, n);
  if (p == nullptr) return 12;  // ENOMEM
  counted(p);
  *out = p;
  return 0;
}

void* aligned_alloc(size_t align, size_t n) {
  void* p = __libc_memalign(align, n);
  counted(p);
  return p;
}

void* memalign(size_t align, size_t n) {
  void* p = __libc_memalign(align, n);
  counted(p);
  return p;
}

}  // extern "C"

namespace nctest {

AllocMeter::AllocMeter() {
  tLive = tPeak = 0;
  tAllocations = 0;
  tCounting = true;
}

AllocMeter::~AllocMeter() { tCounting = false; }

std::size_t AllocMeter::peakBytes() const { return static_cast<std::size_t>(tPeak); }

std::size_t AllocMeter::allocations() const { return tAllocations; }

bool AllocMeter::available() { return true; }

}  // namespace nctest
