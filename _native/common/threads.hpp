// How many threads our OpenMP loops may use.
#pragma once

#include <cstdint>

namespace qorv {

// False in a child forked after the OpenMP runtime started its threads: the
// runtime's thread pool does not survive fork(), and a parallel region there
// would wait forever for threads that do not exist. Such a child runs every
// loop of ours on its calling thread; the results are the same bits, since
// no loop's arithmetic depends on the thread count.
bool threads_usable();

// The team for a loop over `items` independent work items: the runtime's
// setting (OMP_NUM_THREADS), but never more than the items nor more than
// kThreadsPerProcessor times the processors, and 1 where threads are not
// usable. An absurd setting (OMP_NUM_THREADS=100000) would otherwise make
// the runtime start threads until it crashes. Always >= 1.
int loop_threads(std::int64_t items);

// Oversubscription that a loop still accepts: a few threads per processor
// keep a machine busy while some are descheduled, and more only cost memory.
constexpr int kThreadsPerProcessor = 4;

}  // namespace qorv
