// Tests of the spelling of Windows paths: extended-length forms and the path-append rule.
#include "platform/windows_path.h"

#include <gtest/gtest.h>

#include <iterator>
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

TEST(AppendWindowsPathTest, JoinsByTheStandardRule) {
  const struct {
    std::u16string base;
    std::u16string name;
    std::u16string expected;
  } cases[] = {
      // Relative names follow the base after one backslash, none where it ends in one; nothing
      // is normalised.
      {u"C:\\work", u"A", u"C:\\work\\A"},
      {u"C:\\work\\", u"A", u"C:\\work\\A"},
      {u"C:\\", u"A", u"C:\\A"},
      {u"C:\\work", u"../x/./A", u"C:\\work\\../x/./A"},
      {u"C:\\work", u"表\\ソ", u"C:\\work\\表\\ソ"},
      {u"\\\\server\\share\\work", u"A", u"\\\\server\\share\\work\\A"},
      // A share's root written without a separator is absolute: a name follows a separator.
      {u"\\\\server\\share", u"A", u"\\\\server\\share\\A"},
      {u"\\\\?\\C:\\work", u"A", u"\\\\?\\C:\\work\\A"},
      {u"work", u"A", u"work\\A"},
      {u"", u"A", u"A"},
      // A name with a root name that is absolute replaces the base: a drive with its root, a
      // share in either separator, a device or extended-length path.
      {u"C:\\work", u"D:\\data", u"D:\\data"},
      {u"C:\\work", u"C:\\data", u"C:\\data"},
      {u"C:\\work", u"\\\\server\\share\\A", u"\\\\server\\share\\A"},
      {u"Z:\\tmp\\w", u"\\\\localhost\\share\\A", u"\\\\localhost\\share\\A"},
      {u"C:\\work", u"//server/share/A", u"//server/share/A"},
      {u"C:\\work", u"\\\\server\\share", u"\\\\server\\share"},
      {u"C:\\work", u"\\\\server", u"\\\\server"},
      {u"\\\\server\\share\\work", u"\\\\server\\share", u"\\\\server\\share"},
      {u"\\\\server\\share\\work", u"\\\\other\\share\\A", u"\\\\other\\share\\A"},
      {u"C:\\work", u"\\\\?\\C:\\A", u"\\\\?\\C:\\A"},
      {u"C:\\work", u"\\\\?\\UNC\\server\\share\\A", u"\\\\?\\UNC\\server\\share\\A"},
      {u"C:\\work", u"\\\\?\\unc\\server\\share", u"\\\\?\\unc\\server\\share"},
      {u"C:\\work", u"\\\\.\\pipe\\p", u"\\\\.\\pipe\\p"},
      {u"\\\\?\\C:\\work", u"\\\\?\\C:\\A", u"\\\\?\\C:\\A"},
      // A root directory without a root name keeps the base's root name only.
      {u"C:\\work\\sub", u"\\A", u"C:\\A"},
      {u"C:\\work", u"/A/B", u"C:/A/B"},
      {u"\\\\server\\share\\work", u"\\A", u"\\\\server\\share\\A"},
      {u"//server/share/work", u"\\A", u"//server/share\\A"},
      {u"\\\\?\\UNC\\server\\share\\work", u"\\A", u"\\\\?\\UNC\\server\\share\\A"},
      {u"\\\\?\\C:\\work", u"\\A", u"\\\\?\\C:\\A"},
      {u"work", u"\\A", u"\\A"},
      // Three separators name no server: the rest is a root directory.
      {u"C:\\work", u"\\\\\\A", u"C:\\\\\\A"},
      // A drive without a root directory is relative to that drive's current folder: on the
      // base's drive it follows the base, on another it replaces it. Drives compare unit by
      // unit, as paths do: "c:" is another root than "C:".
      {u"C:\\work", u"C:A", u"C:\\work\\A"},
      {u"C:\\", u"C:A", u"C:\\A"},
      {u"C:", u"C:A", u"C:A"},
      {u"C:\\work", u"D:A", u"D:A"},
      {u"C:\\work", u"c:A", u"c:A"},
      {u"\\\\server\\share\\work", u"C:A", u"C:A"},
      {u"C:\\work", u"C:", u"C:\\work\\"},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(appendWindowsPath(cases[i].base, cases[i].name), cases[i].expected) << "case " << i;
  }
}

}  // namespace
}  // namespace pairwick::platform
