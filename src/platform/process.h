// The process and its threads (process_posix.cpp, process_win32.cpp).
#pragma once

namespace pairwick::platform {

// Prepares the process for a run; called once, first thing in main, before any file is opened or
// thread started. Test programs call it only when what they check depends on it. On POSIX:
// - each standard descriptor (0, 1, 2) that the process was started without gets /dev/null, so
//   that the first file the tool opens, the temporary log, never takes its number and receives
//   console or standard error text (the text is lost, as it is on Windows without a console);
// - with glibc, the allocator keeps sixteen arenas, so that reader threads do not wait on a shared
//   arena's lock at every allocation;
// - with glibc, a new thread's stack takes 1 MB of address space, as a thread's does on Windows,
//   rather than the main thread's limit, so that dozens of reader threads do not hold half a
//   gigabyte of it and a run under an address-space limit keeps the entries it can.
// On Windows the process needs nothing of the kind.
void prepareProcess();

// Lowers the calling thread's scheduling priority below the other threads' (as far as an
// unprivileged thread may, short of running only when the system is idle), so that it takes a
// processor mostly when the other threads have no use for it.
void lowerThreadPriority();

}  // namespace pairwick::platform
