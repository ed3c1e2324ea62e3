// Heap use of the calling thread, measured by counting every malloc,
// calloc, realloc and free of the process (the test program defines them
// over glibc's own). Not built under sanitizers, which bring allocators of
// their own: available() is then false.
#pragma once

#include <cstddef>

namespace nctest {

class AllocMeter {
 public:
  // Starts counting this thread's allocations.
  AllocMeter();
  ~AllocMeter();
  AllocMeter(const AllocMeter&) = delete;
  AllocMeter& operator=(const AllocMeter&) = delete;
  // The most bytes this thread held at once since construction, above what
  // it held then; and how many blocks it allocated.
  std::size_t peakBytes() const;
  std::size_t allocations() const;
  static bool available();
};

}  // namespace nctest
