// ThreadSanitizer cannot see the hand-offs inside oneTBB's scheduler (the system library is not
// built with it), so it reports the pool's own task records, and every image a task writes for
// the waiting thread, as races. Under it the pool is held to one thread for the whole test
// binary: the dust tests then check our code, not the scheduler. The plain and the address
// sanitizer builds run them on every thread.
#if defined(__SANITIZE_THREAD__)
#include <tbb/global_control.h>

namespace {
const tbb::global_control one_thread(tbb::global_control::max_allowed_parallelism, 1);
}  // namespace
#endif
