"""Boots Debian's kernel in QEMU with an initramfs holding busybox, the SCSI
modules, sysgrab with its ASPI layer, sg3-utils' sg_dd and sg_start and
aspicheck, runs a shell script there and hands back what it printed.

Environment: SYSGRAB_BIN (build/linux/sysgrab, with libwnaspi32.so beside
it, and the release's archives), ASPICHECK_BIN (the aspicheck driver). The kernel comes from
tests/vm/kernel.sh (scripts/setup.sh vm fetches it)."""

import glob
import gzip
import os
import re
import shutil
import socket
import subprocess
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))

# Loaded in this order, each after what it depends on.
MODULES = ["sg", "sr_mod", "virtio_pci", "virtio_scsi", "ata_piix", "ahci", "xhci_pci",
           "usb_storage"]

# The Linux release's archives, in the build folder after its package target.
DEB = "sysgrab_0.001-1_amd64.deb"
TARBALL = "sysgrab-0.001-linux-x86_64.tar.gz"


def unpack_release(build, dest):
    """Unpacks both archives into dest as a user would: the .deb with
    dpkg-deb, the tarball with tar. Returns each tree's root, the folder
    holding bin/: {"deb": dest/deb/usr, "tarball": dest/sysgrab-...}."""
    os.makedirs(dest, exist_ok=True)
    subprocess.run(["dpkg-deb", "-x", os.path.join(build, DEB), os.path.join(dest, "deb")],
                   check=True)
    subprocess.run(["tar", "-xzf", os.path.join(build, TARBALL), "-C", dest], check=True)
    return {"deb": os.path.join(dest, "deb", "usr"),
            "tarball": os.path.join(dest, TARBALL[:-len(".tar.gz")])}


def kernel_dir():
    return subprocess.run([os.path.join(HERE, "kernel.sh")], check=True,
                          stdout=subprocess.PIPE, text=True).stdout.strip()


def _module_files(kdir):
    found = {}
    for path in glob.glob(os.path.join(kdir, "lib/modules/*/kernel/**/*.ko"), recursive=True):
        found[os.path.basename(path)[:-3].replace("-", "_")] = path
    return found


def _module_order(kdir, modules=None):
    """The kernel modules to load, each after those it depends on."""
    files = _module_files(kdir)
    order = []

    def visit(name):
        name = name.replace("-", "_")
        if name in order or name not in files:
            return
        deps = subprocess.run(["modinfo", "-F", "depends", files[name]], check=True,
                              stdout=subprocess.PIPE, text=True).stdout.strip()
        for dep in filter(None, deps.split(",")):
            visit(dep)
        order.append(name)

    for m in MODULES if modules is None else modules:
        visit(m)
    return [(m, files[m]) for m in order]


_accel = None


def accelerator():
    """"kvm" where KVM runs this kernel, "tcg" otherwise. /dev/kvm can be
    there and open yet not run a guest (seen under nested virtualisation,
    where the kernel then spins without printing), so the kernel is booted
    once under KVM with no initramfs: it should panic and power off within
    seconds. SYSGRAB_ACCEL=kvm or tcg skips the probe."""
    global _accel
    if _accel is None:
        _accel = os.environ.get("SYSGRAB_ACCEL") or _probe_kvm()
    return _accel


def _probe_kvm(limit=20):
    if not os.access("/dev/kvm", os.R_OK | os.W_OK):
        return "tcg"
    cmd = qemu_command("pc,accel=kvm", kernel_file(kernel_dir()), None,
                       "console=ttyS0 panic=-1 loglevel=1", ["-m", "256"])
    try:
        proc = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                              stdin=subprocess.DEVNULL, timeout=limit)
    except subprocess.TimeoutExpired:
        return "tcg"
    return "kvm" if b"Kernel panic" in proc.stdout else "tcg"


def kernel_file(kdir):
    return glob.glob(os.path.join(kdir, "boot/vmlinuz-*"))[0]


def qemu_command(machine, kernel, initrd, append, extra):
    """A headless QEMU that boots kernel with its console on standard
    output and exits when the guest powers off or reboots."""
    cmd = ["qemu-system-x86_64", "-machine", machine, "-nodefaults", "-no-user-config",
           "-display", "none", "-no-reboot", "-serial", "stdio", "-kernel", kernel]
    if initrd:
        cmd += ["-initrd", initrd]
    return cmd + ["-append", append] + extra


def make_root(root, kdir, init, modules=None, later=()):
    """The base of an initramfs in root: busybox, init (the script's text)
    and the kernel modules with the order to load them in (modules.order).
    The modules named in later, and what they need besides, are there too,
    for the checks to load themselves (modules.later)."""
    for d in ("bin", "proc", "sys", "dev", "modules"):
        os.makedirs(os.path.join(root, d), exist_ok=True)
    _copy("/bin/busybox", root, "/bin/busybox")
    with open(os.path.join(root, "init"), "w") as f:
        f.write(init)
    os.chmod(os.path.join(root, "init"), 0o755)
    order = _module_order(kdir, modules)
    extra = [m for m in _module_order(kdir, list(later)) if m not in order] if later else []
    for name, path in order + extra:
        _copy(path, root, "/modules/%s.ko" % name)
    for listing, mods in (("modules.order", order), ("modules.later", extra)):
        with open(os.path.join(root, listing), "w") as f:
            f.write("".join(name + "\n" for name, _ in mods))


def _libraries(binary):
    out = subprocess.run(["ldd", binary], stdout=subprocess.PIPE, text=True).stdout
    libs = re.findall(r"=> (/\S+)", out) + re.findall(r"^\s*(/\S+ld-linux\S*)", out, re.M)
    return libs


def _copy(src, root, dest=None):
    dest = os.path.join(root, (dest or src).lstrip("/"))
    os.makedirs(os.path.dirname(dest), exist_ok=True)
    shutil.copy2(src, dest)


def _cpio(root, out):
    names = subprocess.run("find . -mindepth 1", shell=True, cwd=root, check=True,
                           stdout=subprocess.PIPE).stdout
    data = subprocess.run(["cpio", "-o", "-H", "newc", "--quiet"], cwd=root, input=names,
                          check=True, stdout=subprocess.PIPE).stdout
    with gzip.open(out, "wb", compresslevel=1) as f:
        f.write(data)


class Guest:
    """An initramfs made once; boot() runs one script in one QEMU guest."""

    def __init__(self, workdir):
        self.workdir = workdir
        self.kdir = kernel_dir()
        self.kernel = kernel_file(self.kdir)
        self.sysgrab = os.environ["SYSGRAB_BIN"]
        self.layer = os.path.join(os.path.dirname(self.sysgrab), "libwnaspi32.so")
        self.aspicheck = os.environ["ASPICHECK_BIN"]
        self.root = os.path.join(workdir, "root")
        self._build_root()

    def _build_root(self):
        root = self.root
        with open(os.path.join(HERE, "init.sh")) as f:
            make_root(root, self.kdir, f.read(), later=["scsi_debug"])
        for d in ("tmp", "etc", "opt/sysgrab"):
            os.makedirs(os.path.join(root, d), exist_ok=True)
        binaries = [self.sysgrab, self.aspicheck, shutil.which("sg_dd"), shutil.which("sg_start")]
        for b in binaries:
            _copy(b, root, "/opt/sysgrab/" + os.path.basename(b))
        # The program's folder holds the layer, as in the build folder.
        _copy(self.layer, root, "/opt/sysgrab/libwnaspi32.so")
        # The unpacked release trees: /release/deb/usr, /release/sysgrab-...
        unpack_release(os.path.dirname(self.sysgrab), os.path.join(root, "release"))
        for b in binaries + [self.layer]:
            for lib in _libraries(b):
                if not os.path.exists(os.path.join(root, lib.lstrip("/"))):
                    _copy(os.path.realpath(lib), root, lib)
        # The loader's cache, as a Debian system has it: without it every
        # program's libraries are searched for folder by folder.
        with open(os.path.join(root, "etc/ld.so.conf"), "w") as f:
            f.write("/lib/x86_64-linux-gnu\n/usr/lib/x86_64-linux-gnu\n")
        subprocess.run(["ldconfig", "-r", root], check=True)
        # A user without rights to raw I/O, for the access checks.
        with open(os.path.join(root, "etc/passwd"), "w") as f:
            f.write("root:x:0:0::/:/bin/sh\nuser:x:1000:1000::/tmp:/bin/sh\n")
        with open(os.path.join(root, "etc/group"), "w") as f:
            f.write("root:x:0:\ncdrom:x:24:user\nuser:x:1000:\n")

    def boot(self, devices, units, script, machine="pc", timeout=900, media=None):
        """Boots with the QEMU device arguments, waits for that many SCSI
        units, runs script; returns the console lines between the guest's
        begin and end marks. media maps a drive id to a disc image: a line
        "@@ insert ID" from the guest puts that disc into the drive through
        QEMU's monitor, and the guest's next line of input says it is in.
        "@@ throttle ID BPS" limits the drive's reads to BPS bytes a second
        (0: no limit) the same way; the limit stays through disc changes."""
        with open(os.path.join(self.root, "checks.sh"), "w") as f:
            f.write(script)
        with open(os.path.join(self.root, "units"), "w") as f:
            f.write("%d\n" % units)
        initrd = os.path.join(self.workdir, "initrd.gz")
        _cpio(self.root, initrd)
        monitor = os.path.join(self.workdir, "monitor.sock")
        # no_timer_check: on a busy host a TCG guest can miss the ticks the
        # kernel counts while checking the IO-APIC timer at boot, and then
        # panics ("IO-APIC + timer doesn't work!").
        cmd = qemu_command("%s,accel=%s" % (machine, accelerator()), self.kernel, initrd,
                           "console=ttyS0 quiet panic=-1 loglevel=3 scsi_mod.scan=sync "
                           "no_timer_check",
                           ["-m", "512", "-monitor", "unix:%s,server=on,wait=off" % monitor]
                           + devices)
        text = run_console(cmd, timeout, lambda line, answer: _monitor_request(
            line, answer, monitor, media or {}))
        if "@@ begin" not in text or "@@ end" not in text:
            raise AssertionError("the guest did not run its checks:\n" + text[-4000:])
        return text.split("@@ begin\n", 1)[1].split("@@ end", 1)[0].splitlines()


def _monitor_request(line, answer, monitor, media):
    words = line.split()
    if line.startswith("@@ insert "):
        out = hmp(monitor, "change %s %s raw read-only" % (words[2], media[words[2]]))
        answer("@@ inserted %s %s\n" % (words[2], "ok" if not out.strip() else "failed"))
    elif line.startswith("@@ throttle "):
        # Arguments: bps bps_rd bps_wr iops iops_rd iops_wr.
        out = hmp(monitor, "block_set_io_throttle %s 0 %s 0 0 0 0" % (words[2], words[3]))
        answer("@@ throttled %s %s\n" % (words[2], "ok" if not out.strip() else "failed"))


def run_console(cmd, timeout, on_line):
    """Runs QEMU with the guest's console on its standard input and output;
    hands each line it prints to on_line(line, answer), where answer(text)
    types text on the console. Returns all it printed."""
    proc = subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT)
    timer = threading.Timer(timeout, proc.kill)
    timer.start()
    lines = []

    def answer(text):
        proc.stdin.write(text.encode())
        proc.stdin.flush()

    try:
        for raw in proc.stdout:
            line = raw.decode("utf-8", "replace").rstrip("\r\n")
            lines.append(line)
            on_line(line, answer)
    finally:
        timer.cancel()
        proc.kill()
        proc.wait()
        proc.stdout.close()
        try:
            proc.stdin.close()
        except BrokenPipeError:
            pass
    return "\n".join(lines) + "\n"


def hmp(path, command, timeout=30):
    """Sends one command to QEMU's human monitor on a Unix socket; returns
    what it answered."""
    deadline = time.monotonic() + timeout
    with socket.socket(socket.AF_UNIX) as s:
        s.settimeout(timeout)
        s.connect(path)
        data = b""
        while not data.endswith(b"(qemu) "):
            data += s.recv(4096)
        s.sendall(command.encode() + b"\n")
        data = b""
        while not data.endswith(b"(qemu) ") and time.monotonic() < deadline:
            data += s.recv(4096)
    # The monitor echoes the command with terminal escapes; keep its answer.
    text = re.sub(r"\x1b\[[0-9;]*[A-Za-z]", "", data.decode("utf-8", "replace"))
    body = text.rsplit("(qemu) ", 1)[0]
    return body.split(command, 1)[-1].strip("\r\n")


def parse_sections(lines):
    """What the checks' "section NAME" helper printed, as {NAME: (stdout
    lines, exit status, stderr lines)}: a section's lines follow "@@ section
    NAME" and end with "@@ rc N", its standard error on "@@ stderr" lines.
    Other "@@" lines are the guest's talk with the host."""
    sections, name = {}, None
    for line in lines:
        if line.startswith("@@ section "):
            name = line[len("@@ section "):]
            sections[name] = ([], None, [])
        elif name is None:
            continue
        elif line.startswith("@@ rc "):
            sections[name] = (sections[name][0], int(line[6:]), sections[name][2])
        elif line.startswith("@@ stderr "):
            sections[name][2].append(line[len("@@ stderr "):])
        elif line.startswith("@@ "):
            continue
        else:
            sections[name][0].append(line)
    return sections


def scsi_controller(n):
    return ["-device", "virtio-scsi-pci,id=scsi%d" % n]


def scsi_disk(n, bus, target, path):
    return ["-drive", "if=none,id=hd%d,file=%s,format=raw" % (n, path),
            "-device", "scsi-hd,bus=scsi%d.0,scsi-id=%d,drive=hd%d" % (bus, target, n)]


def scsi_cdrom(n, bus, target, path=None, lun=0):
    return cdrom(n, path, "scsi-cd,bus=scsi%d.0,scsi-id=%d,lun=%d" % (bus, target, lun))


def ide_cdrom(path):
    return ["-drive", "if=ide,index=2,media=cdrom,readonly=on,format=raw,file=%s" % path]


def ahci_cdrom(n, path):
    return ["-device", "ahci,id=ahci%d" % n] + cdrom(n, path, "ide-cd,bus=ahci%d.0" % n)


def usb_cdrom(n, path):
    """A CD-ROM drive on a USB bulk-only port of an xHCI controller."""
    return (["-device", "qemu-xhci,id=xhci%d" % n, "-device", "usb-bot,id=bot%d,bus=xhci%d.0"
             % (n, n)] + cdrom(n, path, "scsi-cd,bus=bot%d.0" % n))


def cdrom(n, path, device):
    """Drive cdN as the QEMU device given, with the disc at path (None: no disc)."""
    medium = ",file=%s,format=raw" % path if path else ""
    return ["-drive", "if=none,id=cd%d,media=cdrom,readonly=on%s" % (n, medium),
            "-device", "%s,drive=cd%d" % (device, n)]


def make_disc(path, workdir, extra=0):
    """An ISO 9660 image whose system area (blocks 0-15) is random bytes,
    holding a file of extra random bytes."""
    area = os.path.join(workdir, "system-area.bin")
    with open(area, "wb") as f:
        f.write(os.urandom(32768))
    src = os.path.join(workdir, "disc-files")
    os.makedirs(src, exist_ok=True)
    with open(os.path.join(src, "README.TXT"), "w") as f:
        f.write("sysgrab test disc\n")
    with open(os.path.join(src, "RANDOM.BIN"), "wb") as f:
        f.write(os.urandom(extra))
    subprocess.run(["xorriso", "-as", "mkisofs", "-V", "SYSGRAB_VM", "-G", area, "-o", path, src],
                   check=True, capture_output=True)
    return path


def make_disk(path, size=1 << 20):
    with open(path, "wb") as f:
        f.write(os.urandom(size))
    return path
