"""The SCSI generic layer without a guest: discovery, numbering and answers
against a made-up sysfs tree (WNASPI32_ROOT), whose /dev/sgN are plain
files, so that SG_IO on them fails the way a broken transport would; and
the Linux release that carries it, unpacked."""

import gzip
import os
import re
import shutil
import subprocess
import tempfile
import unittest

import guest
from harness import fields, pattern, rebuilt_elsewhere, request_answers

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

    def run(self, *args, program=None, stdin=None, **more):
        env = dict(os.environ, WNASPI32_ROOT=self.path, **more)
        return subprocess.run([program or ASPICHECK] + list(args), env=env, cwd=self.path,
                              capture_output=True, text=True, timeout=60, stdin=stdin)

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
        r.unit("0:0:2:0", 0, "sg6")
        r.unit("0:0:1:0", 5)  # no SCSI generic node: not a unit here
        r.unit("2:0:5:0", 5, "sg3", node=False)  # node missing: cannot be opened
        r.unit("2:0:6:0", 0, "sg5", node=False)  # nor here, but a disk: not named
        r.other("host2")
        r.other("target2:0:0")

    def test_adapters_per_host_and_channel(self):
        self.assertEqual(self.out("info"), "info 00000104")

    def test_device_types_by_adapter_target_lun(self):
        cases = {
            ("0", "2", "0"): "ret 01 status 01 type 00",
            ("1", "3", "0"): "ret 01 status 01 type 05",
            ("2", "0", "0"): "ret 01 status 01 type 00",
            ("2", "4", "0"): "ret 01 status 01 type 05",
            ("3", "0", "0"): "ret 01 status 01 type 05",
            ("2", "4", "1"): "ret 82 status 82 type 00",
            ("0", "1", "0"): "ret 82 status 82 type 00",
            ("4", "0", "0"): "ret 81 status 81 type 00",
        }
        for args, want in cases.items():
            with self.subTest(args=args):
                self.assertEqual(self.out("type", *args), want)

    def test_unit_that_cannot_be_opened(self):
        r = self.root.run("type", "2", "5", "0")
        self.assertEqual(r.stdout.strip(), "ret 82 status 82 type 00")
        node = os.path.join(self.root.path, "dev/sg3")
        self.assertEqual(r.stderr, "wnaspi32: %s: No such file or directory\n" % node)

    def test_sysgrab_takes_the_first_cdrom_by_adapter_then_target(self):
        out = os.path.join(self.root.path, "out.bin")
        r = self.root.run(out, program=SYSGRAB)
        self.assertIn("using wnaspi32 device 01:03\n", r.stdout)
        # SG_IO fails on a plain file: the command never reached a drive,
        # which sysgrab must not take for a block it could not read.
        self.assertEqual(r.returncode, 1, r.stdout)
        self.assertTrue(r.stdout.endswith("extracting ...\nERROR: host adapter status = "
                                          "00000014\n"), r.stdout)
        self.assertEqual(os.path.getsize(out), 0)


class Remapped(Case):
    def test_cdroms_past_target_7_or_at_lun_1_get_adapters_of_their_own(self):
        r = self.root
        r.unit("2:0:8:0", 5, "sg2")
        r.unit("0:0:0:1", 5, "sg1")
        r.unit("0:0:0:0", 0, "sg0")
        r.unit("0:0:12:0", 0, "sg3")  # a disk keeps its address
        self.assertEqual(self.out("info"), "info 00000103")
        types = [self.out("type", *a.split(":")) for a in ("1:0:0", "2:0:0", "0:12:0", "0:0:1",
                                                         "0:8:0")]
        self.assertEqual(types, ["ret 01 status 01 type 05"] * 2 + ["ret 01 status 01 type 00"] +
                         ["ret 82 status 82 type 00"] * 2)
        out = os.path.join(self.root.path, "out.bin")
        self.assertIn("using wnaspi32 device 01:00\n", r.run(out, program=SYSGRAB).stdout)


class Commands(Case):
    def setUp(self):
        super().setUp()
        self.root.unit("0:0:4:0", 5, "sg0")

    def test_failed_transport_ends_command_with_error(self):
        out = self.out("exec", "0", "4", "in", "2048", "28000000000000000100")
        self.assertRegex(out, r"^ret 04 status 04 ha 14 targ 00 sense (00){14} written 0 "
                         r"beyond clean$")

    def test_reset_timeouts_and_rescan(self):
        args, want = request_answers(("0", "4", "0"), ("0", "3", "0"), ("1", "0", "0"), "00000101")
        with open(os.path.join(self.root.path, "input"), "w+") as f:
            f.write("standard input, open for writing too\n")
            f.seek(0)
            self.assertEqual(self.root.run(*args, stdin=f).stdout.strip(), want)
            self.assertEqual(f.read(), "standard input, open for writing too\n")
        # A unit plugged in since the load is found and opened, and so is a node
        # that appeared since; one gone is not. SC_GET_DEV_TYPE: status, type.
        self.root.unit("1:0:2:0", 0, "sg1", node=False)
        p = subprocess.Popen([ASPICHECK, "cmd", "info", "wait", "7", "info", "1:0:2", "1:1:2"],
                             text=True, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                             env=dict(os.environ, WNASPI32_ROOT=self.root.path))
        self.assertEqual(p.stdout.readline(), "info 00000102 go\n")
        shutil.rmtree(os.path.join(self.root.devices, "0:0:4:0"))
        open(os.path.join(self.root.path, "dev/sg1"), "w").close()
        self.root.unit("3:0:2:0", 5, "sg3")
        done = "ret 01 status 01 ha 00 value "
        self.assertEqual(p.communicate("\n", timeout=60)[0],
                         done + "0 info 00000102 " + done + "0 " + done + "5\n")

    def test_requests_refused_before_they_start(self):
        cases = {
            # data without a direction (no CDB below)
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


class Pieces(Case):
    def test_long_reads_in_pieces(self):
        # aspicheck's made-up node takes 6144 bytes but one page (two blocks), names the reads
        # sent and answers once with the sense given for block BAD (KEY 0: GOOD, blocks from
        # BAD on missing): 7 blocks read from 10, into a buffer of their length or two and
        # four times it (the unit's blocks in a row); READ CD of an XA disc's user data, its
        # blocks 11 and 15 Form 2 (2324 bytes), into the length of 7 raw sectors, a piece each.
        self.root.unit("0:0:4:0", 5, "sg0")
        whole, read10, read_cd = "10 2,12 2,14 2,16 1", "28000000000a00000700", "be000000000a000007100000"
        for bad, length, cdb, sent, blocks, outcome in (  # BAD KEY ASC, SRB_BufLen: reads, ...
                ("99 0 0", 14336, read10, whole, 7, "01 ha 00 targ 00 sense (00){14} resid 0 "),
                ("99 0 0", 28672, read10, whole, 7, "01 ha 00 targ 00 sense (00){14} resid 14336 "),
                ("99 0 0", 57344, read10, whole, 7, "01 .* resid 43008 "),
                ("15 3 11", 14336, read10, "10 2,12 2,14 2", 4, "04 ha 00 targ 02 sense f00003000000" +
                 "0f0a0{8}11.. resid 6144 "),
                ("12 1 17", 14336, read10, whole, 7, "04 ha 00 targ 02 sense f00001.* resid 0 "),
                ("10 6 29", 14336, read10, "10 2," + whole, 7, "01 "),  # ridden out on the first
                ("13 6 29", 14336, read10, "10 2,12 2", 2, "04 ha 00 targ 02 sense f00006.* resid 10240 "),
                ("13 0 0", 14336, read10, "10 2,12 2", 3, "04 ha 12 targ 00 sense (00){14} resid 8192 "),
                ("99 0 0", 16464, read_cd, ",".join("%d 1" % n for n in range(10, 17)), 7, "01 ha 00 targ 00 sense (00){14} resid 1576 ")):
            r = self.root.run("raw", "0", "4", "0", "4c", str(length), str(len(cdb) // 2), cdb,
                              "dump", ASPICHECK_SG="6144 1 " + bad)
            self.assertEqual(r.stderr.replace("sg ", "").splitlines(), sent.split(","), bad)
            self.assertRegex(r.stdout, "^ret .. status " + outcome)
            data = b"".join(bytes([n]) * (2324 if cdb == read_cd and n % 4 == 3 else 2048)
                            for n in range(10, 10 + blocks))
            self.assertEqual(bytes.fromhex(fields(r.stdout)["data"]), data + b"\xa5" * (length - len(data)))
        # READ CAPACITY with a buffer over the limit: its 8 bytes.
        r = self.root.run("raw", "0", "4", "0", "4c", "64512", "10", "25" + "00" * 9, ASPICHECK_SG="6144 1 0 0 0")
        self.assertRegex(r.stdout, "^ret 01 status 01 .* resid 64504 ")
        # Not whole blocks, a buffer too short for the read, a linked READ, a WRITE:
        # nothing sent. The limit in HA_Unique.
        for args in (("48", "14335", "10", "28000000000a00000700"),
                     ("48", "7168", "10", "28000000000a00000700"),
                     ("48", "14336", "10", "28000000000a00000701"),
                     ("50", "14336", "10", "2a000000000a00000700")):
            r = self.root.run("raw", "0", "4", "0", *args, ASPICHECK_SG="6144 1 0 0 0")
            self.assertEqual((r.stdout[:16], r.stderr), ("ret e6 status e6", ""))
        # A tape: its long read refused, nothing sent; a read it answers with UNIT ATTENTION
        # goes once. A thousand commands that need the node open for writing open it once.
        self.root.unit("0:0:5:0", 1, "sg1")
        for length, count, stdout, stderr in (("14336", "7", "ret e6", ""),
                                              ("2048", "1", "ret 04", "sg 10 1\n")):
            r = self.root.run("raw", "0", "5", "0", "48", length, "10",
                              "28000000000a0000%s00" % count.zfill(2), ASPICHECK_SG="6144 1 10 6 29")
            self.assertEqual((r.stdout[:6], r.stderr), (stdout, stderr))
        out = self.root.run("repeat", "1000", "0", "4", "000000000000", ASPICHECK_SG="6144 1 0 0 0")
        failed, before, after = re.match(r"failed (\d+) fds (\d+) (\d+)", out.stdout).groups()
        self.assertEqual((failed, before), ("0", after))
        self.assertEqual(self.root.run("inquiry", "0", ASPICHECK_SG="6144 1 0 0 0").stdout,
                         "ret 01 status 01 count 1 id 7 manager [sysgrab SG      ] identifier "
                         "[Host 0 Bus 0    ] unique 00000208001000000000000000000000\n")


def dynamic(path, tag):
    """The values of one kind of entry (NEEDED, RUNPATH) of an ELF file's
    dynamic section."""
    text = subprocess.run(["readelf", "-d", path], check=True, capture_output=True,
                          text=True).stdout
    return re.findall(r"\(%s\)\s+[^:]+: \[(.*)\]" % tag, text)


LAYER = os.path.join(os.environ.get("LD_LIBRARY_PATH", "").split(":")[0], "libwnaspi32.so")
SANITIZED = os.environ.get("SYSGRAB_SANITIZED") == "1"


@unittest.skipIf(SANITIZED, "the sanitizers bring their own runtimes and allocator")
class Light(Case):
    def test_layer_needs_only_the_c_library(self):
        self.assertEqual(dynamic(LAYER, "NEEDED"), ["libc.so.6"])

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


TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
LAYER_DIR = "lib/x86_64-linux-gnu/sysgrab"
RELEASE_FILES = ["bin/sysgrab", LAYER_DIR + "/libwnaspi32.so",
                 "share/doc/sysgrab/changelog.Debian.gz", "share/doc/sysgrab/copyright",
                 "share/lintian/overrides/sysgrab", "share/man/man1/sysgrab.1.gz"]


@unittest.skipIf(SANITIZED, "the release is made from the linux preset's build")
class Release(unittest.TestCase):
    """The .deb and the tarball (ctest's native.package makes them), unpacked."""

    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp(prefix="sysgrab-release-")
        cls.build = os.path.dirname(SYSGRAB)
        cls.trees = guest.unpack_release(cls.build, cls.folder)
        cls.deb = os.path.join(cls.build, guest.DEB)
        cls.scenario = os.path.join(cls.folder, "scenario.txt")
        with open(cls.scenario, "w") as f:
            f.write("unit 0 0 0\nunit 0 3 5\n")  # a disk, and a CD-ROM drive with a disc

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.folder)

    def test_the_same_files_in_both(self):
        files = {}
        for name, tree in self.trees.items():
            found = sorted(os.path.relpath(os.path.join(d, f), tree)
                           for d, _, names in os.walk(tree) for f in names)
            self.assertEqual(found, RELEASE_FILES, name)
            for f in found:
                mode = os.stat(os.path.join(tree, f)).st_mode & 0o777
                self.assertEqual(mode, 0o755 if f.startswith("bin/") else 0o644, f)
                with open(os.path.join(tree, f), "rb") as data:
                    content = data.read()
                self.assertEqual(files.setdefault(f, content), content, f)
        # The licence's conditions, each line indented, end the copyright file.
        with open(os.path.join(TOP, "LICENSE")) as f:
            licence = [" " + line if line else " ." for line in f.read().splitlines()[4:]]
        self.assertTrue(files["share/doc/sysgrab/copyright"].decode().endswith(
            "License: BSD-2-Clause\n" + "\n".join(licence) + "\n"))

    def test_stripped_binaries_needing_only_libc_and_the_run_path(self):
        self.assertEqual(dynamic(SYSGRAB, "RUNPATH"), ["$ORIGIN"])  # the build's
        for name, tree in self.trees.items():
            with self.subTest(name):
                program = os.path.join(tree, "bin/sysgrab")
                layer = os.path.join(tree, LAYER_DIR, "libwnaspi32.so")
                for path in (program, layer):
                    sections = subprocess.run(["readelf", "-S", path], check=True,
                                              capture_output=True, text=True).stdout
                    self.assertNotRegex(sections, r"\.symtab|\.debug_", path)
                    self.assertEqual(dynamic(path, "NEEDED"), ["libc.so.6"])
                    self.assertEqual(dynamic(path, "R(?:UN)?PATH"),
                                     ["$ORIGIN/../" + LAYER_DIR] if path == program else [])
                # Run from elsewhere, with nothing on LD_LIBRARY_PATH: the
                # layer beside it answers (no SCSI unit under the empty root).
                env = {k: v for k, v in os.environ.items() if k != "LD_LIBRARY_PATH"}
                r = subprocess.run([program, "out.bin"], cwd=self.folder, capture_output=True,
                                   text=True, env=dict(env, WNASPI32_ROOT=self.folder))
                self.assertEqual(r.stdout.splitlines()[-1], "ERROR: could not initialize wnaspi32")
                # A copy with the simulated bus in the layer's place reads the
                # drive's disc.
                copy = shutil.copytree(tree, os.path.join(self.folder, "sim-" + name))
                shutil.copy(os.path.join(self.build, "sim/libwnaspi32.so"),
                            os.path.join(copy, LAYER_DIR))
                r = subprocess.run([os.path.join(copy, "bin/sysgrab"), "disc.bin"], cwd=self.folder,
                                   capture_output=True, text=True,
                                   env=dict(env, ASPISIM_SCENARIO=self.scenario))
                self.assertEqual(r.stdout.splitlines()[-1], "extraction complete", r.stdout)
                with open(os.path.join(self.folder, "disc.bin"), "rb") as f:
                    self.assertEqual(f.read(), b"".join(pattern(0, lba) for lba in range(16)))

    def test_same_bytes_from_another_folder(self):
        self.assertIsNone(rebuilt_elsewhere("linux", self.build, [guest.DEB, guest.TARBALL]))
        # BUILDINFO names first the compiler whose version the binaries carry.
        with open(os.path.join(self.build, "BUILDINFO")) as f:
            compiler = f.readline().split(" ", 2)[2].strip()  # "compiler: c++ (Debian ...) 12"
        self.assertIn(compiler, subprocess.run(["readelf", "-p", ".comment", SYSGRAB],
                                               capture_output=True, text=True).stdout)

    def test_debian_checks(self):
        depends = subprocess.run(["dpkg-deb", "-f", self.deb, "Depends"], check=True,
                                 capture_output=True, text=True).stdout.strip()
        self.assertRegex(depends, r"^libc6 \(>= [0-9.]+\)$")
        r = subprocess.run(["lintian", "--fail-on", "error,warning", self.deb],
                           capture_output=True, text=True)
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        page = os.path.join(TOP, "dist/sysgrab.1")
        r = subprocess.run(["mandoc", "-T", "lint", page], capture_output=True, text=True)
        # Not the page's: where mandoc's own index of the system's pages is
        # older than some page, it says so.
        said = [m for m in (r.stdout + r.stderr).splitlines() if "outdated mandoc.db" not in m]
        self.assertEqual((r.returncode, said), (0, []))

    def test_manual_page_tells_every_line_the_program_prints(self):
        with gzip.open(os.path.join(self.trees["deb"], "share/man/man1/sysgrab.1.gz"), "rt") as f:
            page = f.read()
        with open(os.path.join(TOP, "dist/sysgrab.1")) as f:
            self.assertEqual(page, f.read())
        printed = []
        for source in ("sysgrab.cpp", "wnaspi32.cpp"):
            with open(os.path.join(TOP, "src", source)) as f:
                printed += re.findall(r'printf\("([^"]*)\\n"', f.read())
        self.assertGreaterEqual(len(printed), 18)
        texts = {"page": page}
        for name in ("dist/README.txt", "README.md"):
            with open(os.path.join(TOP, name)) as f:
                texts[name] = f.read()
        # Each text, how it sets a line apart, and how it writes "%08lx" and "%02u:%02u".
        for name, form, number, drive in (
                ("page", r"\n\.It Li {}\n", "Ar XXXXXXXX", "Ar AA : Ns Ar TT"),
                ("dist/README.txt", r"\n    {}(\n|  )", "000000XX", "00:04"),
                ("README.md", r"\n{}\n|\| `{}` \|", "000000XX", "00:04")):
            for line in printed:
                written = re.escape(line.replace("%08lx", number).replace("%02u:%02u", drive))
                self.assertRegex(texts[name], form.format(written, written), name + ": " + line)


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
