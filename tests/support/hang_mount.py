#!/usr/bin/python3
"""A read-only pass-through of SOURCE at MOUNTPOINT whose reads block while CONTROL/hang exists,
as reads from a stalled network share do. Runs in the foreground until unmounted.

Usage: hang_mount.py SOURCE MOUNTPOINT CONTROL
"""
import errno
import os
import sys
import time

import fusepy


class HangingPassThrough(fusepy.Operations):
    def __init__(self, source, control):
        self.source = os.path.realpath(source)
        self.flag = os.path.join(control, "hang")

    def _real(self, path):
        return os.path.join(self.source, path.lstrip("/"))

    def _wait_while_hung(self):
        while os.path.exists(self.flag):
            time.sleep(0.02)

    def getattr(self, path, fh=None):
        st = os.lstat(self._real(path))
        keys = ("st_mode", "st_size", "st_nlink", "st_uid", "st_gid", "st_atime", "st_mtime", "st_ctime")
        return {k: getattr(st, k) for k in keys}

    def readdir(self, path, fh):
        return [".", ".."] + os.listdir(self._real(path))

    def open(self, path, flags):
        if flags & (os.O_WRONLY | os.O_RDWR):
            raise fusepy.FuseOSError(errno.EROFS)
        return os.open(self._real(path), os.O_RDONLY)

    def read(self, path, size, offset, fh):
        self._wait_while_hung()
        return os.pread(fh, size, offset)

    def release(self, path, fh):
        os.close(fh)
        return 0


def main():
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    source, mountpoint, control = sys.argv[1:]
    # Page cache off: every read of the file reaches this process, so a hang is a hang.
    fusepy.FUSE(HangingPassThrough(source, control), mountpoint, foreground=True, ro=True, direct_io=True)


if __name__ == "__main__":
    main()
