// The process on POSIX: its standard descriptors, the allocator and thread stacks, and thread
// priorities.
#include <fcntl.h>
#ifdef __GLIBC__
#include <malloc.h>
#include <pthread.h>
#endif
#include <sys/resource.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/syscall.h>
#endif

#include <cerrno>
#include <cstddef>

#include "platform/process.h"

namespace pairwick::platform {

void prepareProcess() {
  // A standard stream that the process was started without (its descriptor closed, as by ">&-")
  // would be taken by the first file the tool opens, the temporary log, and console or standard
  // error text would then be written into the log. Each such descriptor gets /dev/null: the text
  // is lost, as it is on the target platform without a console.
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) < 0 && errno == EBADF) {
      // The lowest free descriptor is taken, and the ones below are open by now: this is fd.
      const int opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
      (void)opened;
    }
  }
#ifdef __GLIBC__
  // glibc shares its allocator arenas among threads once there are eight per core: threads that
  // share one wait on its lock at every allocation (with two arenas, two fifths of a million-entry
  // run's context switches). Sixteen keep that wait away; one per reader thread would hold a
  // fifth more memory at a million entries per tree for no gain in time.
  mallopt(M_ARENA_MAX, 16);

  // A new thread's stack is as large as the main thread's limit (often 8 MB) of address space;
  // dozens of reader threads, whose calls go a few frames deep, would then hold half a gigabyte
  // of it, and a run under an address-space limit would lose entries it could have kept. They
  // get what a thread gets on Windows, 1 MB.
  pthread_attr_t attributes;
  if (pthread_getattr_default_np(&attributes) == 0) {
    if (pthread_attr_setstacksize(&attributes, std::size_t{1} << 20) == 0) {
      pthread_setattr_default_np(&attributes);
    }
    pthread_attr_destroy(&attributes);
  }
#endif
}

void lowerThreadPriority() {
#ifdef __linux__
  // Linux gives every thread a nice value of its own; elsewhere the nice value is the process's,
  // and the thread keeps the priority it has.
  setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), 19);
#endif
}

}  // namespace pairwick::platform
