// Watching chosen files for opens (Linux inotify), for tests that show that code only looked at a
// file it had to refuse: opening a FIFO wakes its writer, opening a device can set it to work (a
// tape rewinds, a line hangs up). A look without an open (lstat, O_PATH) gives no event. Header
// only, shared by the unit and end-to-end tests on POSIX.
#pragma once

#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace pairwick::testing_support {

class OpenWatch {
 public:
  OpenWatch() : fd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
    if (fd_ < 0) throw std::runtime_error(std::string("inotify_init1: ") + std::strerror(errno));
  }
  ~OpenWatch() { close(fd_); }
  OpenWatch(const OpenWatch&) = delete;
  OpenWatch& operator=(const OpenWatch&) = delete;

  // Watches the entry `path` names itself, its last name not followed; adding the watch opens
  // nothing.
  void watch(const std::filesystem::path& path) {
    const int watch = inotify_add_watch(fd_, path.c_str(), IN_OPEN | IN_DONT_FOLLOW);
    if (watch < 0) {
      throw std::runtime_error("inotify_add_watch " + path.native() + ": " + std::strerror(errno));
    }
    watched_[watch] = path;
  }

  // The watched paths opened since the last call, once per open. An open's event is queued before
  // the open returns, so whatever has returned (a process that has ended included) is counted
  // without waiting: the read stops at the first empty queue.
  std::vector<std::filesystem::path> opened() {
    std::vector<std::filesystem::path> paths;
    alignas(inotify_event) char buffer[4096];
    for (;;) {
      const ssize_t count = read(fd_, buffer, sizeof buffer);
      if (count < 0 && errno == EINTR) continue;
      if (count <= 0) break;
      for (ssize_t at = 0; at < count;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
        if ((event->mask & IN_OPEN) != 0) paths.push_back(watched_[event->wd]);
        if ((event->mask & IN_Q_OVERFLOW) != 0) paths.emplace_back("(events lost)");
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      }
    }
    return paths;
  }

 private:
  int fd_;
  std::map<int, std::filesystem::path> watched_;
};

}  // namespace pairwick::testing_support
