// Multi-index lists of tensor-product polynomial bases.
#pragma once

#include <cstddef>
#include <vector>

namespace qorv {

using MultiIndices = std::vector<std::vector<int>>;

// Appends to `out`, depth first, every tuple (p_0, ..., p_(D-1)) with
// 0 <= p_d <= degrees[d] for d >= dim, the entries below dim taken from
// `current`; the last variable varies fastest. A negative degree appends
// nothing; D = 0 appends one empty multi-index. `out` is never cleared.
//
// Inputs:
//   degrees  D per-variable highest powers
//   dim      first variable to enumerate (0 for the whole list)
//   current  working buffer of D entries
// Output:
//   out      list appended to
// Throws:
//   qorv::size_error when the list would not fit in memory, before any
//   entry is appended.
void generate_multi_indices(const std::vector<int>& degrees, std::size_t dim,
                            std::vector<int>& current, MultiIndices& out);

}  // namespace qorv
