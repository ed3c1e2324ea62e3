// Ownership of malloc'ed memory.
#pragma once

#include <cstddef>
#include <cstdlib>

namespace namestore {

// malloc'ed memory freed when it goes out of scope.
template <typename T>
class MallocPtr {
 public:
  explicit MallocPtr(T* p = nullptr) : p_(p) {}
  ~MallocPtr() { free(p_); }
  MallocPtr(const MallocPtr&) = delete;
  MallocPtr& operator=(const MallocPtr&) = delete;
  T* get() const { return p_; }
  T& operator[](size_t i) const { return p_[i]; }
  void reset(T* p = nullptr) {
    free(p_);
    p_ = p;
  }

 private:
  T* p_;
};

}  // namespace namestore
