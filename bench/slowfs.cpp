// Read-only FUSE mirror of a folder that waits a fixed delay for every folder listing: a file share
// stand-in for the benchmark.
//
// usage: slowfs [--delay-ms MS] SOURCE MOUNTPOINT [FUSE options, e.g. -f, -o max_threads=N]
//
// Only folder listings pay the delay, as each listing is the network round trip a scanner of a
// share cannot avoid; attributes, links and file contents come back at once, so the figures show
// how a scanner copes with listing latency alone. The delay is a sleep inside a FUSE worker
// thread and the loop is multithreaded, so listings requested in parallel wait in parallel, as
// they do against a real server.
#define FUSE_USE_VERSION 31

#include <fuse.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

int source_fd = -1;
std::chrono::microseconds listing_delay{10000};

// Paths arrive as "/a/b"; the source folder is reached through its descriptor because the
// daemon changes its working folder to / when it detaches.
const char* relative(const char* path) {
  while (*path == '/') ++path;
  return *path ? path : ".";
}

int sf_getattr(const char* path, struct stat* st, struct fuse_file_info*) {
  return fstatat(source_fd, relative(path), st, AT_SYMLINK_NOFOLLOW) == 0 ? 0 : -errno;
}

int sf_readlink(const char* path, char* buf, size_t size) {
  if (size == 0) return -EINVAL;
  ssize_t n = readlinkat(source_fd, relative(path), buf, size - 1);
  if (n < 0) return -errno;
  buf[n] = '\0';
  return 0;
}

int sf_open(const char* path, struct fuse_file_info* fi) {
  if ((fi->flags & O_ACCMODE) != O_RDONLY) return -EROFS;
  int fd = openat(source_fd, relative(path), O_RDONLY | O_NOFOLLOW);
  if (fd < 0) return -errno;
  fi->fh = static_cast<uint64_t>(fd);
  return 0;
}

int sf_read(const char*, char* buf, size_t size, off_t offset, struct fuse_file_info* fi) {
  ssize_t n = pread(static_cast<int>(fi->fh), buf, size, offset);
  return n < 0 ? -errno : static_cast<int>(n);
}

int sf_release(const char*, struct fuse_file_info* fi) {
  close(static_cast<int>(fi->fh));
  return 0;
}

int sf_statfs(const char*, struct statvfs* st) { return fstatvfs(source_fd, st) == 0 ? 0 : -errno; }

// The one round trip of a listing is paid here: readdir below hands the whole folder over in
// one call (offset 0), and the library serves the kernel's later chunks from that, so a listing
// costs exactly one delay however many entries it has.
int sf_opendir(const char* path, struct fuse_file_info* fi) {
  std::this_thread::sleep_for(listing_delay);
  int fd = openat(source_fd, relative(path), O_RDONLY | O_DIRECTORY);
  if (fd < 0) return -errno;
  DIR* dir = fdopendir(fd);
  if (dir == nullptr) {
    int error = errno;
    close(fd);
    return -error;
  }
  fi->fh = reinterpret_cast<uint64_t>(dir);
  return 0;
}

int sf_readdir(const char*, void* buf, fuse_fill_dir_t filler, off_t, struct fuse_file_info* fi,
               enum fuse_readdir_flags flags) {
  DIR* dir = reinterpret_cast<DIR*>(fi->fh);
  rewinddir(dir);
  // With READDIRPLUS the kernel takes each entry's attributes from the listing, as a share
  // client does, instead of looking every entry up afterwards.
  const bool plus = (flags & FUSE_READDIR_PLUS) != 0;
  while (struct dirent* entry = readdir(dir)) {
    struct stat st {};
    enum fuse_fill_dir_flags fill = static_cast<enum fuse_fill_dir_flags>(0);
    if (plus && fstatat(dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
      fill = FUSE_FILL_DIR_PLUS;
    } else {
      st.st_ino = entry->d_ino;
      st.st_mode = static_cast<mode_t>(DTTOIF(entry->d_type));
    }
    if (filler(buf, entry->d_name, &st, 0, fill) != 0) break;
  }
  return 0;
}

int sf_releasedir(const char*, struct fuse_file_info* fi) {
  closedir(reinterpret_cast<DIR*>(fi->fh));
  return 0;
}

void* sf_init(struct fuse_conn_info*, struct fuse_config* cfg) {
  // The benchmark mounts afresh for every run, so nothing is cached across runs. Within a run,
  // names and attributes stay valid for one second, as with a CIFS client's default actimeo=1;
  // listings are never cached (no cache_readdir), so every listing pays the delay.
  cfg->entry_timeout = 1.0;
  cfg->attr_timeout = 1.0;
  cfg->negative_timeout = 0.0;
  cfg->kernel_cache = 0;
  return nullptr;
}

[[noreturn]] void usage(const char* program) {
  std::fprintf(stderr,
               "usage: %s [--delay-ms MS] SOURCE MOUNTPOINT [FUSE options]\n"
               "  mirrors SOURCE read-only at MOUNTPOINT; every folder listing waits MS "
               "milliseconds (default 10)\n",
               program);
  std::exit(2);
}

}  // namespace

int main(int argc, char* argv[]) {
  std::vector<char*> rest;
  const char* source = nullptr;
  const char* mountpoint = nullptr;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--delay-ms" && i + 1 < argc) {
      char* end = nullptr;
      double ms = std::strtod(argv[++i], &end);
      if (*end != '\0' || ms < 0) usage(argv[0]);
      listing_delay = std::chrono::microseconds(static_cast<long long>(ms * 1000.0 + 0.5));
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
  source_fd = open(source, O_RDONLY | O_DIRECTORY);
  if (source_fd < 0) {
    std::perror(source);
    return 1;
  }

  // libfuse caps its worker threads at 10 by default, which would cap how many listings wait at
  // once below the thread counts the benchmark asks of its scanners; later -o options override.
  static char defaults[] = "ro,default_permissions,fsname=slowfs,subtype=slowfs,max_threads=256";
  std::vector<char*> args{argv[0], const_cast<char*>(mountpoint), const_cast<char*>("-o"),
                          defaults};
  args.insert(args.end(), rest.begin(), rest.end());
  args.push_back(nullptr);

  struct fuse_operations ops {};
  ops.getattr = sf_getattr;
  ops.readlink = sf_readlink;
  ops.open = sf_open;
  ops.read = sf_read;
  ops.release = sf_release;
  ops.statfs = sf_statfs;
  ops.opendir = sf_opendir;
  ops.readdir = sf_readdir;
  ops.releasedir = sf_releasedir;
  ops.init = sf_init;
  return fuse_main(static_cast<int>(args.size()) - 1, args.data(), &ops, nullptr);
}
