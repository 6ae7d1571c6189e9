// Tests of the extended-length spelling of Windows paths.
#include "platform/windows_path.h"

#include <gtest/gtest.h>

#include <string>

namespace pairwick::platform {
namespace {

TEST(ExtendedLengthFormTest, SpellsEveryKindOfAbsolutePath) {
  const struct {
    std::u16string fullPath;
    std::u16string expected;
  } cases[] = {
      {u"C:\\", u"\\\\?\\C:\\"},
      {u"C:\\作業\\旧版", u"\\\\?\\C:\\作業\\旧版"},
      {u"\\\\server\\share", u"\\\\?\\UNC\\server\\share"},
      {u"\\\\fs01\\共有\\設計\\図面", u"\\\\?\\UNC\\fs01\\共有\\設計\\図面"},
      // Already extended, or a device: the system takes them as they are.
      {u"\\\\?\\C:\\a", u"\\\\?\\C:\\a"},
      {u"\\\\?\\UNC\\server\\share\\a", u"\\\\?\\UNC\\server\\share\\a"},
      {u"\\\\.\\pipe\\x", u"\\\\.\\pipe\\x"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(extendedLengthForm(c.fullPath), c.expected);
  }
  // A long path keeps every character: nothing is cut at 260.
  const std::u16string deep = u"C:\\" + std::u16string(600, u'表');
  EXPECT_EQ(extendedLengthForm(deep), u"\\\\?\\" + deep);
}

}  // namespace
}  // namespace pairwick::platform
