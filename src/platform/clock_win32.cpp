// The clock on Windows: the C runtime's 64-bit time functions.
#include <ctime>

#include "platform/clock.h"

namespace pairwick::platform {

std::int64_t currentTime() { return static_cast<std::int64_t>(_time64(nullptr)); }

NarrowText ctimeText(std::int64_t time) {
  const __time64_t t = static_cast<__time64_t>(time);
  char buffer[26] = {};
  _ctime64_s(buffer, sizeof buffer, &t);
  return buffer;
}

std::tm localTime(std::int64_t time) {
  const __time64_t t = static_cast<__time64_t>(time);
  std::tm local{};
  _localtime64_s(&local, &t);
  return local;
}

}  // namespace pairwick::platform
