#!/usr/bin/python3
"""A writable pass-through of SOURCE at MOUNTPOINT, as a data folder on a failing share:
while CONTROL/hang exists, writes, syncs, creations and renames block (a stalled share);
while CONTROL/hang-reads exists, reads block (a stalled share holding a book);
reads of the files named in CONTROL/eio, one name a line, fail with EIO (a failing disk);
while CONTROL/full exists, creations and writes past a file's end fail with ENOSPC (a full disk).
Runs in the foreground until unmounted.

Usage: data_mount.py SOURCE MOUNTPOINT CONTROL
"""
import errno
import os
import sys
import time

import fusepy


class FailingPassThrough(fusepy.Operations):
    def __init__(self, source, control):
        self.source = os.path.realpath(source)
        self.control = control

    def _real(self, path):
        return os.path.join(self.source, path.lstrip("/"))

    def _stall(self):
        while os.path.exists(os.path.join(self.control, "hang")):
            time.sleep(0.02)

    def _full(self):
        if os.path.exists(os.path.join(self.control, "full")):
            raise fusepy.FuseOSError(errno.ENOSPC)

    def getattr(self, path, fh=None):
        st = os.lstat(self._real(path))
        keys = ("st_mode", "st_size", "st_nlink", "st_uid", "st_gid", "st_atime", "st_mtime", "st_ctime")
        return {k: getattr(st, k) for k in keys}

    def readdir(self, path, fh):
        return [".", ".."] + os.listdir(self._real(path))

    def open(self, path, flags):
        return os.open(self._real(path), flags & ~os.O_NONBLOCK)

    def create(self, path, mode, fi=None):
        self._stall()
        self._full()
        return os.open(self._real(path), os.O_WRONLY | os.O_CREAT | os.O_TRUNC, mode)

    def read(self, path, size, offset, fh):
        while os.path.exists(os.path.join(self.control, "hang-reads")):
            time.sleep(0.02)
        try:
            with open(os.path.join(self.control, "eio")) as names:
                if os.path.basename(path) in names.read().split("\n"):
                    raise fusepy.FuseOSError(errno.EIO)
        except FileNotFoundError:
            pass
        return os.pread(fh, size, offset)

    def write(self, path, data, offset, fh):
        self._stall()
        if offset + len(data) > os.fstat(fh).st_size:
            self._full()
        return os.pwrite(fh, data, offset)

    def truncate(self, path, length, fh=None):
        self._stall()
        os.truncate(self._real(path), length)

    def fsync(self, path, datasync, fh):
        self._stall()
        os.fsync(fh)

    def rename(self, old, new):
        self._stall()
        os.rename(self._real(old), self._real(new))

    def unlink(self, path):
        os.unlink(self._real(path))

    def mkdir(self, path, mode):
        os.mkdir(self._real(path), mode)

    def rmdir(self, path):
        os.rmdir(self._real(path))

    def release(self, path, fh):
        os.close(fh)


def main():
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    source, mountpoint, control = sys.argv[1:]
    # Page cache off: every read and write reaches this process.
    fusepy.FUSE(FailingPassThrough(source, control), mountpoint, foreground=True, direct_io=True)


if __name__ == "__main__":
    main()
