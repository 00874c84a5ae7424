#include "basis/multi_indices.hpp"

#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>

#include "common/size_guard.hpp"

namespace qorv {

void generate_multi_indices(const std::vector<int>& degrees, std::size_t dim,
                            std::vector<int>& current, MultiIndices& out) {
  const std::size_t D = degrees.size();
  if (dim > D)
    throw std::invalid_argument("dim = " + std::to_string(dim) +
                                " is past the " + std::to_string(D) +
                                " variables of degrees");
  if (current.size() < D)
    throw std::invalid_argument("current has " +
                                std::to_string(current.size()) +
                                " entries but degrees has " +
                                std::to_string(D));

  // A negative degree leaves its level's loop empty: nothing at or below it
  // is appended. The variables before it still run through all their values,
  // so they end on their degrees, as a depth-first walk would leave them.
  for (std::size_t d = dim; d < D; ++d) {
    if (degrees[d] < 0) {
      for (std::size_t e = dim; e < d; ++e) current[e] = degrees[e];
      return;
    }
  }

  // Count the entries before producing any, so that a list that cannot be
  // held fails at once instead of after filling memory.
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  std::int64_t count = 1;
  for (std::size_t d = dim; d < D; ++d) {
    const std::int64_t f = static_cast<std::int64_t>(degrees[d]) + 1;
    if (count > kMax / f)
      throw size_error("multi-index list for " + std::to_string(D - dim) +
                       " variables overflows a 64-bit count");
    count *= f;
  }
  const std::int64_t entry_bytes =
      static_cast<std::int64_t>(sizeof(std::vector<int>)) +
      static_cast<std::int64_t>(current.size()) *
          static_cast<std::int64_t>(sizeof(int));
  checked_elements(count, entry_bytes, 1, "multi-index list (bytes)");
  const std::size_t total = out.size() + static_cast<std::size_t>(count);
  if (total > out.max_size())
    throw size_error("multi-index list of " + std::to_string(total) +
                     " entries exceeds what a vector can hold");
  out.reserve(total);

  // Odometer over the variables dim ... D-1, the last one fastest: the same
  // list and order as the depth-first recursion, without a stack frame per
  // variable.
  for (std::size_t d = dim; d < D; ++d) current[d] = 0;
  for (;;) {
    out.push_back(current);
    std::size_t d = D;
    while (d > dim) {
      --d;
      if (current[d] < degrees[d]) {
        ++current[d];
        break;
      }
      if (d == dim) {
        // Every variable has run through its range; leave each on its
        // degree, its last value.
        for (std::size_t e = dim; e < D; ++e) current[e] = degrees[e];
        return;
      }
      current[d] = 0;
    }
    if (d == D) return;  // no variables to enumerate: one entry only
  }
}

}  // namespace qorv
