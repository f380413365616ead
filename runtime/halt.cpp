// The halt request flag: see halt.h.
#include "runtime/halt.h"

namespace oru::halt {

std::atomic<bool> requested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "a signal handler sets the flag");

}  // namespace oru::halt
