// The extended-length spelling of Windows paths.
#include "platform/windows_path.h"

namespace pairwick::platform {

std::u16string extendedLengthForm(std::u16string_view fullPath) {
  constexpr std::u16string_view kExtended = u"\\\\?\\";
  constexpr std::u16string_view kDevice = u"\\\\.\\";
  constexpr std::u16string_view kUnc = u"\\\\";
  if (fullPath.substr(0, kExtended.size()) == kExtended ||
      fullPath.substr(0, kDevice.size()) == kDevice) {
    return std::u16string(fullPath);
  }
  if (fullPath.substr(0, kUnc.size()) == kUnc) {
    return u"\\\\?\\UNC\\" + std::u16string(fullPath.substr(kUnc.size()));
  }
  return std::u16string(kExtended) + std::u16string(fullPath);
}

}  // namespace pairwick::platform
