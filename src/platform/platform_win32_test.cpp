// Tests of the Windows platform layer: the system's code page 932 setting, the strict path
// conversions and their errors, message recoding, the existence test, links and the console.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <winioctl.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <system_error>

#include "codec/cp932.h"
#include "platform/clock.h"
#include "platform/code_page.h"
#include "platform/console.h"
#include "platform/folders.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "testing/bounded_wait.h"

namespace pairwick {
namespace {

namespace fs = std::filesystem;

// The system's message for an error code, as it reaches a log line.
NarrowText systemMessage(DWORD error) {
  std::string text = std::system_category().message(static_cast<int>(error));
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
    text.pop_back();
  }
  return text;
}

void expectNoTranslationError(const std::system_error& failure) {
  EXPECT_EQ(failure.code().value(), ERROR_NO_UNICODE_TRANSLATION);
  EXPECT_EQ(&failure.code().category(), &std::system_category());
  const NarrowText message = platform::narrowMessage(failure);
  ASSERT_FALSE(message.empty());
  EXPECT_EQ(message, systemMessage(ERROR_NO_UNICODE_TRANSLATION));
  EXPECT_EQ(std::string(" \t\r\n").find(message.back()), std::string::npos) << message;
}

class PlatformWin32Test : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    root_ = fs::temp_directory_path() / (std::string("pairwick_platform_") + info->name() + "_" +
                                         std::to_string(GetCurrentProcessId()));
    fs::remove_all(root_);
    fs::create_directories(root_);
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }

  fs::path root_;
};

// Every other test of the Windows build assumes the Japanese setting, in which the system's own
// narrow calls take the names that narrowPath and pathFromNarrow make.
TEST_F(PlatformWin32Test, NarrowNamesAreTheNamesOfTheSystemsNarrowCalls) {
  const char* const setting = "run with a Japanese locale (e.g. LC_ALL=ja_JP.UTF-8 under Wine)";
  const fs::path name = root_ / L"表ソ～.txt";
  NarrowText narrow;
  ASSERT_NO_THROW(narrow = platform::narrowPath(name)) << setting;
  const HANDLE file = CreateFileA(narrow.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE) << setting;
  CloseHandle(file);
  EXPECT_TRUE(fs::exists(name)) << setting;
  WIN32_FIND_DATAA found;
  const HANDLE search = FindFirstFileA(platform::narrowPath(root_ / "*.txt").c_str(), &found);
  ASSERT_NE(search, INVALID_HANDLE_VALUE);
  FindClose(search);
  EXPECT_EQ(platform::pathFromNarrow(found.cFileName), name.filename());
}

TEST(PlatformWin32ConversionTest, NarrowPathGivesCodePage932Bytes) {
  EXPECT_EQ(platform::narrowPath(fs::path(L"C:\\フォルダ\\表ソ.txt")),
            "C:\\" + cp932(u"フォルダ") + "\\" + cp932(u"表ソ") + ".txt");
  EXPECT_EQ(platform::narrowPath(fs::path(L"\uFF5E")), "\x81\x60");  // ～, not 〜
  EXPECT_EQ(platform::narrowPath(fs::path()), "");
}

TEST(PlatformWin32ConversionTest, NarrowPathRefusesCharactersWithoutAnExactMapping) {
  // Best fit only (é, ¥, the wave dash), not in the code page at all (Hangul, an emoji), and a
  // lone surrogate.
  for (const wchar_t* name :
       {L"caf\u00E9", L"\u00A5", L"\u301C", L"\uD55C", L"a\U0001F600", L"x\xD800y"}) {
    try {
      const NarrowText narrow = platform::narrowPath(fs::path(name));
      ADD_FAILURE() << "converted to " << narrow.size() << " bytes: " << narrow;
    } catch (const std::system_error& failure) {
      expectNoTranslationError(failure);
    }
  }
}

TEST(PlatformWin32ConversionTest, PathFromNarrowDecodesStrictly) {
  EXPECT_EQ(platform::pathFromNarrow(cp932(u"データ/表")).native(), L"データ/表");
  EXPECT_EQ(platform::pathFromNarrow(std::string("a\0b", 3)).native(), std::wstring(L"a\0b", 3));
  EXPECT_EQ(platform::pathFromNarrow("\x80").native(), L"\u0080");
  EXPECT_TRUE(platform::pathFromNarrow("").empty());
  // A lone lead byte, a lead byte with an invalid trail, an unmapped pair, and 0xA0.
  for (const char* bytes : {"abc\x82", "\x82\x20", "\x85\x40", "x\xA0"}) {
    try {
      const fs::path path = platform::pathFromNarrow(bytes);
      ADD_FAILURE() << "made a path of " << path.native().size() << " units";
    } catch (const std::system_error& failure) {
      expectNoTranslationError(failure);
    }
  }
}

TEST(PlatformWin32ConversionTest, LenientDecodingKeepsZeroBytesAndSubstitutes) {
  WideText out = u"x";
  ASSERT_TRUE(platform::decodeCp932Lenient(std::string("\x82\xA0\0\x82", 4), out));
  EXPECT_EQ(out, WideText(u"xあ\0・", 4));
  out.clear();
  ASSERT_TRUE(platform::decodeCp932Lenient(std::string("\x81\0a\xA0\xFD", 5), out));
  EXPECT_EQ(out, WideText(u"・\0a\uF8F0\uF8F1", 5));
}

TEST(PlatformWin32MessageTest, FileSystemMessagesAreRecodedPieceByPiece) {
  // The library's text carries the paths as UTF-8 and the system's message in code page 932
  // with its CR LF; the log needs all of it as code page 932, characters it lacks as '?'.
  const fs::filesystem_error failure("cannot do it", fs::path(L"C:\\表\\caf\u00E9\U0001F600"),
                                     fs::path(L"D:\\ソ"),
                                     std::error_code(ERROR_ACCESS_DENIED, std::system_category()));
  EXPECT_EQ(platform::narrowMessage(failure),
            "filesystem error: cannot do it: " + systemMessage(ERROR_ACCESS_DENIED) + " [C:\\" +
                cp932(u"表") + "\\caf???] [D:\\" + cp932(u"ソ") + "]");

  const fs::filesystem_error generic("cannot open", fs::path(L"\u3042"),
                                     std::make_error_code(std::errc::no_such_file_or_directory));
  EXPECT_EQ(
      platform::narrowMessage(generic),
      "filesystem error: cannot open: " + generic.code().message() + " [" + cp932(u"あ") + "]");
}

TEST(PlatformWin32MessageTest, OtherMessagesPassUnchanged) {
  const NarrowText own = cp932(u"結果ファイルを開けませんでした。");
  EXPECT_EQ(platform::narrowMessage(std::runtime_error(own)), own);
  EXPECT_EQ(platform::narrowMessage(std::system_error(ERROR_ACCESS_DENIED, std::system_category())),
            systemMessage(ERROR_ACCESS_DENIED));
}

TEST(PlatformWin32TimeTest, CtimeTextPadsTheDayWithAZero) {
  std::tm noon{};
  noon.tm_year = 2024 - 1900;
  noon.tm_mon = 0;
  noon.tm_mday = 5;
  noon.tm_hour = 12;
  noon.tm_min = 34;
  noon.tm_sec = 56;
  noon.tm_isdst = -1;
  const std::int64_t time = _mktime64(&noon);
  ASSERT_NE(time, -1);
  EXPECT_EQ(platform::ctimeText(time), "Fri Jan 05 12:34:56 2024\n");

  const std::tm local = platform::localTime(time);
  EXPECT_EQ(local.tm_year, 124);
  EXPECT_EQ(local.tm_mon, 0);
  EXPECT_EQ(local.tm_mday, 5);
  EXPECT_EQ(local.tm_hour, 12);
  EXPECT_EQ(local.tm_min, 34);
  EXPECT_EQ(local.tm_sec, 56);
  EXPECT_EQ(local.tm_wday, 5);

  const std::int64_t now = platform::currentTime();
  EXPECT_GT(now, time);
}

TEST_F(PlatformWin32Test, ExistenceTestReportsAbsenceOnlyForNamesThatLeadNowhere) {
  std::ofstream(root_ / "file.txt") << "x";
  fs::create_directory(root_ / "dir");
  EXPECT_TRUE(platform::pathExists(root_ / "file.txt"));
  EXPECT_TRUE(platform::pathExists(root_ / "dir"));
  EXPECT_TRUE(platform::pathExists(root_ / "DIR"));
  EXPECT_FALSE(platform::pathExists(root_ / "missing"));
  EXPECT_FALSE(platform::pathExists(root_ / "missing" / "deeper"));
  EXPECT_FALSE(platform::pathExists(root_ / "file.txt" / "below"));
  EXPECT_FALSE(platform::pathExists(root_ / "a<b"));
  EXPECT_FALSE(platform::pathExists(root_ / "a?b"));
}

TEST_F(PlatformWin32Test, WeaklyCanonicalResolvesTheExistingPartAndNormalisesTheRest) {
  fs::create_directories(root_ / "MixedCase" / "sub");
  const fs::path base = platform::weaklyCanonical(root_);
  EXPECT_TRUE(base.is_absolute());
  EXPECT_EQ(base.native().rfind(L"\\\\?\\", 0), std::wstring::npos) << base.native();

  EXPECT_EQ(platform::weaklyCanonical(root_ / "mixedcase" / "sub"), base / "MixedCase" / "sub");
  EXPECT_EQ(platform::weaklyCanonical(root_ / "MixedCase" / "gone" / ".." / "x" / "." / "y"),
            base / "MixedCase" / "x" / "y");
  EXPECT_EQ(platform::weaklyCanonical(root_ / "MixedCase" / "sub" / ".." / "sub"),
            base / "MixedCase" / "sub");
  EXPECT_EQ(platform::weaklyCanonical(base / "MixedCase").lexically_relative(base), "MixedCase");
}

// A junction at `link` leading to the folder `target`, made as the system's tools make one;
// false where the file system cannot hold one.
bool makeJunction(const fs::path& link, const fs::path& target) {
  if (!CreateDirectoryW(link.c_str(), nullptr)) return false;
  const HANDLE handle =
      CreateFileW(link.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  const std::wstring substitute = L"\\??\\" + fs::absolute(target).native();
  const std::wstring print = fs::absolute(target).native();
  const std::size_t pathBytes = (substitute.size() + print.size() + 2) * sizeof(wchar_t);
  std::string buffer(16 + pathBytes, '\0');
  auto put16 = [&buffer](std::size_t at, std::size_t value) {
    buffer[at] = static_cast<char>(value & 0xFF);
    buffer[at + 1] = static_cast<char>(value >> 8);
  };
  const DWORD tag = IO_REPARSE_TAG_MOUNT_POINT;
  std::memcpy(buffer.data(), &tag, sizeof tag);
  put16(4, 8 + pathBytes);
  put16(8, 0);
  put16(10, substitute.size() * sizeof(wchar_t));
  put16(12, (substitute.size() + 1) * sizeof(wchar_t));
  put16(14, print.size() * sizeof(wchar_t));
  std::memcpy(buffer.data() + 16, substitute.c_str(), (substitute.size() + 1) * sizeof(wchar_t));
  std::memcpy(buffer.data() + 16 + (substitute.size() + 1) * sizeof(wchar_t), print.c_str(),
              (print.size() + 1) * sizeof(wchar_t));
  DWORD returned = 0;
  const BOOL made =
      DeviceIoControl(handle, FSCTL_SET_REPARSE_POINT, buffer.data(),
                      static_cast<DWORD>(buffer.size()), nullptr, 0, &returned, nullptr);
  CloseHandle(handle);
  if (!made) RemoveDirectoryW(link.c_str());
  return made != 0;
}

// What readFolder says of each entry of `folder`.
std::map<std::wstring, platform::EntryKind> kindsIn(const fs::path& folder) {
  const platform::FolderListing listing = platform::readFolder(folder, nullptr);
  std::map<std::wstring, platform::EntryKind> kinds;
  std::size_t start = 0;
  for (const platform::EntryKind kind : listing.kinds) {
    const std::size_t end = listing.names.find(L'\0', start);
    kinds[listing.names.substr(start, end - start)] = kind;
    start = end + 1;
  }
  return kinds;
}

// The path that readFolder's failure names, or the empty path when it lists the folder.
fs::path listingFailureOf(const fs::path& path, bool descending) {
  // A folder met during the walk, of which the listing told nothing but its place.
  const platform::ListedFolder unnumbered;
  try {
    platform::readFolder(path, descending ? &unnumbered : nullptr);
  } catch (const fs::filesystem_error& failure) {
    return failure.path1();
  }
  return fs::path();
}

// Checks the link rules on `folder`, which holds real/inner/file.txt and the link `link` to real.
void expectLinkRules(const fs::path& folder, const std::wstring& link) {
  EXPECT_EQ(kindsIn(folder),
            (std::map<std::wstring, platform::EntryKind>{{L"real", platform::EntryKind::folder},
                                                         {link, platform::EntryKind::link}}));
  EXPECT_EQ(platform::weaklyCanonical(folder / link), platform::weaklyCanonical(folder / "real"));
  EXPECT_EQ(platform::weaklyCanonical(folder / link / "inner" / "new"),
            platform::weaklyCanonical(folder / "real" / "inner") / "new");
  EXPECT_TRUE(platform::pathExists(folder / link));
  // The folder the walk starts at may be reached through a link; a file is never listed.
  EXPECT_EQ(kindsIn(folder / link),
            (std::map<std::wstring, platform::EntryKind>{{L"inner", platform::EntryKind::folder}}));
  const fs::path file = folder / "real" / "inner" / "file.txt";
  EXPECT_EQ(listingFailureOf(file, true), file);
  EXPECT_EQ(listingFailureOf(file, false), file);
  // A folder is read only as the one its parent's listing named: numbered otherwise, it is
  // refused, and the way to it is looked at again to name the place where it changed.
  const platform::FolderListing top = platform::readFolder(folder, nullptr);
  ASSERT_EQ(top.subfolders.size(), 1u);
  const platform::FolderListing real = platform::readFolder(folder / "real", nullptr);
  ASSERT_EQ(real.subfolders.size(), 1u);
  EXPECT_NE(real.subfolders[0].node, 0u);
  const std::size_t topLength = folder.native().size();
  const auto listedReal = std::make_shared<const platform::ListedFolder>(
      platform::ListedFolder{topLength, top.subfolders[0], nullptr});
  const platform::ListedFolder listedInner{topLength, real.subfolders[0], listedReal};
  const platform::FolderListing inner =
      platform::readFolder(folder / "real" / "inner", &listedInner);
  EXPECT_EQ(inner.names, std::wstring(L"file.txt") + L'\0');
  EXPECT_EQ(inner.identity.node, real.subfolders[0].node);
  EXPECT_TRUE(inner.namesResolve);
  EXPECT_TRUE(inner.unresolved.empty());
  const auto fails = [](const fs::path& path, const platform::ListedFolder& listed) {
    try {
      platform::readFolder(path, &listed);
    } catch (const fs::filesystem_error& failure) {
      return failure.path1();
    }
    return fs::path();
  };
  const platform::ListedFolder numberedOtherwise{topLength, real.identity, listedReal};
  EXPECT_EQ(fails(folder / "real" / "inner", numberedOtherwise), folder / "real" / "inner");
  const platform::ListedFolder wayNumberedOtherwise{
      topLength, real.identity,
      std::make_shared<const platform::ListedFolder>(
          platform::ListedFolder{topLength, real.subfolders[0], nullptr})};
  EXPECT_EQ(fails(folder / "real" / "inner", wayNumberedOtherwise), folder / "real");
}

// A folder met during the walk that a link has taken the place of is never listed through it.
// `folder` as for expectLinkRules.
void expectLinkNeverListedThrough(const fs::path& folder, const std::wstring& link) {
  EXPECT_EQ(listingFailureOf(folder / link, true), folder / link);
}

// A junction that takes the place of a folder on the way to one that was listed is never passed:
// the folder is not the one its parent's listing numbered, and the way is looked at again.
TEST_F(PlatformWin32Test, FolderIsNeverListedThroughAJunctionOnTheWay) {
  fs::create_directories(root_ / "d" / "e");
  fs::create_directories(root_ / "elsewhere" / "e");
  std::ofstream(root_ / "elsewhere" / "e" / "secret.txt") << "x";
  const std::size_t topLength = root_.native().size();
  const platform::FolderListing top = platform::readFolder(root_, nullptr);
  const std::size_t d = top.names.find(L"d") == 0 ? 0 : 1;
  ASSERT_EQ(top.subfolders.size(), 2u);
  const platform::ListedFolder listedD{topLength, top.subfolders[d], nullptr};
  const platform::FolderListing second = platform::readFolder(root_ / "d", &listedD);
  ASSERT_EQ(second.subfolders.size(), 1u);
  const platform::ListedFolder listedE{topLength, second.subfolders[0], nullptr};
  EXPECT_TRUE(second.names == std::wstring(L"e") + L'\0');

  fs::rename(root_ / "d", root_ / "old");
  if (!makeJunction(root_ / "d", root_ / "elsewhere")) {
    GTEST_SKIP() << "this file system cannot hold junctions";
  }
  EXPECT_EQ(listingFailureOf(root_ / "d" / "e", false), fs::path());
  try {
    platform::readFolder(root_ / "d" / "e", &listedE);
    ADD_FAILURE() << "listed through the junction";
  } catch (const fs::filesystem_error& failure) {
    EXPECT_EQ(failure.path1(), root_ / "d");
  }
}

TEST_F(PlatformWin32Test, JunctionsAreVisitedButNotDescendedInto) {
  fs::create_directories(root_ / "real" / "inner");
  std::ofstream(root_ / "real" / "inner" / "file.txt") << "x";
  if (!makeJunction(root_ / "junction", root_ / "real")) {
    GTEST_SKIP() << "this file system cannot hold junctions";
  }
  expectLinkRules(root_, L"junction");
  expectLinkNeverListedThrough(root_, L"junction");
}

// Wine cannot make links itself, but shows the host's symbolic links to folders as reparse
// points; the Windows test script prepares such a tree and names it here. Wine opens such a link
// as its target even when asked for the link itself: expectLinkNeverListedThrough cannot hold.
TEST(PlatformWin32LinkFixtureTest, HostFolderLinksAreVisitedButNotDescendedInto) {
  const char* fixture = std::getenv("PAIRWICK_WIN32_LINK_FIXTURE");
  if (fixture == nullptr || *fixture == '\0') {
    GTEST_SKIP() << "PAIRWICK_WIN32_LINK_FIXTURE names no prepared tree";
  }
  expectLinkRules(platform::pathFromNarrow(fixture), L"link");
}

TEST(PlatformWin32ConsoleTest, OutputIsUtf8AndStandardErrorTheBytesAsTheyAre) {
  DWORD mode = 0;
  if (GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode)) {
    GTEST_SKIP() << "standard output is a console here";
  }
  HANDLE readEnd = nullptr;
  HANDLE writeEnd = nullptr;
  ASSERT_TRUE(CreatePipe(&readEnd, &writeEnd, nullptr, 1 << 16));
  const HANDLE savedOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  const HANDLE savedError = GetStdHandle(STD_ERROR_HANDLE);
  platform::flushConsole();
  SetStdHandle(STD_OUTPUT_HANDLE, writeEnd);
  SetStdHandle(STD_ERROR_HANDLE, writeEnd);
  platform::writeConsole(u"検出 (a): x\n");
  // A name without a narrow form is shown whole.
  platform::writeConsole(platform::widePath(fs::path(L"Z:\\\uD55C\U0001F600")) + u"\n");
  EXPECT_TRUE(platform::writeConsoleCp932(cp932(u"表ソ\n")));
  platform::writeStandardError(cp932(u"エラー\n"));
  SetStdHandle(STD_OUTPUT_HANDLE, savedOutput);
  SetStdHandle(STD_ERROR_HANDLE, savedError);
  CloseHandle(writeEnd);

  // Read back up to a bound well past the few lines expected: more is a failure already.
  std::string received;
  char buffer[256];
  DWORD count = 0;
  while (received.size() < 4096 && ReadFile(readEnd, buffer, sizeof buffer, &count, nullptr) &&
         count > 0) {
    received.append(buffer, count);
  }
  CloseHandle(readEnd);
  // The console's buffered lines come first, with LF only, then the standard error bytes.
  EXPECT_EQ(received,
            "\xE6\xA4\x9C\xE5\x87\xBA (a): "
            "x\nZ:\\\xED\x95\x9C\xF0\x9F\x98\x80\n\xE8\xA1\xA8\xE3\x82\xBD\n" +
                cp932(u"エラー\n"));
}

// The reader threads yield to the walk's thread: only the thread that asks is lowered.
TEST(PlatformWin32ThreadTest, LoweredPriorityIsTheCallingThreadsAlone) {
  const int before = GetThreadPriority(GetCurrentThread());
  int lowered = THREAD_PRIORITY_ERROR_RETURN;
  testing_support::finishWithin("a thread that lowers its priority", [&] {
    platform::lowerThreadPriority();
    lowered = GetThreadPriority(GetCurrentThread());
  });
  EXPECT_NE(lowered, THREAD_PRIORITY_ERROR_RETURN);
  EXPECT_LT(lowered, before);
  EXPECT_EQ(GetThreadPriority(GetCurrentThread()), before);
}

}  // namespace
}  // namespace pairwick
