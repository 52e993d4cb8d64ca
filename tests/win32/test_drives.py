"""sysgrab.exe and its SPTI layer, WNASPI32.DLL, reading QEMU's own drives:
Wine runs in a QEMU guest (tests/win32/guest.py: Debian's kernel, this
machine's root shared over virtio-9p), where the drive letters of a Wine
prefix lead to the guest's /dev/srN. One boot per group of drives:

  Drives   a virtio-scsi disk at target 0 and CD-ROMs at target 4, at LUN 1
           of it and at target 9, and an ATAPI CD-ROM on the q35 AHCI
           controller, each with a disc whose first 32 KiB are random
  Media    a virtio-scsi CD-ROM drive with no disc (sysgrab.exe: not ready),
           one put in through QEMU's monitor right before a run

Environment: SYSGRAB_BUILD (the win32 or win64 build: sysgrab.exe,
WNASPI32.DLL, tests/client/aspicheck.exe, and its Wine prefix, made in a
guest first if missing), SYSGRAB_LINUX_BIN (the linux build's sysgrab with
its sg layer, the peer read in the same guest), SYSGRAB_WINE (the Wine
loader), SYSGRAB_BITS (32 or 64). The 32-bit build runs where this
machine's root has Wine's 32-bit loader (the guest's kernel runs it), the
64-bit build, under Wine's 64-bit loader, where it has none: one of them,
never both.
"""

import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

import guest
import wine
from harness import IMAGE_SIZE, GuestChecks, fields, sha

SKIP = 77
BUILD = os.environ.get("SYSGRAB_BUILD", "build/win32")
WINE = os.environ.get("SYSGRAB_WINE", "wine")
BITS = int(os.environ.get("SYSGRAB_BITS", "32"))
LINUX_BIN = os.environ.get("SYSGRAB_LINUX_BIN", "build/linux/sysgrab")
PREFIX = os.path.join(BUILD, "wineprefix")
READY = ".sysgrab-ready"  # as tests/win32/wine.py marks a finished prefix

# Kernel modules for the drives, in this order: virtio-scsi's host is host 0,
# the AHCI ports the hosts after it.
MODULES = ["virtio_scsi", "ahci", "sd_mod", "sr_mod", "sg"]

READ10_LBA0 = "28000000000000000100"
READ10_LBA0_2 = "28000000000000000200"  # two blocks
READ10_LBA0_16 = "28000000000000001000"  # sixteen blocks
READ10_BEYOND = "28000010000000000100"  # block 1048576, past the disc's end
TEST_UNIT_READY = "000000000000"
# MODE SELECT(10), page format, an 8-byte parameter list: the header alone.
MODE_SELECT10 = "55100000000000000800"
# SRB_Flags
RESIDUAL, DIR_IN, DIR_OUT, EVENT = 0x04, 0x08, 0x10, 0x40
CLEAN = "beyond clean sensebeyond clean"
DENIED = ("wnaspi32: \\\\.\\%s:: access denied: another program may hold the drive, or "
          "security software or a device policy may block raw access")
# Windows 2000 and XP also name the account.
DENIED_XP = DENIED + ", or this account may lack administrator rights"

# Shell helpers for the guest, with the CDBs the checks send. A section is one command's standard output,
# exit status and standard error; Wine writes to files, not to the serial
# console, which would get its terminal escapes.
PRELUDE = r"""
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
export WINEDEBUG=-all WINEDLLOVERRIDES=wnaspi32=n
now() { date +%s%N; }
section() {
	name=$1; shift
	echo "@@ section $name"
	"$@" >/tmp/stdout 2>/tmp/stderr
	rc=$?
	cat /tmp/stdout
	echo "@@ rc $rc"
	sed 's/^/@@ stderr /' /tmp/stderr
}
sha() { sha256sum "$1" | cut -d' ' -f1; }
# The block device of the CD-ROM whose sysfs path holds $1, and its sg node.
sr_at() {
	for s in /sys/block/sr*; do
		case $(readlink -f $s) in *"$1"*) echo /dev/${s##*/} ;; esac
	done
}
sg_of() { echo /dev/$(ls /sys/block/${1#/dev/}/device/scsi_generic); }
# Drive letters: "drives d=/dev/sr1 f=/dev/sda" leaves exactly those, each a
# mount point and its device; the prefix's registry says which letters are
# CD-ROM drives.
drives() {
	for l in d e f g h; do
		rm -f "$WINEPREFIX/dosdevices/$l:" "$WINEPREFIX/dosdevices/$l::"
	done
	for m in "$@"; do
		ln -s /tmp/mnt "$WINEPREFIX/dosdevices/${m%%=*}:"
		ln -s "${m#*=}" "$WINEPREFIX/dosdevices/${m%%=*}::"
	done
}
# A Wine session: its server, with Wine's services, started once for the
# runs that follow. Wine's mount manager learns the drive letters when it
# starts, and the server opens the device nodes for the programs: a new set
# of letters, or a server without CAP_DAC_OVERRIDE ("session unprivileged
# INFO LETTERS"), needs a new session. It waits, up to 60 s, until the
# layer's support info is INFO: the services learn the letters' types on
# their own time.
AS=
session() {
	wineserver -k 2>/dev/null
	wineserver -w 2>/dev/null
	AS=
	if [ "$1" = unprivileged ]; then
		AS=unprivileged
		shift
	fi
	want=$1
	shift
	drives "$@"
	t0=$(now)
	$AS wineserver -p600
	$AS $WINE cmd /c exit >/dev/null 2>&1
	for i in $(seq 60); do
		aspicheck info 2>/dev/null | grep -q "^info $want" && break || sleep 1
	done
	echo "@@ time wine-start $(( ($(now) - t0) / 1000000 ))"
}
sysgrab() { $AS $WINE "$W/sysgrab.exe" "$@"; }
aspicheck() { $AS $WINE "$W/aspicheck.exe" "$@"; }
# Every open and close of a disk, CD-ROM or SCSI generic node while "$@"
# runs, in /tmp/opens, watched with inotify: nothing attaches to the server.
watched() { python3 "$OPENS" /tmp/opens /dev/sd? /dev/sr* /dev/sg* -- "$@"; }
# Runs sysgrab.exe as section $1 writing $1.bin, then its hash.
grab() {
	section $1 sysgrab $1.bin
	section $1-hash sha $1.bin
}
# The user without CAP_DAC_OVERRIDE: the device nodes' modes apply to root.
unprivileged() { setpriv --bounding-set=-dac_override,-dac_read_search "$@"; }
# Asks the host to put the disc into drive $1 through QEMU's monitor.
insert() { echo "@@ insert $1"; read -r answer </dev/console; echo "@@ answer $answer"; }
# Waits up to 60 s for $UNITS SCSI units (AHCI ports are probed on their own).
for i in $(seq 300); do
	[ "$(ls /sys/class/scsi_generic | wc -l)" -ge "$UNITS" ] && break
	sleep 0.2
done
mkdir -p /tmp/mnt /tmp/run
cd /tmp/run
# aspicheck's line without the buffer it dumps, then "data-sha" and the
# SHA-256 of the buffer's hex digits, and "data-head" and its first 32 bytes.
dumped() {
	"$@" >/tmp/dump
	rc=$?
	sed 's/ data .*//' /tmp/dump
	echo "data-sha $(sed -n 's/.* data //p' /tmp/dump | tr -d '\r\n' | sha256sum | cut -d' ' -f1)"
	echo "data-head $(sed -n 's/.* data //p' /tmp/dump | cut -c1-64)"
	return $rc
}
# Resets E:, at $1 (adapter:target:lun), in one load of the layer: once,
# then once E: leads to $2, then its device type. E: leads to $SCSI after.
relinked() {
	rm -f /tmp/go
	{ for i in $(seq 300); do grep -q go /tmp/go && break || sleep 0.2; done
	  ln -sfn $2 "$WINEPREFIX/dosdevices/e::"; echo; } 2>/dev/null |
		aspicheck cmd 4:$1 wait 4:$1 1:$1 | tee /tmp/go
	ln -sfn $SCSI "$WINEPREFIX/dosdevices/e::"
}
"""

# The same 16 blocks from the same drive through the kernel's block and
# SCSI generic drivers.
PEERS = r"""
section {name}-dd dd if={node} of={name}-dd.bin bs=2048 count=16
section {name}-sg_dd sg_dd if=$(sg_of {node}) of={name}-sg_dd.bin bs=2048 count=16
section {name}-peers sha256sum {name}-dd.bin {name}-sg_dd.bin
"""


def parse(lines):
    """{section: (stdout lines, rc, stderr lines)} and {timer: [seconds]}
    (the guest's "@@ time NAME MS" lines)."""
    times = {}
    for line in lines:
        if line.startswith("@@ time "):
            _, _, what, seconds = line.split()
            times.setdefault(what, []).append(int(seconds) / 1000)
    return guest.vmguest.parse_sections(lines), times


def make_prefix():
    """The build's Wine prefix, made in a guest where it is missing (this
    machine may not run Wine's 32-bit loader)."""
    if os.path.exists(os.path.join(PREFIX, READY)):
        return
    print("making the Wine prefix %s in a guest" % PREFIX, flush=True)
    start = time.monotonic()
    # The prefix is whole once the server has written the registry and
    # left; only then is it marked ready.
    command = ("rm -rf {p}\n"
               "WINEPREFIX={p} WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml= "
               "{wine} wineboot -i </dev/null >/tmp/wineboot.log 2>&1\n"
               "echo \"wineboot: exit status $?\"; tail -n 20 /tmp/wineboot.log | cat -v\n"
               "WINEPREFIX={p} wineserver -w\n"
               "[ -s {p}/system.reg ] && touch {p}/{ready}\n").format(
                   p=guest.shquote(PREFIX), wine=guest.shquote(WINE), ready=READY)
    if guest.run(BUILD, command) != 0:
        raise AssertionError("could not make the Wine prefix %s" % PREFIX)
    print("guest: made the prefix in %.1f s" % (time.monotonic() - start), flush=True)


def copy_prefix(cdrom, disk):
    """A copy of the build's prefix beside it, files hard-linked and the
    top-level files copied (the Wine server replaces the registry files,
    never writes into them), whose registry makes the letters in cdrom
    CD-ROM drives and those in disk hard disks, aspicheck-xp.exe a program
    that Wine tells it runs on Windows XP and sysgrab-98.exe one on
    Windows 98."""
    path = tempfile.mkdtemp(prefix="wineprefix-drives-", dir=BUILD)
    os.rmdir(path)
    subprocess.run(["cp", "-al", PREFIX, path], check=True)
    for name in os.listdir(PREFIX):
        source = os.path.join(PREFIX, name)
        if os.path.isfile(source) and not os.path.islink(source):
            os.remove(os.path.join(path, name))
            shutil.copy2(source, os.path.join(path, name))
    # Wine reads the drive types from HKLM\Software\Wine\Drives in the
    # 64-bit view; a key repeated in a registry file adds to the first.
    with open(os.path.join(path, "system.reg"), "a") as f:
        f.write("\n[Software\\\\Wine\\\\Drives]\n")
        for letters, kind in ((cdrom, "cdrom"), (disk, "hd")):
            for letter in letters:
                f.write('"%s:"="%s"\n' % (letter, kind))
    with open(os.path.join(path, "user.reg"), "a") as f:
        f.write('\n[Software\\\\Wine\\\\AppDefaults\\\\aspicheck-xp.exe]\n"Version"="winxp"\n')
        f.write('\n[Software\\\\Wine\\\\AppDefaults\\\\sysgrab-98.exe]\n"Version"="win98"\n')
    return path


class Boot(GuestChecks, unittest.TestCase):
    """One guest: its drives, and a script of checks run with Wine."""

    units = 1  # SCSI units to wait for
    script = ""

    @classmethod
    def devices(cls):
        raise NotImplementedError

    @classmethod
    def setUpClass(cls):
        # Beside the prefix copy: where the build is below /tmp, the guest
        # keeps only the folder of /tmp that holds its working directory.
        cls.work = tempfile.mkdtemp(prefix="drives-", dir=BUILD)
        cls.prefix = None
        try:
            cls.boot()
        except BaseException:
            cls.tearDownClass()
            raise

    @classmethod
    def boot(cls):
        make_prefix()
        cls.prefix = copy_prefix("degh", "f")
        program = os.path.join(cls.work, "program")
        os.makedirs(program)
        for path in ("sysgrab.exe", "WNASPI32.DLL", "tests/client/aspicheck.exe"):
            shutil.copy2(os.path.join(BUILD, path), program)
        shutil.copy2(os.path.join(program, "aspicheck.exe"),
                     os.path.join(program, "aspicheck-xp.exe"))
        shutil.copy2(os.path.join(program, "sysgrab.exe"), os.path.join(program, "sysgrab-98.exe"))
        cls.discs, cls.blocks = {}, {}
        for name in ("a", "b", "c", "d"):
            path = os.path.join(cls.work, name + ".iso")
            guest.vmguest.make_disc(path, cls.work, 1 << 20 if name == "b" else 0)
            cls.blocks[name] = os.path.getsize(path) // 2048
            with open(path, "rb") as f:
                cls.discs[name] = f.read(IMAGE_SIZE)
                cls.discs[name + "-long"] = cls.discs[name] + f.read((1 << 20) - IMAGE_SIZE)
        cls.disk = guest.vmguest.make_disk(os.path.join(cls.work, "disk.img"))
        head = ("UNITS=%d\nW=%s\nLINUX_SYSGRAB=%s\nexport WINEPREFIX=%s\nWINE=%s\nOPENS=%s\n"
                % (cls.units, guest.shquote(program), guest.shquote(os.path.abspath(LINUX_BIN)),
                   guest.shquote(cls.prefix), guest.shquote(WINE),
                   guest.shquote(os.path.join(os.path.dirname(os.path.abspath(__file__)), "opens.py"))))
        for name in ("READ10_LBA0", "READ10_LBA0_2", "READ10_BEYOND", "TEST_UNIT_READY",
                     "MODE_SELECT10"):
            head += "%s=%s\n" % (name, globals()[name])
        lines = []
        start = time.monotonic()
        status = guest.run(cls.work, head + PRELUDE + cls.script + "wineserver -k\n",
                           echo=lines.append, devices=cls.devices(), modules=MODULES,
                           append="scsi_mod.scan=sync",
                           media={"cd0": os.path.join(cls.work, "a.iso")})
        cls.lines = lines
        cls.out, times = parse(lines)
        starts = times.get("wine-start", [])
        print("%s: %d Wine sessions, starting in %s s; the boot %.1f s in all"
              % (cls.__name__, len(starts), ", ".join("%.1f" % t for t in starts),
                 time.monotonic() - start), flush=True)
        if status != 0:
            raise AssertionError("the guest's checks ended with status %d" % status)

    @classmethod
    def tearDownClass(cls):
        if cls.prefix:
            shutil.rmtree(cls.prefix, True)
        shutil.rmtree(cls.work, True)

    def value(self, name):
        return self.section(name)[0][0]

    def assertPeers(self, name, disc):
        for peer in ("dd", "sg_dd"):
            self.section("%s-%s" % (name, peer))
        hashes = [line.split()[0] for line in self.section(name + "-peers")[0]]
        self.assertEqual(hashes, [sha(self.discs[disc][:IMAGE_SIZE])] * 2)

    def check(self, name):
        """aspicheck's line as fields (with "data-sha" and "data-head"
        where it dumped the buffer)."""
        stdout, err = self.section(name)
        self.assertEqual(err, [])
        got = {}
        for line in stdout:
            got.update(fields(line))
        return got


class Drives(Boot):
    """A disk at target 0 and CD-ROMs at target 4 (disc a), at LUN 1 of it
    (disc d) and at target 9 (disc c) on virtio-scsi, and an ATAPI CD-ROM
    (disc b) on the AHCI controller's third port. D:, E:, G: and H: are
    CD-ROM letters, F: a hard disk letter."""

    units = 5

    @classmethod
    def devices(cls):
        vm = guest.vmguest
        return (vm.scsi_controller(0) + vm.scsi_disk(0, 0, 0, cls.disk) +
                vm.scsi_cdrom(0, 0, 4, os.path.join(cls.work, "a.iso")) +
                vm.scsi_cdrom(2, 0, 9, os.path.join(cls.work, "c.iso")) +
                vm.scsi_cdrom(3, 0, 4, os.path.join(cls.work, "d.iso"), lun=1) +
                vm.cdrom(1, os.path.join(cls.work, "b.iso"), "ide-cd,bus=ide.2"))

    script = r"""
SCSI=$(sr_at /0:0:4:0/)
ATAPI=$(sr_at /ata)
HIGH=$(sr_at /0:0:9:0/)
LUN=$(sr_at /0:0:4:1/)
section nodes echo $SCSI $ATAPI $(readlink -f /sys/block/${ATAPI#/dev/} | grep -o '/host[0-9]*/' | tr -dc 0-9)

# Both CD-ROM drives, the AHCI port's at the earlier letter, and the disk
# as a hard disk letter; every device node opened while sysgrab.exe runs.
session 00000104 d=$ATAPI e=$SCSI f=/dev/sda
section both watched $WINE "$W/sysgrab.exe" both.bin
section both-hash sha both.bin
section both-opens cat /tmp/opens
""" + PEERS.format(name="both", node="$SCSI") + r"""
# The linux build's sysgrab, with its sg layer, finds the same drive.
section linux "$LINUX_SYSGRAB" linux.bin
section linux-hash sha linux.bin
# Told it runs on Windows 98, with no layer in the system folder (Wine's refused).
section win98 $WINE "$W/sysgrab-98.exe" win98.bin
section win98-hash sha win98.bin
# Where a program that finds drives by their letters addresses them.
section address-d aspicheck address D
section address-e aspicheck address E
section info aspicheck info
for a in 0 1 2 3 4; do section inquiry-$a aspicheck inquiry $a; done
section type-scsi aspicheck type 2 4 0
section type-atapi aspicheck type 3 0 0
section type-disk aspicheck type 2 0 0
section type-lun aspicheck type 2 4 1
section type-empty aspicheck type 1 4 0
section type-adapter aspicheck type 4 0 0
section disk-scsi aspicheck disk 2 4 0 garbage
section disk-atapi aspicheck disk 3 0 0
section disk-empty aspicheck disk 2 1 0
section disk-adapter aspicheck disk 4 0 0
section ready aspicheck raw 2 4 0 44 0 6 $TEST_UNIT_READY
section mode-select aspicheck raw 2 4 0 54 8 10 $MODE_SELECT10 data 0000000000000000
section read-scsi dumped aspicheck raw 2 4 0 4c 2048 10 $READ10_LBA0 dump
section read-atapi dumped aspicheck raw 3 0 0 4c 4096 10 $READ10_LBA0_2 dump
# READ CAPACITY(10) (8 bytes) and READ TOC, format 0, up to 828 bytes, each
# with 63 KiB of buffer, more than the drive takes in one command.
section capacity dumped aspicheck raw 2 4 0 4c 64512 10 25000000000000000000 dump
section toc dumped aspicheck raw 2 4 0 4c 64512 10 43000000000000033c00 dump
# Transfer lengths Wine miscounts: one block into 28 KiB, the most it takes
# (virtio-scsi says none moved, AHCI all of it), sixteen blocks into one
# block's room (GOOD). Then 1 MiB, and one block into 64 KiB, in pieces.
section long-scsi dumped aspicheck raw 2 4 0 4c 28672 10 $READ10_LBA0 dump
section long-atapi dumped aspicheck raw 3 0 0 4c 28672 10 $READ10_LBA0 dump
section mib-atapi dumped aspicheck raw 3 0 0 4c 1048576 10 28000000000000020000 dump
section wide-scsi dumped aspicheck raw 2 4 0 4c 65536 10 $READ10_LBA0 dump
section wide-atapi dumped aspicheck raw 3 0 0 4c 65536 10 $READ10_LBA0 dump
section over-scsi dumped aspicheck raw 2 4 0 4c 2048 10 $READ10_LBA0_16 dump
section beyond aspicheck raw 2 4 0 4c 2048 10 $READ10_BEYOND
section cdb-0 aspicheck raw 2 4 0 48 2048 0 $READ10_LBA0
section cdb-17 aspicheck raw 2 4 0 48 2048 17 $READ10_LBA0
section null-buffer aspicheck raw 2 4 0 48 2048 10 $READ10_LBA0 nullbuf
section no-direction aspicheck raw 2 4 0 40 2048 10 $READ10_LBA0
section no-adapter aspicheck raw 4 0 0 48 2048 10 $READ10_LBA0
section no-target aspicheck raw 2 1 0 48 2048 10 $READ10_LBA0
section no-unit aspicheck raw 0 4 0 48 2048 10 $READ10_LBA0
# Resets of the virtio drive: one, then one after E: was linked to the ATAPI
# drive, and its device type.
section reset relinked 2:4:0 $ATAPI

# The ATAPI drive alone.
session 00000101 d=$ATAPI
grab atapi
""" + PEERS.format(name="atapi", node="$ATAPI") + r"""
# The drives at target 9 and at LUN 1, as G: and H:.
session unprivileged 00000106 d=$ATAPI e=$SCSI g=$HIGH h=$LUN
section disk-4 aspicheck disk 4 0 0
section disk-5 aspicheck disk 5 0 0
# Nodes root may not open without CAP_DAC_OVERRIDE, one after another:
# first the virtio drive's (adapter 2 while it is there), then the ATAPI
# drive's, G:'s, H:'s; each run reads the first drive left.
chmod 000 $SCSI
grab denied
chmod 000 $ATAPI
grab high
chmod 000 $HIGH
grab lun
chmod 000 $LUN
grab denied-all
section denied-xp $AS $WINE "$W/aspicheck-xp.exe" info
chmod 600 $SCSI $ATAPI $HIGH $LUN
"""

    def nodes(self):
        scsi, atapi, host = self.value("nodes").split()
        return scsi, atapi, int(host)

    def test_first_adapter_drive_read_as_its_peers_read_it(self):
        # D: is the ATAPI drive, but on path 3 it is on an adapter after the
        # virtio drive's, its port (2). Told it runs on Windows 98, the same.
        self.assertGrabbed("both", "02:04", self.discs["a"])
        self.assertPeers("both", "a")
        self.assertGrabbed("win98", "02:04", self.discs["a"])
        self.assertGrabbed("linux", "00:04", self.discs["a"])

    def test_disk_is_never_opened(self):
        scsi, atapi, _ = self.nodes()
        # The layer opens \\.\D: and \\.\E: once each, read and write (the
        # Wine server opens the nodes their dosdevices/d:: and e:: lead to);
        # F:, the disk's letter, is no CD-ROM letter: no other node is opened.
        opens = self.section("both-opens")[0]
        self.assertEqual(sorted(opens), sorted(["open " + atapi, "close-write " + atapi,
                                                "open " + scsi, "close-write " + scsi]),
                         "\n".join(opens))

    def test_atapi_cdrom(self):
        self.assertGrabbed("atapi", "00:00", self.discs["b"])
        self.assertPeers("atapi", "b")

    def test_adapters(self):
        _, _, host = self.nodes()
        # Wine's address: port the Linux channel + 2, path the Linux host. A
        # drive on path 0 is at adapter port, target target (read-scsi and
        # the rest go there); ports 0 and 1 are adapters without units,
        # with the layer's default limit, 64 KiB. Wine's pass-through takes
        # at most 32 KiB in 8 pages: 28 KiB, as Windows counts pages.
        self.assertEqual(self.value("address-e"), "port 2 path 0 target 4 lun 0")
        self.assertEqual(self.value("address-d"), "port 2 path %d target 0 lun 0" % host)
        self.assertEqual(self.value("info"), "info 00000104")
        for adapter, name, limit in ((0, "Port 0", 65536), (1, "Port 1", 65536),
                                     (2, "Port 2 Bus 0", 28672), (3, "Drive D:", 28672)):
            with self.subTest(adapter=adapter):
                self.assertEqual(self.value("inquiry-%d" % adapter),
                                 "ret 01 status 01 count 4 id 7 manager [sysgrab SPTI    ] "
                                 "identifier [%-16s] unique 00000208%s0000000000000000"
                                 % (name, limit.to_bytes(4, "little").hex()))
        got = self.check("inquiry-4")
        self.assertEqual((got["ret"], got["status"], got["count"]), ("81", "81", "4"))

    def test_reset(self):
        # Once E: leads to another device, the reset does not go there and
        # the drive has gone.
        self.assertEqual(self.section("reset")[0],
                         ["ret 01 status 01 ha 00 value 0 go",
                          "ret 82 status 82 ha 00 value 0 ret 82 status 82 ha 00 value 0"])

    def test_device_types_and_drive_letters(self):
        # The disk is no unit of the layer's: only CD-ROM letters are.
        for name, answer in (("scsi", "ret 01 status 01 type 05"),
                             ("atapi", "ret 01 status 01 type 05"),
                             ("disk", "ret 82 status 82 type 00"),
                             ("lun", "ret 82 status 82 type 00"),
                             ("empty", "ret 82 status 82 type 00"),
                             ("adapter", "ret 81 status 81 type 00")):
            with self.subTest(name):
                self.assertEqual(self.value("type-" + name), answer)
        # SC_GET_DISK_INFO: the virtio drive is E: (4), the ATAPI drive D:
        # (3); nothing written outside bytes 1 and 10 to 13 of the record.
        for name, status, letter in (("scsi", "01", 4), ("atapi", "01", 3),
                                     ("empty", "82", None), ("adapter", "81", None)):
            with self.subTest("disk-" + name):
                got = self.check("disk-" + name)
                self.assertEqual((got["ret"], got["status"], got["others"]),
                                 (status, status, "clean"), got)
                if letter is not None:
                    self.assertEqual((got["driveflags"], got["int13"], got["heads"],
                                      got["sectors"]), ("00", "%02x" % letter, "00", "00"), got)

    def test_commands(self):
        block0 = sha(self.discs["a"][:2048].hex().encode())
        blocks01 = sha(self.discs["b"][:4096].hex().encode())
        # The drive moves what the CDB bounds, the rest of the 63 KiB stays
        # 0xA5: READ CAPACITY's last block and 2048-byte blocks; a one-track
        # data disc's TOC, 18 bytes after its length, tracks 1 to 1, track 1
        # at block 0, the lead-out (AAh) at the disc's end, ADR and control
        # not checked, and QEMU's zeros up to the 828 bytes asked for.
        # (section, status, target status, residual, data)
        blocks = self.blocks["a"]
        cases = [("ready", "01", "00", "0", None),
                 ("mode-select", "01", "00", "0", None),
                 ("read-scsi", "01", "00", "0", block0),
                 ("read-atapi", "01", "00", "0", blocks01),
                 ("capacity", "01", "00", "64504", "%08x00000800(a5){24}" % (blocks - 1)),
                 ("toc", "01", "00", "63684", "0012010100..010000000000" "00..aa00%08x(00){12}"
                  % blocks)]
        for name, status, targ, resid, data in cases:
            with self.subTest(name):
                got = self.check(name)
                line = " ".join("%s %s" % kv for kv in got.items())
                self.assertEqual((got["ret"], got["status"], got["ha"], got["targ"],
                                  got["resid"], got["notified"]),
                                 (status, status, "00", targ, resid, "1"), line)
                self.assertEqual(got["sense"], "00" * 14, line)
                self.assertEqual((got["beyond"], got["sensebeyond"]), ("clean", "clean"), line)
                if data is not None and "(" in data:
                    self.assertRegex(got["data-head"], "^%s$" % data, line)
                    self.assertEqual(int(got["written"]), 64512 - int(resid), line)
                elif data is not None:
                    self.assertEqual(got["data-sha"], data, "the data read differ")

    def test_miscounted_transfers(self):
        # The caller's buffer holds exactly what the drive wrote over its
        # own bytes (0xA5): not lost where Wine says nothing moved (QEMU's
        # virtio-scsi fills the whole buffer, with the blocks that follow),
        # and no stale bytes where it says all moved and one block did.
        cases = [("long-scsi", self.discs["a"][:28672]),
                 ("long-atapi", self.discs["b"][:2048] + b"\xa5" * 26624),
                 ("mib-atapi", self.discs["b-long"]),
                 ("wide-scsi", self.discs["a"][:2048] + b"\xa5" * 63488),
                 ("wide-atapi", self.discs["b"][:2048] + b"\xa5" * 63488),
                 ("over-scsi", None)]
        for name, data in cases:
            with self.subTest(name):
                got = self.check(name)
                self.assertEqual((got["ha"], got["beyond"]), ("00", "clean"), got)
                if data is None:
                    # The drive refused the transfer; whatever the status,
                    # the buffer is the caller's own.
                    self.assertEqual(got["written"], "0", got)
                else:
                    self.assertEqual((got["ret"], got["status"]), ("01", "01"), got)
                    self.assertEqual(got["data-sha"], sha(data.hex().encode()))

    def test_check_condition(self):
        # ILLEGAL REQUEST, LBA out of range: sense, no data, whole residual.
        got = self.check("beyond")
        self.assertEqual((got["ret"], got["status"], got["ha"], got["targ"], got["resid"],
                          got["written"], got["notified"]),
                         ("04", "04", "00", "02", "2048", "0", "1"))
        sense = bytes.fromhex(got["sense"])
        self.assertEqual((sense[0] & 0x7F, sense[2] & 0x0F, sense[12]), (0x70, 5, 0x21))
        self.assertEqual((got["beyond"], got["sensebeyond"]), ("clean", "clean"))

    def test_malformed_requests(self):
        for name, status in (("cdb-0", "e0"), ("cdb-17", "e0"), ("null-buffer", "e0"),
                             ("no-direction", "e0"), ("no-adapter", "81"),
                             ("no-target", "82"), ("no-unit", "82")):
            with self.subTest(name):
                got = self.check(name)
                self.assertEqual((got["ret"], got["status"], got["notified"], got["written"]),
                                 (status, status, "0", "0"), got)
                self.assertEqual((got["beyond"], got["sensebeyond"]), ("clean", "clean"))

    def test_drive_that_cannot_be_opened_is_left_out(self):
        self.assertGrabbed("denied", "00:00", self.discs["b"], [DENIED % "E"])
        self.assertFailed("denied-all", "could not initialize wnaspi32",
                          stderr=[DENIED % x for x in "DEGH"])
        stdout, err = self.section("denied-xp")
        self.assertEqual((stdout, err), (["info 0000e800"], [DENIED_XP % x for x in "DEGH"]))

    def test_drives_at_target_9_and_lun_1(self):
        # Adapters of their own after the ATAPI drive's, in letter order
        # (the H:C:T:L order is the other way round), at target 0.
        for adapter, letter in ((4, "06"), (5, "07")):
            got = self.check("disk-%d" % adapter)
            self.assertEqual((got["ret"], got["int13"]), ("01", letter), got)
        # Read whole once no drive before them can be opened.
        self.assertGrabbed("high", "00:00", self.discs["c"], [DENIED % x for x in "DE"])
        self.assertGrabbed("lun", "00:00", self.discs["d"], [DENIED % x for x in "DEG"])


class Media(Boot):
    """A virtio-scsi CD-ROM drive at target 4 with no disc; D: and E: are
    CD-ROM letters for it, or there is no CD-ROM letter at all."""

    @classmethod
    def devices(cls):
        vm = guest.vmguest
        return vm.scsi_controller(0) + vm.scsi_cdrom(0, 0, 4)

    script = r"""
SCSI=$(sr_at /0:0:4:0/)
session 0000e800
grab none
session 00000104 d=$SCSI e=$SCSI
grab empty
section empty-read aspicheck raw 2 4 0 4c 2048 10 $READ10_LBA0
# The disc goes in right before the run: the drive then answers UNIT
# ATTENTION, and reads past the old capacity until READ CAPACITY.
insert cd0
grab inserted
# E: is on an adapter of its own (D: took the address), yet checked by that
# address before a reset: not sent once E: leads to /dev/null.
section inquiry-3 aspicheck inquiry 3
section reset relinked 3:0:0 /dev/null
"""

    def test_no_cdrom_letter(self):
        self.assertFailed("none", "could not initialize wnaspi32")

    def test_drive_without_disc(self):
        self.assertFailed("empty", "cdrom drive not ready", "02:04")
        got = self.check("empty-read")
        # NOT READY, MEDIUM NOT PRESENT; nothing written.
        sense = bytes.fromhex(got["sense"])
        self.assertEqual((got["ret"], got["targ"], got["written"], sense[2] & 0x0F, sense[12]),
                         ("04", "02", "0", 2, 0x3A), got)
        self.assertEqual((got["beyond"], got["sensebeyond"]), ("clean", "clean"))

    test_reset = Drives.test_reset

    def test_second_letter_of_the_drive(self):
        # D: took the address: E: has an adapter of its own after it.
        self.assertIn("count 4 id 7 manager [sysgrab SPTI    ] identifier [Drive E:        ]",
                      self.value("inquiry-3"))

    def test_disc_put_in_just_before(self):
        self.assertIn("@@ answer @@ inserted cd0 ok", self.lines)
        self.assertGrabbed("inserted", "02:04", self.discs["a"])


def main():
    if shutil.which("qemu-system-x86_64") is None:
        print("SKIPPED: no qemu-system-x86_64")
        sys.exit(SKIP)
    loader = wine.wine32_loader()
    if BITS == 32 and loader is None:
        print("SKIPPED: no 32-bit Wine loader here: the win64 build runs the drives guest")
        sys.exit(SKIP)
    if BITS == 64 and loader is not None:
        print("SKIPPED: the win32 build runs the drives guest with %s" % loader)
        sys.exit(SKIP)
    for path in (LINUX_BIN, os.path.join(os.path.dirname(LINUX_BIN), "libwnaspi32.so")):
        if not os.path.exists(path):
            sys.exit("%s is missing: build the linux preset first (cmake --preset linux && "
                     "cmake --build --preset linux)" % path)
    unittest.main()


if __name__ == "__main__":
    main()
