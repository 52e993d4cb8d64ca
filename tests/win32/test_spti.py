"""The SPTI layer, WNASPI32.DLL, under Wine on a machine without CD-ROM drives.

  NoDrive      the build's Wine prefix as it is (drives C: and Z: only)
  FakeDrives   a copy of the prefix where D: and E: are CD-ROM drives that
               lead to /dev/null: found, numbered, and every command fails
  Windows98    a copy with the Windows version set to 98, Wine being NT
               underneath as Windows is in a compatibility mode: sysgrab.exe
               takes the layer beside it first, also over a system folder's
               layer that fails; the layer serves itself, never loading the
               system folder's WNASPI32.DLL, working or stale (the handing
               over is for Windows 9x alone, which Wine cannot be)

Each run has the program, the layer and aspicheck in a folder of their own,
with WINEDLLOVERRIDES=wnaspi32=n so that Wine takes that DLL.
"""

import os
import shutil
import subprocess
import tempfile
import time
import unittest

from harness import IMAGE_SIZE, WineRunner, fields, request_answers, success_lines

BUILD = os.environ.get("SYSGRAB_BUILD", "build/win32")
WINE = os.environ.get("SYSGRAB_WINE", "wine")
PREFIX = os.environ.get("WINEPREFIX") or os.path.join(BUILD, "wineprefix")
BITS = int(os.environ.get("SYSGRAB_BITS", "32"))

MANAGER = "[sysgrab SPTI    ]"
READ10_LBA0 = "28000000000000000100"
TEST_UNIT_READY = "000000000000"
# SRB_Flags
POSTING, RESIDUAL, DIR_IN, DIR_OUT, EVENT = 0x01, 0x04, 0x08, 0x10, 0x40
CLEAN = "written 0 beyond clean sensebeyond clean"


class Layer:
    """A folder holding sysgrab.exe, the layer and aspicheck, run under Wine
    in the given prefix."""

    def __init__(self, prefix, layer=os.path.join(BUILD, "WNASPI32.DLL")):
        self.prefix = prefix
        self.folder = tempfile.mkdtemp(prefix="sysgrab-spti-")
        for path in (os.path.join(BUILD, "sysgrab.exe"), layer,
                     os.path.join(BUILD, "tests", "client", "aspicheck.exe")):
            shutil.copy2(path, self.folder)

    def close(self):
        shutil.rmtree(self.folder, True)

    def run(self, program, *args, env=None, cwd=None):
        full = dict(os.environ)
        full.update({"WINEPREFIX": self.prefix, "WINEDEBUG": "-all",
                     "WINEDLLOVERRIDES": "wnaspi32=n"})
        full.update(env or {})
        out = os.path.join(self.folder, "run.out")
        err = os.path.join(self.folder, "run.err")
        cmd = ["sh", "-c", WineRunner.THROUGH_FILES, "sh", out, err, WINE,
               os.path.join(self.folder, program)] + list(args)
        proc = subprocess.run(cmd, cwd=cwd or self.folder, env=full, capture_output=True,
                              stdin=subprocess.DEVNULL, timeout=120)
        return (proc.returncode, proc.stdout.decode("latin-1").replace("\r\n", "\n"),
                proc.stderr.decode("latin-1").replace("\r\n", "\n"))

    def check(self, *args):
        """aspicheck's one line."""
        rc, out, err = self.run("aspicheck.exe", *args)
        if rc != 0 or out.count("\n") != 1:
            raise AssertionError("aspicheck %s: rc %d, %r %r" % (" ".join(args), rc, out, err))
        return out.strip()

    def sysgrab(self, *args, env=None):
        out = os.path.join(self.folder, "out.bin")
        if os.path.exists(out):
            os.remove(out)
        rc, text, err = self.run("sysgrab.exe", "out.bin", *args, env=env)
        data = None
        if os.path.exists(out):
            with open(out, "rb") as f:
                data = f.read()
        return rc, text.splitlines(), err, data


class PrefixCopy:
    """A Wine prefix of its own, made from the build's: files hard-linked,
    registry files copied (the Wine server replaces them, never writes
    into them), with a Wine server of its own."""

    def __init__(self):
        self.path = tempfile.mkdtemp(prefix="sysgrab-prefix-",
                                     dir=os.path.dirname(os.path.abspath(PREFIX)))
        os.rmdir(self.path)
        subprocess.run(["cp", "-al", PREFIX, self.path], check=True)
        for name in os.listdir(PREFIX):
            if name.endswith(".reg"):
                os.remove(os.path.join(self.path, name))
                shutil.copy2(os.path.join(PREFIX, name), os.path.join(self.path, name))

    def env(self):
        return dict(os.environ, WINEPREFIX=self.path, WINEDEBUG="-all")

    def reg_add(self, key, name, value, view64=False):
        cmd = [WINE, "reg", "add", key, "/v", name, "/d", value, "/f"]
        # Seen once: reg failing in a prefix copy whose server was just
        # starting. Tried again before giving up.
        for _ in range(3):
            proc = subprocess.run(cmd + (["/reg:64"] if view64 else []), env=self.env(),
                                  capture_output=True, stdin=subprocess.DEVNULL)
            if proc.returncode == 0:
                break
            time.sleep(1)
        else:
            raise AssertionError("%s: %d %r %r" % (" ".join(cmd), proc.returncode, proc.stdout,
                                                   proc.stderr))

    def restart(self):
        """Waits for the server to end, so that the next program starts
        Wine's services anew and they read the registry again."""
        subprocess.run(["wineserver", "-w"], env=self.env(), check=True)

    def replace(self, relative, source=None):
        """Unlinks a file (never writing through a hard link into the
        build's prefix) and puts a copy of source there, if any."""
        path = os.path.join(self.path, relative)
        if os.path.lexists(path):
            os.remove(path)
        if source is not None:
            shutil.copyfile(source, path)

    def close(self):
        subprocess.run(["wineserver", "-k"], env=self.env(), capture_output=True)
        shutil.rmtree(self.path, True)


class NoDrive(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        devices = os.listdir(os.path.join(PREFIX, "dosdevices"))
        letters = sorted(d for d in devices if len(d) == 2 and d.endswith(":"))
        if letters != ["c:", "z:"]:
            raise unittest.SkipTest("the prefix has drives %s" % letters)
        cls.layer = Layer(PREFIX)

    @classmethod
    def tearDownClass(cls):
        cls.layer.close()

    def test_program_cannot_initialize(self):
        rc, lines, err, data = self.layer.sysgrab()
        self.assertEqual(lines, ["SYSGRAB.EXE 0.001", "initializing wnaspi32",
                                 "ERROR: could not initialize wnaspi32"])
        self.assertEqual((rc, err, data), (1, "", b""))

    def test_no_adapters(self):
        self.assertEqual(self.layer.check("info"), "info 0000e800")
        # Adapter 0 answers with the count even where there is none, and the
        # default limit, 64 KiB.
        self.assertEqual(self.layer.check("inquiry", "0"),
                         "ret 01 status 01 count 0 id 7 manager %s identifier [%s] "
                         "unique 00000208000001000000000000000000" % (MANAGER, " " * 16))
        self.assertEqual(fields(self.layer.check("inquiry", "1"))["ret"], "81")
        self.assertEqual(self.layer.check("type", "0", "0", "0"), "ret 81 status 81 type 00")
        self.assertEqual(fields(self.layer.check("disk", "0", "0", "0"))["ret"], "81")

    def test_malformed_requests(self):
        # (what is wrong, aspicheck's arguments, status)
        in_event = "%x" % (DIR_IN | EVENT)
        cases = [
            ("no record", ["null"], "e0"),
            ("abort", ["cmd", "3"], "80"),
            ("reset, no adapter", ["cmd", "4"], "81"),
            ("unknown command", ["cmd", "0x7f"], "80"),
            ("CDB length 0", ["raw", "0", "0", "0", in_event, "2048", "0", READ10_LBA0], "e0"),
            ("CDB length 17", ["raw", "0", "0", "0", in_event, "2048", "17", READ10_LBA0],
             "e0"),
            ("both directions", ["raw", "0", "0", "0", "%x" % (DIR_IN | DIR_OUT | EVENT),
                                 "2048", "10", READ10_LBA0], "e0"),
            ("data without direction", ["raw", "0", "0", "0", "%x" % EVENT, "2048", "10",
                                        READ10_LBA0], "e0"),
            ("null buffer", ["raw", "0", "0", "0", in_event, "2048", "10", READ10_LBA0,
                             "nullbuf"], "e0"),
            ("event notify without event", ["raw", "0", "0", "0", in_event, "2048", "10",
                                            READ10_LBA0, "noevent"], "e0"),
            ("well formed, no adapter", ["raw", "0", "0", "0", in_event, "2048", "10",
                                         READ10_LBA0], "81"),
        ]
        for what, args, status in cases:
            with self.subTest(what):
                line = self.layer.check(*args)
                got = fields(line)
                self.assertEqual(got["ret"], status, line)
                if "status" in got:
                    self.assertEqual(got["status"], status, line)
                if args[0] == "raw":
                    self.assertIn(CLEAN, line)
                    self.assertEqual(got["notified"], "0", line)


class FakeDrives(unittest.TestCase):
    """D: and E: are CD-ROM drives to Windows, opened as \\\\.\\D: and
    \\\\.\\E:, but /dev/null underneath: Wine gives them no SCSI address and
    fails every pass-through."""

    @classmethod
    def setUpClass(cls):
        # Class cleanups run even where set-up fails half-way.
        cls.prefix = PrefixCopy()
        cls.addClassCleanup(cls.prefix.close)
        cls.mount = tempfile.mkdtemp(prefix="sysgrab-cd-")
        cls.addClassCleanup(shutil.rmtree, cls.mount, True)
        for letter in "de":
            cls.prefix.replace("dosdevices/%s:" % letter)
            os.symlink(cls.mount, os.path.join(cls.prefix.path, "dosdevices", letter + ":"))
            os.symlink("/dev/null", os.path.join(cls.prefix.path, "dosdevices", letter + "::"))
            cls.prefix.reg_add(r"HKLM\Software\Wine\Drives", letter + ":", "cdrom",
                               view64=True)
        cls.prefix.restart()
        cls.layer = Layer(cls.prefix.path)
        cls.addClassCleanup(cls.layer.close)
        # Wine's services learn the letters' types on their own time after
        # the restart (on a busy machine after the first program looks).
        deadline = time.monotonic() + 60
        while cls.layer.check("info") != "info 00000102":
            if time.monotonic() > deadline:
                raise AssertionError("Wine did not report D: and E: as CD-ROM drives in 60 s")
            time.sleep(1)

    def test_program_stops_when_no_command_reaches_a_drive(self):
        # Windows refuses every pass-through on /dev/null: no block was read,
        # which must not pass for a disc of 0xFF.
        rc, lines, err, data = self.layer.sysgrab()
        self.assertEqual(lines, success_lines(0, 0)[:4] + ["ERROR: host adapter status = 00000014"],
                         err)
        self.assertEqual((rc, err), (1, ""))
        self.assertEqual(data, b"")

    def test_each_drive_without_address_has_an_adapter(self):
        self.assertEqual(self.layer.check("info"), "info 00000102")
        for adapter, letter in ((0, "D"), (1, "E")):
            with self.subTest(adapter=adapter):
                line = self.layer.check("inquiry", str(adapter))
                got = fields(line)
                self.assertEqual((got["ret"], got["status"], got["count"], got["id"]),
                                 ("01", "01", "2", "7"), line)
                self.assertIn("manager %s identifier [Drive %s:        ]" % (MANAGER, letter),
                              line)
                unique = bytes.fromhex(got["unique"])
                # No alignment asked of the caller, residual count, 8 targets.
                self.assertEqual(unique[:4], b"\x00\x00\x02\x08", line)
                max_transfer = int.from_bytes(unique[4:8], "little")
                print("%s: maximum transfer %d" % (letter, max_transfer))
                self.assertGreaterEqual(max_transfer, 2048)
        self.assertEqual(fields(self.layer.check("inquiry", "2"))["ret"], "81")

    def test_reset_timeouts_and_rescan(self):
        args, want = request_answers(("1", "0", "0"), ("0", "1", "0"), ("2", "0", "0"), "00000102")
        self.assertEqual(self.layer.check(*args), want)

    def test_device_types_and_drive_letters(self):
        # SC_GET_DISK_INFO, with garbage in the header's flags and reserved
        # bytes, names the drive letter (D: = 3) and writes nothing outside
        # bytes 1 and 10 to 13.
        for address, status, letter in ((("0", "0", "0"), "01", 3), (("1", "0", "0"), "01", 4),
                                         (("0", "1", "0"), "82", None),
                                         (("0", "0", "1"), "82", None),
                                         (("0", "8", "0"), "82", None),
                                         (("2", "0", "0"), "81", None)):
            with self.subTest(address=address):
                self.assertEqual(self.layer.check("type", *address),
                                 "ret %s status %s type %s" % (status, status,
                                                               "05" if letter else "00"))
                line = self.layer.check("disk", *address, "garbage")
                got = fields(line)
                self.assertEqual((got["ret"], got["status"], got["others"]),
                                 (status, status, "clean"), line)
                if letter:
                    self.assertIn("driveflags 00 int13 %02x heads 00 sectors 00" % letter, line)

    def test_failed_pass_through(self):
        # Every command reaches Windows, which refuses it: SS_ERR with a
        # host adapter status, nothing written to the buffer or past the
        # sense area, the residual count the whole length, one notice.
        cases = [
            ("data in, event", "%x" % (DIR_IN | EVENT | RESIDUAL), "2048", READ10_LBA0, []),
            ("data in, post routine", "%x" % (DIR_IN | POSTING | RESIDUAL), "2048",
             READ10_LBA0, []),
            ("data out", "%x" % (DIR_OUT | EVENT | RESIDUAL), "8", "2a00000000000000010000",
             ["data", "0102030405060708"]),
            ("no data", "%x" % (EVENT | RESIDUAL), "0", TEST_UNIT_READY, []),
        ]
        for what, flags, length, cdb, extra in cases:
            with self.subTest(what):
                line = self.layer.check("raw", "0", "0", "0", flags, length,
                                        str(len(cdb) // 2), cdb, "sense", "4", *extra)
                got = fields(line)
                self.assertEqual((got["ret"], got["status"], got["ha"]), ("04", "04", "14"),
                                 line)
                self.assertEqual(got["resid"], length, line)
                self.assertEqual(got["notified"], "1", line)
                self.assertIn("beyond clean sensebeyond clean", line)
                if not extra:
                    self.assertEqual(got["written"], "0", line)

    def test_too_long_and_wrong_address(self):
        in_event = "%x" % (DIR_IN | EVENT)
        # A read whose blocks fit goes in pieces however long its buffer: over the
        # maximum, an INQUIRY.
        for what, address, length, status, cdb in (
                ("over the maximum", "000", "16777216", "e6", "120000000000"),
                ("no unit", "010", "2048", "82", READ10_LBA0),
                ("no adapter", "200", "2048", "81", READ10_LBA0)):
            with self.subTest(what):
                line = self.layer.check("raw", *address, in_event, length, str(len(cdb) // 2),
                                        cdb)
                got = fields(line)
                self.assertEqual((got["ret"], got["status"], got["notified"]),
                                 (status, status, "0"), line)
                self.assertIn(CLEAN, line)


class Windows98(unittest.TestCase):
    """GetVersion has its high bit set, ntdll.dll is loaded: sysgrab.exe
    takes the layer beside it first, which serves itself as on NT."""

    @classmethod
    def setUpClass(cls):
        cls.prefix = PrefixCopy()
        cls.addClassCleanup(cls.prefix.close)
        cls.prefix.reg_add(r"HKCU\Software\Wine", "Version", "win98")
        cls.prefix.restart()
        windows = os.path.join("drive_c", "windows")
        # A 32-bit program's system folder in a 64-bit prefix is syswow64.
        wow = os.path.join(windows, "syswow64")
        if BITS == 32 and os.path.isdir(os.path.join(cls.prefix.path, wow)):
            cls.system = os.path.join(wow, "wnaspi32.dll")
        else:
            cls.system = os.path.join(windows, "system32", "wnaspi32.dll")
        cls.layer = Layer(cls.prefix.path)
        cls.addClassCleanup(cls.layer.close)

    def test_program_takes_the_layer_beside_it(self):
        image = os.urandom(IMAGE_SIZE + 4096)
        folder = self.layer.folder
        with open(os.path.join(folder, "disc.iso"), "wb") as f:
            f.write(image)
        with open(os.path.join(folder, "scenario.txt"), "w") as f:
            f.write("unit 0 0 0\nunit 0 4 5 image %s\n" % os.path.join(folder, "disc.iso"))
        env = {"ASPISIM_SCENARIO": os.path.join(folder, "scenario.txt")}
        # The simulated bus beside the program, Wine's own layer (which finds
        # no adapter) in the system folder, as old CD software left theirs:
        # the one beside the program reads the disc.
        self.prefix.replace(self.system, os.path.join(PREFIX, self.system))
        shutil.copy(os.path.join(BUILD, "sim", "WNASPI32.DLL"), folder)
        rc, lines, err, data = self.layer.sysgrab(env=dict(env, WINEDLLOVERRIDES="wnaspi32=n,b"))
        shutil.copy(os.path.join(BUILD, "WNASPI32.DLL"), folder)
        self.assertEqual((rc, lines, err), (0, success_lines(0, 4), ""))
        self.assertEqual(data, image[:IMAGE_SIZE])

    def test_layer_serves_itself(self):
        # Wine is NT underneath, as Windows is in a compatibility mode: the
        # layer serves every request itself (no drive in this prefix) and
        # never loads the system folder's layer, none, a working one (the
        # simulated bus with a disc) or a stale one (failing to initialize).
        folder = self.layer.folder
        log = os.path.join(folder, "aspi.log")
        env = {"ASPISIM_SCENARIO": os.path.join(folder, "system.txt"), "ASPISIM_LOG": log}
        for what, scenario in (("none", None), ("working", "unit 0 4 5\n"),
                               ("stale", "unit 0 4 5\ninfo 0xe400\n")):
            with self.subTest(what):
                with open(env["ASPISIM_SCENARIO"], "w") as f:
                    f.write(scenario or "")
                self.prefix.replace(self.system, scenario and os.path.join(BUILD, "sim",
                                                                           "WNASPI32.DLL"))
                rc, lines, err, data = self.layer.sysgrab(env=env)
                self.assertEqual(lines, ["SYSGRAB.EXE 0.001", "initializing wnaspi32",
                                         "ERROR: could not initialize wnaspi32"])
                self.assertEqual((rc, err, data), (1, "", b""))
                self.assertEqual(self.layer.run("aspicheck.exe", "info", env=env)[1],
                                 "info 0000e800\n")
                self.assertIn(MANAGER, self.layer.run("aspicheck.exe", "inquiry", "0",
                                                      env=env)[1])
                self.assertFalse(os.path.exists(log))


class CurrentFolder(unittest.TestCase):
    """sysgrab.exe loads the layer beside it, in a folder of any name or
    length, never one in the current folder. Wine's own layer is kept out,
    in the system folders too."""

    def test_layer_in_the_current_folder_only(self):
        prefix = PrefixCopy()
        self.addCleanup(prefix.close)
        for system in ("system32", "syswow64"):
            prefix.replace(os.path.join("drive_c", "windows", system, "wnaspi32.dll"))
        layer = Layer(prefix.path, os.path.join(BUILD, "sim", "WNASPI32.DLL"))
        self.addCleanup(layer.close)
        here = os.path.join(layer.folder, "here")
        os.mkdir(here)
        os.rename(os.path.join(layer.folder, "WNASPI32.DLL"), os.path.join(here, "WNASPI32.DLL"))
        with open(os.path.join(here, "scenario.txt"), "w") as f:
            f.write("unit 0 4 5\n")
        env = {"ASPISIM_SCENARIO": os.path.join(here, "scenario.txt")}
        rc, out, err = layer.run("sysgrab.exe", "out.bin", env=env, cwd=here)
        self.assertEqual((rc, out.splitlines()[-1]), (1, "ERROR: wnaspi32 library not found"))
        shutil.copy2(os.path.join(here, "WNASPI32.DLL"), layer.folder)
        rc, out, err = layer.run("sysgrab.exe", "out.bin", env=env, cwd=here)
        self.assertEqual((rc, out.splitlines()), (0, success_lines(0, 4)), err)
        # Letters outside the ANSI code page; a path over 260 characters.
        for folder in ("Łódź", os.path.join(*["folder %d of a path longer than 260 characters"
                                              % i for i in range(7)])):
            with self.subTest(folder=folder[:20]):
                os.makedirs(os.path.join(layer.folder, folder))
                for name in ("sysgrab.exe", "WNASPI32.DLL"):
                    shutil.copy2(os.path.join(layer.folder, name),
                                 os.path.join(layer.folder, folder))
                rc, out, err = layer.run(os.path.join(folder, "sysgrab.exe"), "out.bin",
                                         env=env, cwd=here)
                self.assertEqual((rc, out.splitlines()), (0, success_lines(0, 4)), err)


if __name__ == "__main__":
    unittest.main()
