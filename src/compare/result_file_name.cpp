// The comparison report's file name, made from the local date and time.
#include "compare/result_file_name.h"

#include <iomanip>
#include <locale>
#include <sstream>

#include "platform/clock.h"

namespace pairwick {

NarrowText formatResultFileName(const NarrowText& prefix, const std::tm& local) {
  std::ostringstream oss;
  // The classic locale keeps the year free of digit grouping whatever the global locale is.
  oss.imbue(std::locale::classic());
  // The year goes out before any width or fill is set: it takes exactly the digits it needs.
  oss << prefix << '_' << (static_cast<long long>(local.tm_year) + 1900);
  oss << std::setfill('0') << std::setw(2) << (local.tm_mon + 1) << std::setw(2) << local.tm_mday
      << '_' << std::setw(2) << local.tm_hour << std::setw(2) << local.tm_min << std::setw(2)
      << local.tm_sec << ".txt";
  return oss.str();
}

NarrowText makeResultFileName(const NarrowText& prefix) {
  return formatResultFileName(prefix, platform::localTime(platform::currentTime()));
}

}  // namespace pairwick
