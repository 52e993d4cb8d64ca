"""Runs the real sysgrab program against the simulated ASPI bus.

The environment chooses the program and how it runs:
  SYSGRAB_RUNNER  native (default) or wine
  SYSGRAB_BIN     the program: build/linux/sysgrab or build/win32/sysgrab.exe
  SYSGRAB_BUILD   the build folder holding the bus builds (sim, sim-noinfo,
                  sim-nocommand)
  SYSGRAB_WINE    for the wine runner: the Wine loader (default: wine)
  WINEPREFIX      for the wine runner: default SYSGRAB_BUILD/wineprefix

GuestChecks holds the assertions the QEMU guests' tests share.
"""

import atexit
import hashlib
import os
import shutil
import subprocess
import tempfile
import unittest

BLOCK = 2048
IMAGE_SIZE = 16 * BLOCK

USAGE = (
    "SYSGRAB.EXE 0.001 -- to be used with KAVOR 0.070 MS-DOS port\n"
    " extracts the lower 16 sectors from a cdrom in 2048-byte mode.\n"
    " the first cdrom drive found is used. requires wnaspi32.\n"
    "\n"
    " usage: sysgrab.exe [output file]\n"
    " example: sysgrab.exe gamedisc.bin\n"
)
BANNER = "SYSGRAB.EXE 0.001"
INIT = "initializing wnaspi32"


def success_lines(adapter, target):
    return [
        BANNER,
        INIT,
        "using wnaspi32 device %02u:%02u" % (adapter, target),
        "extracting ...",
        "deinitializing wnaspi32",
        "extraction complete",
    ]


def sha(data):
    return hashlib.sha256(data).hexdigest()


def fields(line):
    """'ret 01 status 01 ...' as {'ret': '01', 'status': '01', ...}."""
    words = line.split()
    return {words[i]: words[i + 1] for i in range(0, len(words) - 1, 2)}


def pattern(seed, lba, length=BLOCK):
    """The bytes the bus makes up for block lba of a pattern unit."""
    out = bytearray(length)
    for i in range(length):
        v = ((lba * BLOCK + i) * 2654435761 + seed * 40503) & 0xFFFFFFFF
        out[i] = v >> 24
    return bytes(out)


def parse_log(text):
    """One dict per request: the kind, what was asked and what was answered."""
    entries = []
    for line in text.splitlines():
        words = line.split()
        if not words:
            continue
        entry = {"kind": words[0]}
        for w in words[1:]:
            if w == "->":
                continue
            key, _, value = w.partition("=")
            entry[key] = value
        entries.append(entry)
    return entries


class Result:
    def __init__(self, proc, folder, output):
        self.rc = proc.returncode
        self.stdout = proc.stdout
        self.stderr = proc.stderr
        self.lines = proc.stdout.split("\n")
        if self.lines and self.lines[-1] == "":
            self.lines.pop()
        log = os.path.join(folder, "aspi.log")
        self.log_exists = os.path.exists(log)
        self.log = []
        if self.log_exists:
            with open(log) as f:
                self.log = parse_log(f.read())
        self.output = output

    @property
    def requests(self):
        """The kinds of request, in order; the unload at exit left out."""
        return [e["kind"] for e in self.log if e["kind"] != "unload"]

    def of_kind(self, kind):
        return [e for e in self.log if e["kind"] == kind]

    @property
    def probes(self):
        return [(int(e["ha"]), int(e["target"]), int(e["lun"])) for e in self.of_kind("probe")]

    @property
    def reads(self):
        return self.of_kind("exec")

    def image(self):
        with open(self.output, "rb") as f:
            return f.read()


class Runner:
    """Runs the program natively: the bus is chosen with LD_LIBRARY_PATH."""

    def __init__(self):
        self.bin = os.path.abspath(os.environ.get("SYSGRAB_BIN", "build/linux/sysgrab"))
        self.build = os.path.abspath(
            os.environ.get("SYSGRAB_BUILD", os.path.dirname(self.bin))
        )

    def bus(self, variant):
        return os.path.join(self.build, variant) if variant else None

    def command(self, folder, args, variant):
        """The command line and extra environment for one run."""
        env = {}
        program = self.bin
        if variant is None:
            # A copy of the program in a folder of its own, with no layer
            # beside it, on the search path or in the system's folders.
            program = os.path.join(folder, os.path.basename(self.bin))
            shutil.copy2(self.bin, program)
            env["LD_LIBRARY_PATH"] = folder
        else:
            env["LD_LIBRARY_PATH"] = self.bus(variant)
        return [program] + list(args), env

    def output_text(self, raw):
        return raw

    def status(self, rc):
        return rc


class WineRunner(Runner):
    """Runs the Windows program under Wine. The program, and the variant's
    WNASPI32.DLL if any, sit in a folder of their own outside the test's
    folder (Windows looks in the program's folder first); the override makes
    Wine take that DLL rather than its own, or, without a variant, no
    library at all."""

    def __init__(self):
        super().__init__()
        self.wine = os.environ.get("SYSGRAB_WINE", "wine")
        self.prefix = os.environ.get("WINEPREFIX") or os.path.join(self.build, "wineprefix")
        self.programs = tempfile.mkdtemp(prefix="sysgrab-wine-")
        atexit.register(shutil.rmtree, self.programs, True)
        self.folders = {}

    def program_folder(self, variant):
        if variant not in self.folders:
            folder = os.path.join(self.programs, variant or "no-library")
            os.mkdir(folder)
            shutil.copy2(self.bin, folder)
            if variant is not None:
                shutil.copy2(os.path.join(self.bus(variant), "WNASPI32.DLL"), folder)
            self.folders[variant] = folder
        return self.folders[variant]

    # Wine's background processes, started by the first program that needs
    # them, keep that program's standard output and error open for as long
    # as they live. The program writes into files of its own instead, which
    # are copied out once it has ended, so that the run ends with it.
    THROUGH_FILES = 'o=$1 e=$2; shift 2; "$@" >"$o" 2>"$e"; s=$?; cat "$o"; cat "$e" >&2; ' \
                    'rm -f "$o" "$e"; exit $s'

    def command(self, folder, args, variant):
        program = os.path.join(self.program_folder(variant), os.path.basename(self.bin))
        env = {
            "WINEPREFIX": self.prefix,
            "WINEDEBUG": "-all",
            "WINEDLLOVERRIDES": "wnaspi32=n" if variant is not None else "wnaspi32=d",
        }
        out = tempfile.mkstemp(dir=self.programs, suffix=".out")
        err = tempfile.mkstemp(dir=self.programs, suffix=".err")
        os.close(out[0])
        os.close(err[0])
        return ["sh", "-c", self.THROUGH_FILES, "sh", out[1], err[1], self.wine, program] + \
            list(args), env

    def output_text(self, raw):
        # The Windows C runtime ends lines with CR LF.
        return raw.replace("\r\n", "\n")


RUNNERS = {"native": Runner, "wine": WineRunner}


def make_runner():
    name = os.environ.get("SYSGRAB_RUNNER", "native")
    return RUNNERS[name]()


class Case(unittest.TestCase):
    """A test case with a folder of its own per test."""

    runner = None

    @classmethod
    def setUpClass(cls):
        if Case.runner is None:
            Case.runner = make_runner()

    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="sysgrab-test-")
        self.addCleanup(shutil.rmtree, self.folder, True)

    def path(self, name):
        return os.path.join(self.folder, name)

    def write(self, name, data):
        mode = "wb" if isinstance(data, bytes) else "w"
        with open(self.path(name), mode) as f:
            f.write(data)
        return self.path(name)

    def run_sysgrab(self, scenario=None, args=("out.bin",), variant="sim", env=None,
                    timeout=60, shell=None):
        """Runs the program in the test's folder and collects what it did;
        shell, where given, is what a shell does before it runs the program."""
        if scenario is not None:
            self.write("scenario.txt", scenario)
        if os.path.exists(self.path("aspi.log")):
            os.remove(self.path("aspi.log"))
        cmd, extra = self.runner.command(self.folder, args, variant)
        if shell:
            cmd = ["sh", "-c", shell + '; exec "$@"', "sh"] + cmd
        full = dict(os.environ)
        full.pop("ASPISIM_SCENARIO", None)
        full.pop("ASPISIM_LOG", None)
        if scenario is not None:
            full["ASPISIM_SCENARIO"] = self.path("scenario.txt")
        full["ASPISIM_LOG"] = self.path("aspi.log")
        full.update(extra)
        if env:
            full.update(env)
        proc = subprocess.run(
            cmd,
            cwd=self.folder,
            env=full,
            stdin=subprocess.DEVNULL,
            capture_output=True,
            timeout=timeout,
        )
        proc.stdout = self.runner.output_text(proc.stdout.decode("latin-1"))
        proc.stderr = proc.stderr.decode("latin-1")
        proc.returncode = self.runner.status(proc.returncode)
        output = args[0] if args and os.path.isabs(args[0]) else self.path(args[0] if args else "")
        return Result(proc, self.folder, output)

    def assertSuccess(self, r, adapter, target):
        self.assertEqual(r.lines, success_lines(adapter, target), r.stderr)
        self.assertEqual(r.rc, 0)
        self.assertEqual(r.stderr, "")
        self.assertEqual(os.path.getsize(r.output), IMAGE_SIZE)

    def assertFails(self, r, message, before=(BANNER, INIT), quiet=True):
        """The run printed the lines before, then one ERROR line, and exited 1;
        quiet: with nothing on standard error."""
        self.assertEqual(r.lines, list(before) + ["ERROR: " + message], r.stderr)
        self.assertEqual(r.rc, 1)
        if quiet:
            self.assertEqual(r.stderr, "")


def request_answers(unit, no_unit, no_adapter, info):
    """aspicheck's arguments sending SC_RESET_DEV, SC_GETSET_TIMEOUTS and
    SC_RESCAN_SCSI_BUS in one load, and its answer, alike for every layer:
    unit is an address whose device fails every command, no_unit one on an
    adapter without a unit there, no_adapter one past the count; info the
    support-info word."""
    u, n, x = (":".join(address) for address in (unit, no_unit, no_adapter))
    done = "ret 01 status 01 ha 00 value "
    pairs = [
        ("4:" + u, "ret 04 status 04 ha 14 value 0"),
        # SRB_EVENT_NOTIFY naming no event: refused, nothing signalled.
        ("4:%s:0x40" % u, "ret e0 status e0 ha 00 value 0"),
        ("4:" + n, "ret 82 status 82 ha 00 value 0"),
        ("4:" + x, "ret 81 status 81 ha 00 value 0"),
        # Timeouts in half seconds: 60 s at first, set for every unit,
        # rounded up to whole seconds, at most 30 hours, 0 back to 60 s.
        ("8:%s:8" % u, done + "120"), ("8:255:255:255:16:10", done + "10"),
        ("8:%s:8" % u, done + "10"), ("8:%s:16:3" % u, done + "3"), ("8:%s:8" % u, done + "4"),
        ("8:%s:16:199999" % u, done + "199999"), ("8:%s:8" % u, done + "200000"),
        ("8:%s:16:4294967295" % u, done + "4294967295"), ("8:%s:8" % u, done + "216000"),
        ("8:%s:16:0" % u, done + "0"), ("8:%s:8" % u, done + "120"),
        ("8:%s:8" % n, "ret 82 status 82 ha 00 value 0"),
        ("8:%s:8" % x, "ret 81 status 81 ha 00 value 0"),
        ("8:%s:24" % u, "ret e0 status e0 ha 00 value 0"),
        ("7", done + "0"), ("info", "info " + info),
    ]
    return ["cmd"] + [word for word, _ in pairs], " ".join(answer for _, answer in pairs)


def rebuilt_elsewhere(preset, build, archives):
    """cmp's lines for the archives, their SHA256SUMS (which must check) and BUILDINFO,
    that differ from what preset's package target makes of a copy of the
    sources elsewhere, with umask 077 in another time zone; None if none."""
    subprocess.run(["sha256sum", "--check", "SHA256SUMS"], cwd=build, check=True)
    top = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    # The copy, outside git, has the commit's date only from here.
    date = subprocess.run(["git", "log", "-1", "--format=%ct"], cwd=top, capture_output=True,
                          text=True).stdout.strip()
    env = dict(os.environ, TZ="EST5", SOURCE_DATE_EPOCH=os.environ.get("SOURCE_DATE_EPOCH", date))
    with tempfile.TemporaryDirectory() as folder:
        src = shutil.copytree(top, os.path.join(folder, "x", "sources"),
                              ignore=lambda d, _: ["build", ".git", ".cache"] if d == top else [])
        for args in (["--preset", preset, "-DBUILD_TESTING=OFF"],
                     ["--build", "--preset", preset, "--target", "package"]):
            subprocess.run(["cmake"] + args, cwd=src, env=env, umask=0o077, check=True,
                           stdout=subprocess.DEVNULL)
        return "".join(subprocess.run(["cmp", os.path.join(build, name),
                                       os.path.join(src, "build", preset, name)],
                                      capture_output=True, text=True).stdout
                       for name in archives + ["SHA256SUMS", "BUILDINFO"]) or None


class GuestChecks:
    """Assertions on a guest's checks: self.out maps each section to its
    (stdout lines, exit status, stderr lines), self.lines is the console.
    A sysgrab section NAME leaves its file's SHA-256 in section NAME-hash."""

    def section(self, name, rc=0):
        self.assertIn(name, self.out, "\n".join(self.lines[-200:]))
        stdout, got_rc, stderr = self.out[name]
        self.assertEqual(got_rc, rc, "%s: %s %s" % (name, stdout, stderr))
        return stdout, stderr

    def assertGrabbed(self, name, device, data=None, stderr=()):
        """sysgrab's six lines naming device ("AA:TT"), exit 0, the
        standard error given; the file holds data where given."""
        stdout, err = self.section(name)
        self.assertEqual(stdout, success_lines(*(int(x) for x in device.split(":"))))
        self.assertEqual(err, list(stderr))
        if data is not None:
            self.assertEqual(self.section(name + "-hash")[0], [sha(data)])

    def assertFailed(self, name, error, device=None, stderr=()):
        """sysgrab's error line, after it named device and started reading
        where device is given; exit 1, the file empty."""
        stdout, err = self.section(name, rc=1)
        before = [BANNER, INIT]
        if device is not None:
            before = success_lines(*(int(x) for x in device.split(":")))[:4]
        self.assertEqual(stdout, before + ["ERROR: " + error])
        self.assertEqual(err, list(stderr))
        self.assertEqual(self.section(name + "-hash")[0], [sha(b"")])
