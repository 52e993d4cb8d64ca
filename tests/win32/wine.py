"""Wine for the Windows test suite.

  wine.py start           makes the build's Wine prefix, once (wineboot -i),
                          and starts a Wine server for the runs that follow
  wine.py run MODULE...   runs test modules under the wine runner
  wine.py stop            stops that server

Both exit 77 (skipped) where this machine cannot run the build's Windows
programs at all: a kernel without 32-bit x86 support cannot start Wine's
32-bit loader, and without that loader (Debian's wine32:i386) Wine runs
64-bit programs alone.
"""

import os
import shutil
import subprocess
import sys
import time

SKIP = 77
READY = ".sysgrab-ready"
SERVER_LINGER = 300  # seconds the server stays after its last client


def wine():
    return os.environ.get("SYSGRAB_WINE", "wine")


def prefix():
    build = os.environ["SYSGRAB_BUILD"]
    return os.environ.get("WINEPREFIX") or os.path.join(build, "wineprefix")


def wine_env():
    env = dict(os.environ)
    env["WINEPREFIX"] = prefix()
    env["WINEDEBUG"] = "-all"
    return env


def wine32_loader():
    """Wine's 32-bit loader on this machine, or None: the ELF that the wine
    command is, or the one Debian's wrapper script for it runs where
    present (/usr/lib/wine/wine, from wine32:i386; without it the script
    runs the 64-bit loader, which runs no 32-bit program)."""
    found = [shutil.which(name) for name in (wine(), "wine")]
    for path in [os.path.realpath(f) for f in found if f] + ["/usr/lib/wine/wine"]:
        try:
            with open(path, "rb") as f:
                if f.read(5) == b"\x7fELF\x01":
                    return path
        except OSError:
            pass
    return None


def image_32bit(path):
    """Whether the PE image at path is for 32-bit x86 (machine 14Ch)."""
    with open(path, "rb") as f:
        head = f.read(4096)
    at = int.from_bytes(head[0x3C:0x40], "little")
    return head[at + 4:at + 6] == b"\x4c\x01"


def check_loader():
    """Exits with SKIP where the loader cannot be executed on this kernel,
    or cannot run the build's 32-bit program."""
    if image_32bit(os.environ["SYSGRAB_BIN"]) and wine32_loader() is None:
        print("SKIPPED: %s runs no 32-bit program here: Wine's 32-bit loader is missing "
              "(Debian's wine32:i386 is not installed); the win64 build runs the Wine suite"
              % wine())
        sys.exit(SKIP)
    proc = subprocess.run([wine(), "--version"], capture_output=True, text=True,
                          stdin=subprocess.DEVNULL)
    if proc.returncode == 0:
        return
    if "Exec format error" in proc.stderr:
        print("SKIPPED: %s cannot run here: %s" % (wine(), proc.stderr.strip()))
        print("This kernel does not run 32-bit x86 programs (32-bit emulation is off).")
        sys.exit(SKIP)
    sys.exit("%s --version failed (%d): %s" % (wine(), proc.returncode, proc.stderr))


def make_prefix():
    check_loader()
    folder = prefix()
    if os.path.exists(os.path.join(folder, READY)):
        print("Wine prefix %s is ready" % folder)
        return
    shutil.rmtree(folder, ignore_errors=True)
    env = wine_env()
    # No Mono or Gecko: nothing here needs them, and asking for them stalls.
    env["WINEDLLOVERRIDES"] = "mscoree,mshtml="
    start = time.monotonic()
    # The first wineboot in a new prefix can fail once ("could not load
    # kernel32.dll", seen in a slow guest) after setting the prefix up; the
    # second finds it made and finishes.
    for attempt in (1, 2):
        proc = subprocess.run([wine(), "wineboot", "-i"], env=env, stdin=subprocess.DEVNULL)
        # wineboot returns before the server has written the registry.
        subprocess.run(["wineserver", "-w"], env=env, check=True)
        if proc.returncode == 0:
            break
        print("wineboot -i failed (%d), attempt %d" % (proc.returncode, attempt), flush=True)
    else:
        sys.exit("could not make the Wine prefix %s" % folder)
    with open(os.path.join(folder, READY), "w"):
        pass
    print("made Wine prefix %s in %.1f s" % (folder, time.monotonic() - start))


def start():
    make_prefix()
    # One server for all the runs: without it each run starts its own, and
    # Wine's services with it, which takes seconds instead of a fraction of
    # one. A server left over from an earlier run could leave mid-suite.
    env = wine_env()
    subprocess.run(["wineserver", "-k"], env=env, capture_output=True)
    subprocess.run(["wineserver", "-w"], env=env, check=True)
    # The server and Wine's background processes stay: they must not hold
    # on to this process's output, or the test would not end.
    quiet = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                 stderr=subprocess.DEVNULL)
    subprocess.run(["wineserver", "-p%d" % SERVER_LINGER], env=env, check=True, **quiet)
    # Wine's background processes start with the first program and stay;
    # started here, they keep no test's output open.
    subprocess.run([wine(), "cmd", "/c", "exit"], env=env, check=True, **quiet)


def stop():
    check_loader()
    subprocess.run(["wineserver", "-k"], env=wine_env(), capture_output=True)


def run(modules):
    check_loader()
    env = dict(os.environ)
    env["SYSGRAB_RUNNER"] = "wine"
    env["WINEPREFIX"] = prefix()
    proc = subprocess.run([sys.executable, "-m", "unittest", "-v"] + modules, env=env)
    sys.exit(proc.returncode)


if __name__ == "__main__":
    if sys.argv[1:2] == ["start"]:
        start()
    elif sys.argv[1:2] == ["stop"]:
        stop()
    elif sys.argv[1:2] == ["run"] and len(sys.argv) > 2:
        run(sys.argv[2:])
    else:
        sys.exit(__doc__)
