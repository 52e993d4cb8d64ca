"""Runs one shell command as root in a QEMU guest booted with Debian's
kernel (tests/vm/kernel.sh), whose root is this machine's own root shared
read-write over virtio-9p. The guest's kernel runs 32-bit x86 programs
where this machine's may not.

  guest.py DIR COMMAND    runs sh -c COMMAND in DIR; exits with its status
  guest.py suite BUILD    runs the build's wine-labelled tests (ctest) there;
                          exits 77 (skipped) where this machine runs 32-bit
                          x86 programs itself, as those tests then run here

The guest mounts proc, sys, dev and a tmpfs on /tmp inside the shared root
and chroots there. SYSGRAB_GUEST_CPUS and SYSGRAB_GUEST_MEMORY (MiB) size it.

run() also takes QEMU device arguments, kernel modules loaded before the
shared root is mounted, kernel command-line additions, and disc images that
the command asks for on the console: it prints "@@ insert ID", the host
puts that image into the drive with -drive id=ID through QEMU's monitor and
types "@@ inserted ID ok" (or failed), which the command reads from
/dev/console (its standard input is /dev/null).
"""

import importlib.util
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
# tests/vm/guest.py: the kernel and the initramfs helpers.
_spec = importlib.util.spec_from_file_location("vmguest", os.path.join(HERE, "..", "vm", "guest.py"))
vmguest = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(vmguest)

# Loaded in this order, each after what it depends on.
MODULES = ["virtio_pci", "9pnet_virtio", "9p"]

INIT = r"""#!/bin/busybox sh
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
for m in $(cat /modules.order); do
	insmod "/modules/$m.ko" || echo "@@ insmod-failed $m"
done
r=/root
mkdir -p $r
if mount -t 9p -o trans=virtio,version=9p2000.L,msize=524288,cache=loose,access=client hostroot $r; then
	mount -t proc proc $r/proc
	mount -t sysfs sysfs $r/sys
	mount -t devtmpfs devtmpfs $r/dev
	mount -t devpts devpts $r/dev/pts 2>/dev/null
	# Wine needs a /tmp that holds sockets, which 9p does not; a tree of
	# the host's /tmp that the command works in stays reachable.
	keep=$(cat /keep)
	if [ -n "$keep" ]; then
		mkdir -p /hosttmp
		mount -o bind $r/tmp /hosttmp
	fi
	mount -t tmpfs -o mode=1777 tmpfs $r/tmp
	if [ -n "$keep" ]; then
		mkdir -p "$r$keep"
		mount -o bind "/hosttmp${keep#/tmp}" "$r$keep"
	fi
	mount -t tmpfs tmpfs $r/run
	cp /command.sh $r/tmp/.sysgrab-guest.sh
	echo "@@ begin"
	chroot $r /bin/sh /tmp/.sysgrab-guest.sh </dev/null 2>&1
	echo "@@ status $?"
	sync
else
	echo "@@ mount-failed"
fi
poweroff -f
"""


def run(directory, command, echo=None, devices=(), modules=(), append="", media=None):
    """Boots, runs command in directory, echoing what it prints; returns
    its exit status. devices are more QEMU arguments, modules more kernel
    modules (loaded in that order, after what each needs), append more of
    the kernel's command line; media maps a drive id to a disc image for
    the command's "@@ insert ID" requests."""
    work = tempfile.mkdtemp(prefix="sysgrab-guest-")
    try:
        kdir = vmguest.kernel_dir()
        root = os.path.join(work, "root")
        vmguest.make_root(root, kdir, INIT, MODULES + list(modules))
        # The first folder below /tmp that holds the working directory.
        keep = ""
        parts = os.path.realpath(directory).split("/")
        if len(parts) > 2 and parts[1] == "tmp":
            keep = "/tmp/" + parts[2]
        with open(os.path.join(root, "keep"), "w") as f:
            f.write(keep + "\n")
        with open(os.path.join(root, "command.sh"), "w") as f:
            f.write("cd %s || exit 125\n%s\n" % (shquote(directory), command))
        initrd = os.path.join(work, "initrd.gz")
        vmguest._cpio(root, initrd)
        accel = vmguest.accelerator()
        cpus = os.environ.get("SYSGRAB_GUEST_CPUS") or str(min(os.cpu_count() or 1, 4))
        memory = os.environ.get("SYSGRAB_GUEST_MEMORY", "2048")
        extra = ["-smp", cpus, "-m", memory, "-virtfs",
                 "local,path=/,mount_tag=hostroot,security_model=passthrough,multidevs=remap"]
        monitor = os.path.join(work, "monitor.sock")
        if media:
            extra += ["-monitor", "unix:%s,server=on,wait=off" % monitor]
        cmd = vmguest.qemu_command(
            "q35,accel=%s" % accel, vmguest.kernel_file(kdir), initrd,
            # no_timer_check: as for the sg guests (tests/vm/guest.py).
            ("console=ttyS0 quiet panic=-1 loglevel=3 no_timer_check " + append).strip(),
            extra + list(devices))
        start = time.monotonic()
        state = {"status": None, "inside": False, "tail": []}

        def on_line(line, answer):
            if line.startswith("@@ begin"):
                state["inside"] = True
                print("guest: booted in %.1f s" % (time.monotonic() - start), flush=True)
            elif line.startswith("@@ status "):
                state["status"] = int(line.split()[2])
                state["inside"] = False
            elif state["inside"]:
                print(line, flush=True)
                if echo:
                    echo(line)
                if line.startswith("@@ insert ") and media:
                    drive = line.split()[2]
                    out = vmguest.hmp(monitor, "change %s %s raw read-only"
                                      % (drive, media.get(drive, "")))
                    answer("@@ inserted %s %s\n" % (drive, "failed" if out.strip() else "ok"))
            else:
                state["tail"] = (state["tail"] + [line])[-40:]

        # No time limit of its own: the caller's (ctest's) applies.
        vmguest.run_console(cmd, 24 * 3600, on_line)
        status = state["status"]
        print("guest: ran for %.1f s" % (time.monotonic() - start), flush=True)
        if status is None:
            print("guest: the command did not finish:\n" + "\n".join(state["tail"]),
                  flush=True)
            return 1
        return status
    finally:
        shutil.rmtree(work, ignore_errors=True)


def shquote(s):
    return "'" + s.replace("'", "'\\''") + "'"


def suite(build):
    """The Wine suite of a 32-bit build, run in the guest."""
    loader = os.environ.get("SYSGRAB_WINE", "wine")
    # The guest runs this machine's Wine: without its 32-bit loader the
    # tests could only skip there.
    import wine  # beside this file

    if wine.wine32_loader() is None:
        print("SKIPPED: Wine's 32-bit loader is missing (Debian's wine32:i386 is not "
              "installed): no Wine here or in the guest runs the 32-bit program")
        sys.exit(77)
    proc = subprocess.run([loader, "--version"], capture_output=True, text=True,
                          stdin=subprocess.DEVNULL)
    if proc.returncode == 0:
        print("SKIPPED: %s runs on this machine: the wine tests run here" % loader)
        sys.exit(77)
    print("%s cannot run here (%s): running the wine tests in a guest"
          % (loader, proc.stderr.strip()), flush=True)
    ctest = os.environ.get("SYSGRAB_CTEST", "ctest")
    # The guest's kernel must start the loader, or every test would skip.
    # The image checks run no Windows code: they run here.
    command = ("%s --version || exit 3\n"
               "%s --test-dir %s -L '^wine$' -E '^wine[.]image_checks$' --output-on-failure\n"
               % (shquote(loader), shquote(ctest), shquote(build)))
    lines = []
    status = run(build, command, echo=lines.append)
    skipped = [line for line in lines if "***Skipped" in line or "Not Run" in line]
    if status == 0 and skipped:
        print("guest: tests skipped in the guest:\n" + "\n".join(skipped))
        return 1
    return status


if __name__ == "__main__":
    if sys.argv[1:2] == ["suite"] and len(sys.argv) == 3:
        sys.exit(suite(os.path.abspath(sys.argv[2])))
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    sys.exit(run(sys.argv[1], sys.argv[2]))
