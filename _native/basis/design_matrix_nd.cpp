#include "basis/design_matrix_nd.hpp"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <new>
#include <stdexcept>
#include <string>

#include "common/huge_pages.hpp"
#include "common/size_guard.hpp"
#include "common/threads.hpp"

namespace qorv {

namespace {

// The distinct positive exponents of one variable, and for every column the
// cache slots of its factors in increasing variable order. A factor
// pow(x, p) depends only on (d, p), so it is computed once per row and
// reused by every column that has it; the products are the same as with
// one pow per column and factor.
struct FactorPlan {
  std::vector<int> slot_var;      // slot -> variable d
  std::vector<double> slot_exp;   // slot -> exponent as double
  std::vector<std::int64_t> col_start;  // M + 1 offsets into col_slots
  std::vector<std::int64_t> col_slots;  // slots, per column in increasing d
};

FactorPlan plan_factors(const MultiIndices& mi, std::size_t D) {
  const std::size_t M = mi.size();
  FactorPlan plan;
  // slot_base[d] + rank of p among the distinct exponents of variable d.
  std::vector<std::vector<int>> exps(D);
  for (const auto& row : mi)
    for (std::size_t d = 0; d < D; ++d)
      if (row[d] > 0) exps[d].push_back(row[d]);
  std::vector<std::int64_t> slot_base(D + 1, 0);
  for (std::size_t d = 0; d < D; ++d) {
    auto& e = exps[d];
    std::sort(e.begin(), e.end());
    e.erase(std::unique(e.begin(), e.end()), e.end());
    slot_base[d + 1] = slot_base[d] + static_cast<std::int64_t>(e.size());
    for (int p : e) {
      plan.slot_var.push_back(static_cast<int>(d));
      plan.slot_exp.push_back(static_cast<double>(p));
    }
  }
  plan.col_start.assign(M + 1, 0);
  for (std::size_t j = 0; j < M; ++j) {
    const auto& row = mi[j];
    for (std::size_t d = 0; d < D; ++d) {
      if (row[d] <= 0) continue;
      const auto& e = exps[d];
      const auto it = std::lower_bound(e.begin(), e.end(), row[d]);
      plan.col_slots.push_back(slot_base[d] + (it - e.begin()));
    }
    plan.col_start[j + 1] = static_cast<std::int64_t>(plan.col_slots.size());
  }
  return plan;
}

// A team is worth waking for a design whose fill costs at least this many
// multiply-add equivalents (a few microseconds of one core; one pow costs
// about kPowCost of them): a far lower bar than the solvers' chunks take
// (kMinChunkTeamMultiplyAdds in common/row_chunks.hpp).
constexpr std::int64_t kMinDesignTeamCost = std::int64_t{1} << 17;
constexpr std::int64_t kPowCost = 16;

// Rows [r0, r0 + len) of every column of Phi; `cache` holds B doubles per
// factor slot.
void design_block(const FactorPlan& plan, const std::vector<Eigen::VectorXd>& X_cols,
                  Eigen::Index r0, Eigen::Index len, std::int64_t B, double* cache,
                  Eigen::MatrixXd& Phi) {
  const auto K = static_cast<std::int64_t>(plan.slot_exp.size());
  const Eigen::Index n = Phi.rows(), M = Phi.cols();
  for (std::int64_t s = 0; s < K; ++s) {
    const double* x = X_cols[static_cast<std::size_t>(plan.slot_var[s])].data() + r0;
    const double p = plan.slot_exp[s];
    double* c = cache + s * B;
    // pow(x, 1) is x exactly (an exact result is returned exactly).
    if (p == 1.0)
      for (Eigen::Index i = 0; i < len; ++i) c[i] = x[i];
    else
      for (Eigen::Index i = 0; i < len; ++i) c[i] = std::pow(x[i], p);
  }
  double* const base = Phi.data();
  for (Eigen::Index j = 0; j < M; ++j) {
    double* out = base + j * n + r0;
    const std::int64_t s0 = plan.col_start[j], s1 = plan.col_start[j + 1];
    if (s0 == s1) {
      for (Eigen::Index i = 0; i < len; ++i) out[i] = 1.0;
      continue;
    }
    // 1.0 times the first factor is that factor exactly.
    const double* c = cache + plan.col_slots[s0] * B;
    for (Eigen::Index i = 0; i < len; ++i) out[i] = c[i];
    for (std::int64_t s = s0 + 1; s < s1; ++s) {
      c = cache + plan.col_slots[s] * B;
      for (Eigen::Index i = 0; i < len; ++i) out[i] *= c[i];
    }
  }
}

}  // namespace

Eigen::MatrixXd design_matrix_nd(const MultiIndices& multi_indices,
                                 const std::vector<Eigen::VectorXd>& X_cols) {
  if (X_cols.empty())
    throw std::invalid_argument("X_cols is empty: at least one variable needed");
  const std::size_t D = X_cols.size();
  const Eigen::Index n = X_cols[0].size();
  // Rows are bounded by the first column: a longer column's extra entries
  // are never read, a shorter one would be read past its end.
  for (std::size_t d = 1; d < D; ++d)
    if (X_cols[d].size() < n)
      throw std::invalid_argument(
          "X_cols[" + std::to_string(d) + "] has " +
          std::to_string(X_cols[d].size()) + " entries but X_cols[0] has " +
          std::to_string(n));
  const std::size_t Ms = multi_indices.size();
  for (std::size_t j = 0; j < Ms; ++j)
    if (multi_indices[j].size() < D)
      throw std::invalid_argument(
          "multi_indices[" + std::to_string(j) + "] has " +
          std::to_string(multi_indices[j].size()) + " entries but X_cols has " +
          std::to_string(D) + " columns");
  if (Ms > static_cast<std::size_t>(INT_MAX))
    throw size_error("design matrix of " + std::to_string(Ms) +
                     " columns overflows a 32-bit column count");
  const auto M = static_cast<Eigen::Index>(Ms);
  checked_elements(n, M, sizeof(double), "design matrix");

  const FactorPlan plan = plan_factors(multi_indices, D);
  const auto K = static_cast<std::int64_t>(plan.slot_exp.size());

  Eigen::MatrixXd Phi(n, M);
  advise_huge_pages(Phi.data(), static_cast<std::size_t>(Phi.size()) * sizeof(double));
  if (n == 0 || M == 0) return Phi;

  // Row blocks: the factors of one block stay in cache while every column's
  // block is formed, and each entry of Phi is written once. The block shrinks
  // when there are many distinct factors, so the cache stays small. Blocks
  // are independent, so they go to the whole team when the matrix is large;
  // every entry is the same product whichever thread forms it.
  constexpr std::int64_t kCacheDoubles = std::int64_t{1} << 16;  // 512 KiB
  std::int64_t B = 256;
  if (K > 0) B = std::max<std::int64_t>(1, std::min<std::int64_t>(B, kCacheDoubles / K));
  const std::int64_t n_blocks = (n + B - 1) / B;
  const bool team = n * (M + kPowCost * K) >= kMinDesignTeamCost && threads_usable();
  bool out_of_memory = false;
#pragma omp parallel num_threads(loop_threads(n_blocks)) if (team)
  {
    std::vector<double> cache;
    bool have_cache = true;
    try {
      cache.resize(static_cast<std::size_t>(K * B));
    } catch (...) {
      have_cache = false;
#pragma omp atomic write
      out_of_memory = true;
    }
#pragma omp for schedule(static)
    for (std::int64_t b = 0; b < n_blocks; ++b)
      if (have_cache) design_block(plan, X_cols, b * B, std::min<Eigen::Index>(B, n - b * B), B,
                                   cache.data(), Phi);
  }
  if (out_of_memory) throw std::bad_alloc();
  return Phi;
}

}  // namespace qorv
