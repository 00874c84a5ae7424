#include "common/size_guard.hpp"

#include <limits>
#include <unistd.h>

namespace qorv {

std::int64_t physical_memory_bytes() {
  static const std::int64_t bytes = [] {
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || page <= 0) return std::int64_t{1} << 46;  // 64 TiB
    return static_cast<std::int64_t>(pages) * static_cast<std::int64_t>(page);
  }();
  return bytes;
}

std::int64_t checked_elements(std::int64_t rows, std::int64_t cols,
                              std::int64_t elem_bytes, const char* what) {
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  const auto describe = [&] {
    return std::string(what) + " of " + std::to_string(rows) + " x " +
           std::to_string(cols) + " entries";
  };
  if (rows < 0 || cols < 0)
    throw size_error(describe() + " has a negative size");
  if (rows != 0 && cols > kMax / rows) throw size_error(describe() + " overflows");
  const std::int64_t n = rows * cols;
  if (n != 0 && elem_bytes > kMax / n) throw size_error(describe() + " overflows");
  if (n * elem_bytes > physical_memory_bytes())
    throw size_error(describe() + " needs " + std::to_string(n * elem_bytes) +
                     " bytes, more than this machine's memory");
  return n;
}

}  // namespace qorv
