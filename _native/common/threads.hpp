// Whether our OpenMP loops may use more than the calling thread.
#pragma once

namespace qorv {

// False in a child forked after the OpenMP runtime started its threads: the
// runtime's thread pool does not survive fork(), and a parallel region there
// would wait forever for threads that do not exist. Such a child runs every
// loop of ours on its calling thread; the results are the same bits, since
// no loop's arithmetic depends on the thread count.
bool threads_usable();

}  // namespace qorv

namespace qorv {

// Threads to ask for a loop of `items` independent work items: no more than
// the items, the runtime's setting, or a small multiple of the processors.
// An absurd OMP_NUM_THREADS (say 100000) would otherwise make the runtime
// fail while creating threads. At least 1.
int team_size(long long items);

}  // namespace qorv
