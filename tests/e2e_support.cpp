// Harness of the end-to-end tests: process launching, scratch trees, files and pattern matching.
#include "e2e_support.h"

#include <fcntl.h>
#include <iconv.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <utility>

#ifndef PAIRWICK_BINARY
#error "PAIRWICK_BINARY must name the built program"
#endif

namespace pairwick::e2e {

namespace {

constexpr uid_t kUnprivilegedId = 65534;

std::vector<std::string> splitOnBlanks(const std::string& text) {
  std::vector<std::string> words;
  std::istringstream in(text);
  for (std::string word; in >> word;) words.push_back(word);
  return words;
}

bool runningAsRoot() { return geteuid() == 0; }

std::string findSetpriv() {
  for (const char* candidate : {"/usr/bin/setpriv", "/bin/setpriv", "/usr/sbin/setpriv"}) {
    if (access(candidate, X_OK) == 0) return candidate;
  }
  throw std::runtime_error("setpriv not found: install util-linux (scripts/setup-deps.sh)");
}

std::vector<std::string> asUnprivileged(std::vector<std::string> command) {
  if (!runningAsRoot()) return command;  // already unprivileged: permissions apply as they are
  const std::string id = std::to_string(kUnprivilegedId);
  std::vector<std::string> full = {findSetpriv(), "--reuid=" + id, "--regid=" + id,
                                   "--clear-groups", "--"};
  full.insert(full.end(), command.begin(), command.end());
  return full;
}

// A file outside every scratch tree that receives one output stream of the child. Files rather
// than pipes: a program started through Wine leaves wineserver holding its output open, so a
// pipe's end would never come.
int captureFile() {
  std::string name = (fs::temp_directory_path() / "pairwick_e2e_output_XXXXXX").native();
  const int fd = mkostemp(name.data(), O_CLOEXEC);
  if (fd < 0) throw std::runtime_error("mkstemp failed");
  unlink(name.c_str());
  return fd;
}

// The bytes of a run's output stream captured in `fd`, kRunOutputLimit at most; closes `fd`.
std::string readAll(int fd) {
  std::string content;
  char buffer[65536];
  for (off_t at = 0;;) {
    const ssize_t n = pread(fd, buffer, sizeof buffer, at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    if (content.size() + static_cast<std::size_t>(n) > kRunOutputLimit) {
      close(fd);
      throw std::runtime_error("a run's output holds more than the " +
                               std::to_string(kRunOutputLimit) + " bytes read back of it");
    }
    content.append(buffer, static_cast<std::size_t>(n));
    at += n;
  }
  close(fd);
  return content;
}

// The locale of the Japanese setting, in which Wine gives the Windows build ANSI code page 932.
const std::string kJapaneseLocale = "ja_JP.UTF-8";

void setProgramLocale(bool windowsTarget, const std::string& locale) {
  if (windowsTarget) {
    const std::string& wineLocale = locale.empty() ? kJapaneseLocale : locale;
    setenv("LC_ALL", wineLocale.c_str(), 1);
    setenv("PAIRWICK_WINE_LOCALE", wineLocale.c_str(), 1);
    setenv("WINEDEBUG", "-all", 0);
  } else if (!locale.empty()) {
    setenv("LC_ALL", locale.c_str(), 1);
  }
}

// Starts `command` in `cwd` with standard input from /dev/null and the given output descriptors.
// The Windows build runs in the setting it is made for unless a test names another `locale`:
// Wine's ANSI code page follows the locale, which scripts/windows-run.sh takes from
// PAIRWICK_WINE_LOCALE. The POSIX build gets a named locale as it is.
pid_t spawn(const std::vector<std::string>& command, const fs::path& cwd, int outFd, int errFd,
            const std::string& locale = {}) {
  std::vector<char*> argv;
  for (const std::string& word : command) argv.push_back(const_cast<char*>(word.c_str()));
  argv.push_back(nullptr);
  const bool windowsTarget = targetIsWindows();
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    // A group of its own: a run that hangs is killed with whatever it started (Wine's processes,
    // a wrapper's child).
    setpgid(0, 0);
    const int nullFd = open("/dev/null", O_RDONLY);
    if (chdir(cwd.c_str()) != 0 || nullFd < 0 || dup2(nullFd, 0) < 0 || dup2(outFd, 1) < 0 ||
        dup2(errFd, 2) < 0) {
      _exit(126);
    }
    setProgramLocale(windowsTarget, locale);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  return pid;
}

std::string describeRun(const std::vector<std::string>& command, const fs::path& cwd) {
  std::string text = "the run of";
  for (const std::string& word : command) text += " " + word;
  return text + " in " + cwd.native();
}

RunResult execute(const std::vector<std::string>& command, const fs::path& cwd,
                  const std::string& locale = {}) {
  const int outFd = captureFile();
  const int errFd = captureFile();
  const pid_t pid = spawn(command, cwd, outFd, errFd, locale);
  int status = 0;
  try {
    status = awaitExit(pid, describeRun(command, cwd));
  } catch (const GaveUpWaiting&) {
    close(outFd);
    close(errFd);
    throw;
  }
  RunResult result;
  result.console = readAll(outFd);
  result.standardError = readAll(errFd);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  if (result.status == 126 || result.status == 127) {
    ADD_FAILURE() << "could not start " << command.front() << " in " << cwd.native();
  }
  return result;
}

std::string convert(std::string_view text, const char* to, const char* from) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) throw std::runtime_error("iconv_open failed");
  std::string in(text);
  std::string out(in.size() * 4 + 16, '\0');
  char* inPtr = in.data();
  std::size_t inLeft = in.size();
  char* outPtr = out.data();
  std::size_t outLeft = out.size();
  const std::size_t done = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
  iconv_close(cd);
  if (done == static_cast<std::size_t>(-1)) {
    throw std::runtime_error("test text has no code page 932 form: " + std::string(text));
  }
  out.resize(out.size() - outLeft);
  return out;
}

// ---- Matching ----

// How the C library pads a one-digit day of the month in the ctime text: a blank on glibc, a zero
// on Windows.
char ctimeDayPad() { return targetIsWindows() ? '0' : ' '; }

bool isCtimeShape(std::string_view s) {
  static const std::regex shape(
      "(Sun|Mon|Tue|Wed|Thu|Fri|Sat) (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) "
      "([ 0][1-9]|[12][0-9]|3[01]) ([01][0-9]|2[0-3]):[0-5][0-9]:[0-6][0-9] [0-9]{4}");
  if (s.size() != 24 || !std::regex_match(s.begin(), s.end(), shape)) return false;
  return s[8] != (ctimeDayPad() == ' ' ? '0' : ' ');  // only the platform's own padding
}

bool startsWith(std::string_view s, std::size_t at, std::string_view prefix) {
  return s.size() - at >= prefix.size() && s.compare(at, prefix.size(), prefix) == 0;
}

struct Matcher {
  const Pattern& pattern;
  std::string_view actual;
  std::size_t furthest = 0;

  bool from(std::size_t piece, std::size_t at) {
    furthest = std::max(furthest, at);
    if (piece == pattern.size()) return at == actual.size();
    const Piece& p = pattern[piece];
    switch (p.kind) {
      case Piece::Kind::literal:
        return startsWith(actual, at, p.text) && from(piece + 1, at + p.text.size());
      case Piece::Kind::ctime:
        return actual.size() - at >= 24 && isCtimeShape(actual.substr(at, 24)) &&
               from(piece + 1, at + 24);
      case Piece::Kind::platformText:
        for (std::size_t end = at; end < actual.size(); ++end) {
          if (actual[end] == '\n' || actual[end] == '\r') break;
          if (from(piece + 1, end + 1)) return true;
        }
        return false;
      case Piece::Kind::anyOrder: {
        std::vector<bool> used(p.lines.size(), false);
        return unordered(piece, at, used, p.lines.size());
      }
    }
    return false;
  }

  bool unordered(std::size_t piece, std::size_t at, std::vector<bool>& used, std::size_t left) {
    furthest = std::max(furthest, at);
    if (left == 0) return from(piece + 1, at);
    const std::vector<std::string>& lines = pattern[piece].lines;
    for (std::size_t i = 0; i < lines.size(); ++i) {
      if (used[i] || !startsWith(actual, at, lines[i])) continue;
      // Identical lines are interchangeable: trying the first unused one is enough.
      bool earlierTwin = false;
      for (std::size_t j = 0; j < i && !earlierTwin; ++j)
        earlierTwin = !used[j] && lines[j] == lines[i];
      if (earlierTwin) continue;
      used[i] = true;
      if (unordered(piece, at + lines[i].size(), used, left - 1)) return true;
      used[i] = false;
    }
    return false;
  }
};

// Bytes made readable: valid UTF-8 stays, CR and LF are shown, anything else as \xNN.
std::string readable(std::string_view bytes) {
  std::string out;
  for (std::size_t i = 0; i < bytes.size();) {
    const unsigned char c = static_cast<unsigned char>(bytes[i]);
    std::size_t length = c < 0x80         ? 1
                         : (c >> 5) == 6  ? 2
                         : (c >> 4) == 14 ? 3
                         : (c >> 3) == 30 ? 4
                                          : 0;
    bool valid = length > 0 && i + length <= bytes.size();
    for (std::size_t k = 1; valid && k < length; ++k) {
      valid = (static_cast<unsigned char>(bytes[i + k]) & 0xC0) == 0x80;
    }
    if (c == '\n') {
      out += "\\n\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (valid && (c >= 0x20 || c == '\t') && c != 0x7F) {
      out.append(bytes.substr(i, length));
      i += length;
      continue;
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    }
    ++i;
  }
  return out;
}

std::string readable(const Pattern& pattern) {
  std::string out;
  for (const Piece& p : pattern) {
    switch (p.kind) {
      case Piece::Kind::literal:
        out += readable(p.text);
        break;
      case Piece::Kind::platformText:
        out += "<platform text>";
        break;
      case Piece::Kind::ctime:
        out += "<ctime>";
        break;
      case Piece::Kind::anyOrder:
        out += "<in any order:\n";
        for (const std::string& line : p.lines) out += "  " + readable(line);
        out += ">\n";
        break;
    }
  }
  return out;
}

Pattern mapLiterals(Pattern pattern, const std::function<std::string(const std::string&)>& f) {
  for (Piece& p : pattern) {
    if (p.kind == Piece::Kind::literal) p.text = f(p.text);
    for (std::string& line : p.lines) line = f(line);
  }
  return pattern;
}

void restoreAccess(const fs::path& dir) {
  std::error_code ignored;
  fs::permissions(dir, fs::perms::owner_all, fs::perm_options::add, ignored);
  for (fs::directory_iterator it(dir, ignored), end; !ignored && it != end; it.increment(ignored)) {
    if (it->is_directory(ignored) && !it->is_symlink(ignored)) restoreAccess(it->path());
  }
}

}  // namespace

std::vector<std::string> launchCommand() {
  const char* override = std::getenv("PAIRWICK_E2E_COMMAND");
  if (override != nullptr && !splitOnBlanks(override).empty()) return splitOnBlanks(override);
  return {PAIRWICK_BINARY};
}

void prepareLaunch() { setProgramLocale(targetIsWindows(), {}); }

// ---- Platform differences ----

bool targetIsWindows() {
  for (const std::string& word : launchCommand()) {
    if (word.size() >= 4) {
      std::string tail = word.substr(word.size() - 4);
      std::transform(tail.begin(), tail.end(), tail.begin(),
                     [](unsigned char c) { return std::tolower(c); });
      if (tail == ".exe") return true;
    }
  }
  return false;
}

std::string separator() { return targetIsWindows() ? "\\" : "/"; }

std::string programPath(const fs::path& dir) {
  if (!targetIsWindows()) return dir.native();
  std::string path = "Z:" + dir.native();  // Wine's drive for the POSIX root
  std::replace(path.begin(), path.end(), '/', '\\');
  return path;
}

std::string standardErrorBytes(std::string_view utf8) {
  return targetIsWindows() ? cp932(utf8) : std::string(utf8);
}

// ---- Bytes and files ----

std::string cp932(std::string_view utf8) { return convert(utf8, "CP932", "UTF-8"); }

std::string withCrLf(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

void writeBytes(const fs::path& file, std::string_view bytes) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) throw std::runtime_error("cannot write " + file.native());
}

std::string readBytes(const fs::path& file, std::uintmax_t limit) {
  std::ifstream in(file, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + file.native());
  std::string content;
  char buffer[65536];
  while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
    const auto count = static_cast<std::size_t>(in.gcount());
    if (content.size() + count > limit) {
      throw std::runtime_error(file.native() + " holds more than the " + std::to_string(limit) +
                               " bytes read back of it");
    }
    content.append(buffer, count);
  }
  return content;
}

void makeTree(const fs::path& dir, const std::vector<std::string>& entries) {
  fs::create_directories(dir);
  for (const std::string& entry : entries) {
    if (!entry.empty() && entry.back() == '/') {
      fs::create_directories(dir / entry);
    } else {
      fs::create_directories((dir / entry).parent_path());
      writeBytes(dir / entry, "content of " + entry + "\n");
    }
  }
}

std::string longJapanesePath(std::size_t characters) {
  // Characters from the ranges whose second byte in code page 932 is 0x5C or a letter, so that
  // a separator or case rule that touched a second byte would show.
  static const std::string kName = "深い階層の表示用ソース十能フォルダ";
  constexpr std::size_t kNameCharacters = 80;
  std::string path;
  std::size_t count = 0;
  for (std::size_t name = 1; count < characters; ++name) {
    if (!path.empty()) {
      path += '/';
      ++count;
    }
    std::string component = std::to_string(name);
    std::size_t componentCount = component.size();
    const std::size_t wanted = std::min(kNameCharacters, characters - count);
    for (std::size_t at = 0; componentCount < wanted;) {
      const std::size_t length = (static_cast<unsigned char>(kName[at]) >> 4) == 0xE ? 3 : 1;
      component += kName.substr(at, length);
      ++componentCount;
      at = (at + length) % kName.size();
    }
    path += component;
    count += componentCount;
  }
  return path;
}

std::size_t characterCount(std::string_view utf8) {
  return static_cast<std::size_t>(std::count_if(utf8.begin(), utf8.end(), [](char c) {
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  }));
}

std::vector<std::string> listNames(const fs::path& dir) {
  std::vector<std::string> names;
  for (const fs::directory_entry& entry : fs::directory_iterator(dir)) {
    names.push_back(entry.path().filename().native());
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::string> reportNames(const fs::path& dir) {
  static const std::regex shape("pairwick_[0-9]{8}_[0-9]{6}\\.txt");
  std::vector<std::string> names;
  for (const std::string& name : listNames(dir)) {
    if (std::regex_match(name, shape) && fs::is_regular_file(dir / name)) names.push_back(name);
  }
  return names;
}

std::vector<std::string> reportNamesAround(int fromSeconds, int toSeconds) {
  std::vector<std::string> names;
  const std::time_t now = std::time(nullptr);
  for (int offset = fromSeconds; offset <= toSeconds; ++offset) {
    const std::time_t t = now + offset;
    std::tm local{};
    localtime_r(&t, &local);
    char name[64];
    std::strftime(name, sizeof name, "pairwick_%Y%m%d_%H%M%S.txt", &local);
    if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
  }
  return names;
}

// ---- Running ----

std::chrono::seconds runPatience() {
  // The sanitizers make the program a few times slower; Wine starts every run anew.
  const int scale = (kSanitized ? 3 : 1) * (targetIsWindows() ? 2 : 1);
  return std::chrono::seconds(30 * scale);
}

namespace {

// What ends a wait of runPatience() for `what`, once the run waited for has been killed.
GaveUpWaiting gaveUpOn(const std::string& what) {
  return GaveUpWaiting("gave up after " + std::to_string(runPatience().count()) +
                       " s waiting for " + what + "; killed");
}

}  // namespace

int awaitExit(pid_t pid, const std::string& what) {
  const auto deadline = std::chrono::steady_clock::now() + runPatience();
  auto pause = std::chrono::milliseconds(1);
  int status = 0;
  for (;;) {
    const pid_t ended = waitpid(pid, &status, WNOHANG);
    if (ended == pid) return status;
    if (ended < 0 && errno != EINTR) throw std::runtime_error("waitpid failed");
    if (std::chrono::steady_clock::now() >= deadline) break;
    std::this_thread::sleep_for(pause);
    pause = std::min(2 * pause, std::chrono::milliseconds(10));
  }
  kill(-pid, SIGKILL);
  kill(pid, SIGKILL);
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  throw gaveUpOn(what + " to end");
}

RunResult runProgram(const fs::path& cwd, const std::vector<std::string>& arguments) {
  std::vector<std::string> command = launchCommand();
  command.insert(command.end(), arguments.begin(), arguments.end());
  return execute(command, cwd);
}

RunResult runPosixBuild(const fs::path& cwd) { return execute({PAIRWICK_BINARY}, cwd); }

namespace {

// The folder of the Wine prefix's drive and share links (the prefix that scripts/windows-run.sh
// makes for this user).
fs::path wineDosDevices() {
  const char* root = std::getenv("PAIRWICK_WINE_ROOT");
  return std::string(root != nullptr && *root != '\0' ? root : "/tmp/pairwick-wine") + "-" +
         std::to_string(geteuid()) + "/prefix/dosdevices";
}

}  // namespace

fs::path wineDriveC() { return fs::canonical(wineDosDevices() / "c:"); }

WineShare::WineShare(const std::string& server, const std::string& share,
                     const fs::path& hostFolder) {
  // Wine reads a share's path from dosdevices/unc/server/share, a drive's from dosdevices/x:, in
  // lower case.
  std::string name = server.empty() ? share : "unc/" + server + "/" + share;
  std::transform(name.begin(), name.end(), name.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  link = wineDosDevices() / name;
  fs::create_directories(link.parent_path());
  fs::remove(link);
  fs::create_directory_symlink(hostFolder, link);
}

WineShare::WineShare(WineShare&& other) noexcept : link(std::move(other.link)) {
  other.link.clear();
}

WineShare::~WineShare() {
  std::error_code ignored;
  if (!link.empty()) fs::remove(link, ignored);
}

WineShare mapWineShare(const std::string& server, const std::string& share,
                       const fs::path& hostFolder) {
  return WineShare(server, share, hostFolder);
}

const SmbShare* smbShare() {
  static const std::optional<SmbShare> share = []() -> std::optional<SmbShare> {
    const char* state = std::getenv("PAIRWICK_SMB_SHARE");
    if (state == nullptr || *state == '\0') return std::nullopt;
    // The assignments that smb_share.sh start writes, one a line.
    const fs::path env = fs::path(state) / "env";
    std::istringstream lines(readBytes(env, 64 << 10));
    SmbShare found;
    for (std::string line; std::getline(lines, line);) {
      if (line.rfind("SHARE=", 0) == 0) found.backing = line.substr(6);
      if (line.rfind("MOUNT=", 0) == 0) found.mount = line.substr(6);
    }
    if (found.backing.empty() || found.mount.empty()) {
      throw std::runtime_error(env.native() + " names no share and mount of a started server");
    }
    return found;
  }();
  return share ? &*share : nullptr;
}

std::string smbShareAbsence() {
  return "PAIRWICK_SMB_SHARE names no SMB share: start one as root with `tests/smb_share.sh start "
         "STATE` and set PAIRWICK_SMB_SHARE=STATE (ctest does both)";
}

RunResult runProgramInLocale(const fs::path& cwd, const std::string& locale) {
  return execute(launchCommand(), cwd, locale);
}

HeldRun startHeldRun(const fs::path& cwd) {
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  HeldRun run;
  run.output = pipeFds[0];
  run.errors = captureFile();
  run.pid = spawn(launchCommand(), cwd, pipeFds[1], run.errors);
  close(pipeFds[1]);
  return run;
}

namespace {

// Kills a held run that the test gives up on, with everything it started.
void abandonHeldRun(HeldRun& run) {
  kill(-run.pid, SIGKILL);
  killHeldRun(run);
}

}  // namespace

bool waitUntilHeld(HeldRun& run) {
  const auto deadline = std::chrono::steady_clock::now() + runPatience();
  while (std::chrono::steady_clock::now() < deadline) {
    int waiting = 0;
    if (ioctl(run.output, FIONREAD, &waiting) == 0 && waiting >= 65536) return true;
    // An ended run stays to be reaped by releaseHeldRun.
    siginfo_t info{};
    if (waitid(P_PID, static_cast<id_t>(run.pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0 ||
        info.si_pid == run.pid) {
      return false;
    }
    usleep(10000);
  }
  abandonHeldRun(run);
  throw gaveUpOn("the held run to fill its output or end");
}

RunResult releaseHeldRun(HeldRun& run) {
  RunResult result;
  fcntl(run.output, F_SETFL, O_NONBLOCK);
  char buffer[65536];
  int status = 0;
  bool ended = false;
  const auto deadline = std::chrono::steady_clock::now() + runPatience();
  // The output is read until the process has ended and nothing more is waiting: under Wine the
  // pipe's writing end outlives the program.
  for (;;) {
    const ssize_t n = read(run.output, buffer, sizeof buffer);
    if (n > 0) {
      if (result.console.size() + static_cast<std::size_t>(n) > kRunOutputLimit) {
        abandonHeldRun(run);
        throw std::runtime_error("the released run's output holds more than the " +
                                 std::to_string(kRunOutputLimit) + " bytes read back of it");
      }
      result.console.append(buffer, static_cast<std::size_t>(n));
      continue;
    }
    if (ended) break;
    ended = waitpid(run.pid, &status, WNOHANG) == run.pid;
    if (!ended && std::chrono::steady_clock::now() >= deadline) {
      abandonHeldRun(run);
      throw gaveUpOn("the released run to end");
    }
    if (!ended) usleep(2000);
  }
  close(run.output);
  result.standardError = readAll(run.errors);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  run = HeldRun{};
  return result;
}

void killHeldRun(HeldRun& run) {
  kill(run.pid, SIGKILL);
  int status = 0;
  waitpid(run.pid, &status, 0);
  close(run.output);
  close(run.errors);
  run = HeldRun{};
}

void handOverToUnprivileged(const fs::path& tree) {
  if (!runningAsRoot()) return;
  const auto give = [](const fs::path& p) {
    if (lchown(p.c_str(), kUnprivilegedId, kUnprivilegedId) != 0) {
      throw std::runtime_error("lchown failed: " + p.native());
    }
  };
  give(tree);
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(tree))
    give(entry.path());
}

RunResult runProgramUnprivileged(const fs::path& tree, const fs::path& cwd) {
  std::vector<std::string> command = launchCommand();
  if (command.size() == 1 && command.front() == PAIRWICK_BINARY) {
    const fs::path copy = tree / "bin" / "pairwick";
    fs::create_directories(copy.parent_path());
    fs::copy_file(PAIRWICK_BINARY, copy, fs::copy_options::overwrite_existing);
    fs::permissions(copy, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                              fs::perms::others_read | fs::perms::others_exec);
    command = {copy.native()};
  }
  handOverToUnprivileged(tree);
  return execute(asUnprivileged(command), cwd);
}

bool deniedToUnprivileged(const fs::path& cwd, const std::string& shellCommand) {
  return execute(asUnprivileged({"/bin/sh", "-c", shellCommand + " 2>/dev/null"}), cwd).status != 0;
}

// ---- Patterns ----

Pattern lit(std::string text) { return {Piece{Piece::Kind::literal, std::move(text), {}}}; }
Pattern platformText() { return {Piece{Piece::Kind::platformText, {}, {}}}; }
Pattern ctimeText() { return {Piece{Piece::Kind::ctime, {}, {}}}; }
Pattern anyOrder(std::vector<std::string> lines) {
  if (lines.empty()) return {};
  return {Piece{Piece::Kind::anyOrder, {}, std::move(lines)}};
}

Pattern operator+(Pattern a, const Pattern& b) {
  for (const Piece& p : b) {
    if (p.kind == Piece::Kind::literal && !a.empty() && a.back().kind == Piece::Kind::literal) {
      a.back().text += p.text;
    } else {
      a.push_back(p);
    }
  }
  return a;
}
Pattern operator+(Pattern a, const std::string& b) { return std::move(a) + lit(b); }
Pattern operator+(const std::string& a, const Pattern& b) { return lit(a) + b; }
Pattern& operator+=(Pattern& a, const Pattern& b) { return a = std::move(a) + b; }
Pattern& operator+=(Pattern& a, const std::string& b) { return a = std::move(a) + lit(b); }

Pattern asFinalLog(const Pattern& utf8Log) {
  return lit(kBom) + mapLiterals(utf8Log, [](const std::string& s) { return withCrLf(s); });
}

Pattern asTempLog(const Pattern& utf8Log) {
  return mapLiterals(utf8Log, [](const std::string& s) { return withCrLf(cp932(s)); });
}

Pattern asStandardError(const Pattern& utf8) {
  return mapLiterals(utf8, [](const std::string& s) { return standardErrorBytes(s); });
}

std::uintmax_t readLimitFor(const Pattern& expected) {
  std::uintmax_t bytes = 0;
  for (const Piece& piece : expected) {
    bytes += piece.text.size();
    for (const std::string& line : piece.lines) bytes += line.size();
  }
  return kReadBackLimit + bytes;
}

::testing::AssertionResult matches(const Pattern& expected, const std::string& actual) {
  Matcher matcher{expected, actual};
  if (matcher.from(0, 0)) return ::testing::AssertionSuccess();
  const std::size_t at = std::min(matcher.furthest, actual.size());
  const std::size_t line =
      static_cast<std::size_t>(
          std::count(actual.begin(), actual.begin() + static_cast<std::ptrdiff_t>(at), '\n')) +
      1;
  return ::testing::AssertionFailure()
         << "\n--- expected:\n"
         << readable(expected) << "\n--- actual (" << actual.size() << " bytes):\n"
         << readable(actual) << "\n--- the actual bytes stop matching at byte " << at << " (line "
         << line << "): " << readable(actual.substr(at, 80)) << "\n";
}

// ---- Fixture ----

void ScratchTest::SetUp() {
  std::string templ = (fs::temp_directory_path() / "pairwick_e2e_XXXXXX").native();
  ASSERT_NE(mkdtemp(templ.data()), nullptr);
  root_ = fs::canonical(templ);
  work_ = root_ / "work";
  fs::create_directory(work_);
  base_ = programPath(work_);
}

fs::path ScratchTest::caseDir(const std::string& name) {
  const fs::path dir = root_ / name;
  fs::create_directories(dir);
  return dir;
}

void ScratchTest::TearDown() {
  if (root_.empty()) return;
  const char* keep = std::getenv("PAIRWICK_E2E_KEEP");
  if (keep != nullptr && *keep != '\0') {
    std::printf("scratch tree kept: %s\n", root_.c_str());
    return;
  }
  if (!runningAsRoot()) restoreAccess(root_);
  std::error_code ignored;
  fs::remove_all(root_, ignored);
}

}  // namespace pairwick::e2e
