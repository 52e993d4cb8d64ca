"""sysgrab and its SCSI generic ASPI layer in QEMU guests, one boot per
drive layout, each boot running all of its layout's checks. Run against the
linux preset's build; a sanitizer build skips the suite."""

import os
import shutil
import sys
import tempfile
import unittest

import guest
from harness import GuestChecks, fields, sha

SKIP = 77

# Shell helpers for the checks: each section's output and exit status,
# standard error apart.
PRELUDE = r"""
section() {
	name=$1; shift
	echo "@@ section $name"
	"$@" 2>/tmp/stderr
	echo "@@ rc $?"
	sed 's/^/@@ stderr /' /tmp/stderr
}
sha() { sha256sum "$1" | cut -d' ' -f1; }
# Asks the host to put the disc into drive $1 through QEMU's monitor, and
# waits for its answer on the console.
insert() { echo "@@ insert $1"; read -r answer; }
# Runs the command given after drive $1 and its unit $2 (H:C:T:L) in the
# background, with the drive's reads slowed to 4 KiB a second (half a
# second a block); once the unit has completed one command, has the disc in
# that drive put in again; waits for the command. Its output goes to the
# console after it has ended, not into the talk with the host.
changing() {
	drive=$1 count=/sys/bus/scsi/devices/$2/iodone_cnt; shift 2
	echo "@@ throttle $drive 4096"; read -r answer
	read -r n <$count
	want=$((n + 1))
	"$@" >/tmp/changing.out &
	while kill -0 $! 2>/dev/null && read -r n <$count && [ $((n)) -lt $want ]; do
		sleep 0.05
	done
	insert $drive
	wait $!
	rc=$?
	cat /tmp/changing.out
	return $rc
}
# Loads scsi_debug with the arguments given, after what it needs (which
# may be loaded already).
scsi_debug() {
	for m in $(grep -vx scsi_debug /modules.later); do
		insmod /modules/$m.ko 2>/dev/null
	done
	insmod /modules/scsi_debug.ko "$@"
}
# Runs sysgrab as section $1 writing /tmp/$1.bin, then its hash as section
# $1-hash and how many whole seconds it took as section $1-seconds.
timed_sysgrab() {
	start=$(date +%s)
	section $1 sysgrab /tmp/$1.bin
	section $1-seconds echo $(($(date +%s) - start))
	section $1-hash sha /tmp/$1.bin
}
"""

# The peers and sysgrab read the same 16 blocks, as root.
PEERS = r"""
section sysgrab sysgrab /tmp/sysgrab.bin
section dd dd if=/dev/sr0 of=/tmp/dd.bin bs=2048 count=16
section sg_dd sg_dd if=/dev/{sg} of=/tmp/sg_dd.bin bs=2048 count=16
section hashes sha256sum /tmp/sysgrab.bin /tmp/dd.bin /tmp/sg_dd.bin
"""

# What the layer says of a CD-ROM drive's node the user may not open.
REFUSED = ("wnaspi32: /dev/%s: Permission denied; to use this CD/DVD drive, join the cdrom "
           "group (sudo adduser $USER cdrom) and log in again")

READ10 = "28000000000000000100"
READ10_BEYOND = "28000010000000000100"  # block 1048576, past the disc's end
TEST_UNIT_READY = "000000000000"

workdir = None
vm = None


def setUpModule():
    global workdir, vm
    workdir = tempfile.mkdtemp(prefix="sysgrab-vm-")
    vm = guest.Guest(workdir)


def tearDownModule():
    shutil.rmtree(workdir, ignore_errors=True)


class Layout(GuestChecks, unittest.TestCase):
    devices = None  # callable(cls) -> QEMU arguments
    units = 1  # SCSI units the guest waits for
    script = ""
    disc_extra = 0  # random bytes on the disc past its first blocks

    @classmethod
    def setUpClass(cls):
        cls.disc = guest.make_disc(os.path.join(workdir, cls.__name__ + ".iso"), workdir,
                                   cls.disc_extra)
        cls.disk = guest.make_disk(os.path.join(workdir, cls.__name__ + ".img"))
        with open(cls.disc, "rb") as f:
            cls.first_blocks = f.read(32768)
        cls.lines = vm.boot(cls.devices(), cls.units, PRELUDE + cls.script,
                            media={"cd0": cls.disc})
        cls.out = guest.parse_sections(cls.lines)

    def assertPeersAgree(self, device):
        self.assertGrabbed("sysgrab", device)
        for peer in ("dd", "sg_dd"):
            self.section(peer)
        hashes, _ = self.section("hashes")
        self.assertEqual([h.split()[0] for h in hashes], [sha(self.first_blocks)] * 3)


class VirtioScsi(Layout):
    """A disk at target 0, a CD-ROM at target 4, on one virtio-scsi bus."""

    units = 2

    @classmethod
    def devices(cls):
        return (guest.scsi_controller(0) + guest.scsi_disk(0, 0, 0, cls.disk) +
                guest.scsi_cdrom(0, 0, 4, cls.disc))

    script = PEERS.format(sg="sg1") + r"""
section info aspicheck info
section type-disk aspicheck type 0 0 0
section type-cdrom aspicheck type 0 4 0
section type-none aspicheck type 0 1 0
section short aspicheck exec 0 4 in 4096 {read10}
section beyond aspicheck exec 0 4 in 2048 {beyond}
section ready aspicheck exec 0 4 none 0 {tur}
section repeat aspicheck repeat 1000 0 4
# A user without raw I/O rights, who may read the CD-ROM's node only:
chmod 0444 /dev/sg1
section user su -s /bin/sh user -c 'sysgrab /tmp/user.bin'
section user-hash sha /tmp/user.bin
chmod 0400 /dev/sg1
section user-none su -s /bin/sh user -c 'sysgrab /tmp/none.bin'
# The unpacked release trees, each program with its run path alone, as the
# user in the cdrom group, which owns the CD-ROM drive's node as Debian's
# udev rules make it (the disk's stays root's); then out of the group.
chgrp cdrom /dev/sg1
chmod 0660 /dev/sg1
section modes stat -c '%n %U:%G %a' /dev/sg0 /dev/sg1
release() {{
	section $1 su -s /bin/sh user -c "env -u LD_LIBRARY_PATH /release/$2/bin/sysgrab /tmp/$1.bin"
	section $1-hash sha /tmp/$1.bin
}}
release deb deb/usr
release tarball sysgrab-0.001-linux-x86_64
sed -i 's/^cdrom:x:24:user$/cdrom:x:24:/' /etc/group
release deb-nogroup deb/usr
release tarball-nogroup sysgrab-0.001-linux-x86_64
# Last: the disk leaves the system while the layer has it open.
section gone aspicheck gone 0 0 /sys/bus/scsi/devices/0:0:0:0/delete
""".format(read10=READ10, beyond=READ10_BEYOND, tur=TEST_UNIT_READY)

    def test_sysgrab_dd_and_sg_dd_read_the_same_blocks(self):
        self.assertPeersAgree("00:04")

    def test_units_and_types(self):
        self.assertEqual(self.section("info")[0], ["info 00000101"])
        self.assertEqual(self.section("type-disk")[0], ["ret 01 status 01 type 00"])
        self.assertEqual(self.section("type-cdrom")[0], ["ret 01 status 01 type 05"])
        self.assertEqual(self.section("type-none")[0], ["ret 82 status 82 type 00"])

    def test_commands(self):
        cases = {
            # One block into a two-block buffer: QEMU's virtio-scsi fills
            # the whole buffer from the medium (that block and the next) yet
            # says in resid that it moved nothing; the layer hands back all
            # of it.
            "short": r"^ret 01 status 01 ha 00 targ 00 sense (00){14} written 4096 beyond clean$",
            # CHECK CONDITION, ILLEGAL REQUEST: sense, and no data.
            "beyond": r"^ret 04 status 04 ha 00 targ 02 sense 70..05.{18}21.. written 0 beyond clean$",
            "ready": r"^ret 01 status 01 ha 00 targ 00 sense (00){14} written 0 beyond clean$",
        }
        for name, pattern in cases.items():
            with self.subTest(name):
                stdout, _ = self.section(name)
                self.assertEqual(len(stdout), 1, stdout)
                self.assertRegex(stdout[0], pattern)

    def test_many_commands_leak_nothing(self):
        stdout, _ = self.section("repeat")
        f = stdout[0].split()
        self.assertEqual(f[:2], ["failed", "0"], stdout)
        fds, threads, heap = f[3:6], f[7:10], f[11:13]
        # Two units' descriptors, closed at unload; no thread of the layer's.
        self.assertEqual(fds[0], fds[1])
        self.assertEqual(int(fds[2]), int(fds[0]) - 2)
        self.assertEqual(threads, ["1", "1", "1"])
        self.assertEqual(heap[0], heap[1])

    def test_reading_needs_only_read_access(self):
        # The disk's node, refused too, is not named.
        self.assertGrabbed("user", "00:04", self.first_blocks)

    def test_no_unit_can_be_opened(self):
        stdout, stderr = self.section("user-none", rc=1)
        self.assertEqual(stdout[-1], "ERROR: no cdrom drive found")
        self.assertEqual(stderr, [REFUSED % "sg1"])

    def test_release_trees_as_a_user_in_the_cdrom_group(self):
        self.assertEqual(self.section("modes")[0],
                         ["/dev/sg0 root:root 600", "/dev/sg1 root:cdrom 660"])
        for tree in ("deb", "tarball"):
            with self.subTest(tree):
                self.assertGrabbed(tree, "00:04", self.first_blocks)
                stdout, stderr = self.section(tree + "-nogroup", rc=1)
                self.assertEqual(stdout[-1], "ERROR: no cdrom drive found")
                self.assertEqual(stderr, [REFUSED % "sg1"])

    def test_unit_that_has_gone(self):
        stdout, _ = self.section("gone")
        # Before: the disk's power-on UNIT ATTENTION, passed up to the TEST
        # UNIT READY as it is; after: no such device, for commands and types.
        self.assertEqual(stdout, ["before 04 after ret 82 status 82 type 82"])


class TwoControllers(Layout):
    """A disk on the first virtio-scsi controller; on the second, CD-ROMs
    at target 2 and at LUN 1 of it, and at target 9, each with its disc."""

    units = 4

    @classmethod
    def devices(cls):
        cls.remapped, paths = {}, {}
        for name in ("lun1", "id9"):
            paths[name] = guest.make_disc(os.path.join(workdir, "two-%s.iso" % name), workdir)
            with open(paths[name], "rb") as f:
                cls.remapped[name] = f.read(32768)
        return (guest.scsi_controller(0) + guest.scsi_controller(1) +
                guest.scsi_disk(0, 0, 0, cls.disk) + guest.scsi_cdrom(0, 1, 2, cls.disc) +
                guest.scsi_cdrom(1, 1, 2, paths["lun1"], lun=1) +
                guest.scsi_cdrom(2, 1, 9, paths["id9"]))

    script = PEERS.format(sg="sg1") + r"""
section info aspicheck info
# The user reads the drives at LUN 1 (sg2) and target 9 (sg3), each while
# the CD-ROM drives before it cannot be opened.
chmod 0444 /dev/sg2 /dev/sg3
section lun1 su -s /bin/sh user -c 'sysgrab /tmp/lun1.bin'
section lun1-hash sha /tmp/lun1.bin
chmod 0400 /dev/sg2
section id9 su -s /bin/sh user -c 'sysgrab /tmp/id9.bin'
section id9-hash sha /tmp/id9.bin
"""

    def test_cdrom_on_the_second_adapter(self):
        self.assertPeersAgree("01:02")
        self.assertEqual(self.section("info")[0], ["info 00000104"])

    def test_drives_at_lun_1_and_target_9_have_adapters_of_their_own(self):
        # After the controllers' adapters, in H:C:T:L order, at target 0.
        self.assertGrabbed("lun1", "02:00", self.remapped["lun1"], [REFUSED % "sg1"])
        self.assertGrabbed("id9", "03:00", self.remapped["id9"],
                           [REFUSED % "sg1", REFUSED % "sg2"])


class Atapi(Layout):
    """An IDE/ATAPI CD-ROM on the PC's own IDE controller (ata_piix)."""

    @classmethod
    def devices(cls):
        return guest.ide_cdrom(cls.disc)

    script = PEERS.format(sg="sg0")

    def test_atapi_cdrom(self):
        self.assertPeersAgree("00:00")


class LongReads(Layout):
    """One disc in a virtio-scsi, an AHCI ATAPI and a USB CD-ROM drive
    (adapters 0, 1, 2): READs of 1 and 4 MiB, more than each takes at once."""

    units = 3
    disc_extra = 5 << 20

    @classmethod
    def devices(cls):
        return (guest.scsi_controller(0) + guest.scsi_cdrom(0, 0, 0, cls.disc) +
                guest.ahci_cdrom(1, cls.disc) + guest.usb_cdrom(2, cls.disc))

    script = r"""
for a in 0 1 2; do
	section inquiry-$a aspicheck inquiry $a
	for n in 2 8; do
		section long-$a-$n aspicheck raw $a 0 0 4c $((n << 19)) 10 280000000000000${n}0000 \
			save /tmp/long.bin
		section long-$a-$n-hash sha /tmp/long.bin
	done
	# READ CAPACITY and READ TOC (828 bytes asked) into 4 MiB: what their CDBs bound.
	for c in cap:25000000000000000000 toc:43000000000000033c00; do
		section ${c%%:*}-$a aspicheck raw $a 0 0 4c 4194304 10 ${c#*:} save /tmp/${c%%:*}.bin
		section ${c%%:*}-$a-head sh -c "head -c 20 /tmp/${c%%:*}.bin | od -An -tx1"
	done
done
# READ CD of user data, any sector type, from the ATAPI drive into its length and twice it.
for n in 64 512; do
	for k in 1 2; do
		section cd-$n-$k aspicheck raw 1 0 0 4c $((n * k << 11)) 12 \
			be0000000000$(printf %06x $n)100000 save /tmp/cd-$n-$k.bin
	done
	section cd-$n-hash sha /tmp/cd-$n-1.bin
done
"""

    def test_reads_longer_than_a_drive_takes(self):
        with open(self.disc, "rb") as f:
            disc = f.read(4 << 20)
        for a in range(3):
            print(self.section("inquiry-%d" % a)[0][0])  # the limit: HA_Unique[4..7]
            for n in (2, 8):
                self.assertRegex(self.section("long-%d-%d" % (a, n))[0][0],
                                 r"^ret 01 status 01 ha 00 targ 00 sense (00){14} resid 0 ")
                self.assertEqual(self.section("long-%d-%d-hash" % (a, n))[0], [sha(disc[:n << 19])])
            # A one-track data disc: its last block and 2048; its table of contents, 18
            # bytes after the length, track 1 (data, at 0) and the lead-out (AAh; its
            # control byte, 13, is the drive's own: QEMU says 16h).
            blocks = os.path.getsize(self.disc) // 2048
            toc = b"\0\x12\1\1\0\x14\1\0\0\0\0\0\0" + b"\xaa\0" + blocks.to_bytes(4, "big")
            for name, head in (("cap", (blocks - 1).to_bytes(4, "big") + b"\0\0\x08\0"), ("toc", toc)):
                self.assertRegex(self.section("%s-%d" % (name, a))[0][0], r"^ret 01 status 01 ")
                got = bytes.fromhex("".join(self.section("%s-%d-head" % (name, a))[0]).replace(" ", ""))
                self.assertEqual(got[:13] + got[14:len(head) + 1] if name == "toc" else got[:8], head)
        for n in (64, 512):  # the buffer's length settles 2048; twice it leaves it to the disc
            self.assertRegex(self.section("cd-%d-1" % n)[0][0], r"^ret 01 status 01 .* resid 0 ")
            self.assertEqual(self.section("cd-%d-hash" % n)[0], [sha(disc[:n << 11])])
            self.assertRegex(self.section("cd-%d-2" % n)[0][0], r"^ret e6 status e6 ")


class NoMedium(Layout):
    """A SCSI CD-ROM drive with its tray empty; then a disc put in through
    QEMU's monitor right before sysgrab runs, and put in again between two
    READs and in the middle of a run, slowed down for that."""

    @classmethod
    def devices(cls):
        return guest.scsi_controller(0) + guest.scsi_cdrom(0, 0, 4)

    script = r"""
section empty sysgrab /tmp/empty.bin
section empty-hash sha /tmp/empty.bin
section read aspicheck exec 0 4 in 2048 {read10}
insert cd0
section inserted sysgrab /tmp/inserted.bin
section inserted-hash sha /tmp/inserted.bin
section again aspicheck again 0 4 in 2048 {read10} "@@ insert cd0"
section changed changing cd0 0:0:4:0 sysgrab /tmp/changed.bin
section changed-hash sha /tmp/changed.bin
""".format(read10=READ10)

    def test_empty_drive_is_not_ready(self):
        self.assertFailed("empty", "cdrom drive not ready", "00:04")
        stdout, _ = self.section("read")
        # NOT READY (2), MEDIUM NOT PRESENT (3A).
        self.assertRegex(stdout[0], r"^ret 04 status 04 ha 00 targ 02 sense 70..02.{18}3a.. "
                         r"written 0 beyond clean$")

    def test_disc_just_put_in_is_read_whole(self):
        # The drive answers UNIT ATTENTION (no medium, then medium changed)
        # and refuses reads until the new capacity has been read.
        self.assertIn("@@ inserted cd0 ok", self.lines)
        self.assertGrabbed("inserted", "00:04", self.first_blocks)

    def test_disc_changed_after_a_read_is_reported(self):
        # Once a READ has succeeded, MEDIUM MAY HAVE CHANGED (6/28) reaches
        # the caller instead of being ridden out.
        stdout, _ = self.section("again")
        self.assertEqual(len(stdout), 2, stdout)
        self.assertRegex(stdout[0], r"^ret 01 status 01 ha 00 targ 00 sense (00){14} "
                         r"written 2048 beyond clean$")
        self.assertRegex(stdout[1], r"^ret 04 status 04 ha 00 targ 02 sense 70..06.{18}28.. "
                         r"written 0 beyond clean$")
        self.assertFailed("changed", "disc changed during extraction", "00:04")


class NoScsiUnits(Layout):
    """A guest with the SCSI modules loaded and no unit at all; then the
    kernel's scsi_debug CD-ROM, loaded right before sysgrab runs, which
    answers NOT READY, becoming ready, for its first seconds: once for 8 s,
    once for longer than the layer waits. The first, once ready, is read
    with a MEDIUM ERROR on block 5, and stopped (NOT READY until a START
    UNIT). The second time two units, while the first is still not ready: a
    command that brings no data in answered at once, a reset, and a READ
    held up that holds up nothing else."""

    units = 0

    @classmethod
    def devices(cls):
        return guest.scsi_controller(0)

    script = r"""
section sysgrab sysgrab /tmp/sysgrab.bin
section info aspicheck info
scsi_debug ptype=5 sector_size=2048 dev_size_mb=2 tur_ms_to_ready=8000 \
	medium_error_start=5 medium_error_count=1
timed_sysgrab spinning
section spinning-dd dd if=/dev/sr0 of=/tmp/dd.bin bs=2048 count=16
section spinning-dd-hash sha /tmp/dd.bin
echo 2 >/sys/bus/pseudo/drivers/scsi_debug/opts
section bad-block sysgrab /tmp/bad-block.bin
section bad-block-hash sha /tmp/bad-block.bin
echo 0 >/sys/bus/pseudo/drivers/scsi_debug/opts
section stop sg_start --stop /dev/$(ls /sys/class/scsi_generic)
timed_sysgrab stopped
rmmod scsi_debug
scsi_debug ptype=5 sector_size=2048 dev_size_mb=2 tur_ms_to_ready=40000 num_tgts=2
timed_sysgrab dead
section tur aspicheck exec 0 0 none 0 000000000000
section tur-us aspicheck time aspicheck exec 0 0 none 0 000000000000
section reset aspicheck cmd 4:0:1:0
section after-reset aspicheck exec 0 1 none 0 000000000000
section held aspicheck threads 0 0 0 1
"""

    def test_could_not_initialize(self):
        stdout, stderr = self.section("sysgrab", rc=1)
        self.assertEqual(stdout[-1], "ERROR: could not initialize wnaspi32")
        self.assertEqual(stderr, [])
        self.assertEqual(self.section("info")[0], ["info 0000e800"])

    def test_drive_spinning_up_is_waited_for(self):
        # scsi_debug's medium is zeros; a block not read would be 0xFF.
        self.assertGrabbed("spinning", "00:00", bytes(32768))
        self.section("spinning-dd")
        self.assertEqual(self.section("spinning-dd-hash")[0], [sha(bytes(32768))])
        # The drive was not ready when sysgrab started.
        self.assertGreaterEqual(int(self.section("spinning-seconds")[0][0]), 3)

    def test_block_that_cannot_be_read_keeps_its_fill(self):
        want = bytes(5 * 2048) + b"\xff" * 2048 + bytes(10 * 2048)
        self.assertGrabbed("bad-block", "00:00", want)

    def test_stopped_drive_is_started(self):
        self.section("stop")
        self.assertGrabbed("stopped", "00:00", bytes(32768))
        # Started at once, not after the wait for a drive spinning up.
        self.assertLess(int(self.section("stopped-seconds")[0][0]), 10)

    def test_drive_that_stays_not_ready_is_given_up(self):
        self.assertFailed("dead", "cdrom drive not ready", "00:00")
        # 30 s at the first block.
        seconds = int(self.section("dead-seconds")[0][0])
        self.assertGreaterEqual(seconds, 29)
        self.assertLess(seconds, 45)

    def test_only_reads_wait_and_only_for_their_unit(self):
        # TEST UNIT READY gets the drive's answer, becoming ready, at once.
        self.assertRegex(self.section("tur")[0][0], r"^ret 04 status 04 ha 00 targ 02 "
                         r"sense [7f]0..02.{18}0401")
        self.assertLess(int(self.section("tur-us")[0][0]), 3000000)
        # A reset's UNIT ATTENTION goes to the command after it.
        self.assertEqual(self.section("reset")[0], ["ret 01 status 01 ha 00 value 0"])
        self.assertRegex(self.section("after-reset")[0][0], r"^ret 04 status 04 ha 00 targ 02 "
                         r"sense [7f]0..06.{18}29")
        # A READ waiting for unit 0 holds up neither the layer nor unit 1.
        held = fields(self.section("held")[0][0])
        print("while a READ waited: %s" % held)
        self.assertEqual((held["inquiry"], held["read"]), ("01", "01"), held)
        self.assertLess(int(held["others_ms"]), 1000, held)
        self.assertGreater(int(held["read_ms"]), 1000, held)


if __name__ == "__main__":
    if os.environ.get("SYSGRAB_SANITIZED") == "1":
        print("skipped: the guests run the linux preset's build, not a sanitizer build")
        sys.exit(SKIP)
    unittest.main()
