// Ownership of a NIS+ result, and its status read safely.
#pragma once

#include <rpcsvc/nis.h>

#include <cstring>

namespace namestore {

// Frees a NIS+ result when it goes out of scope.
class NisResult {
 public:
  explicit NisResult(nis_result* r) : r_(r) {}
  ~NisResult() {
    if (r_ != nullptr) nis_freeresult(r_);
  }
  NisResult(const NisResult&) = delete;
  NisResult& operator=(const NisResult&) = delete;

  nis_result* get() const { return r_; }
  nis_result* release() {
    nis_result* r = r_;
    r_ = nullptr;
    return r;
  }
  // The result's status as a plain number (a server may answer values past
  // the last nis_error, which may not be read through the enum); a client
  // that returned no result at all failed.
  int status() const {
    if (r_ == nullptr) return NIS_NOMEMORY;
    int status = 0;
    memcpy(&status, &r_->status, sizeof status);
    return status;
  }
  // A lookup or listing counts as successful on NIS_SUCCESS or NIS_S_SUCCESS.
  bool succeeded() const {
    const int s = status();
    return r_ != nullptr && (s == NIS_SUCCESS || s == NIS_S_SUCCESS);
  }

 private:
  nis_result* r_;
};

}  // namespace namestore
