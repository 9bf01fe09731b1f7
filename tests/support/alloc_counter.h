// Counts heap allocations made by the calling thread, to prove that hot paths allocate nothing.
// Linking this helper replaces the global operator new of the test program.
#pragma once

#include <cstddef>

namespace alloc_counter {

/// Allocations made by the calling thread since it started.
size_t threadAllocations();
/// Allocations made by every thread of the process since it started.
size_t processAllocations();

/// Counts the calling thread's allocations over its lifetime.
class Scope {
 public:
  Scope() : start_(threadAllocations()) {}
  size_t count() const { return threadAllocations() - start_; }

 private:
  size_t start_;
};

}  // namespace alloc_counter
