#!/usr/bin/python3
"""A small read-only FUSE file system whose root listing names the folder "aa" twice, as a
listing may when an entry is removed and added again while the folder is read, and whose aa
changes between its listings, as a folder may while it is read twice.

The root lists aa, b and aa again; b is a file. The first listing of aa names the files p and q,
every later one p and r.

usage: repeated_name_fs.py MOUNTPOINT   (stays in the foreground until unmounted)
"""
import errno
import stat
import sys

from fusepy import FUSE, FuseOSError, Operations

FOLDERS = {"/": ["aa", "b", "aa"], "/aa": ["p", "q"]}
LATER_LISTINGS = {"/aa": ["p", "r"]}
FILES = {"/b", "/aa/p", "/aa/q", "/aa/r"}


class RepeatedName(Operations):
    def __init__(self):
        self.listed = set()  # the folders listed once already

    def getattr(self, path, fh=None):
        if path in FOLDERS:
            return {"st_mode": stat.S_IFDIR | 0o755, "st_nlink": 2}
        if path in FILES:
            return {"st_mode": stat.S_IFREG | 0o644, "st_nlink": 1, "st_size": 0}
        raise FuseOSError(errno.ENOENT)

    def readdir(self, path, fh):
        if path not in FOLDERS:
            raise FuseOSError(errno.ENOTDIR)
        names = FOLDERS[path]
        if path in self.listed:
            names = LATER_LISTINGS.get(path, names)
        self.listed.add(path)
        return [".", ".."] + names


if __name__ == "__main__":
    FUSE(RepeatedName(), sys.argv[1], foreground=True, ro=True, nothreads=True)
