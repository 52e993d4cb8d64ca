"""Boots Debian's kernel in QEMU with an initramfs holding busybox, the SCSI
modules, sysgrab with its ASPI layer, sg3-utils' sg_dd and aspicheck, runs a
shell script there and hands back what it printed.

Environment: SYSGRAB_BIN (build/linux/sysgrab, with libwnaspi32.so beside
it), ASPICHECK_BIN (the aspicheck driver). The kernel comes from
tests/vm/kernel.sh (scripts/setup.sh vm fetches it)."""

import glob
import gzip
import os
import re
import shutil
import subprocess
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))

# Loaded in this order, each after what it depends on.
MODULES = ["sg", "sr_mod", "virtio_pci", "virtio_scsi", "ata_piix"]


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


def make_root(root, kdir, init, modules=None):
    """The base of an initramfs in root: busybox, init (the script's text)
    and the kernel modules with the order to load them in."""
    for d in ("bin", "proc", "sys", "dev", "modules"):
        os.makedirs(os.path.join(root, d), exist_ok=True)
    _copy("/bin/busybox", root, "/bin/busybox")
    with open(os.path.join(root, "init"), "w") as f:
        f.write(init)
    os.chmod(os.path.join(root, "init"), 0o755)
    order = _module_order(kdir, modules)
    for name, path in order:
        _copy(path, root, "/modules/%s.ko" % name)
    with open(os.path.join(root, "modules.order"), "w") as f:
        f.write("\n".join(name for name, _ in order) + "\n")


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
            make_root(root, self.kdir, f.read())
        for d in ("tmp", "etc", "opt/sysgrab"):
            os.makedirs(os.path.join(root, d), exist_ok=True)
        binaries = [self.sysgrab, self.aspicheck, shutil.which("sg_dd")]
        for b in binaries:
            _copy(b, root, "/opt/sysgrab/" + os.path.basename(b))
        # The program's folder holds the layer, as in the build folder.
        _copy(self.layer, root, "/opt/sysgrab/libwnaspi32.so")
        for b in binaries + [self.layer]:
            for lib in _libraries(b):
                if not os.path.exists(os.path.join(root, lib.lstrip("/"))):
                    _copy(os.path.realpath(lib), root, lib)
        # A user without rights to raw I/O, for the access checks.
        with open(os.path.join(root, "etc/passwd"), "w") as f:
            f.write("root:x:0:0::/:/bin/sh\nuser:x:1000:1000::/tmp:/bin/sh\n")
        with open(os.path.join(root, "etc/group"), "w") as f:
            f.write("root:x:0:\nuser:x:1000:\n")

    def boot(self, devices, units, script, machine="pc", timeout=900):
        """Boots with the QEMU device arguments, waits for that many SCSI
        units, runs script; returns the console lines between the guest's
        begin and end marks."""
        with open(os.path.join(self.root, "checks.sh"), "w") as f:
            f.write(script)
        with open(os.path.join(self.root, "units"), "w") as f:
            f.write("%d\n" % units)
        initrd = os.path.join(self.workdir, "initrd.gz")
        _cpio(self.root, initrd)
        cmd = qemu_command("%s,accel=%s" % (machine, accelerator()), self.kernel, initrd,
                           "console=ttyS0 quiet panic=-1 loglevel=3 scsi_mod.scan=sync",
                           ["-m", "512"] + devices)
        proc = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                              timeout=timeout)
        text = proc.stdout.decode("utf-8", "replace").replace("\r\n", "\n")
        if "@@ begin" not in text or "@@ end" not in text:
            raise AssertionError("the guest did not run its checks:\n" + text[-4000:])
        return text.split("@@ begin\n", 1)[1].split("@@ end", 1)[0].splitlines()


def scsi_controller(n):
    return ["-device", "virtio-scsi-pci,id=scsi%d" % n]


def scsi_disk(n, bus, target, path):
    return ["-drive", "if=none,id=hd%d,file=%s,format=raw" % (n, path),
            "-device", "scsi-hd,bus=scsi%d.0,scsi-id=%d,drive=hd%d" % (bus, target, n)]


def scsi_cdrom(n, bus, target, path=None):
    medium = ",file=%s,format=raw" % path if path else ""
    return ["-drive", "if=none,id=cd%d,media=cdrom,readonly=on%s" % (n, medium),
            "-device", "scsi-cd,bus=scsi%d.0,scsi-id=%d,drive=cd%d" % (bus, target, n)]


def ide_cdrom(path):
    return ["-drive", "if=ide,index=2,media=cdrom,readonly=on,format=raw,file=%s" % path]


def make_disc(path, workdir):
    """An ISO 9660 image whose system area (blocks 0-15) is random bytes."""
    area = os.path.join(workdir, "system-area.bin")
    with open(area, "wb") as f:
        f.write(os.urandom(32768))
    src = os.path.join(workdir, "disc-files")
    os.makedirs(src, exist_ok=True)
    with open(os.path.join(src, "README.TXT"), "w") as f:
        f.write("sysgrab test disc\n")
    subprocess.run(["xorriso", "-as", "mkisofs", "-V", "SYSGRAB_VM", "-G", area, "-o", path, src],
                   check=True, capture_output=True)
    return path


def make_disk(path, size=1 << 20):
    with open(path, "wb") as f:
        f.write(os.urandom(size))
    return path
