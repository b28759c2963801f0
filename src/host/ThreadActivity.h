// Whether another thread of this process is blocked in the kernel or is
// running (or ready to run, waiting only for a processor). The watchdog asks
// it of a thread that has been inside one module call for a while: only a
// blocked call gains from its loop going on with another thread; a running
// one was merely slow or preempted, and on a busy machine another thread
// would wait for a processor all the same.
#pragma once

#include <sys/types.h>

namespace host {

// The thread's id (gettid()) as it runs.
pid_t CurrentThreadId();

// True when the thread of this process with id tid is running or runnable
// now. False when it is blocked, or when that cannot be told (no such thread,
// no /proc): the caller then treats it as blocked.
bool ThreadIsRunnable(pid_t tid);

}  // namespace host
