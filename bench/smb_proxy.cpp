// A TCP proxy in front of an SMB server that delays every request by a round trip and counts the
// SMB2 commands of each kind: the benchmark's network between the client and a real server.
//
// usage: pairwick_smb_proxy --listen PORT --to PORT [--delay-ms MS] --counts FILE
//
// Listens on 127.0.0.1:PORT and forwards each connection to 127.0.0.1:TO. Each message from the
// client (NetBIOS session framing: a zero byte, then a 24-bit big-endian length) is held until MS
// milliseconds after it arrived in full, then sent on, in order; answers go back at once. With a
// client that waits for each answer before its next request, every request thus costs one round
// trip of MS. A message's SMB2 commands (protocol id 0xFE 'S' 'M' 'B', command at offset 12; a
// compound chain followed by NextCommand at offset 20) are counted by kind. On SIGUSR1 the counts
// so far are written to FILE ("name count" a line, replaced whole); on SIGTERM or SIGINT too, and
// the proxy ends. Besides the commands, FILE tells the messages (round trips), and how late the
// delayed messages left on average and at worst, so that the delay's accuracy is on record.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::array<const char*, 19> kCommandNames = {
    "NEGOTIATE",     "SESSION_SETUP", "LOGOFF",   "TREE_CONNECT", "TREE_DISCONNECT",
    "CREATE",        "CLOSE",         "FLUSH",    "READ",         "WRITE",
    "LOCK",          "IOCTL",         "CANCEL",   "ECHO",         "QUERY_DIRECTORY",
    "CHANGE_NOTIFY", "QUERY_INFO",    "SET_INFO", "OPLOCK_BREAK"};

struct Counts {
  std::array<std::atomic<std::uint64_t>, kCommandNames.size()> commands{};
  std::atomic<std::uint64_t> unknownCommands{0};
  std::atomic<std::uint64_t> messages{0};
  std::atomic<std::uint64_t> otherMessages{0};  // not SMB2 (SMB1, transformed, keep-alives)
  std::atomic<std::uint64_t> lateNanoseconds{0};
  std::atomic<std::uint64_t> latestNanoseconds{0};
};
Counts counts;
std::chrono::nanoseconds delay{0};

std::uint16_t little16(const unsigned char* at) {
  return static_cast<std::uint16_t>(at[0] | (at[1] << 8));
}
std::uint32_t little32(const unsigned char* at) {
  return static_cast<std::uint32_t>(at[0]) | (static_cast<std::uint32_t>(at[1]) << 8) |
         (static_cast<std::uint32_t>(at[2]) << 16) | (static_cast<std::uint32_t>(at[3]) << 24);
}

// Counts the commands of one message (without its four framing bytes).
void countMessage(const unsigned char* message, std::size_t length) {
  counts.messages.fetch_add(1, std::memory_order_relaxed);
  std::size_t at = 0;
  for (;;) {
    if (length - at < 64 || std::memcmp(message + at, "\xFESMB", 4) != 0) {
      if (at == 0) counts.otherMessages.fetch_add(1, std::memory_order_relaxed);
      return;
    }
    const std::uint16_t command = little16(message + at + 12);
    if (command < kCommandNames.size()) {
      counts.commands[command].fetch_add(1, std::memory_order_relaxed);
    } else {
      counts.unknownCommands.fetch_add(1, std::memory_order_relaxed);
    }
    const std::uint32_t next = little32(message + at + 20);
    if (next == 0 || next > length - at) return;
    at += next;
  }
}

bool readAll(int fd, unsigned char* buffer, std::size_t length) {
  while (length > 0) {
    const ssize_t got = read(fd, buffer, length);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    buffer += got;
    length -= static_cast<std::size_t>(got);
  }
  return true;
}

bool writeAll(int fd, const unsigned char* buffer, std::size_t length) {
  while (length > 0) {
    const ssize_t put = write(fd, buffer, length);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    buffer += put;
    length -= static_cast<std::size_t>(put);
  }
  return true;
}

// Messages from the client on their way to the server, each leaving at its due time.
struct DelayLine {
  std::mutex mutex;
  std::condition_variable changed;
  struct Message {
    Clock::time_point due;
    std::vector<unsigned char> bytes;  // framing included
  };
  std::deque<Message> queue;
  bool closed = false;
};

void sendDelayed(DelayLine& line, int server) {
  for (;;) {
    DelayLine::Message message;
    {
      std::unique_lock<std::mutex> lock(line.mutex);
      line.changed.wait(lock, [&] { return line.closed || !line.queue.empty(); });
      if (line.queue.empty()) break;
      message = std::move(line.queue.front());
      line.queue.pop_front();
    }
    std::this_thread::sleep_until(message.due);
    const auto late =
        std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - message.due).count();
    counts.lateNanoseconds.fetch_add(static_cast<std::uint64_t>(late), std::memory_order_relaxed);
    for (auto latest = counts.latestNanoseconds.load();
         static_cast<std::uint64_t>(late) > latest &&
         !counts.latestNanoseconds.compare_exchange_weak(latest,
                                                         static_cast<std::uint64_t>(late));) {
    }
    if (!writeAll(server, message.bytes.data(), message.bytes.size())) break;
  }
  shutdown(server, SHUT_WR);
}

// Reads the client's messages whole, counts them and hands them to the delay line.
void receiveRequests(int client, DelayLine& line) {
  for (;;) {
    std::vector<unsigned char> bytes(4);
    if (!readAll(client, bytes.data(), 4)) break;
    const std::size_t length = (static_cast<std::size_t>(bytes[1]) << 16) |
                               (static_cast<std::size_t>(bytes[2]) << 8) | bytes[3];
    bytes.resize(4 + length);
    if (!readAll(client, bytes.data() + 4, length)) break;
    const Clock::time_point due = Clock::now() + delay;
    if (bytes[0] == 0) countMessage(bytes.data() + 4, length);
    {
      std::lock_guard<std::mutex> lock(line.mutex);
      line.queue.push_back({due, std::move(bytes)});
    }
    line.changed.notify_one();
  }
  {
    std::lock_guard<std::mutex> lock(line.mutex);
    line.closed = true;
  }
  line.changed.notify_one();
}

void copyAnswers(int server, int client) {
  std::vector<unsigned char> buffer(256 * 1024);
  for (;;) {
    const ssize_t got = read(server, buffer.data(), buffer.size());
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0 || !writeAll(client, buffer.data(), static_cast<std::size_t>(got))) break;
  }
  shutdown(client, SHUT_WR);
}

int connectTo(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

void serve(int client, int serverPort) {
  const int server = connectTo(serverPort);
  if (server < 0) {
    std::perror("smb_proxy: connect to the server");
    close(client);
    return;
  }
  // Small messages leave as soon as they are due, not when Nagle's algorithm lets them.
  const int on = 1;
  setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  setsockopt(server, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  DelayLine line;
  std::thread sender(sendDelayed, std::ref(line), server);
  std::thread answers(copyAnswers, server, client);
  receiveRequests(client, line);
  sender.join();
  answers.join();
  close(server);
  close(client);
}

void writeCounts(const std::string& path) {
  const std::string temporary = path + ".tmp";
  std::FILE* file = std::fopen(temporary.c_str(), "w");
  if (file == nullptr) {
    std::perror("smb_proxy: counts file");
    return;
  }
  const auto messages = counts.messages.load();
  const auto late = counts.lateNanoseconds.load();
  std::fprintf(file, "messages %llu\n", static_cast<unsigned long long>(messages));
  std::fprintf(file, "other_messages %llu\n",
               static_cast<unsigned long long>(counts.otherMessages.load()));
  for (std::size_t i = 0; i < kCommandNames.size(); ++i) {
    std::fprintf(file, "%s %llu\n", kCommandNames[i],
                 static_cast<unsigned long long>(counts.commands[i].load()));
  }
  std::fprintf(file, "unknown_commands %llu\n",
               static_cast<unsigned long long>(counts.unknownCommands.load()));
  std::fprintf(file, "late_mean_us %.1f\n", messages ? late / 1e3 / messages : 0.0);
  std::fprintf(file, "late_max_us %.1f\n", counts.latestNanoseconds.load() / 1e3);
  std::fclose(file);
  std::rename(temporary.c_str(), path.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  int listenPort = 0;
  int serverPort = 0;
  std::string countsPath;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string option = argv[i];
    if (option == "--listen") {
      listenPort = std::atoi(argv[i + 1]);
    } else if (option == "--to") {
      serverPort = std::atoi(argv[i + 1]);
    } else if (option == "--delay-ms") {
      delay = std::chrono::nanoseconds(static_cast<long long>(std::atof(argv[i + 1]) * 1e6));
    } else if (option == "--counts") {
      countsPath = argv[i + 1];
    }
  }
  if (listenPort <= 0 || serverPort <= 0 || countsPath.empty() || argc % 2 == 0) {
    std::fprintf(stderr,
                 "usage: pairwick_smb_proxy --listen PORT --to PORT [--delay-ms MS] --counts "
                 "FILE\n");
    return 2;
  }
  // The timers' default slack (50 us) would add to every delay.
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  // The signals are taken by a thread of their own; every other thread has them blocked.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGUSR1);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int on = 1;
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(listenPort));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener, 64) != 0) {
    std::perror("smb_proxy: listen");
    return 1;
  }
  writeCounts(countsPath);
  std::thread([&] {
    for (;;) {
      int received = 0;
      if (sigwait(&signals, &received) != 0) continue;
      writeCounts(countsPath);
      if (received != SIGUSR1) std::_Exit(0);
    }
  }).detach();
  for (;;) {
    const int client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      std::perror("smb_proxy: accept");
      return 1;
    }
    std::thread(serve, client, serverPort).detach();
  }
}
