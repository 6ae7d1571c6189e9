// The process on Windows: thread priorities.
#include "platform/process.h"
#include "platform/support_win32.h"

namespace pairwick::platform {

// A Windows process starts with what a run needs: its standard handles stand apart from the
// files it opens, and a thread's stack is 1 MB.
void prepareProcess() {}

void lowerThreadPriority() { SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_LOWEST); }

}  // namespace pairwick::platform
