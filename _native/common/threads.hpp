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
