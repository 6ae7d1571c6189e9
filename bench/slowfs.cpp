// Read-only FUSE mirror of a folder in which every request waits a fixed delay, as a round trip to
// a file server does: a file share stand-in for the benchmark.
//
// usage: slowfs [--delay-ms MS] [--counts FILE] SOURCE MOUNTPOINT [FUSE options, e.g. -f,
//               -o max_threads=N]
//
// Every request that the kernel waits for an answer to pays the delay: lookups, status queries,
// access checks, opens of files and folders, each read of a folder listing (the one that finds
// its end included), link reads, file reads, file system status, and the closes (release,
// releasedir). Only forgets, which get no answer, are free. The kernel sends a folder's close in
// the background, so a close delays the mirror's threads but not the program that closed it
// (unlike a CIFS client's, which waits for the server). Names and attributes are cached for one
// second, as by a CIFS client's default actimeo=1; listings carry every entry's attributes
// (READDIRPLUS), as a share's do. Access checks are the mirror's (no default_permissions): the
// kernel asks it for each access() and chdir(), as an NFS client asks its server, and it answers
// as the user that mounted it.
//
// The delay is a sleep inside the worker thread that serves the request; the loop is
// multithreaded, so requests made in parallel wait in parallel, as they do against a real server.
// Each kind of request is counted; with --counts the counts are written to FILE ("name count" a
// line) whenever they change, at most ten times a second, and when the mirror is unmounted.
#define FUSE_USE_VERSION 312

#include <fuse_lowlevel.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
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
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

std::chrono::microseconds request_delay{10000};
constexpr double kCacheSeconds = 1.0;

// The kinds of request counted, in the order the counts are written.
enum Request {
  kLookup,
  kForget,
  kGetattr,
  kReadlink,
  kAccess,
  kOpen,
  kRead,
  kRelease,
  kOpendir,
  kReaddir,
  kReaddirplus,
  kReleasedir,
  kStatfs,
  kRequestKinds
};
constexpr std::array<const char*, kRequestKinds> kRequestNames = {
    "lookup",  "forget",  "getattr", "readlink",    "access",     "open",  "read",
    "release", "opendir", "readdir", "readdirplus", "releasedir", "statfs"};
std::array<std::atomic<std::uint64_t>, kRequestKinds> counts{};

// One request of `kind`: counted, then answered after the delay.
void roundTrip(Request kind) {
  counts[kind].fetch_add(1, std::memory_order_relaxed);
  if (request_delay.count() > 0) std::this_thread::sleep_for(request_delay);
}

// The source folder; every object is reached by its path relative to it. (A descriptor per object
// the kernel knows would run out: the kernel keeps tens of thousands of them.)
int source_fd = -1;

// A source object the kernel knows, with the number of lookups the kernel has not forgotten yet.
// The kernel's node id is the object's address; the root's is 1.
struct Node {
  std::string path;  // relative to the source folder
  dev_t device = 0;
  ino_t inode = 0;
  std::uint64_t lookups = 0;
};

Node root_node{".", 0, 0, 0};
std::mutex nodes_mutex;
std::map<std::pair<dev_t, ino_t>, Node*> nodes;

Node& nodeOf(fuse_ino_t ino) {
  return ino == FUSE_ROOT_ID ? root_node : *reinterpret_cast<Node*>(static_cast<uintptr_t>(ino));
}

fuse_ino_t idOf(Node& node) {
  return &node == &root_node ? FUSE_ROOT_ID
                             : static_cast<fuse_ino_t>(reinterpret_cast<uintptr_t>(&node));
}

int statusOf(const Node& node, struct stat* st) {
  return fstatat(source_fd, node.path.c_str(), st, AT_SYMLINK_NOFOLLOW) == 0 ? 0 : errno;
}

// The entry `name` of the folder `parent`, counted as one more lookup of its node; 0 or an error.
int lookUp(Node& parent, const char* name, fuse_entry_param* entry) {
  *entry = fuse_entry_param{};
  std::string path = &parent == &root_node ? std::string(name) : parent.path + "/" + name;
  if (fstatat(source_fd, path.c_str(), &entry->attr, AT_SYMLINK_NOFOLLOW) != 0) return errno;
  Node* node;
  {
    const std::lock_guard<std::mutex> lock(nodes_mutex);
    Node*& found = nodes[{entry->attr.st_dev, entry->attr.st_ino}];
    if (found == nullptr) {
      found = new Node{std::move(path), entry->attr.st_dev, entry->attr.st_ino, 0};
    }
    node = found;
    ++node->lookups;
  }
  entry->ino = idOf(*node);
  entry->attr_timeout = kCacheSeconds;
  entry->entry_timeout = kCacheSeconds;
  return 0;
}

void forgetNode(fuse_ino_t ino, std::uint64_t lookups) {
  if (ino == FUSE_ROOT_ID) return;
  Node& node = nodeOf(ino);
  const std::lock_guard<std::mutex> lock(nodes_mutex);
  node.lookups -= std::min(lookups, node.lookups);
  if (node.lookups == 0) {
    nodes.erase({node.device, node.inode});
    delete &node;
  }
}

int openNode(const Node& node, int flags) {
  return openat(source_fd, node.path.c_str(), flags | O_NOFOLLOW | O_CLOEXEC);
}

void sf_lookup(fuse_req_t req, fuse_ino_t parent, const char* name) {
  roundTrip(kLookup);
  fuse_entry_param entry;
  if (const int error = lookUp(nodeOf(parent), name, &entry)) {
    if (error != ENOENT) {
      fuse_reply_err(req, error);
      return;
    }
    entry = fuse_entry_param{};  // a negative entry, not cached
  }
  fuse_reply_entry(req, &entry);
}

void sf_forget(fuse_req_t req, fuse_ino_t ino, uint64_t nlookup) {
  counts[kForget].fetch_add(1, std::memory_order_relaxed);
  forgetNode(ino, nlookup);
  fuse_reply_none(req);
}

void sf_forget_multi(fuse_req_t req, size_t count, fuse_forget_data* forgets) {
  counts[kForget].fetch_add(1, std::memory_order_relaxed);
  for (size_t i = 0; i < count; ++i) forgetNode(forgets[i].ino, forgets[i].nlookup);
  fuse_reply_none(req);
}

void sf_getattr(fuse_req_t req, fuse_ino_t ino, fuse_file_info*) {
  roundTrip(kGetattr);
  struct stat st;
  if (const int error = statusOf(nodeOf(ino), &st)) {
    fuse_reply_err(req, error);
    return;
  }
  fuse_reply_attr(req, &st, kCacheSeconds);
}

void sf_readlink(fuse_req_t req, fuse_ino_t ino) {
  roundTrip(kReadlink);
  char target[PATH_MAX + 1];
  const ssize_t length = readlinkat(source_fd, nodeOf(ino).path.c_str(), target, PATH_MAX);
  if (length < 0) {
    fuse_reply_err(req, errno);
    return;
  }
  target[length] = '\0';
  fuse_reply_readlink(req, target);
}

void sf_access(fuse_req_t req, fuse_ino_t ino, int mask) {
  roundTrip(kAccess);
  const bool allowed = faccessat(source_fd, nodeOf(ino).path.c_str(), mask, AT_EACCESS) == 0;
  fuse_reply_err(req, allowed ? 0 : errno);
}

void sf_open(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
  roundTrip(kOpen);
  if ((fi->flags & O_ACCMODE) != O_RDONLY) {
    fuse_reply_err(req, EROFS);
    return;
  }
  const int fd = openNode(nodeOf(ino), O_RDONLY);
  if (fd < 0) {
    fuse_reply_err(req, errno);
    return;
  }
  fi->fh = static_cast<uint64_t>(fd);
  if (fuse_reply_open(req, fi) != 0) close(fd);
}

void sf_read(fuse_req_t req, fuse_ino_t, size_t size, off_t offset, fuse_file_info* fi) {
  roundTrip(kRead);
  std::vector<char> data(size);
  const ssize_t got = pread(static_cast<int>(fi->fh), data.data(), size, offset);
  if (got < 0) {
    fuse_reply_err(req, errno);
    return;
  }
  fuse_reply_buf(req, data.data(), static_cast<size_t>(got));
}

void sf_release(fuse_req_t req, fuse_ino_t, fuse_file_info* fi) {
  roundTrip(kRelease);
  close(static_cast<int>(fi->fh));
  fuse_reply_err(req, 0);
}

// An open folder: its stream and the offset the stream stands at.
struct Folder {
  DIR* stream = nullptr;
  off_t offset = 0;
};

void sf_opendir(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
  roundTrip(kOpendir);
  const int fd = openNode(nodeOf(ino), O_RDONLY | O_DIRECTORY);
  if (fd < 0) {
    fuse_reply_err(req, errno);
    return;
  }
  DIR* const stream = fdopendir(fd);
  if (stream == nullptr) {
    const int error = errno;
    close(fd);
    fuse_reply_err(req, error);
    return;
  }
  fi->fh = reinterpret_cast<uint64_t>(new Folder{stream, 0});
  if (fuse_reply_open(req, fi) != 0) {
    closedir(stream);
    delete reinterpret_cast<Folder*>(fi->fh);
  }
}

// One read of a listing from `offset` on, at most `size` bytes of entries; with `plus`, each entry
// carries its attributes and counts as a lookup ("." and ".." excepted, which the kernel ignores).
void readListing(fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset, fuse_file_info* fi,
                 bool plus) {
  roundTrip(plus ? kReaddirplus : kReaddir);
  Folder& folder = *reinterpret_cast<Folder*>(fi->fh);
  if (offset != folder.offset) {
    seekdir(folder.stream, offset);
    folder.offset = offset;
  }
  std::vector<char> buffer(size);
  size_t used = 0;
  int error = 0;
  for (;;) {
    errno = 0;
    const dirent* found = readdir(folder.stream);
    if (found == nullptr) {
      error = errno;
      break;
    }
    const off_t next = telldir(folder.stream);
    const bool dots = std::strcmp(found->d_name, ".") == 0 || std::strcmp(found->d_name, "..") == 0;
    size_t length;
    fuse_entry_param entry{};
    const int missed = plus && !dots ? lookUp(nodeOf(ino), found->d_name, &entry) : 0;
    if (missed == ENOENT) continue;  // gone meanwhile
    if (plus && !dots && missed == 0) {
      length = fuse_add_direntry_plus(req, buffer.data() + used, size - used, found->d_name, &entry,
                                      next);
    } else {
      // Without attributes (node id 0), the kernel looks the entry up when it needs them.
      entry.attr.st_ino = found->d_ino;
      entry.attr.st_mode = static_cast<mode_t>(DTTOIF(found->d_type));
      length = plus ? fuse_add_direntry_plus(req, buffer.data() + used, size - used, found->d_name,
                                             &entry, next)
                    : fuse_add_direntry(req, buffer.data() + used, size - used, found->d_name,
                                        &entry.attr, next);
    }
    if (length > size - used) {
      // It does not fit: the next read begins with it, and its lookup is not the kernel's.
      if (entry.ino != 0) forgetNode(entry.ino, 1);
      seekdir(folder.stream, folder.offset);
      break;
    }
    used += length;
    folder.offset = next;
  }
  if (used == 0 && error != 0) {
    fuse_reply_err(req, error);
    return;
  }
  fuse_reply_buf(req, buffer.data(), used);
}

void sf_readdir(fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset, fuse_file_info* fi) {
  readListing(req, ino, size, offset, fi, false);
}

void sf_readdirplus(fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset, fuse_file_info* fi) {
  readListing(req, ino, size, offset, fi, true);
}

void sf_releasedir(fuse_req_t req, fuse_ino_t, fuse_file_info* fi) {
  roundTrip(kReleasedir);
  Folder* const folder = reinterpret_cast<Folder*>(fi->fh);
  closedir(folder->stream);
  delete folder;
  fuse_reply_err(req, 0);
}

void sf_statfs(fuse_req_t req, fuse_ino_t) {
  roundTrip(kStatfs);
  struct statvfs st;
  if (fstatvfs(source_fd, &st) != 0) {
    fuse_reply_err(req, errno);
    return;
  }
  fuse_reply_statfs(req, &st);
}

void sf_init(void*, fuse_conn_info* conn) {
  // Listings bring every entry's attributes, as a share's listing does.
  if (conn->capable & FUSE_CAP_READDIRPLUS) conn->want |= FUSE_CAP_READDIRPLUS;
}

// The counts file: written whole under a temporary name and renamed, so that a reader never sees
// half of it.
class CountsWriter {
 public:
  explicit CountsWriter(std::string path) : path_(std::move(path)) {
    if (!path_.empty()) thread_ = std::thread([this] { run(); });
  }
  ~CountsWriter() {
    if (path_.empty()) return;
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_one();
    thread_.join();
    write();
  }

 private:
  void run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!wake_.wait_for(lock, std::chrono::milliseconds(100), [this] { return stopping_; })) {
      write();
    }
  }

  void write() {
    std::array<std::uint64_t, kRequestKinds> now;
    for (int i = 0; i < kRequestKinds; ++i) now[i] = counts[i].load(std::memory_order_relaxed);
    if (now == written_ && wroteOnce_) return;
    const std::string temporary = path_ + ".new";
    FILE* const file = std::fopen(temporary.c_str(), "w");
    if (file == nullptr) return;
    for (int i = 0; i < kRequestKinds; ++i) {
      std::fprintf(file, "%s %llu\n", kRequestNames[i], static_cast<unsigned long long>(now[i]));
    }
    if (std::fclose(file) == 0 && std::rename(temporary.c_str(), path_.c_str()) == 0) {
      written_ = now;
      wroteOnce_ = true;
    }
  }

  std::string path_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  std::array<std::uint64_t, kRequestKinds> written_{};
  bool wroteOnce_ = false;
  std::thread thread_;
};

[[noreturn]] void usage(const char* program) {
  std::fprintf(stderr,
               "usage: %s [--delay-ms MS] [--counts FILE] SOURCE MOUNTPOINT [FUSE options]\n"
               "  mirrors SOURCE read-only at MOUNTPOINT; every request waits MS milliseconds\n"
               "  (default 10); --counts writes the number of requests of each kind to FILE\n",
               program);
  std::exit(2);
}

}  // namespace

int main(int argc, char* argv[]) {
  std::vector<char*> rest;
  const char* source = nullptr;
  const char* mountpoint = nullptr;
  std::string counts_path;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--delay-ms" && i + 1 < argc) {
      char* end = nullptr;
      const double ms = std::strtod(argv[++i], &end);
      if (*end != '\0' || ms < 0) usage(argv[0]);
      request_delay = std::chrono::microseconds(static_cast<long long>(ms * 1000.0 + 0.5));
    } else if (arg == "--counts" && i + 1 < argc) {
      // The daemon changes its working folder to / when it detaches.
      counts_path = std::filesystem::absolute(argv[++i]).string();
    } else if (arg == "-h" || arg == "--help") {
      usage(argv[0]);
    } else if (arg == "-o" && i + 1 < argc) {
      rest.push_back(argv[i]);
      rest.push_back(argv[++i]);
    } else if (arg[0] != '-' && source == nullptr) {
      source = argv[i];
    } else if (arg[0] != '-' && mountpoint == nullptr) {
      mountpoint = argv[i];
    } else {
      rest.push_back(argv[i]);
    }
  }
  if (source == nullptr || mountpoint == nullptr) usage(argv[0]);
  source_fd = open(source, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (source_fd < 0) {
    std::perror(source);
    return 1;
  }

  // libfuse caps its worker threads at 10 by default, which would cap how many requests wait at
  // once below the thread counts the benchmark asks of its scanners; later -o options override.
  static char defaults[] = "ro,fsname=slowfs,subtype=slowfs,max_threads=256";
  std::vector<char*> args{argv[0], const_cast<char*>(mountpoint), const_cast<char*>("-o"),
                          defaults};
  args.insert(args.end(), rest.begin(), rest.end());
  fuse_args fargs = FUSE_ARGS_INIT(static_cast<int>(args.size()), args.data());
  fuse_cmdline_opts opts{};
  if (fuse_parse_cmdline(&fargs, &opts) != 0 || opts.mountpoint == nullptr) usage(argv[0]);

  fuse_lowlevel_ops ops{};
  ops.init = sf_init;
  ops.lookup = sf_lookup;
  ops.forget = sf_forget;
  ops.forget_multi = sf_forget_multi;
  ops.getattr = sf_getattr;
  ops.readlink = sf_readlink;
  ops.access = sf_access;
  ops.open = sf_open;
  ops.read = sf_read;
  ops.release = sf_release;
  ops.opendir = sf_opendir;
  ops.readdir = sf_readdir;
  ops.readdirplus = sf_readdirplus;
  ops.releasedir = sf_releasedir;
  ops.statfs = sf_statfs;

  int status = 1;
  fuse_session* const session = fuse_session_new(&fargs, &ops, sizeof ops, nullptr);
  if (session != nullptr) {
    if (fuse_set_signal_handlers(session) == 0) {
      if (fuse_session_mount(session, opts.mountpoint) == 0) {
        fuse_daemonize(opts.foreground);
        {
          const CountsWriter writer(counts_path);
          fuse_loop_config* const config = fuse_loop_cfg_create();
          fuse_loop_cfg_set_clone_fd(config, static_cast<unsigned>(opts.clone_fd));
          fuse_loop_cfg_set_max_threads(config, opts.max_threads);
          status = fuse_session_loop_mt(session, config) == 0 ? 0 : 1;
          fuse_loop_cfg_destroy(config);
        }
        fuse_session_unmount(session);
      }
      fuse_remove_signal_handlers(session);
    }
    fuse_session_destroy(session);
  }
  std::free(opts.mountpoint);
  fuse_opt_free_args(&fargs);
  return status;
}
