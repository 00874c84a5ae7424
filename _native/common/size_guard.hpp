// Size guards for allocations whose extent comes from a caller.
//
// A size that overflows, or that plainly exceeds the machine's memory, is
// refused before anything is allocated: the caller gets an allocation failure
// at once instead of an overflowed (undefined) extent or a machine driven
// into swap by a request it can never satisfy.
#pragma once

#include <cstdint>
#include <new>
#include <string>

namespace qorv {

// Allocation failure that says what was asked for. Derives from
// std::bad_alloc, so every caller that handles allocation failure handles it.
class size_error : public std::bad_alloc {
 public:
  explicit size_error(std::string what) : what_(std::move(what)) {}
  const char* what() const noexcept override { return what_.c_str(); }

 private:
  std::string what_;
};

// Number of elements of a rows x cols array of `elem_bytes`-byte elements.
// Throws size_error naming `what` when a factor is negative, the product
// overflows, or the bytes exceed the physical memory of the machine.
std::int64_t checked_elements(std::int64_t rows, std::int64_t cols,
                              std::int64_t elem_bytes, const char* what);

// Physical memory of this machine in bytes (a large constant where the
// operating system does not say).
std::int64_t physical_memory_bytes();

}  // namespace qorv
