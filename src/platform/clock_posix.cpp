// The clock on POSIX: the C library's time functions.
#include <ctime>

#include "platform/clock.h"

namespace pairwick::platform {

std::int64_t currentTime() { return static_cast<std::int64_t>(std::time(nullptr)); }

NarrowText ctimeText(std::int64_t time) {
  const std::time_t t = static_cast<std::time_t>(time);
  char buffer[26] = {};
  if (ctime_r(&t, buffer) == nullptr) return {};
  return buffer;
}

std::tm localTime(std::int64_t time) {
  const std::time_t t = static_cast<std::time_t>(time);
  std::tm local{};
  localtime_r(&t, &local);
  return local;
}

}  // namespace pairwick::platform
