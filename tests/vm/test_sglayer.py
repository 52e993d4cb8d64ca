"""The SCSI generic layer without a guest: discovery, numbering and answers
against a made-up sysfs tree (WNASPI32_ROOT), whose /dev/sgN are plain
files, so that SG_IO on them fails the way a broken transport would."""

import os
import re
import shutil
import subprocess
import tempfile
import unittest

ASPICHECK = os.environ.get("ASPICHECK_BIN", "")
SYSGRAB = os.environ.get("SYSGRAB_BIN", "")


class FakeRoot:
    def __init__(self):
        self.path = tempfile.mkdtemp(prefix="sgroot-")
        self.devices = os.path.join(self.path, "sys/bus/scsi/devices")
        os.makedirs(self.devices)
        os.makedirs(os.path.join(self.path, "dev"))

    def unit(self, hctl, dtype, sg=None, node=True):
        d = os.path.join(self.devices, hctl)
        os.makedirs(d)
        with open(os.path.join(d, "type"), "w") as f:
            f.write("%d\n" % dtype)
        if sg is not None:
            os.makedirs(os.path.join(d, "scsi_generic", sg))
            if node:
                open(os.path.join(self.path, "dev", sg), "w").close()

    def other(self, name):
        os.makedirs(os.path.join(self.devices, name))

    def run(self, *args, program=None):
        env = dict(os.environ, WNASPI32_ROOT=self.path)
        return subprocess.run([program or ASPICHECK] + list(args), env=env, cwd=self.path,
                              capture_output=True, text=True, timeout=60)

    def remove(self):
        shutil.rmtree(self.path)


class Case(unittest.TestCase):
    def setUp(self):
        self.root = FakeRoot()
        self.addCleanup(self.root.remove)

    def out(self, *args):
        r = self.root.run(*args)
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        return r.stdout.strip()


class Discovery(Case):
    def setUp(self):
        super().setUp()
        r = self.root
        # Hosts 10 and 2 sort as numbers; channels split a host into adapters.
        r.unit("10:0:0:0", 5, "sg4")
        r.unit("2:0:4:0", 5, "sg2")
        r.unit("2:0:0:0", 0, "sg1")
        r.unit("0:1:3:0", 5, "sg0")
        r.unit("0:0:1:0", 5)  # no SCSI generic node: not a unit here
        r.unit("2:0:5:0", 5, "sg3", node=False)  # node missing: cannot be opened
        r.other("host2")
        r.other("target2:0:0")

    def test_adapters_per_host_and_channel(self):
        self.assertEqual(self.out("info"), "info 00000103")

    def test_device_types_by_adapter_target_lun(self):
        cases = {
            ("0", "3", "0"): "ret 01 status 01 type 05",
            ("1", "0", "0"): "ret 01 status 01 type 00",
            ("1", "4", "0"): "ret 01 status 01 type 05",
            ("2", "0", "0"): "ret 01 status 01 type 05",
            ("1", "4", "1"): "ret 82 status 82 type 00",
            ("1", "1", "0"): "ret 82 status 82 type 00",
            ("3", "0", "0"): "ret 81 status 81 type 00",
        }
        for args, want in cases.items():
            with self.subTest(args=args):
                self.assertEqual(self.out("type", *args), want)

    def test_unit_that_cannot_be_opened(self):
        r = self.root.run("type", "1", "5", "0")
        self.assertEqual(r.stdout.strip(), "ret 82 status 82 type 00")
        node = os.path.join(self.root.path, "dev/sg3")
        self.assertEqual(r.stderr, "wnaspi32: %s: No such file or directory\n" % node)

    def test_sysgrab_takes_the_first_cdrom_by_adapter_then_target(self):
        out = os.path.join(self.root.path, "out.bin")
        r = self.root.run(out, program=SYSGRAB)
        self.assertIn("using wnaspi32 device 00:03\n", r.stdout)
        # SG_IO fails on a plain file: the command never reached a drive,
        # which sysgrab must not take for a block it could not read.
        self.assertEqual(r.returncode, 1, r.stdout)
        self.assertTrue(r.stdout.endswith("extracting ...\nERROR: host adapter status = "
                                          "00000014\n"), r.stdout)
        self.assertEqual(os.path.getsize(out), 0)


class Commands(Case):
    def setUp(self):
        super().setUp()
        self.root.unit("0:0:4:0", 5, "sg0")

    def test_failed_transport_ends_command_with_error(self):
        out = self.out("exec", "0", "4", "in", "2048", "28000000000000000100")
        self.assertRegex(out, r"^ret 04 status 04 ha 14 targ 00 sense (00){14} written 0 "
                         r"beyond clean$")

    def test_requests_refused_before_they_start(self):
        cases = {
            # no CDB, both directions, data without a direction
            ("exec", "0", "4", "in", "16", ""): "ret e0 status e0",
            ("exec", "0", "4", "none", "16", "12000000100000"): "ret e0 status e0",
            ("exec", "0", "3", "in", "16", "12000000100000"): "ret 82 status 82",
            ("exec", "1", "4", "in", "16", "12000000100000"): "ret 81 status 81",
            # The record before the adapter, the adapter before the unit.
            ("exec", "1", "4", "in", "16", ""): "ret e0 status e0",
            ("exec", "1", "3", "in", "16", "12000000100000"): "ret 81 status 81",
        }
        for args, want in cases.items():
            with self.subTest(args=args):
                self.assertTrue(self.out(*args).startswith(want + " "))


LAYER = os.path.join(os.environ.get("LD_LIBRARY_PATH", "").split(":")[0], "libwnaspi32.so")
SANITIZED = os.environ.get("SYSGRAB_SANITIZED") == "1"


@unittest.skipIf(SANITIZED, "the sanitizers bring their own runtimes and allocator")
class Light(Case):
    def test_layer_needs_only_the_c_library(self):
        dynamic = subprocess.run(["readelf", "-d", LAYER], check=True, capture_output=True,
                                 text=True).stdout
        needed = re.findall(r"\(NEEDED\)\s+Shared library: \[(.+)\]", dynamic)
        self.assertEqual(needed, ["libc.so.6"])

    def test_commands_allocate_nothing(self):
        # valgrind counts the process's allocations: ten times the commands
        # (which fail on the made-up node after the full path through the
        # layer) must not make more.
        self.root.unit("0:0:4:0", 5, "sg0")
        counts = []
        for n in ("20", "200"):
            r = subprocess.run(["valgrind", "--error-exitcode=3", ASPICHECK, "repeat", n, "0",
                                "4"], env=dict(os.environ, WNASPI32_ROOT=self.root.path),
                               capture_output=True, text=True, timeout=300)
            self.assertEqual(r.returncode, 0, r.stderr)
            m = re.search(r"total heap usage: ([\d,]+) allocs, ([\d,]+) frees", r.stderr)
            self.assertIsNotNone(m, r.stderr)
            counts.append(m.groups())
        self.assertEqual(counts[0], counts[1])
        self.assertEqual(counts[0][0], counts[0][1], "allocations not freed")


class NoUnits(Case):
    def test_no_adapters(self):
        self.assertEqual(self.out("info"), "info 0000e800")

    def test_sysgrab_cannot_initialize(self):
        out = os.path.join(self.root.path, "out.bin")
        r = self.root.run(out, program=SYSGRAB)
        self.assertEqual(r.returncode, 1)
        self.assertTrue(r.stdout.endswith("ERROR: could not initialize wnaspi32\n"), r.stdout)
        self.assertEqual(r.stderr, "")


if __name__ == "__main__":
    unittest.main()
