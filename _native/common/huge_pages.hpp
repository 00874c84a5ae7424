// Large fresh results and buffers backed by huge pages where the system
// offers them on request.
#pragma once

#include <cstddef>

namespace qorv {

// Asks the kernel to back the whole 2 MiB pages inside [p, p + bytes) with
// transparent huge pages, before they are first touched: a large result is
// then faulted in 512 times less often. Only a hint; does nothing below
// 4 MiB, off Linux, or when the system refuses. Never throws.
void advise_huge_pages(void* p, std::size_t bytes) noexcept;

}  // namespace qorv
