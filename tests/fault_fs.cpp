// A FUSE mirror of a folder, read and write, that fails chosen calls on chosen files: the
// end-to-end fault tests' disk that fills for a moment, loses a close, cannot read back, has a
// file swapped for a link between a look and an open, or lists folders as file servers may: with
// no entry types, with a status query that fails, or failing part way through a listing.
//
// usage: pairwick_fault_fs [RULE...] SOURCE MOUNTPOINT [FUSE options]
//   --fail-first-write NAME  the first write to NAME at its start fails with ENOSPC, once
//   --fail-close NAME        every close of NAME fails with EIO, its data written
//   --fail-read NAME         every read of NAME from its start fails with EIO
//   --link-after-look NAME TARGET
//                            once NAME has been looked at, it becomes a symbolic link to TARGET
//   --fail-listing PATH      the listing of the folder PATH gives its records up to its first
//                            entry, then the next read of it fails with EIO
//   --untyped PATH           listings of the folder PATH ("*": of every folder) give no entry
//                            types (DT_UNKNOWN), as many network file systems' do
//   --fail-status PATH       every status query (look-up or getattr) of PATH fails with EIO
//   --fail-status-once PATH  the first status query of PATH fails with EIO, later ones succeed
//   --refuse-status PATH     every status query of PATH fails with EACCES, whoever asks
//   --vanish-status PATH     every status query of PATH fails with ENOENT, as for an entry removed
//                            since it was listed
// NAME is the start of the names of files at the top of SOURCE that the rule covers; PATH is a
// path below SOURCE, as "a/b", "." for SOURCE itself. Every call goes to the system and is never
// cached, so that each of the program's calls meets the rule in force at that moment.
#define FUSE_USE_VERSION 31

#include <fuse.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace {

int sourceFd = -1;

struct Rules {
  std::string failFirstWrite;
  std::atomic<bool> firstWriteFailed{false};
  std::string failClose;
  std::string failRead;
  std::string linkName;
  std::string linkTarget;
  std::atomic<bool> linked{false};
  std::string failListing;
  std::string untyped;
  std::string failStatus;
  std::string failStatusOnce;
  std::atomic<bool> statusFailedOnce{false};
  std::string refuseStatus;
  std::string vanishStatus;
};
Rules rules;
std::mutex linking;

// Paths arrive as "/a/b"; the source is reached through its descriptor, since the daemon changes
// its working folder to / when it detaches. A file removed while open (hard_remove) has no path
// any more: its calls come with a null one, and are answered through the file handle.
const char* relative(const char* path) {
  while (*path == '/') ++path;
  return *path ? path : ".";
}

// Whether the rule's NAME covers `path`: a file at the top whose name begins with NAME.
bool is(const char* path, const std::string& name) {
  return path != nullptr && !name.empty() &&
         std::strncmp(relative(path), name.c_str(), name.size()) == 0 &&
         std::strchr(relative(path), '/') == nullptr;
}

// Whether the rule's PATH is `path`.
bool names(const char* path, const std::string& rulePath) {
  return path != nullptr && !rulePath.empty() && rulePath == relative(path);
}

// The error that a status query of `path` fails with under the rules, or 0.
int statusFault(const char* path) {
  if (names(path, rules.failStatus)) return -EIO;
  if (names(path, rules.refuseStatus)) return -EACCES;
  if (names(path, rules.vanishStatus)) return -ENOENT;
  if (names(path, rules.failStatusOnce) && !rules.statusFailedOnce.exchange(true)) return -EIO;
  return 0;
}

// Replaces the entry by the link once it has been looked at: the look answered as a file, every
// later call meets the link.
void linkAfterLook(const char* path) {
  if (path == nullptr || rules.linkName.empty() || rules.linkName != relative(path) ||
      rules.linked) {
    return;
  }
  const std::lock_guard<std::mutex> lock(linking);
  if (rules.linked) return;
  const std::string swap = rules.linkName + ".swap";
  if (symlinkat(rules.linkTarget.c_str(), sourceFd, swap.c_str()) == 0 &&
      renameat(sourceFd, swap.c_str(), sourceFd, rules.linkName.c_str()) == 0) {
    rules.linked = true;
  }
}

int ffGetattr(const char* path, struct stat* st, struct fuse_file_info* fi) {
  if (const int fault = statusFault(path)) return fault;
  if (fi == nullptr && path == nullptr) return -ENOENT;
  const int result =
      (fi != nullptr ? fstat(static_cast<int>(fi->fh), st)
                     : fstatat(sourceFd, relative(path), st, AT_SYMLINK_NOFOLLOW)) == 0
          ? 0
          : -errno;
  if (fi == nullptr) linkAfterLook(path);
  return result;
}

int ffReadlink(const char* path, char* buf, size_t size) {
  if (size == 0) return -EINVAL;
  const ssize_t n = readlinkat(sourceFd, relative(path), buf, size - 1);
  if (n < 0) return -errno;
  buf[n] = '\0';
  return 0;
}

int ffOpen(const char* path, struct fuse_file_info* fi) {
  const int fd = openat(sourceFd, relative(path), (fi->flags & ~O_CREAT) | O_NOFOLLOW);
  if (fd < 0) return -errno;
  fi->fh = static_cast<uint64_t>(fd);
  return 0;
}

int ffCreate(const char* path, mode_t mode, struct fuse_file_info* fi) {
  const int fd = openat(sourceFd, relative(path), fi->flags | O_NOFOLLOW, mode);
  if (fd < 0) return -errno;
  fi->fh = static_cast<uint64_t>(fd);
  return 0;
}

int ffRead(const char* path, char* buf, size_t size, off_t offset, struct fuse_file_info* fi) {
  if (offset == 0 && is(path, rules.failRead)) return -EIO;
  const ssize_t n = pread(static_cast<int>(fi->fh), buf, size, offset);
  return n < 0 ? -errno : static_cast<int>(n);
}

int ffWrite(const char* path, const char* buf, size_t size, off_t offset,
            struct fuse_file_info* fi) {
  if (offset == 0 && is(path, rules.failFirstWrite) && !rules.firstWriteFailed.exchange(true)) {
    return -ENOSPC;
  }
  const ssize_t n = pwrite(static_cast<int>(fi->fh), buf, size, offset);
  return n < 0 ? -errno : static_cast<int>(n);
}

int ffFlush(const char* path, struct fuse_file_info*) {
  return is(path, rules.failClose) ? -EIO : 0;
}

int ffRelease(const char*, struct fuse_file_info* fi) {
  close(static_cast<int>(fi->fh));
  return 0;
}

int ffTruncate(const char* path, off_t size, struct fuse_file_info* fi) {
  if (fi == nullptr && path == nullptr) return -ENOENT;
  const int result = fi != nullptr ? ftruncate(static_cast<int>(fi->fh), size)
                                   : truncate((std::string("/proc/self/fd/") +
                                               std::to_string(sourceFd) + "/" + relative(path))
                                                  .c_str(),
                                              size);
  return result == 0 ? 0 : -errno;
}

int ffUnlink(const char* path) { return unlinkat(sourceFd, relative(path), 0) == 0 ? 0 : -errno; }

int ffMkdir(const char* path, mode_t mode) {
  return mkdirat(sourceFd, relative(path), mode) == 0 ? 0 : -errno;
}

int ffRmdir(const char* path) {
  return unlinkat(sourceFd, relative(path), AT_REMOVEDIR) == 0 ? 0 : -errno;
}

// A rename through the mount moves the mount's own node with the name, as a file server's client
// does: what takes the name's place has another node. No flags (an exchange) are known.
int ffRename(const char* from, const char* to, unsigned int flags) {
  if (flags != 0) return -EINVAL;
  return renameat(sourceFd, relative(from), sourceFd, relative(to)) == 0 ? 0 : -errno;
}

int ffChmod(const char* path, mode_t mode, struct fuse_file_info*) {
  return fchmodat(sourceFd, relative(path), mode, 0) == 0 ? 0 : -errno;
}

int ffStatfs(const char*, struct statvfs* st) { return fstatvfs(sourceFd, st) == 0 ? 0 : -errno; }

int ffOpendir(const char* path, struct fuse_file_info* fi) {
  const int fd = openat(sourceFd, relative(path), O_RDONLY | O_DIRECTORY);
  if (fd < 0) return -errno;
  DIR* dir = fdopendir(fd);
  if (dir == nullptr) {
    const int error = errno;
    close(fd);
    return -error;
  }
  fi->fh = reinterpret_cast<uint64_t>(dir);
  return 0;
}

// A listing is given whole at its start, and libfuse answers the kernel's later reads of it from
// what it keeps; a listing that is to fail part way numbers its records instead (offsets), so that
// each of the kernel's reads, one per getdents64 of the program, reaches this call. Its first
// answer ends after its first entry, and the read after that fails.
int ffReaddir(const char* path, void* buf, fuse_fill_dir_t filler, off_t offset,
              struct fuse_file_info* fi, enum fuse_readdir_flags) {
  const bool failing = names(path, rules.failListing);
  if (failing && offset > 0) return -EIO;
  const bool untyped = rules.untyped == "*" || names(path, rules.untyped);
  DIR* dir = reinterpret_cast<DIR*>(fi->fh);
  rewinddir(dir);
  off_t record = 0;
  while (struct dirent* entry = readdir(dir)) {
    ++record;
    struct stat st {};
    st.st_ino = entry->d_ino;
    st.st_mode = untyped ? 0 : static_cast<mode_t>(DTTOIF(entry->d_type));
    if (filler(buf, entry->d_name, &st, failing ? record : 0,
               static_cast<enum fuse_fill_dir_flags>(0)) != 0) {
      break;
    }
    const bool dots = std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0;
    if (failing && !dots) break;
  }
  return 0;
}

int ffReleasedir(const char*, struct fuse_file_info* fi) {
  closedir(reinterpret_cast<DIR*>(fi->fh));
  return 0;
}

void* ffInit(struct fuse_conn_info*, struct fuse_config* cfg) {
  // Nothing cached: every look, read and write of the program reaches the rules.
  cfg->entry_timeout = 0;
  cfg->attr_timeout = 0;
  cfg->negative_timeout = 0;
  cfg->direct_io = 1;
  cfg->hard_remove = 1;
  cfg->kernel_cache = 0;
  return nullptr;
}

[[noreturn]] void usage(const char* program) {
  std::fprintf(stderr,
               "usage: %s [--fail-first-write NAME] [--fail-close NAME] [--fail-read NAME] "
               "[--link-after-look NAME TARGET] [--fail-listing PATH] [--untyped PATH] "
               "[--fail-status PATH] [--fail-status-once PATH] [--refuse-status PATH] "
               "[--vanish-status PATH] "
               "SOURCE MOUNTPOINT [FUSE options]\n",
               program);
  std::exit(2);
}

}  // namespace

int main(int argc, char* argv[]) {
  std::vector<char*> rest;
  const char* source = nullptr;
  const char* mountpoint = nullptr;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--fail-first-write" && hasValue) {
      rules.failFirstWrite = argv[++i];
    } else if (arg == "--fail-close" && hasValue) {
      rules.failClose = argv[++i];
    } else if (arg == "--fail-read" && hasValue) {
      rules.failRead = argv[++i];
    } else if (arg == "--link-after-look" && i + 2 < argc) {
      rules.linkName = argv[++i];
      rules.linkTarget = argv[++i];
    } else if (arg == "--fail-listing" && hasValue) {
      rules.failListing = argv[++i];
    } else if (arg == "--untyped" && hasValue) {
      rules.untyped = argv[++i];
    } else if (arg == "--fail-status" && hasValue) {
      rules.failStatus = argv[++i];
    } else if (arg == "--fail-status-once" && hasValue) {
      rules.failStatusOnce = argv[++i];
    } else if (arg == "--refuse-status" && hasValue) {
      rules.refuseStatus = argv[++i];
    } else if (arg == "--vanish-status" && hasValue) {
      rules.vanishStatus = argv[++i];
    } else if (arg == "-h" || arg == "--help") {
      usage(argv[0]);
    } else if (arg == "-o" && hasValue) {
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
  sourceFd = open(source, O_RDONLY | O_DIRECTORY);
  if (sourceFd < 0) {
    std::perror(source);
    return 1;
  }
  static char defaults[] = "default_permissions,fsname=pairwick_fault_fs";
  std::vector<char*> args{argv[0], const_cast<char*>(mountpoint), const_cast<char*>("-o"),
                          defaults};
  args.insert(args.end(), rest.begin(), rest.end());
  args.push_back(nullptr);

  struct fuse_operations ops {};
  ops.getattr = ffGetattr;
  ops.readlink = ffReadlink;
  ops.open = ffOpen;
  ops.create = ffCreate;
  ops.read = ffRead;
  ops.write = ffWrite;
  ops.flush = ffFlush;
  ops.release = ffRelease;
  ops.truncate = ffTruncate;
  ops.unlink = ffUnlink;
  ops.mkdir = ffMkdir;
  ops.rmdir = ffRmdir;
  ops.rename = ffRename;
  ops.chmod = ffChmod;
  ops.statfs = ffStatfs;
  ops.opendir = ffOpendir;
  ops.readdir = ffReaddir;
  ops.releasedir = ffReleasedir;
  ops.init = ffInit;
  return fuse_main(static_cast<int>(args.size()) - 1, args.data(), &ops, nullptr);
}
