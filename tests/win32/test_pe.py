"""The 32-bit release images, read with objdump: a console program and its
ASPI layer that Windows 95 and NT 4 load, needing nothing but KERNEL32.dll
and msvcrt.dll, small, with a version resource; the release archive; and
the bus DLL's entry points, by their plain names."""

import os
import re
import shutil
import struct
import subprocess
import tempfile
import unittest
import zipfile

from harness import rebuilt_elsewhere

BIN = os.environ.get("SYSGRAB_BIN", "build/win32/sysgrab.exe")
BUILD = os.environ.get("SYSGRAB_BUILD", os.path.dirname(BIN))
OBJDUMP = os.environ.get("SYSGRAB_OBJDUMP", "i686-w64-mingw32-objdump")
STRIP = os.environ.get("SYSGRAB_STRIP", "i686-w64-mingw32-strip")
CMAKE = os.environ.get("SYSGRAB_CMAKE", "cmake")

LAYER = os.path.join(BUILD, "WNASPI32.DLL")

SIZE_LIMIT = 64 * 1024
LAYER_SIZE_LIMIT = 32 * 1024
ENTRY_POINTS = ["GetASPI32SupportInfo", "SendASPI32Command"]

# KERNEL32 functions that Windows 95 and NT 4 both export and that the
# program or its MinGW-w64 start-up code may call. Another import could be
# missing there and stop the program from loading: check it, then add it.
KERNEL32_SINCE_95_AND_NT4 = {
    "CloseHandle", "CreateEventA", "CreateFileA", "DeleteCriticalSection",
    "DeviceIoControl", "EnterCriticalSection", "ExitProcess", "FreeLibrary",
    "GetCommandLineA", "GetCurrentProcess", "GetCurrentProcessId", "GetCurrentThreadId",
    "GetDriveTypeA", "GetLastError", "GetLogicalDrives", "GetModuleFileNameA",
    "GetModuleHandleA", "GetProcAddress", "GetStartupInfoA", "GetStdHandle",
    "GetSystemDirectoryA", "GetSystemTimeAsFileTime", "GetTickCount", "GetVersion",
    "InitializeCriticalSection", "LeaveCriticalSection", "LoadLibraryA",
    "MultiByteToWideChar", "QueryPerformanceCounter", "SetEvent", "SetLastError",
    "SetUnhandledExceptionFilter", "Sleep", "TlsAlloc", "TlsFree", "TlsGetValue",
    "TlsSetValue", "VirtualAlloc", "VirtualFree", "VirtualProtect", "VirtualQuery",
    "WaitForSingleObject", "WideCharToMultiByte", "WriteFile", "lstrcatA", "lstrcpyA",
    "lstrlenA",
}

# Symbols that only the C++ runtime brings: exceptions, RTTI, libstdc++.
CXX_RUNTIME = re.compile(r"__cxa_|__gxx_personality|_ZSt|_ZNSt|_ZTI|_ZTV|__gnu_cxx|_Unwind_")


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


def stripped_size(path):
    with tempfile.TemporaryDirectory() as folder:
        copy = os.path.join(folder, os.path.basename(path))
        shutil.copyfile(path, copy)
        subprocess.run([STRIP, copy], check=True)
        return os.path.getsize(copy)


def version_strings(data):
    """The VS_VERSIONINFO resource of a PE image: ((file version), (product
    version), {name: value} of its StringFileInfo)."""
    key = "VS_VERSION_INFO".encode("utf-16-le")
    at = data.find(key)
    if at < 6:
        raise AssertionError("no VS_VERSION_INFO")
    start = at - 6

    def node(offset):
        length, value_length, kind = struct.unpack_from("<HHH", data, offset)
        end_key = offset + 6
        while data[end_key:end_key + 2] != b"\0\0":
            end_key += 2
        name = data[offset + 6:end_key].decode("utf-16-le")
        value = (end_key + 2 + 3) & ~3
        size = value_length * 2 if kind == 1 else value_length
        children = (value + size + 3) & ~3
        return name, length, kind, data[value:value + size], children

    name, length, _, fixed, children = node(start)
    signature, _, file_ms, file_ls, product_ms, product_ls = struct.unpack_from("<6I", fixed)
    if signature != 0xFEEF04BD:
        raise AssertionError("no VS_FIXEDFILEINFO")
    words = lambda ms, ls: (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)
    strings = {}
    pending = [(children, start + length)]
    while pending:
        offset, end = pending.pop()
        while offset < end:
            name, size, kind, value, inner = node(offset)
            if size == 0:
                break
            if not value:  # StringFileInfo, a StringTable: go in
                pending.append((inner, offset + size))
            elif kind == 1 and value:
                strings[name] = value.decode("utf-16-le").rstrip("\0")
            offset = (offset + size + 3) & ~3
    return words(file_ms, file_ls), words(product_ms, product_ls), strings


class Image(unittest.TestCase):
    """Checks both release images share: a PE32 image that Windows 95 and
    NT 4 load, importing only what they have."""

    path = name = None

    @classmethod
    def setUpClass(cls):
        cls.text = objdump(cls.path)

    def assertLoadsOnWindows95AndNt4(self):
        self.assertEqual(file_format(self.text), "pei-i386")
        self.assertEqual(header(self.text, "Magic"), "010b")  # PE32
        for field in ("SubsystemVersion", "OSystemVersion"):
            with self.subTest(field=field):
                self.assertEqual(header(self.text, "Major" + field), "4")
                self.assertEqual(header(self.text, "Minor" + field), "0")

    def importTables(self):
        tables = imports(self.text)
        for dll, functions in sorted(tables.items()):
            print("%s imports %s: %s" % (self.name, dll, " ".join(functions)))
        newer = sorted(set(tables.get("KERNEL32.dll", [])) - KERNEL32_SINCE_95_AND_NT4)
        self.assertEqual(newer, [], "KERNEL32 functions not known in Windows 95 and NT 4")
        return tables


class Layer(Image):
    """WNASPI32.DLL, the layer over Windows' SCSI pass-through."""

    path, name = LAYER, "WNASPI32.DLL"

    def test_dll_for_windows_95_and_nt4(self):
        self.assertLoadsOnWindows95AndNt4()

    def test_exports_exactly_the_entry_points(self):
        self.assertEqual(sorted(exports(self.text)), ENTRY_POINTS)

    def test_imports(self):
        tables = self.importTables()
        self.assertIn("KERNEL32.dll", tables)
        self.assertLessEqual(set(tables), {"KERNEL32.dll", "msvcrt.dll"})

    def test_no_cxx_runtime(self):
        symbols = subprocess.run([OBJDUMP, "-t", LAYER], check=True, capture_output=True,
                                 text=True).stdout
        found = sorted(set(m.group(0) for m in CXX_RUNTIME.finditer(symbols)))
        self.assertEqual(found, [], "C++ runtime symbols in the layer")

    def test_stripped_size(self):
        size = stripped_size(LAYER)
        print("stripped WNASPI32.DLL: %d bytes (%.1f KiB)" % (size, size / 1024))
        self.assertLessEqual(size, LAYER_SIZE_LIMIT)


class VersionResource(unittest.TestCase):
    def test_both_images(self):
        for path, original in ((BIN, "sysgrab.exe"), (LAYER, "WNASPI32.DLL")):
            with self.subTest(image=original):
                with open(path, "rb") as f:
                    file_version, product_version, strings = version_strings(f.read())
                print("%s: %s" % (original, strings))
                self.assertEqual(file_version, (0, 0, 0, 1))
                self.assertEqual(product_version, (0, 0, 0, 1))
                self.assertEqual(strings.get("FileVersion"), "0.001")
                self.assertEqual(strings.get("ProductVersion"), "0.001")
                self.assertEqual(strings.get("ProductName"), "sysgrab")
                self.assertEqual(strings.get("OriginalFilename"), original)
                self.assertTrue(strings.get("FileDescription"))


class Program(Image):
    path, name = BIN, "sysgrab.exe"

    def test_console_program_for_windows_95_and_nt4(self):
        self.assertLoadsOnWindows95AndNt4()
        self.assertEqual(int(header(self.text, "Subsystem"), 16), 3)  # console

    def test_imports(self):
        self.assertEqual(sorted(self.importTables()), ["KERNEL32.dll", "msvcrt.dll"])

    def test_stripped_size(self):
        size = stripped_size(BIN)
        print("stripped sysgrab.exe: %d bytes (%.1f KiB)" % (size, size / 1024))
        self.assertLessEqual(size, SIZE_LIMIT)


class Archive(unittest.TestCase):
    def test_release_archive(self):
        subprocess.run([CMAKE, "--build", BUILD, "--target", "package"], check=True,
                       capture_output=True)
        with zipfile.ZipFile(os.path.join(BUILD, "sysgrab-0.001-win32.zip")) as z:
            self.assertEqual(sorted(z.namelist()),
                             ["LICENSE.txt", "README.txt", "WNASPI32.DLL", "sysgrab.exe"])
            texts = {name: z.read(name) for name in ("README.txt", "LICENSE.txt")}
            images = {name: z.read(name) for name in ("sysgrab.exe", "WNASPI32.DLL")}
        self.assertTrue(texts["README.txt"].startswith(b"SYSGRAB.EXE 0.001\r\n"))
        self.assertTrue(texts["LICENSE.txt"].startswith(b"BSD 2-Clause License\r\n"))
        for name, text in texts.items():
            self.assertEqual(text.count(b"\n"), text.count(b"\r\n"), name + ": a line without CR")
        for name, limit in (("sysgrab.exe", SIZE_LIMIT), ("WNASPI32.DLL", LAYER_SIZE_LIMIT)):
            with self.subTest(name=name), tempfile.TemporaryDirectory() as folder:
                packed = os.path.join(folder, name)
                with open(packed, "wb") as f:
                    f.write(images[name])
                sections = subprocess.run([OBJDUMP, "-h", packed], check=True,
                                          capture_output=True, text=True).stdout
                self.assertEqual(file_format(sections), "pei-i386")
                self.assertNotIn(".debug_", sections, "the archived image is not stripped")
                self.assertLessEqual(len(images[name]), limit)
        self.assertIsNone(rebuilt_elsewhere("win32", BUILD, ["sysgrab-0.001-win32.zip"]))


class Bus(unittest.TestCase):
    def test_entry_points_by_plain_name(self):
        both = ENTRY_POINTS
        for folder, names in (("sim", both), ("sim-noinfo", both[1:]),
                              ("sim-nocommand", both[:1])):
            with self.subTest(folder=folder):
                text = objdump(os.path.join(BUILD, folder, "WNASPI32.DLL"))
                self.assertEqual(file_format(text), "pei-i386")
                self.assertEqual(sorted(exports(text)), names)


if __name__ == "__main__":
    unittest.main()
