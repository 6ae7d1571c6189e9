#!/usr/bin/python3
"""A small read-only FUSE file system whose root listing names the folder "aa" twice, as a
listing may when an entry is removed and added again while the folder is read.

The root lists aa, b and aa again; aa holds the files p and q; b is a file.

usage: repeated_name_fs.py MOUNTPOINT   (stays in the foreground until unmounted)
"""
import errno
import stat
import sys

from fusepy import FUSE, FuseOSError, Operations

FOLDERS = {"/": ["aa", "b", "aa"], "/aa": ["p", "q"]}
FILES = {"/b", "/aa/p", "/aa/q"}


class RepeatedName(Operations):
    def getattr(self, path, fh=None):
        if path in FOLDERS:
            return {"st_mode": stat.S_IFDIR | 0o755, "st_nlink": 2}
        if path in FILES:
            return {"st_mode": stat.S_IFREG | 0o644, "st_nlink": 1, "st_size": 0}
        raise FuseOSError(errno.ENOENT)

    def readdir(self, path, fh):
        if path not in FOLDERS:
            raise FuseOSError(errno.ENOTDIR)
        return [".", ".."] + FOLDERS[path]


if __name__ == "__main__":
    FUSE(RepeatedName(), sys.argv[1], foreground=True, ro=True, nothreads=True)
