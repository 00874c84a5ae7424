// The parallel skeleton of the tall solvers: the rows of a design are cut
// into chunks of whole row blocks, each chunk is reduced to a partial result
// on some OpenMP thread, and the caller combines the partials in chunk
// order. The chunk count is the caller's function of the problem's shape,
// never of the thread count, so every thread count gives the same bits.
#pragma once

#include <Eigen/Dense>

#include <algorithm>
#include <cstddef>
#include <exception>
#include <vector>

#include "common/aligned_doubles.hpp"
#include "common/threads.hpp"

namespace qorv {

// Rows [begin, end) of chunk c when n rows in blocks of B rows are dealt
// into n_chunks chunks of consecutive whole blocks.
struct RowRange {
  Eigen::Index begin, end;
};

inline RowRange chunk_rows(Eigen::Index c, Eigen::Index n_chunks, Eigen::Index n,
                           Eigen::Index B) {
  const Eigen::Index n_blocks = (n + B - 1) / B;
  return {(c * n_blocks / n_chunks) * B, std::min(n, ((c + 1) * n_blocks / n_chunks) * B)};
}

// dst(i, c) = src[i * is + c * os] for i < len, c < M, into a column-major
// buffer with leading dimension ld; one row at a time, so that a row-major
// source is read in order.
inline void gather_rows(const double* src, Eigen::Index is, Eigen::Index os,
                        Eigen::Index len, Eigen::Index M, double* dst, Eigen::Index ld) {
  for (Eigen::Index i = 0; i < len; ++i) {
    const double* row = src + i * is;
    for (Eigen::Index c = 0; c < M; ++c) dst[c * ld + i] = row[c * os];
  }
}

// Multiply-adds below which the chunks run on the calling thread alone:
// about ten milliseconds of one core. Below that a second thread saves less
// than waiting for it can cost on a busy machine, or beside a BLAS
// library's threads that spin after each call (several milliseconds,
// measured on two cores). The chunks, and so the bits, are the same.
constexpr long long kMinChunkTeamMultiplyAdds = 1LL << 26;

// Runs body(c, scratch) for c in [0, n_chunks) over the OpenMP threads, one
// chunk at a time (dynamic: a thread that the system has lent to another
// process leaves its chunks to the others), when the whole job is worth
// `work` >= kMinChunkTeamMultiplyAdds multiply-adds; on the calling thread
// otherwise. Each thread owns `scratch` doubles starting on a cache line,
// allocated once and reused for its chunks. Nothing leaves the parallel
// region: after the loop the failure of the lowest failing chunk
// (an allocation failure of a scratch buffer included) is rethrown.
template <class Body>
void for_each_chunk(Eigen::Index n_chunks, std::size_t scratch, long long work,
                    Body&& body) {
  std::vector<std::exception_ptr> errors(static_cast<std::size_t>(n_chunks));
  const bool team = n_chunks > 1 && work >= kMinChunkTeamMultiplyAdds && threads_usable();
#pragma omp parallel num_threads(loop_threads(n_chunks)) if (team)
  {
    AlignedDoubles buffer;
    std::exception_ptr no_buffer;
    try {
      buffer = AlignedDoubles(scratch);
    } catch (...) {
      no_buffer = std::current_exception();
    }
#pragma omp for schedule(dynamic, 1)
    for (Eigen::Index c = 0; c < n_chunks; ++c) {
      auto& error = errors[static_cast<std::size_t>(c)];
      if (no_buffer) {
        error = no_buffer;
        continue;
      }
      try {
        body(c, buffer.data());
      } catch (...) {
        error = std::current_exception();
      }
    }
  }
  for (const auto& e : errors)
    if (e) std::rethrow_exception(e);
}

}  // namespace qorv
