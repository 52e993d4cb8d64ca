"""The 32-bit release image, read with objdump: a console program that
Windows 95 and NT 4 load, needing nothing but KERNEL32.dll and msvcrt.dll,
and small; the release archive; and the bus DLL's entry points, by their
plain names."""

import os
import re
import shutil
import subprocess
import tempfile
import unittest
import zipfile

BIN = os.environ.get("SYSGRAB_BIN", "build/win32/sysgrab.exe")
BUILD = os.environ.get("SYSGRAB_BUILD", os.path.dirname(BIN))
OBJDUMP = os.environ.get("SYSGRAB_OBJDUMP", "i686-w64-mingw32-objdump")
STRIP = os.environ.get("SYSGRAB_STRIP", "i686-w64-mingw32-strip")
CMAKE = os.environ.get("SYSGRAB_CMAKE", "cmake")

SIZE_LIMIT = 64 * 1024

# KERNEL32 functions that Windows 95 and NT 4 both export and that the
# program or its MinGW-w64 start-up code may call. Another import could be
# missing there and stop the program from loading: check it, then add it.
KERNEL32_SINCE_95_AND_NT4 = {
    "CloseHandle", "CreateEventA", "DeleteCriticalSection", "EnterCriticalSection",
    "ExitProcess", "FreeLibrary", "GetCommandLineA", "GetCurrentProcess",
    "GetCurrentProcessId", "GetCurrentThreadId", "GetLastError", "GetModuleFileNameA",
    "GetModuleHandleA", "GetProcAddress", "GetStartupInfoA", "GetSystemTimeAsFileTime",
    "GetTickCount", "InitializeCriticalSection", "LeaveCriticalSection", "LoadLibraryA",
    "MultiByteToWideChar", "QueryPerformanceCounter", "SetEvent", "SetLastError",
    "SetUnhandledExceptionFilter", "Sleep", "TlsAlloc", "TlsFree", "TlsGetValue",
    "TlsSetValue", "VirtualProtect", "VirtualQuery", "WaitForSingleObject",
    "WideCharToMultiByte",
}


def objdump(path):
    return subprocess.run([OBJDUMP, "-p", path], check=True, capture_output=True,
                          text=True).stdout


def header(text, field):
    m = re.search(r"^%s\s+(\S+)" % field, text, re.M)
    if m is None:
        raise AssertionError("no %s in objdump's output" % field)
    return m.group(1)


def file_format(text):
    m = re.search(r"file format (\S+)", text)
    return m.group(1) if m else None


def imports(text):
    """{DLL name: [function, ...]} from the import tables."""
    tables = {}
    current = None
    for line in text.splitlines():
        m = re.match(r"\s+DLL Name: (\S+)$", line)
        if m:
            current = tables.setdefault(m.group(1), [])
            continue
        if current is None:
            continue
        m = re.match(r"\s+[0-9a-f]+\s+\d+\s+(\S+)$", line)
        if m:
            current.append(m.group(1))
        elif not line.strip():
            current = None
    return tables


def exports(text):
    names = []
    inside = False
    for line in text.splitlines():
        if "[Ordinal/Name Pointer] Table" in line:
            inside = True
            continue
        m = re.match(r"\s+\[\s*\d+\]\s+(\S+)$", line)
        if inside and m:
            names.append(m.group(1))
        elif inside and not line.strip():
            inside = False
    return names


class Program(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.text = objdump(BIN)

    def test_console_program_for_windows_95_and_nt4(self):
        self.assertEqual(file_format(self.text), "pei-i386")
        self.assertEqual(header(self.text, "Magic"), "010b")  # PE32
        self.assertEqual(int(header(self.text, "Subsystem"), 16), 3)  # console
        for field in ("SubsystemVersion", "OSystemVersion"):
            with self.subTest(field=field):
                self.assertEqual(header(self.text, "Major" + field), "4")
                self.assertEqual(header(self.text, "Minor" + field), "0")

    def test_imports(self):
        tables = imports(self.text)
        for dll, functions in sorted(tables.items()):
            print("%s: %s" % (dll, " ".join(functions)))
        self.assertEqual(sorted(tables), ["KERNEL32.dll", "msvcrt.dll"])
        newer = sorted(set(tables["KERNEL32.dll"]) - KERNEL32_SINCE_95_AND_NT4)
        self.assertEqual(newer, [], "KERNEL32 functions not known in Windows 95 and NT 4")

    def test_stripped_size(self):
        with tempfile.TemporaryDirectory() as folder:
            copy = os.path.join(folder, "sysgrab.exe")
            shutil.copyfile(BIN, copy)
            subprocess.run([STRIP, copy], check=True)
            size = os.path.getsize(copy)
        print("stripped sysgrab.exe: %d bytes (%.1f KiB)" % (size, size / 1024))
        self.assertLessEqual(size, SIZE_LIMIT)


class Archive(unittest.TestCase):
    def test_release_archive(self):
        subprocess.run([CMAKE, "--build", BUILD, "--target", "package"], check=True,
                       capture_output=True)
        with zipfile.ZipFile(os.path.join(BUILD, "sysgrab-0.001-win32.zip")) as z:
            self.assertEqual(sorted(z.namelist()), ["README.txt", "sysgrab.exe"])
            readme = z.read("README.txt")
            exe = z.read("sysgrab.exe")
        self.assertTrue(readme.startswith(b"SYSGRAB.EXE 0.001\r\n"))
        self.assertEqual(readme.count(b"\n"), readme.count(b"\r\n"), "a line without CR")
        with tempfile.TemporaryDirectory() as folder:
            packed = os.path.join(folder, "sysgrab.exe")
            with open(packed, "wb") as f:
                f.write(exe)
            sections = subprocess.run([OBJDUMP, "-h", packed], check=True,
                                      capture_output=True, text=True).stdout
        self.assertEqual(file_format(sections), "pei-i386")
        self.assertNotIn(".debug_", sections, "the archived program is not stripped")
        self.assertLessEqual(len(exe), SIZE_LIMIT)


class Bus(unittest.TestCase):
    def test_entry_points_by_plain_name(self):
        both = ["GetASPI32SupportInfo", "SendASPI32Command"]
        for folder, names in (("sim", both), ("sim-noinfo", both[1:]),
                              ("sim-nocommand", both[:1])):
            with self.subTest(folder=folder):
                text = objdump(os.path.join(BUILD, folder, "WNASPI32.DLL"))
                self.assertEqual(file_format(text), "pei-i386")
                self.assertEqual(sorted(exports(text)), names)


if __name__ == "__main__":
    unittest.main()
