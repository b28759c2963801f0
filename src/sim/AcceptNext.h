// The simulator's listeners accept on a thread of their own, one blocking
// accept after another, until their owner shuts the listening socket down.
#pragma once

#include <atomic>

namespace sim {

// The next connection on listener (accept4 with flags), with Nagle's delay
// off as the module's side has it; -1 once stopping is set. Failures that
// pass (a signal, a connection reset before it was taken, no descriptor
// free for a moment) are waited out.
int AcceptNext(int listener, int flags, const std::atomic<bool>& stopping);

}  // namespace sim
