"""opens.py LOG NODE... -- COMMAND...: runs COMMAND and writes to LOG each
open and close of the device NODEs while it ran, as inotify reports them:
"open NODE", then "close-write NODE" where it was open for writing, "close
NODE" where not. Nothing attaches to the processes that open them (a traced
Wine server can fail its clients). Exits with COMMAND's status."""

import ctypes
import os
import select
import struct
import subprocess
import sys

IN_CLOSE_WRITE, IN_CLOSE_NOWRITE, IN_OPEN = 0x08, 0x10, 0x20
EVENTS = ((IN_OPEN, "open"), (IN_CLOSE_WRITE, "close-write"), (IN_CLOSE_NOWRITE, "close"))
HEADER = struct.Struct("iIII")  # wd, mask, cookie, len
# The Wine server closes a program's handles when it sees the program gone,
# after the command has ended: the log ends once this long passes quietly.
QUIET = 2.0


def main():
    split = sys.argv.index("--")
    log, nodes, command = sys.argv[1], sys.argv[2:split], sys.argv[split + 1:]
    libc = ctypes.CDLL(None, use_errno=True)
    fd = libc.inotify_init1(os.O_CLOEXEC)
    if fd < 0:
        sys.exit("opens.py: inotify_init1: %s" % os.strerror(ctypes.get_errno()))
    watched = {}
    for node in nodes:
        wd = libc.inotify_add_watch(fd, node.encode(), IN_OPEN | IN_CLOSE_WRITE | IN_CLOSE_NOWRITE)
        if wd < 0:
            sys.exit("opens.py: %s: %s" % (node, os.strerror(ctypes.get_errno())))
        watched[wd] = node
    status = subprocess.call(command)
    lines = []
    while select.select([fd], [], [], QUIET)[0]:
        data = os.read(fd, 65536)
        at = 0
        while at < len(data):
            wd, mask, _, size = HEADER.unpack_from(data, at)
            at += HEADER.size + size
            lines += ["%s %s" % (name, watched[wd]) for bit, name in EVENTS if mask & bit]
    with open(log, "w") as f:
        f.writelines(line + "\n" for line in lines)
    sys.exit(status)


if __name__ == "__main__":
    main()
